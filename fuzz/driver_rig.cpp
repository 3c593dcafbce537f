#include "driver_rig.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/host_common/faults.h"
#include "platform/host_registry/registry.h"

namespace rig {
namespace {

constexpr const char* kServiceKey = "System\\CurrentControlSet\\Services\\qelvard1";
constexpr ULONG kRequestTag = hostk::MakeTag("Fzrq");

}  // namespace

void Fail(const std::string& what) {
  std::fprintf(stderr, "driver fuzzer: %s\n", what.c_str());
  std::abort();
}

void SetFlags(const std::optional<FlagsValue>& value) {
  hostreg::Registry& registry = hostreg::Registry::Machine();
  std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
  hostreg::RegKey* key = registry.Create(kServiceKey);
  if (value) {
    key->SetValue("KVFlags", value->type, value->data);
  } else {
    key->DeleteValue("KVFlags");
  }
}

PDRIVER_OBJECT Load() {
  hostk::UseVirtualClock();
  hostk::SetVirtualTicks(0);
  PDRIVER_OBJECT driver = nullptr;
  NTSTATUS status = hostk::LoadDriver("qelvard1", DriverEntry, &driver);
  if (!NT_SUCCESS(status) || driver == nullptr) Fail("qelvard1 did not load");
  return driver;
}

std::vector<FilterDeviceRecord*> Records() {
  std::vector<FilterDeviceRecord*> records;
  for (PLIST_ENTRY entry = Driver.FilterDeviceList.Flink; entry != &Driver.FilterDeviceList; entry = entry->Flink) {
    records.push_back(CONTAINING_RECORD(entry, FilterDeviceRecord, Link));
  }
  return records;
}

PDEVICE_OBJECT AttachFilter(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, bool isBusFilter, PDEVICE_OBJECT parent) {
  LockDeviceList();
  NTSTATUS status = AttachFilterDevice(driver, pdo, isBusFilter ? TRUE : FALSE, parent);
  UnlockDeviceList();
  if (!NT_SUCCESS(status)) Fail("AttachFilterDevice failed");
  return pdo->AttachedDevice;
}

void RemoveAllAndUnload(PDRIVER_OBJECT driver) {
  std::vector<FilterDeviceRecord*> records = Records();
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    NTSTATUS status = SendNow(Request::Major((*it)->Self, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    if (!NT_SUCCESS(status)) Fail("removal of a filter device failed");
  }
  if (!Records().empty()) Fail("a removed filter device is still listed");
  for (ULONG bus = 0; bus < KvBusCount; ++bus) {
    if (Driver.BusActivity[bus].Outstanding != 0) {
      Fail("bus " + std::to_string(bus) + " has Outstanding " + std::to_string(Driver.BusActivity[bus].Outstanding) +
           " once idle");
    }
  }
  if (hostk::DevicesOf(driver).size() != 1) Fail("filter devices left behind (only the control device may stay)");
  if (!NT_SUCCESS(hostk::UnloadDriver(driver))) Fail("unload failed");
  if (hostk::PoolUsageOfTag(KvPoolTag).allocations != 0) Fail("pool of tag KVtg left after unload");
  if (hostk::PoolUsageOfTag(kRequestTag).allocations != 0) Fail("a request never completed");
}

// ------------------------------------------------------------------ Request

Request::Request(PDEVICE_OBJECT target, UCHAR major, UCHAR minor)
    : target_(target), irp_(IoAllocateIrp(IoGetAttachedDevice(target)->StackSize, FALSE)) {
  if (irp_ == nullptr) Fail("no IRP");
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  irp_->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
}

Request::~Request() {
  if (srb_ != nullptr) ExFreePoolWithTag(srb_, kRequestTag);
  if (buffer_ != nullptr) ExFreePoolWithTag(buffer_, kRequestTag);
  IoFreeIrp(irp_);
}

Request* Request::Srb(PDEVICE_OBJECT target, UCHAR targetId, UCHAR function) {
  auto* request = new Request(target, IRP_MJ_SCSI, 0);
  request->srb_ = static_cast<SCSI_REQUEST_BLOCK*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SCSI_REQUEST_BLOCK), kRequestTag));
  std::memset(request->srb_, 0, sizeof(SCSI_REQUEST_BLOCK));
  request->srb_->Length = sizeof(SCSI_REQUEST_BLOCK);
  request->srb_->Function = function;
  request->srb_->TargetId = targetId;
  request->srb_->OriginalRequest = request->irp_;
  IoGetNextIrpStackLocation(request->irp_)->Parameters.Scsi.Srb = request->srb_;
  return request;
}

Request* Request::DeviceControl(PDEVICE_OBJECT target, ULONG code, const std::optional<std::vector<uint8_t>>& buffer,
                                ULONG inputLength, ULONG outputLength) {
  auto* request = new Request(target, IRP_MJ_DEVICE_CONTROL, 0);
  if (buffer) {
    // A block of exactly the buffer's size; an empty buffer still gets a
    // (zero-length) block of its own.
    request->buffer_ = ExAllocatePoolWithTag(NonPagedPool, buffer->size(), kRequestTag);
    if (!buffer->empty()) std::memcpy(request->buffer_, buffer->data(), buffer->size());
    request->irp_->AssociatedIrp.SystemBuffer = request->buffer_;
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp_);
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  return request;
}

Request* Request::Major(PDEVICE_OBJECT target, UCHAR major, UCHAR minor) { return new Request(target, major, minor); }

NTSTATUS Request::Send() { return IoCallDriver(target_, irp_); }

void Request::Release(Request* request) {
  if (!request->done_) Fail("request released before it completed");
  delete request;
}

NTSTATUS NTAPI Request::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<Request*>(context);
  request->status_ = irp->IoStatus.Status;
  request->information_ = irp->IoStatus.Information;
  request->done_ = true;
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours again
}

NTSTATUS SendNow(Request* request, ULONG_PTR* information) {
  request->Send();
  if (!request->Done()) Fail("a request that should complete at once is still pending");
  NTSTATUS status = request->Status();
  if (information != nullptr) *information = request->Information();
  Request::Release(request);
  return status;
}

int Attribute(FilterDeviceRecord* record, UCHAR targetId) {
  if (!record->IsBusFilter) return record->BusIndex;
  for (FilterDeviceRecord* child : Records()) {
    if (!child->IsBusFilter && child->ParentDevice == record->Self && !child->IdentifyPending &&
        child->TargetId == targetId) {
      return child->BusIndex;
    }
  }
  return -1;
}

}  // namespace rig
