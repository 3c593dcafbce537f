// The fixture of the driver tests: a simulated kernel with the virtual
// clock, qelvard1 loaded from a service key the test shapes, the test
// lower driver for PDOs, requests built and sent as an upper driver
// would, and a monitor process for the control device. Every kernel
// verifier report fails the test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/host_common/faults.h"
#include "platform/host_kernel/host_control.h"
#include "test_lower.h"

namespace drivertest {

using hostk::DWORD;
using hostk::BOOL;

constexpr ULONG kMonitorPid = 1200;

// One request sent from above: owns its IRP and buffers until completion.
class TestRequest {
 public:
  static std::unique_ptr<TestRequest> Srb(PDEVICE_OBJECT target, UCHAR targetId);
  // IRP_MJ_DEVICE_CONTROL of `code` whose system buffer holds a
  // SCSI_PASS_THROUGH header with targetId; inputLength 0 sends none.
  static std::unique_ptr<TestRequest> PassThrough(PDEVICE_OBJECT target, ULONG code, UCHAR targetId,
                                                  ULONG inputLength = sizeof(SCSI_PASS_THROUGH));
  static std::unique_ptr<TestRequest> DeviceControl(PDEVICE_OBJECT target, ULONG code);
  static std::unique_ptr<TestRequest> Major(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0);
  static std::unique_ptr<TestRequest> Pnp(PDEVICE_OBJECT target, UCHAR minor);

  ~TestRequest();
  TestRequest(const TestRequest&) = delete;
  TestRequest& operator=(const TestRequest&) = delete;

  PIRP Irp() const { return irp_; }
  const SCSI_REQUEST_BLOCK& SrbBlock() const { return srb_; }
  PIO_STACK_LOCATION Stack() const { return IoGetNextIrpStackLocation(irp_); }  // before Send
  NTSTATUS Send();
  bool Done() const { return done_.load(); }
  NTSTATUS Status() const { return status_; }
  ULONG_PTR Information() const { return information_; }

 private:
  TestRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor);
  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

  PDEVICE_OBJECT target_;
  PIRP irp_;
  SCSI_REQUEST_BLOCK srb_{};
  std::vector<uint8_t> buffer_;
  std::atomic<bool> done_{false};
  NTSTATUS status_ = STATUS_PENDING;
  ULONG_PTR information_ = 0;
};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sets or clears "KVFlags" under the driver's service key.
  static void SetFlagsValue(ULONG type, std::vector<uint8_t> data);
  static void ClearFlagsValue();
  NTSTATUS LoadFilterDriver();
  void UnloadFilterDriver();

  // A PDO of the lower driver with its device description.
  PDEVICE_OBJECT NewPdo(const char* description = nullptr, DEVICE_TYPE type = FILE_DEVICE_DISK, ULONG flags = 0);
  // Creates a filter above pdo as the driver's creation operation does.
  PDEVICE_OBJECT Attach(PDEVICE_OBJECT pdo, BOOLEAN isBusFilter = FALSE, PDEVICE_OBJECT parent = nullptr);
  // A PDO answering the address query with (port, target), and its filter.
  PDEVICE_OBJECT PlainFilter(UCHAR port, UCHAR target = 0, PDEVICE_OBJECT parent = nullptr);
  static FilterDeviceRecord* Rec(PDEVICE_OBJECT filter) { return RecordOf(filter); }
  // Whether the device list holds a record above pdo.
  static BOOLEAN Filtered(PDEVICE_OBJECT pdo) {
    LockDeviceList();
    const BOOLEAN filtered = IsDeviceFiltered(pdo);
    UnlockDeviceList();
    return filtered;
  }
  static std::vector<FilterDeviceRecord*> ListedRecords();
  // A device of a pass-through driver of that service attached above pdo.
  PDEVICE_OBJECT AddService(PDEVICE_OBJECT pdo, const std::string& service);
  // Removes a filter through IRP_MN_REMOVE_DEVICE; returns the status.
  NTSTATUS Remove(PDEVICE_OBJECT filter);

  // The monitor's side of the control device.
  DWORD OpenMonitor();  // 0 or the Win32 error
  DWORD Ioctl(ULONG code, void* in = nullptr, DWORD inSize = 0, void* out = nullptr, DWORD outSize = 0,
              DWORD* returned = nullptr);
  DWORD StartCapture() { return Ioctl(IOCTL_KV_START_CAPTURE); }
  DWORD StopCapture() { return Ioctl(IOCTL_KV_STOP_CAPTURE); }
  // Reads a snapshot; fails the test when the read fails.
  BusStatisticsBlock ReadStatistics();

  // Virtual clock.
  static void SetTicks(int64_t ticks) { hostk::SetVirtualTicks(ticks); }

  // Counted request life on a lower device that holds requests.
  // Sends an SRB that may stay pending; the fixture keeps the request
  // until the end of the test, when every held request is completed.
  TestRequest* StartSrb(PDEVICE_OBJECT filter, UCHAR targetId = 0);
  TestRequest* Keep(std::unique_ptr<TestRequest> request);
  void CompleteOldest(PDEVICE_OBJECT pdo);

  PDRIVER_OBJECT filterDriver_ = nullptr;
  std::unique_ptr<testlower::LowerDriver> lower_;
  std::vector<std::unique_ptr<testlower::ServiceDriver>> services_;  // one service, one device
  std::unique_ptr<hostk::UserProcess> monitor_;
  HANDLE monitorHandle_ = INVALID_HANDLE_VALUE;
  std::vector<std::unique_ptr<TestRequest>> kept_;
  hostfault::Scope faults_;
};

// The filter driver loaded, nothing attached yet.
class LoadedDriverTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  }
};

// The filter driver loaded and a monitor holding its control device open.
class MonitoredDriverTest : public LoadedDriverTest {
 protected:
  void SetUp() override {
    LoadedDriverTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(OpenMonitor(), 0u);
  }
};

// The filter driver loaded and one filter above a disk PDO.
class DiskFilterTest : public LoadedDriverTest {
 protected:
  void SetUp() override {
    LoadedDriverTest::SetUp();
    if (HasFatalFailure()) return;
    pdo_ = NewPdo("Disk");
    filter_ = Attach(pdo_);
  }
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
};

// Win32 error a monitor sees for an NT status of the driver.
inline DWORD ErrorOf(NTSTATUS status) { return hostk::NtStatusToWin32Error(status); }

}  // namespace drivertest
