// The machine's lower drivers, written against the kernel services as
// drivers are:
//  - bus and port drivers (pci, pciide, atapi, aic78u2, usbuhci, usbhub,
//    USBSTOR, ohci1394, sbp2port): a function device over the node's PDO
//    that reports the node's present children through BusRelations and
//    creates their PDOs; storage PDOs execute SRBs on the simulated bus;
//    port function devices take SCSI pass-through requests for the target
//    they name;
//  - class drivers (disk, cdrom, 4mmdat): turn reads and writes into SRBs
//    for the device below;
//  - PartMgr: an upper filter of the disk class that passes everything on.
#include <cstring>

#include "host_kernel/host_control.h"
#include "host_pnp/pnp.h"
#include "sim/machine.h"

namespace sim {
namespace {

constexpr ULONG kClassTag = hostk::MakeTag("SmCl");
constexpr ULONG kBusTag = hostk::MakeTag("SmBs");
constexpr uint32_t kSimMagic = 0x4D495348;  // "HSIM"

enum class ObjectKind : uint32_t { kPdo = 1, kBusFdo, kClassFdo, kFilter };

struct SimExtension {
  uint32_t magic;
  ObjectKind kind;
  HwNode* node;
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  LONG removed;  // read and written with atomics: I/O threads read it
  UCHAR target_id;
  // Function and filter devices hold it while a request is inside their
  // dispatch routine and drain it before a removal goes down, so no request
  // is on its way into the device below when that one is deleted.
  IO_REMOVE_LOCK remove_lock;
};

constexpr ULONG kRemoveLockTag = hostk::MakeTag("SmRl");

bool IsRemoved(const SimExtension* ext) { return __atomic_load_n(&ext->removed, __ATOMIC_ACQUIRE) != 0; }
void SetRemoved(SimExtension* ext, bool removed) {
  __atomic_store_n(&ext->removed, removed ? 1 : 0, __ATOMIC_RELEASE);
}

SimExtension* ExtensionOf(PDEVICE_OBJECT device) {
  auto* ext = static_cast<SimExtension*>(device->DeviceExtension);
  if (ext == nullptr || ext->magic != kSimMagic) return nullptr;
  return ext;
}

SimExtension* InitExtension(PDEVICE_OBJECT device, ObjectKind kind, HwNode* node) {
  auto* ext = static_cast<SimExtension*>(device->DeviceExtension);
  std::memset(ext, 0, sizeof *ext);
  ext->magic = kSimMagic;
  ext->kind = kind;
  ext->node = node;
  ext->self = device;
  IoInitializeRemoveLock(&ext->remove_lock, kRemoveLockTag, 0, 0);
  return ext;
}

using hostk::CompleteIrp;
using hostk::CompleteIrpUnchanged;

NTSTATUS PassDown(SimExtension* ext, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS PassPowerDown(SimExtension* ext, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->lower, irp);
}

// The last step of a function or filter device's removal, once the request
// has gone down: the device leaves its stack and is deleted.
NTSTATUS DetachAndDelete(SimExtension* ext, NTSTATUS status) {
  PDEVICE_OBJECT self = ext->self;
  IoDetachDevice(ext->lower);
  IoDeleteDevice(self);
  return status;
}

// The PnP requests a bus or class function device has nothing of its own to
// do for: state changes succeed here and go on to the PDO.
NTSTATUS FdoPnpPassDown(SimExtension* ext, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_SURPRISE_REMOVAL:
      SetRemoved(ext, true);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    default:
      return PassDown(ext, irp);
  }
}

NTSTATUS SignalEvent(PDEVICE_OBJECT /*device*/, PIRP /*irp*/, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(SimExtension* ext, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(ext->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

PWCHAR PoolText(const std::vector<std::string>& parts, bool multi) {
  return hostk::PoolWideText(parts, multi, kBusTag);
}

VOID NTAPI SimUnload(PDRIVER_OBJECT /*driver*/) {}

// --- Storage answers of a PDO ------------------------------------------

NTSTATUS AnswerAddress(StorageDevice* storage, PIRP irp) {
  if (!storage->port_number) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  return hostk::CompleteWithScsiAddress(irp, *storage->port_number, 0, storage->TargetId(), 0);
}

NTSTATUS AnswerQueryProperty(StorageDevice* storage, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  if (buffer == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(STORAGE_PROPERTY_QUERY)) {
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
  }
  STORAGE_PROPERTY_QUERY query;
  std::memcpy(&query, buffer, sizeof query);
  if (query.PropertyId != StorageDeviceProperty || query.QueryType != PropertyStandardQuery) {
    return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
  }
  UCHAR device_type = storage->Kind() == StorageKind::kCdRom ? 5 : storage->Kind() == StorageKind::kTape ? 1 : 0;
  BOOLEAN removable = storage->Kind() != StorageKind::kDisk ? TRUE : FALSE;
  return hostk::CompleteWithDeviceDescriptor(irp, device_type, removable, storage->bus_type);
}

bool IsPassThrough(PIO_STACK_LOCATION stack) {
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  return code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
}

// --- PDOs -----------------------------------------------------------------

NTSTATUS PdoPnp(SimExtension* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HwNode* node = ext->node;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      PWCHAR text = nullptr;
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          text = PoolText({node->device_id}, false);
          break;
        case BusQueryInstanceID:
          text = PoolText({node->instance_id}, false);
          break;
        case BusQueryHardwareIDs:
          text = PoolText(node->hardware_ids.empty() ? std::vector<std::string>{node->device_id} : node->hardware_ids,
                          true);
          break;
        case BusQueryCompatibleIDs:
          if (node->compatible_ids.empty()) return CompleteIrpUnchanged(irp);
          text = PoolText(node->compatible_ids, true);
          break;
        default:
          return CompleteIrpUnchanged(irp);
      }
      if (text == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
      return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      const std::string& source = stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription
                                      ? node->description
                                      : node->location;
      if (source.empty()) return CompleteIrpUnchanged(irp);
      PWCHAR text = PoolText({source}, false);
      if (text == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
      return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) return CompleteIrpUnchanged(irp);
      PDEVICE_RELATIONS relations = hostk::PoolDeviceRelations({ext->self}, kBusTag);
      if (relations == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
      return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
    }
    case IRP_MN_SURPRISE_REMOVAL:
      SetRemoved(ext, true);
      if (node->storage != nullptr) node->storage->GetBus()->FlushDevice(node->storage, STATUS_DEVICE_DOES_NOT_EXIST);
      return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      if (node->storage != nullptr) node->storage->GetBus()->FlushDevice(node->storage, STATUS_DEVICE_DOES_NOT_EXIST);
      bool gone = !node->present.load();
      PDEVICE_OBJECT self = ext->self;
      if (gone) {
        SetRemoved(ext, true);
        node->pdo = nullptr;
      } else {
        SetRemoved(ext, false);  // the device is still there and may be started again
      }
      CompleteIrp(irp, STATUS_SUCCESS);
      if (gone) IoDeleteDevice(self);
      return STATUS_SUCCESS;
    }
    case IRP_MN_START_DEVICE:
      SetRemoved(ext, false);
      node->closing = false;
      return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      return CompleteIrp(irp, STATUS_SUCCESS);
    default:
      return CompleteIrpUnchanged(irp);
  }
}

NTSTATUS PdoDispatch(SimExtension* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  StorageDevice* storage = ext->node->storage;
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      return PdoPnp(ext, irp);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MJ_SCSI:
      if (storage == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
      if (IsRemoved(ext)) return CompleteIrp(irp, STATUS_DEVICE_DOES_NOT_EXIST);
      return storage->GetBus()->Submit(storage, irp);
    case IRP_MJ_DEVICE_CONTROL: {
      if (storage == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
      ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      if (code == IOCTL_SCSI_GET_ADDRESS) return AnswerAddress(storage, irp);
      if (code == IOCTL_STORAGE_QUERY_PROPERTY) return AnswerQueryProperty(storage, irp);
      if (IsPassThrough(stack)) {
        if (IsRemoved(ext)) return CompleteIrp(irp, STATUS_DEVICE_DOES_NOT_EXIST);
        return storage->GetBus()->Submit(storage, irp);
      }
      return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return CompleteIrp(irp, STATUS_SUCCESS);
    default:
      return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// --- Bus and port function devices ----------------------------------------

NTSTATUS ReportChildren(SimExtension* ext, PIRP irp) {
  HwNode* node = ext->node;
  std::vector<PDEVICE_OBJECT> present;
  for (auto& child : node->children) {
    if (!child->present.load()) continue;
    if (child->pdo == nullptr) {
      PDEVICE_OBJECT pdo = nullptr;
      NTSTATUS status = IoCreateDevice(ext->self->DriverObject, sizeof(SimExtension), nullptr, child->pdo_type,
                                       FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
      if (!NT_SUCCESS(status)) continue;
      InitExtension(pdo, ObjectKind::kPdo, child.get());
      pdo->Flags |= DO_POWER_PAGABLE;
      pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
      child->pdo = pdo;
    }
    present.push_back(child->pdo);
  }
  PDEVICE_RELATIONS relations = hostk::PoolDeviceRelations(present, kBusTag);
  if (relations == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return PassDown(ext, irp);
}

NTSTATUS BusFdoPnp(SimExtension* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(ext, irp);
      if (NT_SUCCESS(status)) SetRemoved(ext, false);
      return CompleteIrp(irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return ReportChildren(ext, irp);
      return PassDown(ext, irp);
    case IRP_MN_REMOVE_DEVICE: {
      SetRemoved(ext, true);
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(ext, irp);
      // The children were removed before their parent; their PDOs go now.
      for (auto& child : ext->node->children) {
        if (child->pdo != nullptr) {
          IoDeleteDevice(child->pdo);
          child->pdo = nullptr;
        }
      }
      ext->node->fdo = nullptr;
      return DetachAndDelete(ext, status);
    }
    default:
      return FdoPnpPassDown(ext, irp);
  }
}

NTSTATUS BusFdoDispatch(SimExtension* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      return BusFdoPnp(ext, irp);
    case IRP_MJ_POWER:
      return PassPowerDown(ext, irp);
    case IRP_MJ_DEVICE_CONTROL:
      if (ext->node->role == NodeRole::kPort && IsPassThrough(stack)) {
        const auto* header = static_cast<const SCSI_PASS_THROUGH*>(irp->AssociatedIrp.SystemBuffer);
        if (header == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SCSI_PASS_THROUGH)) {
          return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
        }
        for (auto& child : ext->node->children) {
          StorageDevice* storage = child->storage;
          if (storage != nullptr && child->present.load() && child->pdo != nullptr &&
              storage->TargetId() == header->TargetId) {
            return storage->GetBus()->Submit(storage, irp);
          }
        }
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
      }
      return PassDown(ext, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return CompleteIrp(irp, STATUS_SUCCESS);
    default:
      return PassDown(ext, irp);
  }
}

// --- Class function devices -----------------------------------------------

constexpr UCHAR kScsiSynchronizeCache10 = 0x35;

struct ClassRequest {
  SCSI_REQUEST_BLOCK srb;
};

NTSTATUS ClassCompletion(PDEVICE_OBJECT /*device*/, PIRP irp, PVOID context) {
  ExFreePoolWithTag(context, kClassTag);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

// Reads, writes and flushes become one SRB each: READ(10), WRITE(10) or
// SYNCHRONIZE CACHE(10), which carries no data.
NTSTATUS ClassTransfer(SimExtension* ext, PIRP irp) {
  if (IsRemoved(ext)) return CompleteIrp(irp, STATUS_DEVICE_DOES_NOT_EXIST);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool write = stack->MajorFunction == IRP_MJ_WRITE;
  bool flush = stack->MajorFunction == IRP_MJ_FLUSH_BUFFERS;
  ULONG length = flush ? 0 : write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
  LONGLONG offset =
      flush ? 0 : write ? stack->Parameters.Write.ByteOffset.QuadPart : stack->Parameters.Read.ByteOffset.QuadPart;
  auto* request = static_cast<ClassRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ClassRequest), kClassTag));
  if (request == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
  std::memset(request, 0, sizeof *request);
  SCSI_REQUEST_BLOCK* srb = &request->srb;
  srb->Length = sizeof(SCSI_REQUEST_BLOCK);
  srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
  srb->TargetId = ext->target_id;
  srb->CdbLength = 10;
  srb->DataTransferLength = length;
  srb->OriginalRequest = irp;
  uint64_t lba = static_cast<uint64_t>(offset) / 512;
  uint32_t blocks = length / 512;
  srb->Cdb[0] = flush ? kScsiSynchronizeCache10 : write ? 0x2A : 0x28;
  srb->Cdb[2] = static_cast<UCHAR>(lba >> 24);
  srb->Cdb[3] = static_cast<UCHAR>(lba >> 16);
  srb->Cdb[4] = static_cast<UCHAR>(lba >> 8);
  srb->Cdb[5] = static_cast<UCHAR>(lba);
  srb->Cdb[7] = static_cast<UCHAR>(blocks >> 8);
  srb->Cdb[8] = static_cast<UCHAR>(blocks);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memset(next, 0, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->MajorFunction = IRP_MJ_SCSI;
  next->Parameters.Scsi.Srb = srb;
  IoSetCompletionRoutine(irp, ClassCompletion, request, TRUE, TRUE, TRUE);
  return IoCallDriver(ext->lower, irp);
}

UCHAR QueryTargetId(SimExtension* ext) {
  SCSI_ADDRESS address;
  std::memset(&address, 0, sizeof address);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io_status;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SCSI_GET_ADDRESS, ext->lower, nullptr, 0, &address,
                                           sizeof address, FALSE, &done, &io_status);
  if (irp == nullptr) return 0;
  NTSTATUS status = IoCallDriver(ext->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = io_status.Status;
  }
  return NT_SUCCESS(status) ? address.TargetId : 0;
}

NTSTATUS ClassPnp(SimExtension* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(ext, irp);
      if (NT_SUCCESS(status)) {
        ext->target_id = QueryTargetId(ext);
        SetRemoved(ext, false);
        ext->node->fdo = ext->self;
      }
      return CompleteIrp(irp, status);
    }
    case IRP_MN_REMOVE_DEVICE: {
      SetRemoved(ext, true);
      ext->node->fdo = nullptr;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return DetachAndDelete(ext, PassDown(ext, irp));
    }
    default:
      return FdoPnpPassDown(ext, irp);
  }
}

NTSTATUS ClassDispatch(SimExtension* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      return ClassPnp(ext, irp);
    case IRP_MJ_POWER:
      return PassPowerDown(ext, irp);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_FLUSH_BUFFERS:
      return ClassTransfer(ext, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return CompleteIrp(irp, STATUS_SUCCESS);
    default:
      return PassDown(ext, irp);
  }
}

// --- Filters ---------------------------------------------------------------

NTSTATUS FilterDispatch(SimExtension* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) return PassPowerDown(ext, irp);
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    return DetachAndDelete(ext, PassDown(ext, irp));
  }
  return PassDown(ext, irp);
}

// --- Driver objects --------------------------------------------------------

NTSTATUS DispatchByKind(SimExtension* ext, PIRP irp) {
  switch (ext->kind) {
    case ObjectKind::kPdo:
      return PdoDispatch(ext, irp);
    case ObjectKind::kBusFdo:
      return BusFdoDispatch(ext, irp);
    case ObjectKind::kClassFdo:
      return ClassDispatch(ext, irp);
    case ObjectKind::kFilter:
      return FilterDispatch(ext, irp);
  }
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

bool IsRemoval(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
}

NTSTATUS NTAPI SimDispatch(PDEVICE_OBJECT device, PIRP irp) {
  SimExtension* ext = ExtensionOf(device);
  if (ext == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  if (ext->kind == ObjectKind::kPdo) return PdoDispatch(ext, irp);
  // Workload threads send requests into the stacks while the Plug and Play
  // manager removes devices: the removal first waits for the requests that
  // are inside this device, then goes down.
  NTSTATUS status = IoAcquireRemoveLock(&ext->remove_lock, irp);
  if (!NT_SUCCESS(status)) return CompleteIrp(irp, status);
  if (IsRemoval(irp)) {
    IoReleaseRemoveLockAndWait(&ext->remove_lock, irp);
    return DispatchByKind(ext, irp);
  }
  status = DispatchByKind(ext, irp);
  IoReleaseRemoveLock(&ext->remove_lock, irp);
  return status;
}

HwNode* NodeOfPdo(PDEVICE_OBJECT pdo) {
  SimExtension* ext = ExtensionOf(pdo);
  if (ext != nullptr && ext->kind == ObjectKind::kPdo) return ext->node;
  // A PDO of the root enumerator: the machine's root bus.
  Machine* machine = Machine::Current();
  return machine != nullptr ? machine->Root() : nullptr;
}

NTSTATUS AddDeviceOfKind(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, ObjectKind kind, DEVICE_TYPE type) {
  HwNode* node = NodeOfPdo(pdo);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(SimExtension), nullptr, type, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  SimExtension* ext = InitExtension(device, kind, node);
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (ext->lower == nullptr) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  if (kind == ObjectKind::kBusFdo) node->fdo = device;
  device->Flags |= ext->lower->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
  if (kind == ObjectKind::kClassFdo) device->Flags |= DO_DIRECT_IO;
  device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  HwNode* node = NodeOfPdo(pdo);
  DEVICE_TYPE type = node != nullptr && node->role == NodeRole::kPort ? FILE_DEVICE_CONTROLLER : FILE_DEVICE_BUS_EXTENDER;
  return AddDeviceOfKind(driver, pdo, ObjectKind::kBusFdo, type);
}

NTSTATUS NTAPI DiskAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return AddDeviceOfKind(driver, pdo, ObjectKind::kClassFdo, FILE_DEVICE_DISK);
}

NTSTATUS NTAPI CdRomAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return AddDeviceOfKind(driver, pdo, ObjectKind::kClassFdo, FILE_DEVICE_CD_ROM);
}

NTSTATUS NTAPI TapeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return AddDeviceOfKind(driver, pdo, ObjectKind::kClassFdo, FILE_DEVICE_TAPE);
}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  DEVICE_TYPE type = top->DeviceType;
  ObDereferenceObject(top);
  return AddDeviceOfKind(driver, pdo, ObjectKind::kFilter, type);
}

