#include "sim/port_driver.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "host_kernel/host_control.h"

namespace sim {
namespace {

constexpr ULONG kPortTag = hostk::MakeTag("SmPt");
constexpr uint32_t kMagic = 0x54524F50;  // "PORT"

// Every device object of a port driver carries this extension.
struct PortExtension {
  uint32_t magic;
  PortDevice* device;       // null for pass-through function devices
  PDEVICE_OBJECT lower;     // the device below a function device
};

VOID NTAPI PortUnload(PDRIVER_OBJECT /*driver*/) {}

NTSTATUS PortDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING /*registry_path*/) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
    driver->MajorFunction[i] = PortDriver::Dispatch;
  }
  driver->DriverUnload = PortUnload;
  return STATUS_SUCCESS;
}

UCHAR TargetIdOf(PIO_STACK_LOCATION stack, PIRP irp) {
  if (stack->MajorFunction == IRP_MJ_SCSI) {
    const SCSI_REQUEST_BLOCK* srb = stack->Parameters.Scsi.Srb;
    return srb != nullptr ? srb->TargetId : 0;
  }
  const auto* header = static_cast<const SCSI_PASS_THROUGH*>(irp->AssociatedIrp.SystemBuffer);
  if (header != nullptr && stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(SCSI_PASS_THROUGH)) {
    return header->TargetId;
  }
  return 0;
}

bool IsCountedRequest(PIO_STACK_LOCATION stack) {
  if (stack->MajorFunction == IRP_MJ_SCSI) return true;
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return false;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  return code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
}

using hostk::CompleteIrp;
using hostk::CompleteIrpUnchanged;

}  // namespace

// --- PortDevice -------------------------------------------------------

PortDevice::PortDevice(PortDriver* driver, PDEVICE_OBJECT object) : driver_(driver), object_(object) {}

void PortDevice::SetProperty(DEVICE_REGISTRY_PROPERTY property, const std::u16string& text) {
  std::vector<uint8_t> data;
  data.reserve((text.size() + 1) * 2);
  for (char16_t c : text) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  hostk::SetDeviceProperty(object_, property, std::move(data));
}

void PortDevice::FailProperty(DEVICE_REGISTRY_PROPERTY property, NTSTATUS status) {
  hostk::SetDevicePropertyFailure(object_, property, status);
}

void PortDevice::SetScsiAddress(const ScsiAddressAnswer& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  address_ = address;
}

void PortDevice::FailScsiAddress(NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  address_.reset();
  address_failure_ = status;
}

void PortDevice::SetBusType(STORAGE_BUS_TYPE bus_type) {
  std::lock_guard<std::mutex> lock(mutex_);
  bus_type_ = bus_type;
}

void PortDevice::FailQueryProperty(NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  bus_type_.reset();
  query_failure_ = status;
}

void PortDevice::SetBusRelations(RelationsAnswer answer, std::vector<PDEVICE_OBJECT> children,
                                 NTSTATUS failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  relations_ = answer;
  children_ = std::move(children);
  relations_failure_ = failure;
}

void PortDevice::SetUsageStatus(NTSTATUS status) { Store(usage_status_, status); }

void PortDevice::SetRemoveStatus(NTSTATUS status) { Store(remove_status_, status); }

void PortDevice::SetPowerStatus(NTSTATUS status) { Store(power_status_, status); }

void PortDevice::SetRequestStatus(NTSTATUS status) { Store(request_status_, status); }

void PortDevice::HoldRequests(bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  hold_ = hold;
}

size_t PortDevice::PendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size();
}

bool PortDevice::CompleteNext(NTSTATUS status) { return CompleteAt(0, status); }

bool PortDevice::CompleteAt(size_t index, NTSTATUS status) {
  PIRP irp = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= pending_.size()) return false;
    irp = pending_[index];
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  KIRQL old_irql;
  KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
  Complete(irp, status);
  KeLowerIrql(old_irql);
  return true;
}

