// A driver for kernel tests whose devices run whatever a test gives them,
// and a fixture that loads it and watches the verifier.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "host_common/faults.h"
#include "host_kernel/host_control.h"

namespace hostk_test {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDevice {
  Dispatch dispatch;
  PDEVICE_OBJECT lower = nullptr;  // what the device attached to
};

inline TestDevice* TestDeviceOf(PDEVICE_OBJECT device) {
  return *static_cast<TestDevice**>(device->DeviceExtension);
}

inline NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  return TestDeviceOf(device)->dispatch(device, irp);
}

inline VOID NTAPI TestUnload(PDRIVER_OBJECT) {}

inline NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = TestDispatch;
  driver->DriverUnload = TestUnload;
  return STATUS_SUCCESS;
}

// Completes the IRP with status and information.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Sends the IRP on to the device's lower device, unchanged.
inline NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(TestDeviceOf(device)->lower, irp);
}

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostk::verifier::Clear();
    hostk::verifier::SetHandler([this](const hostk::verifier::Violation& violation) {
      if (!expectViolations_) ADD_FAILURE() << violation.message;
    });
    ASSERT_EQ(hostk::LoadDriver("hktest", TestDriverEntry, &driver_), STATUS_SUCCESS);
  }

  void TearDown() override {
    for (const WCHAR* linkName : links_) {
      UNICODE_STRING link;
      RtlInitUnicodeString(&link, linkName);
      IoDeleteSymbolicLink(&link);
    }
    links_.clear();
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
      PDEVICE_OBJECT device = *it;
      if (PDEVICE_OBJECT lower = hostk::LowerDeviceOf(device)) IoDetachDevice(lower);
      IoDeleteDevice(device);
    }
    devices_.clear();
    if (driver_ != nullptr) hostk::UnloadDriver(driver_);
    hostk::verifier::SetHandler(nullptr);
    hostk::verifier::Clear();
  }

  // A device of the test driver running dispatch, attached above
  // attachTo when given, named when name is given.
  PDEVICE_OBJECT AddDevice(Dispatch dispatch, PDEVICE_OBJECT attachTo = nullptr,
                           const WCHAR* name = nullptr, DEVICE_TYPE type = FILE_DEVICE_UNKNOWN) {
    UNICODE_STRING deviceName;
    if (name != nullptr) RtlInitUnicodeString(&deviceName, name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(TestDevice*), name != nullptr ? &deviceName : nullptr,
                                     type, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) return nullptr;
    testDevices_.push_back(std::make_unique<TestDevice>());
    TestDevice* data = testDevices_.back().get();
    data->dispatch = std::move(dispatch);
    *static_cast<TestDevice**>(device->DeviceExtension) = data;
    if (attachTo != nullptr) data->lower = IoAttachDeviceToDeviceStack(device, attachTo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.push_back(device);
    return device;
  }

  // A named device with a symbolic link to it, so that user processes
  // open it; the link goes at the end of the test. Both names are
  // literals.
  PDEVICE_OBJECT AddUserDevice(Dispatch dispatch, const WCHAR* deviceName, const WCHAR* linkName) {
    PDEVICE_OBJECT added = AddDevice(std::move(dispatch), nullptr, deviceName);
    UNICODE_STRING target, link;
    RtlInitUnicodeString(&target, deviceName);
    RtlInitUnicodeString(&link, linkName);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    links_.push_back(linkName);
    return added;
  }

  // A bottom device that marks every IRP pending and keeps it in *held.
  PDEVICE_OBJECT AddHoldingDevice(PIRP* held) {
    return AddDevice([held](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      *held = irp;
      return STATUS_PENDING;
    });
  }

  // Forgets a device the test deleted itself.
  void Forget(PDEVICE_OBJECT device) {
    devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
  }

  void ExpectViolations() { expectViolations_ = true; }

  std::vector<hostk::verifier::Rule> Rules() const {
    std::vector<hostk::verifier::Rule> rules;
    for (const auto& violation : hostk::verifier::Violations()) rules.push_back(violation.rule);
    return rules;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> devices_;
  std::vector<const WCHAR*> links_;
  std::vector<std::unique_ptr<TestDevice>> testDevices_;
  bool expectViolations_ = false;
  hostfault::Scope faults_;
};

}  // namespace hostk_test