void InstallDispatch(PDRIVER_OBJECT driver, PDRIVER_ADD_DEVICE add_device) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = SimDispatch;
  driver->DriverExtension->AddDevice = add_device;
  driver->DriverUnload = SimUnload;
}

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING /*path*/) {
  InstallDispatch(driver, BusAddDevice);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DiskDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING /*path*/) {
  InstallDispatch(driver, DiskAddDevice);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CdRomDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING /*path*/) {
  InstallDispatch(driver, CdRomAddDevice);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI TapeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING /*path*/) {
  InstallDispatch(driver, TapeAddDevice);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING /*path*/) {
  InstallDispatch(driver, FilterAddDevice);
  return STATUS_SUCCESS;
}

}  // namespace

void RegisterMachineDrivers() {
  for (const char* service :
       {"pci", "pciide", "atapi", "aic78u2", "usbuhci", "usbhub", "USBSTOR", "ohci1394", "sbp2port"}) {
    hostpnp::RegisterDriverImage(service, BusDriverEntry);
  }
  hostpnp::RegisterDriverImage("disk", DiskDriverEntry);
  hostpnp::RegisterDriverImage("cdrom", CdRomDriverEntry);
  hostpnp::RegisterDriverImage("4mmdat", TapeDriverEntry);
  hostpnp::RegisterDriverImage("PartMgr", FilterDriverEntry);
}

}  // namespace sim