size_t PortDevice::CompleteAll(NTSTATUS status) {
  size_t done = 0;
  while (CompleteNext(status)) ++done;
  return done;
}

std::vector<SeenRequest> PortDevice::Seen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

size_t PortDevice::CountSeen(UCHAR major) const {
  return CountWhere([&](const SeenRequest& r) { return r.major == major; });
}

size_t PortDevice::CountSeen(UCHAR major, UCHAR minor) const {
  return CountWhere([&](const SeenRequest& r) { return r.major == major && r.minor == minor; });
}

size_t PortDevice::CountIoctl(ULONG ioctl) const {
  return CountWhere([&](const SeenRequest& r) { return r.major == IRP_MJ_DEVICE_CONTROL && r.ioctl == ioctl; });
}

size_t PortDevice::TimesSeen(const IRP* irp) const {
  return CountWhere([&](const SeenRequest& r) { return r.irp == irp; });
}

void PortDevice::ClearSeen() {
  std::lock_guard<std::mutex> lock(mutex_);
  seen_.clear();
}

void PortDevice::Record(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  SeenRequest seen;
  seen.irp = irp;
  seen.major = stack->MajorFunction;
  seen.minor = stack->MinorFunction;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    seen.ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
  }
  if (IsCountedRequest(stack)) seen.target_id = TargetIdOf(stack, irp);
  if (stack->MajorFunction == IRP_MJ_PNP) {
    if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS) {
      seen.type = static_cast<int>(stack->Parameters.QueryDeviceRelations.Type);
    } else if (stack->MinorFunction == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
      seen.type = static_cast<int>(stack->Parameters.UsageNotification.Type);
      seen.in_path = stack->Parameters.UsageNotification.InPath != FALSE;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  seen_.push_back(seen);
}

void PortDevice::Complete(PIRP irp, NTSTATUS status) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG_PTR information = 0;
  if (stack->MajorFunction == IRP_MJ_SCSI) {
    SCSI_REQUEST_BLOCK* srb = stack->Parameters.Scsi.Srb;
    if (srb != nullptr) {
      srb->SrbStatus = NT_SUCCESS(status) ? SRB_STATUS_SUCCESS : SRB_STATUS_ERROR;
      if (NT_SUCCESS(status)) information = srb->DataTransferLength;
    }
  } else if (NT_SUCCESS(status)) {
    information = std::min<ULONG_PTR>(stack->Parameters.DeviceIoControl.OutputBufferLength, sizeof(SCSI_PASS_THROUGH));
  }
  CompleteIrp(irp, status, information);
}

NTSTATUS PortDevice::StartRequest(PIRP irp) {
  NTSTATUS status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hold_) {
      IoMarkIrpPending(irp);
      pending_.push_back(irp);
      return STATUS_PENDING;
    }
    status = request_status_;
  }
  Complete(irp, status);
  return status;
}

NTSTATUS PortDevice::DispatchDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
    return StartRequest(irp);
  }
  if (code == IOCTL_SCSI_GET_ADDRESS) {
    std::optional<ScsiAddressAnswer> address;
    NTSTATUS failure;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      address = address_;
      failure = address_failure_;
    }
    if (!address) return CompleteIrp(irp, failure);
    return hostk::CompleteWithScsiAddress(irp, address->port, address->path, address->target, address->lun);
  }
  if (code == IOCTL_STORAGE_QUERY_PROPERTY) {
    std::optional<STORAGE_BUS_TYPE> bus_type;
    NTSTATUS failure;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      bus_type = bus_type_;
      failure = query_failure_;
    }
    if (!bus_type) return CompleteIrp(irp, failure);
    const auto* query = static_cast<const STORAGE_PROPERTY_QUERY*>(buffer);
    if (buffer == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(STORAGE_PROPERTY_QUERY) ||
        query->PropertyId != StorageDeviceProperty || query->QueryType != PropertyStandardQuery) {
      return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    return hostk::CompleteWithDeviceDescriptor(irp, object_->DeviceType == FILE_DEVICE_CD_ROM ? 5 : 0, FALSE, *bus_type);
  }
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS PortDevice::DispatchPnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) {
        return CompleteIrpUnchanged(irp);
      }
      RelationsAnswer answer;
      std::vector<PDEVICE_OBJECT> children;
      NTSTATUS failure;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        answer = relations_;
        children = children_;
        failure = relations_failure_;
      }
      if (answer == RelationsAnswer::kNone) {
        return CompleteIrpUnchanged(irp);
      }
      if (answer == RelationsAnswer::kFail) return CompleteIrp(irp, failure);
      if (answer != RelationsAnswer::kChildren) children.clear();
      PDEVICE_RELATIONS relations = hostk::PoolDeviceRelations(children, kPortTag);
      if (relations == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
      return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
    }
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: {
      return CompleteIrp(irp, Load(usage_status_));
    }
    case IRP_MN_REMOVE_DEVICE: {
      return CompleteIrp(irp, Load(remove_status_));
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return CompleteIrp(irp, STATUS_SUCCESS);
    default:
      return CompleteIrpUnchanged(irp);
  }
}

