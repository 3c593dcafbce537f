// A storage port driver for tests: its device objects stand at the bottom
// of a device stack (or anywhere in one) and answer what a test tells them
// to. It is a driver like any other, written against the kernel services;
// the host C++ API below only configures it and looks at what it saw.
//
// Usage:
//
//   sim::PortDriver port("simport");
//   sim::PortDevice& pdo = port.CreateDevice({FILE_DEVICE_DISK});
//   pdo.SetProperty(DevicePropertyClassGuid, u"{4D36E967-E325-11CE-BFC1-08002BE10318}");
//   pdo.SetProperty(DevicePropertyEnumeratorName, u"IDE");
//   pdo.FailProperty(DevicePropertyDeviceDescription, STATUS_OBJECT_NAME_NOT_FOUND);
//   pdo.SetScsiAddress({/*port*/ 1, /*path*/ 0, /*target*/ 0, /*lun*/ 0});
//   pdo.SetBusType(BusTypeAta);
//
//   sim::PortDriver atapi("atapi");                     // a driver "above"
//   PDEVICE_OBJECT fdo = atapi.AttachFunctionDevice(pdo.Object());
//
//   pdo.HoldRequests(true);             // SRBs and pass-throughs now pend
//   ... send SRBs through the stack (sim::SendSrb) ...
//   EXPECT_EQ(pdo.PendingCount(), 2u);
//   pdo.CompleteNext();                 // oldest first, STATUS_SUCCESS
//   pdo.CompleteAt(0, STATUS_IO_DEVICE_ERROR);
//   std::thread t([&] { pdo.CompleteAll(); });  // from another thread
//   EXPECT_EQ(pdo.CountSeen(IRP_MJ_SCSI), 2u);
//   EXPECT_EQ(pdo.TimesSeen(irp), 1u);  // passed down exactly once
//
// Every request is recorded when it arrives. Held requests are completed
// at DISPATCH_LEVEL, as a port driver's DPC would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kernel_services.h"

namespace sim {

struct PortDeviceConfig {
  DEVICE_TYPE device_type = FILE_DEVICE_DISK;
  ULONG flags = 0;  // DO_POWER_PAGABLE, DO_POWER_INRUSH
};

struct ScsiAddressAnswer {
  UCHAR port = 0;
  UCHAR path = 0;
  UCHAR target = 0;
  UCHAR lun = 0;
};

// What IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations) gets.
enum class RelationsAnswer {
  kNone,      // completed untouched: status and Information as they came
  kEmpty,     // success, a list with Count 0
  kChildren,  // success, the configured children (each referenced)
  kFail,      // the configured failure status, Information 0
};

// One request as the device saw it arrive.
struct SeenRequest {
  const IRP* irp = nullptr;
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG ioctl = 0;          // IRP_MJ_DEVICE_CONTROL and internal
  UCHAR target_id = 0;      // SRB or pass-through header
  int type = 0;             // relation type or usage type
  bool in_path = false;     // usage notifications
};

class PortDriver;

class PortDevice {
 public:
  PortDevice(const PortDevice&) = delete;
  PortDevice& operator=(const PortDevice&) = delete;

  PDEVICE_OBJECT Object() const { return object_; }

  // Device properties, as IoGetDeviceProperty returns them.
  void SetProperty(DEVICE_REGISTRY_PROPERTY property, const std::u16string& text);
  void FailProperty(DEVICE_REGISTRY_PROPERTY property, NTSTATUS status);

  // IOCTL_SCSI_GET_ADDRESS and IOCTL_STORAGE_QUERY_PROPERTY.
  void SetScsiAddress(const ScsiAddressAnswer& address);
  void FailScsiAddress(NTSTATUS status);
  void SetBusType(STORAGE_BUS_TYPE bus_type);
  void FailQueryProperty(NTSTATUS status);

  // IRP_MN_QUERY_DEVICE_RELATIONS of type BusRelations.
  void SetBusRelations(RelationsAnswer answer, std::vector<PDEVICE_OBJECT> children = {},
                       NTSTATUS failure = STATUS_INSUFFICIENT_RESOURCES);
  // IRP_MN_DEVICE_USAGE_NOTIFICATION, IRP_MN_REMOVE_DEVICE, power.
  void SetUsageStatus(NTSTATUS status);
  void SetRemoveStatus(NTSTATUS status);
  void SetPowerStatus(NTSTATUS status);
  // The status SRBs and pass-through requests complete with.
  void SetRequestStatus(NTSTATUS status);

