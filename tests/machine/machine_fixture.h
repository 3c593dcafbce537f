// Shared set-up of the machine tests: a fresh registry with the default
// machine, a machine in virtual time, a verifier that records instead of
// aborting, and recording filter drivers the tests can name in filter
// lists.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host_kernel/host_control.h"
#include "host_pnp/pnp.h"
#include "sim/machine.h"

namespace machine_test {

// What the recording filters saw, in order: "AddDevice <service>" and
// "Remove <service> <instance path>".
std::vector<std::string> Log();
void ClearLog();

// Registers the recording filter under `service`.
void RegisterRecordingFilter(const std::string& service);

std::string EnumPath(const std::string& instance_path);
std::string ClassPath(const char* guid);
void SetMulti(const std::string& key_path, const char* value, const std::vector<std::string>& names);

// A device property read through IoGetDeviceProperty, as narrow text.
std::string PropertyText(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, NTSTATUS* status = nullptr);

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Boots a machine over the registry as the test has shaped it.
  void Boot(const sim::MachineOptions& options = {});
  hostpnp::DeviceNode* Node(const std::string& hw_name);
  hostreg::RegKey* Key(const std::string& path);

  hostreg::Registry& registry_ = hostreg::Registry::Machine();
  std::unique_ptr<sim::Machine> machine_;
};

}  // namespace machine_test