NTSTATUS PortDevice::Dispatch(PIRP irp) {
  Record(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_SCSI:
      return StartRequest(irp);
    case IRP_MJ_DEVICE_CONTROL:
      return DispatchDeviceControl(irp);
    case IRP_MJ_PNP:
      return DispatchPnp(irp);
    case IRP_MJ_POWER: {
      PoStartNextPowerIrp(irp);
      return CompleteIrp(irp, Load(power_status_));
    }
    default:
      return CompleteIrp(irp, STATUS_SUCCESS);
  }
}

// --- PortDriver -------------------------------------------------------

PortDriver::PortDriver(const char* service) {
  NTSTATUS status = hostk::LoadDriver(service, PortDriverEntry, &driver_);
  if (!NT_SUCCESS(status) || driver_ == nullptr) throw std::runtime_error("port driver: load failed");
}

PortDriver::~PortDriver() {
  for (auto it = function_devices_.rbegin(); it != function_devices_.rend(); ++it) {
    auto* ext = static_cast<PortExtension*>((*it)->DeviceExtension);
    IoDetachDevice(ext->lower);
    IoDeleteDevice(*it);
  }
  for (auto& device : devices_) IoDeleteDevice(device->Object());
  devices_.clear();
  hostk::UnloadDriver(driver_);
}

PortDevice& PortDriver::CreateDevice(const PortDeviceConfig& config) {
  PDEVICE_OBJECT object = nullptr;
  NTSTATUS status = IoCreateDevice(driver_, sizeof(PortExtension), nullptr, config.device_type,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &object);
  if (!NT_SUCCESS(status)) throw std::runtime_error("port driver: IoCreateDevice failed");
  object->Flags |= config.flags;
  object->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  hostk::MarkPhysicalDevice(object);  // the port driver enumerates it
  std::lock_guard<std::mutex> lock(mutex_);
  devices_.push_back(std::unique_ptr<PortDevice>(new PortDevice(this, object)));
  auto* ext = static_cast<PortExtension*>(object->DeviceExtension);
  ext->magic = kMagic;
  ext->device = devices_.back().get();
  ext->lower = nullptr;
  return *devices_.back();
}

PDEVICE_OBJECT PortDriver::AttachFunctionDevice(PDEVICE_OBJECT below) {
  PDEVICE_OBJECT object = nullptr;
  NTSTATUS status = IoCreateDevice(driver_, sizeof(PortExtension), nullptr, below->DeviceType,
                                   0, FALSE, &object);
  if (!NT_SUCCESS(status)) throw std::runtime_error("port driver: IoCreateDevice failed");
  auto* ext = static_cast<PortExtension*>(object->DeviceExtension);
  ext->magic = kMagic;
  ext->device = nullptr;
  ext->lower = IoAttachDeviceToDeviceStack(object, below);
  object->Flags |= ext->lower->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
  object->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  std::lock_guard<std::mutex> lock(mutex_);
  function_devices_.push_back(object);
  return object;
}