  // Held requests pend until the test completes them, in any order, from
  // any thread.
  void HoldRequests(bool hold);
  size_t PendingCount() const;
  bool CompleteNext(NTSTATUS status = STATUS_SUCCESS);
  bool CompleteAt(size_t index, NTSTATUS status = STATUS_SUCCESS);
  size_t CompleteAll(NTSTATUS status = STATUS_SUCCESS);

  std::vector<SeenRequest> Seen() const;
  size_t CountSeen(UCHAR major) const;
  size_t CountSeen(UCHAR major, UCHAR minor) const;
  size_t CountIoctl(ULONG ioctl) const;
  size_t TimesSeen(const IRP* irp) const;
  void ClearSeen();

 private:
  friend class PortDriver;
  PortDevice(PortDriver* driver, PDEVICE_OBJECT object);
  NTSTATUS Dispatch(PIRP irp);
  NTSTATUS DispatchPnp(PIRP irp);
  NTSTATUS DispatchDeviceControl(PIRP irp);
  NTSTATUS StartRequest(PIRP irp);
  void Complete(PIRP irp, NTSTATUS status);
  void Record(PIRP irp);
  template <typename T>
  void Store(T& field, T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    field = value;
  }
  template <typename T>
  T Load(const T& field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return field;
  }
  template <typename Predicate>
  size_t CountWhere(Predicate predicate) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(seen_.begin(), seen_.end(), predicate));
  }

  [[maybe_unused]] PortDriver* driver_;  // clang: kept for debugging, not read
  PDEVICE_OBJECT object_;
  mutable std::mutex mutex_;
  struct Property {
    NTSTATUS status = STATUS_SUCCESS;
    std::u16string text;
  };
  std::map<int, Property> properties_;
  std::optional<ScsiAddressAnswer> address_;
  NTSTATUS address_failure_ = STATUS_INVALID_DEVICE_REQUEST;
  std::optional<STORAGE_BUS_TYPE> bus_type_;
  NTSTATUS query_failure_ = STATUS_INVALID_DEVICE_REQUEST;
  RelationsAnswer relations_ = RelationsAnswer::kNone;
  std::vector<PDEVICE_OBJECT> children_;
  NTSTATUS relations_failure_ = STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS usage_status_ = STATUS_SUCCESS;
  NTSTATUS remove_status_ = STATUS_SUCCESS;
  NTSTATUS power_status_ = STATUS_SUCCESS;
  NTSTATUS request_status_ = STATUS_SUCCESS;
  bool hold_ = false;
  std::deque<PIRP> pending_;
  std::vector<SeenRequest> seen_;
};

class PortDriver {
 public:
  explicit PortDriver(const char* service = "simport");
  ~PortDriver();  // deletes every device it created
  PortDriver(const PortDriver&) = delete;
  PortDriver& operator=(const PortDriver&) = delete;

  PDRIVER_OBJECT DriverObject() const { return driver_; }

  // A device of this driver at the bottom of a new stack.
  PortDevice& CreateDevice(const PortDeviceConfig& config = {});
  // A pass-through device of this driver on top of `below`'s stack: a
  // function driver or filter whose service name the stack then shows.
  PDEVICE_OBJECT AttachFunctionDevice(PDEVICE_OBJECT below);
  // Detaches and deletes a device made by AttachFunctionDevice.
  void RemoveFunctionDevice(PDEVICE_OBJECT device);

  static PortDevice* FromObject(PDEVICE_OBJECT object);
  // The dispatch routine of every major function.
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);

 private:
  friend class PortDevice;

  PDRIVER_OBJECT driver_ = nullptr;
  std::mutex mutex_;
  std::vector<std::unique_ptr<PortDevice>> devices_;
  std::vector<PDEVICE_OBJECT> function_devices_;
};

// Builds an IRP_MJ_SCSI request for `target` with an SRB of `target_id`
// and sends it to the top of `target`'s stack. The IRP and SRB are freed
// when the request completes. `sent` receives the IRP's address (only to
// compare with what a device saw; it is gone once completed).
NTSTATUS SendSrb(PDEVICE_OBJECT target, UCHAR target_id, PIRP* sent = nullptr);
// The same for IOCTL_SCSI_PASS_THROUGH (or _DIRECT) with a header whose
// TargetId is `target_id`.
NTSTATUS SendPassThrough(PDEVICE_OBJECT target, UCHAR target_id, bool direct = false,
                         PIRP* sent = nullptr);

}  // namespace sim
