// What the driver fuzzers share: qelvard1 loaded afresh for every input
// over the simulated kernel (it keeps driver-wide state), filter devices
// over the simulated port driver, requests sent from above with buffers of
// exactly the length they claim, and the checks every input ends with: no
// verifier report, every count back to 0, nothing of the driver's left
// once its devices are removed and it is unloaded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/host_kernel/host_control.h"
#include "sim/port_driver.h"

namespace rig {

[[noreturn]] void Fail(const std::string& what);

// The "KVFlags" value under the driver's service key; nullopt deletes it.
struct FlagsValue {
  uint32_t type;
  std::vector<uint8_t> data;
};
void SetFlags(const std::optional<FlagsValue>& value);

// Loads qelvard1 (aborting when the load fails) on the virtual clock at 0.
PDRIVER_OBJECT Load();
// Removes every listed filter device through Plug and Play removal,
// unloads the driver and checks that none of its pool, devices or counts
// remain.
void RemoveAllAndUnload(PDRIVER_OBJECT driver);

// A filter above pdo, made by the driver's creation operation.
PDEVICE_OBJECT AttachFilter(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, bool isBusFilter,
                            PDEVICE_OBJECT parent = nullptr);
std::vector<FilterDeviceRecord*> Records();

// The model's answer to which bus a request on `record` addressed to
// `targetId` is counted against: the record's own for a plain filter, the
// first identified child with that target id for a bus filter; -1 when
// none is.
int Attribute(FilterDeviceRecord* record, UCHAR targetId);

// One request sent from above. The IRP and its buffer live until the
// request completes; buffers are pool blocks of exactly their length, so
// a read past the end is caught.
class Request {
 public:
  // IRP_MJ_SCSI with an SRB.
  static Request* Srb(PDEVICE_OBJECT target, UCHAR targetId, UCHAR function = SRB_FUNCTION_EXECUTE_SCSI);
  // IRP_MJ_DEVICE_CONTROL of `code` with `buffer` as system buffer (null
  // when `buffer` is nullopt) and the given lengths.
  static Request* DeviceControl(PDEVICE_OBJECT target, ULONG code, const std::optional<std::vector<uint8_t>>& buffer,
                                ULONG inputLength, ULONG outputLength);
  // Any major function with no parameters.
  static Request* Major(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0);

  NTSTATUS Send();
  bool Done() const { return done_; }
  NTSTATUS Status() const { return status_; }
  ULONG_PTR Information() const { return information_; }
  // Frees a completed request.
  static void Release(Request* request);

 private:
  Request(PDEVICE_OBJECT target, UCHAR major, UCHAR minor);
  ~Request();
  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

  PDEVICE_OBJECT target_;
  PIRP irp_;
  SCSI_REQUEST_BLOCK* srb_ = nullptr;
  void* buffer_ = nullptr;
  bool done_ = false;
  NTSTATUS status_ = STATUS_PENDING;
  ULONG_PTR information_ = 0;
};

// Sends a request that completes at once and gives its status.
NTSTATUS SendNow(Request* request, ULONG_PTR* information = nullptr);

}  // namespace rig