void PortDriver::RemoveFunctionDevice(PDEVICE_OBJECT device) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(function_devices_.begin(), function_devices_.end(), device);
    if (it == function_devices_.end()) return;
    function_devices_.erase(it);
  }
  auto* ext = static_cast<PortExtension*>(device->DeviceExtension);
  IoDetachDevice(ext->lower);
  IoDeleteDevice(device);
}

PortDevice* PortDriver::FromObject(PDEVICE_OBJECT object) {
  auto* ext = static_cast<PortExtension*>(object->DeviceExtension);
  if (ext == nullptr || ext->magic != kMagic) return nullptr;
  return ext->device;
}

NTSTATUS PortDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<PortExtension*>(device->DeviceExtension);
  if (ext->device != nullptr) return ext->device->Dispatch(irp);
  // A pass-through function device: everything goes down unchanged.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

// --- Request senders --------------------------------------------------

namespace {

struct SentRequest {
  SCSI_REQUEST_BLOCK srb;
  SCSI_PASS_THROUGH header;
};

NTSTATUS FreeSentRequest(PDEVICE_OBJECT /*device*/, PIRP irp, PVOID context) {
  ExFreePoolWithTag(context, kPortTag);
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A request for the top of the target's stack, zeroed; on failure nothing is
// left allocated or referenced.
bool AllocateSent(PDEVICE_OBJECT target, PDEVICE_OBJECT* top, PIRP* irp, SentRequest** request) {
  *top = IoGetAttachedDeviceReference(target);
  *irp = IoAllocateIrp((*top)->StackSize, FALSE);
  *request = static_cast<SentRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SentRequest), kPortTag));
  if (*irp == nullptr || *request == nullptr) {
    if (*irp != nullptr) IoFreeIrp(*irp);
    if (*request != nullptr) ExFreePoolWithTag(*request, kPortTag);
    ObDereferenceObject(*top);
    return false;
  }
  std::memset(*request, 0, sizeof **request);
  return true;
}

NTSTATUS Send(PDEVICE_OBJECT top, PIRP irp, SentRequest* request, PIRP* sent) {
  IoSetCompletionRoutine(irp, FreeSentRequest, request, TRUE, TRUE, TRUE);
  if (sent != nullptr) *sent = irp;
  NTSTATUS status = IoCallDriver(top, irp);
  ObDereferenceObject(top);
  return status;
}

}  // namespace

NTSTATUS SendSrb(PDEVICE_OBJECT target, UCHAR target_id, PIRP* sent) {
  PDEVICE_OBJECT top = nullptr;
  PIRP irp = nullptr;
  SentRequest* request = nullptr;
  if (!AllocateSent(target, &top, &irp, &request)) return STATUS_INSUFFICIENT_RESOURCES;
  request->srb.Length = sizeof(SCSI_REQUEST_BLOCK);
  request->srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
  request->srb.TargetId = target_id;
  request->srb.OriginalRequest = irp;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_SCSI;
  next->Parameters.Scsi.Srb = &request->srb;
  return Send(top, irp, request, sent);
}

NTSTATUS SendPassThrough(PDEVICE_OBJECT target, UCHAR target_id, bool direct, PIRP* sent) {
  PDEVICE_OBJECT top = nullptr;
  PIRP irp = nullptr;
  SentRequest* request = nullptr;
  if (!AllocateSent(target, &top, &irp, &request)) return STATUS_INSUFFICIENT_RESOURCES;
  request->header.Length = sizeof(SCSI_PASS_THROUGH);
  request->header.TargetId = target_id;
  irp->AssociatedIrp.SystemBuffer = &request->header;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode =
      direct ? IOCTL_SCSI_PASS_THROUGH_DIRECT : IOCTL_SCSI_PASS_THROUGH;
  next->Parameters.DeviceIoControl.InputBufferLength = sizeof(SCSI_PASS_THROUGH);
  next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(SCSI_PASS_THROUGH);
  return Send(top, irp, request, sent);
}

}  // namespace sim
