// I/O request packets: allocation, sending down a stack (IofCallDriver),
// completion with completion routines run bottom-up as Windows runs them
// (invoke flags, STATUS_MORE_PROCESSING_REQUIRED, pending propagation),
// the I/O manager's own completion of the IRPs it built for a caller,
// device control requests, MDLs, cancellation and the power manager's
// calls.
//
// Outside benchmark builds each IRP has a tracking record for the
// verifier: where it was passed down from, which stack locations returned
// STATUS_PENDING and whether they were marked pending, and whether its
// completion ran to the top.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "host_common/faults.h"
#include "internal.h"

namespace hostk {
namespace {

using internal::Report;
using verifier::Rule;

// IoAllocateIrp's IRPs carry this allocation flag; they alone may be freed
// with IoFreeIrp.
constexpr UCHAR kAllocatedByIoAllocateIrp = 0x04;
constexpr ULONG kSystemBufferTag = MakeTag("IoSb");
constexpr ULONG kMdlTag = MakeTag("Mdl ");

char g_ioManagerThread;
KSPIN_LOCK g_cancelLock = 0;

// IRPs built by IoBuildDeviceIoControlRequest: the I/O manager finishes
// them in the thread that built them, through a special kernel APC, and
// frees them itself.
std::mutex g_threadedMutex;
std::set<PIRP> g_threadedIrps;

bool IsThreaded(PIRP irp) {
  std::lock_guard<std::mutex> hold(g_threadedMutex);
  return g_threadedIrps.count(irp) != 0;
}

void ForgetThreaded(PIRP irp) {
  std::lock_guard<std::mutex> hold(g_threadedMutex);
  g_threadedIrps.erase(irp);
}

// The power manager of Windows 2000 gives each device one set-power or
// query-power IRP at a time: the next waits until the driver calls
// PoStartNextPowerIrp for the one it has.
struct PowerSlot {
  PIRP active = nullptr;
  std::deque<PIRP> waiting;
};
std::mutex g_powerMutex;
std::map<PDEVICE_OBJECT, PowerSlot> g_powerSlots;

bool IsSerialisedPowerIrp(PIRP irp) {
  const PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  return next->MajorFunction == IRP_MJ_POWER &&
         (next->MinorFunction == IRP_MN_SET_POWER || next->MinorFunction == IRP_MN_QUERY_POWER);
}

// Hands device's slot to the next waiting IRP, if any; returns it.
PIRP NextPowerIrp(PDEVICE_OBJECT device) {
  auto it = g_powerSlots.find(device);
  if (it == g_powerSlots.end()) return nullptr;
  PowerSlot& slot = it->second;
  slot.active = nullptr;
  if (!slot.waiting.empty()) {
    slot.active = slot.waiting.front();
    slot.waiting.pop_front();
  }
  PIRP next = slot.active;
  if (next == nullptr) g_powerSlots.erase(it);
  return next;
}

// Devices without DO_POWER_PAGABLE get their power IRPs at DISPATCH_LEVEL.
NTSTATUS DeliverPowerIrp(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL old = KeGetCurrentIrql();
  const bool raise = !(device->Flags & DO_POWER_PAGABLE) && old < DISPATCH_LEVEL;
  if (raise) KfRaiseIrql(DISPATCH_LEVEL);
  NTSTATUS status = IofCallDriver(device, irp);
  if (raise) KfLowerIrql(old);
  return status;
}

void StartNextPowerIrpOf(PDEVICE_OBJECT device, PIRP irp) {
  PIRP next = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_powerMutex);
    auto it = g_powerSlots.find(device);
    if (it == g_powerSlots.end() || it->second.active != irp) return;
    next = NextPowerIrp(device);
  }
  if (next != nullptr) (void)DeliverPowerIrp(device, next);
}

// A power IRP that is done (completed to the top, or freed) must have
// been started on from every device it held.
void CheckPowerIrpFinished(PIRP irp) {
  std::vector<PDEVICE_OBJECT> holding;
  {
    std::lock_guard<std::mutex> hold(g_powerMutex);
    for (const auto& [device, slot] : g_powerSlots)
      if (slot.active == irp) holding.push_back(device);
  }
  for (PDEVICE_OBJECT device : holding) {
    internal::Report(verifier::Rule::kPowerIrpNotStarted, "power IRP %p finished; device %p never called PoStartNextPowerIrp",
                     static_cast<void*>(irp), static_cast<void*>(device));
    StartNextPowerIrpOf(device, irp);
  }
}

// Set by the Plug and Play manager for the one call that hands its own
// IRP to the top of a stack; taken by that call.
thread_local bool t_pnpManagerSends = false;

bool TakePnpManagerSend() {
  const bool pnpManager = t_pnpManagerSends;
  t_pnpManagerSends = false;
  return pnpManager;
}

#ifndef QELV_BENCH_BUILD
struct IrpTrack {
  explicit IrpTrack(int stackCount)
      : passedTo(stackCount + 2), bitRead(stackCount + 2), pendingBit(stackCount + 2),
        returnedPending(stackCount + 2) {}
  std::mutex mutex;
  bool completed = false;  // completion passed the last driver's location
  // Indexed by location number (CurrentLocation values 1..StackCount+1).
  std::vector<std::vector<PDEVICE_OBJECT>> passedTo;
  std::vector<uint8_t> bitRead;          // completion has read this location's pending bit
  std::vector<uint8_t> pendingBit;       // ...and this was it
  std::vector<uint8_t> returnedPending;  // its dispatch returned STATUS_PENDING, bit not yet seen
};

std::mutex g_irpsMutex;
std::unordered_map<PIRP, std::shared_ptr<IrpTrack>> g_irps;

std::shared_ptr<IrpTrack> TrackOf(PIRP irp) {
  std::lock_guard<std::mutex> hold(g_irpsMutex);
  auto it = g_irps.find(irp);
  return it == g_irps.end() ? nullptr : it->second;
}

// IRPs freed since (the I/O manager frees the ones it finishes): one that
// is completed again was completed twice, and is not touched. The oldest
// are forgotten.
constexpr size_t kFreedIrpsRemembered = 4096;
std::deque<PIRP> g_freedOrder;
std::unordered_set<PIRP> g_freed;

void StartTracking(PIRP irp) {
  auto track = std::make_shared<IrpTrack>(std::max<int>(irp->StackCount, 0));
  std::lock_guard<std::mutex> hold(g_irpsMutex);
  g_irps[irp] = std::move(track);
  g_freed.erase(irp);
}

void StopTracking(PIRP irp) {
  std::lock_guard<std::mutex> hold(g_irpsMutex);
  g_irps.erase(irp);
  if (g_freedOrder.size() == kFreedIrpsRemembered) {
    g_freed.erase(g_freedOrder.front());
    g_freedOrder.pop_front();
  }
  g_freed.insert(irp);
  g_freedOrder.push_back(irp);
}

bool WasFreed(PIRP irp) {
  std::lock_guard<std::mutex> hold(g_irpsMutex);
  return g_freed.count(irp) != 0;
}

// Once a device has handled its removal, or has been deleted, no driver
// may send it anything. The Plug and Play manager may: a PDO it keeps
// gets a second removal when it goes, and IRP_MN_START_DEVICE when it is
// brought back.
void CheckTargetPresent(PDEVICE_OBJECT device, PIRP irp, const IO_STACK_LOCATION& sp, bool fromPnpManager) {
  internal::DeviceData* data = internal::DataOf(device);
  if (!data->removed.load()) return;
  bool deleted;
  {
    std::lock_guard<std::recursive_mutex> hold(internal::ObjectLock());
    deleted = data->deletePending;
    if (fromPnpManager && sp.MajorFunction == IRP_MJ_PNP && sp.MinorFunction == IRP_MN_START_DEVICE && !deleted)
      data->removed = false;
  }
  if (fromPnpManager) return;
  Report(Rule::kIrpToRemovedDevice, "IRP %p (major %u, minor %u) sent to device %p after it was %s",
         static_cast<void*>(irp), sp.MajorFunction, sp.MinorFunction, static_cast<void*>(device),
         deleted ? "deleted" : "removed (IRP_MN_REMOVE_DEVICE)");
}

bool InRange(const IrpTrack& track, int location) {
  return location >= 0 && static_cast<size_t>(location) < track.passedTo.size();
}
#else
struct IrpTrack {};
std::shared_ptr<IrpTrack> TrackOf(PIRP) { return nullptr; }
void StartTracking(PIRP) {}
void StopTracking(PIRP) {}
#endif

void InitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize, UCHAR allocationFlags) {
  std::memset(irp, 0, packetSize);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->AllocationFlags = allocationFlags;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  StartTracking(irp);
}

// What ZeroIrpStackLocation leaves of a location once completion has
// passed it: major function, device object and the completion routine.
void ClearStackLocation(PIO_STACK_LOCATION sp) {
  sp->MinorFunction = 0;
  sp->Flags = 0;
  sp->Control = 0;
  sp->Parameters.Others.Argument1 = nullptr;
  sp->Parameters.Others.Argument2 = nullptr;
  sp->Parameters.Others.Argument3 = nullptr;
  sp->Parameters.Others.Argument4 = nullptr;
  sp->FileObject = nullptr;
}

// The I/O manager's part of completion for an IRP it built for a caller:
// copy buffered output back, release the system buffer and MDLs, fill the
// caller's status block, free the IRP, then wake the caller.
void CompleteForCaller(PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  if (irp->Flags & IRP_BUFFERED_IO) {
    if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) && irp->UserBuffer != nullptr) {
      // Overlay.AllocationSize holds the caller's output length (see
      // BuildBufferedRequest).
      auto capacity = static_cast<ULONG_PTR>(irp->Overlay.AllocationSize.QuadPart);
      ULONG_PTR count = irp->IoStatus.Information;
      if (count > capacity) {
        Report(Rule::kInformationTooLarge,
               "IRP %p completed with Information %lu for a %lu-byte output buffer",
               static_cast<void*>(irp), static_cast<unsigned long>(count),
               static_cast<unsigned long>(capacity));
        count = capacity;
      }
      if (count > 0) std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, count);
    }
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
      internal::FreeSystemPool(irp->AssociatedIrp.SystemBuffer);
      irp->AssociatedIrp.SystemBuffer = nullptr;
    }
  }
  while (PMDL mdl = irp->MdlAddress) {
    irp->MdlAddress = mdl->Next;
    IoFreeMdl(mdl);
  }
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  ForgetThreaded(irp);
  IoFreeIrp(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// The rest of completion for an IRP a driver built: in the building
// thread, by an APC.
void CompleteForBuilder(PIRP irp) {
  internal::QueueSpecialApc(reinterpret_cast<PKTHREAD>(irp->Tail.Overlay.Thread), irp->UserEvent,
                            [irp] { CompleteForCaller(irp); });
}

}  // namespace

namespace internal {

PETHREAD IoManagerThreadMarker() { return reinterpret_cast<PETHREAD>(&g_ioManagerThread); }

PIRP AllocateIrpInternal(CCHAR stackSize) {
  if (stackSize < 1) return nullptr;
  USHORT size = IoSizeOfIrp(stackSize);
  auto* irp = static_cast<PIRP>(std::malloc(size));
  if (irp == nullptr) return nullptr;
  InitializeIrp(irp, size, stackSize, kAllocatedByIoAllocateIrp);
  return irp;
}

PIRP BuildDeviceControlIrp(ULONG code, CCHAR stackSize, PVOID inBuffer, ULONG inLength,
                           PVOID outBuffer, ULONG outLength, BOOLEAN internalControl) {
  PIRP irp = AllocateIrpInternal(stackSize);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = internalControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
  sp->Parameters.DeviceIoControl.IoControlCode = code;

  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
      // One system buffer of the larger length carries the input down and
      // the output back.
      ULONG length = std::max(inLength, outLength);
      if (length > 0) {
        void* buffer = AllocateSystemPool(NonPagedPool, length, kSystemBufferTag);
        if (buffer == nullptr) {
          IoFreeIrp(irp);
          return nullptr;
        }
        if (inBuffer != nullptr && inLength > 0) std::memcpy(buffer, inBuffer, inLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (outBuffer != nullptr && outLength > 0) irp->Flags |= IRP_INPUT_OPERATION;
      }
      irp->UserBuffer = outBuffer;
      // Completion copies back at most this much.
      irp->Overlay.AllocationSize.QuadPart = outLength;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (inBuffer != nullptr && inLength > 0) {
        void* buffer = AllocateSystemPool(NonPagedPool, inLength, kSystemBufferTag);
        if (buffer == nullptr) {
          IoFreeIrp(irp);
          return nullptr;
        }
        std::memcpy(buffer, inBuffer, inLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (outBuffer != nullptr && outLength > 0) IoAllocateMdl(outBuffer, outLength, FALSE, FALSE, irp);
      irp->UserBuffer = outBuffer;
      break;
    default:  // METHOD_NEITHER: the driver gets the caller's pointers
      sp->Parameters.DeviceIoControl.Type3InputBuffer = inBuffer;
      irp->UserBuffer = outBuffer;
      break;
  }
  irp->Tail.Overlay.Thread = IoManagerThreadMarker();
  return irp;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace internal

namespace {

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS CallDriverAsPnpManager(PDEVICE_OBJECT top, PIRP irp) {
  t_pnpManagerSends = true;
  const bool power = IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
  NTSTATUS status = power ? PoCallDriver(top, irp) : IofCallDriver(top, irp);
  t_pnpManagerSends = false;  // a power IRP may wait in the power manager's queue
  return status;
}

NTSTATUS SendSynchronousIrp(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction,
                            const std::function<void(IO_STACK_LOCATION&)>& fill,
                            ULONG_PTR* information) {
  internal::CheckIrql("SendSynchronousIrp", PASSIVE_LEVEL);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = internal::AllocateIrpInternal(top->StackSize);
  if (irp == nullptr) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  bool pnpOrPower = majorFunction == IRP_MJ_PNP || majorFunction == IRP_MJ_POWER;
  irp->IoStatus.Status = pnpOrPower ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = majorFunction;
  sp->MinorFunction = minorFunction;
  if (fill) fill(*sp);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);

  NTSTATUS sent = CallDriverAsPnpManager(top, irp);
  if (sent == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  if (information != nullptr) *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  ObfDereferenceObject(top);
  return status;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS CompleteIrpUnchanged(PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

namespace {

NTSTATUS CompleteWithReply(PIRP irp, const void* reply, ULONG size) {
  ULONG outLength = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  if (buffer == nullptr || outLength < size) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL);
  std::memset(buffer, 0, outLength);
  std::memcpy(buffer, reply, size);
  return CompleteIrp(irp, STATUS_SUCCESS, size);
}

}  // namespace

NTSTATUS CompleteWithScsiAddress(PIRP irp, UCHAR port, UCHAR path, UCHAR target, UCHAR lun) {
  SCSI_ADDRESS address;
  std::memset(&address, 0, sizeof address);
  address.Length = sizeof(SCSI_ADDRESS);
  address.PortNumber = port;
  address.PathId = path;
  address.TargetId = target;
  address.Lun = lun;
  return CompleteWithReply(irp, &address, sizeof address);
}

NTSTATUS CompleteWithDeviceDescriptor(PIRP irp, UCHAR deviceType, BOOLEAN removable, STORAGE_BUS_TYPE busType) {
  STORAGE_DEVICE_DESCRIPTOR descriptor;
  std::memset(&descriptor, 0, sizeof descriptor);
  descriptor.Version = sizeof descriptor;
  descriptor.Size = sizeof descriptor;
  descriptor.DeviceType = deviceType;
  descriptor.RemovableMedia = removable;
  descriptor.BusType = busType;
  return CompleteWithReply(irp, &descriptor, sizeof descriptor);
}

PWCHAR PoolWideText(const std::vector<std::string>& parts, bool multi, ULONG tag) {
  size_t units = 1;
  for (const auto& p : parts) units += p.size() + 1;
  auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), tag));
  if (out == nullptr) return nullptr;
  size_t at = 0;
  for (const auto& p : parts) {
    for (char c : p) out[at++] = static_cast<unsigned char>(c);
    out[at++] = 0;
    if (!multi) break;
  }
  out[at] = 0;
  return out;
}

PDEVICE_RELATIONS PoolDeviceRelations(const std::vector<PDEVICE_OBJECT>& devices, ULONG tag) {
  size_t size = sizeof(DEVICE_RELATIONS) + (devices.empty() ? 0 : (devices.size() - 1) * sizeof(PDEVICE_OBJECT));
  auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, tag));
  if (relations == nullptr) return nullptr;
  relations->Count = static_cast<ULONG>(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    MarkPhysicalDevice(devices[i]);  // what a bus driver reports is a PDO
    ObReferenceObject(devices[i]);
    relations->Objects[i] = devices[i];
  }
  return relations;
}

}  // namespace hostk

using hostk::internal::Report;
using hostk::verifier::Rule;

// --- Allocation

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  hostk::internal::CheckIrql("IoAllocateIrp", DISPATCH_LEVEL);
  if (hostfault::ShouldFail("IoAllocateIrp")) return nullptr;
  return hostk::internal::AllocateIrpInternal(StackSize);
}

extern "C" VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  hostk::InitializeIrp(Irp, PacketSize, StackSize, 0);
}

extern "C" VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  UCHAR allocationFlags = Irp->AllocationFlags;
  hostk::InitializeIrp(Irp, Irp->Size, Irp->StackCount, allocationFlags);
  Irp->IoStatus.Status = Iostatus;
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
  if ((Irp->AllocationFlags & hostk::kAllocatedByIoAllocateIrp) == 0) {
    Report(Rule::kPoolBadFree, "IoFreeIrp(%p): not an IRP from IoAllocateIrp", static_cast<void*>(Irp));
    return;
  }
  if (hostk::IsThreaded(Irp)) {
    Report(Rule::kFreeThreadedIrp, "IoFreeIrp(%p): built by IoBuildDeviceIoControlRequest", static_cast<void*>(Irp));
    return;  // the I/O manager still owns it
  }
  hostk::CheckPowerIrpFinished(Irp);
  hostk::StopTracking(Irp);
  Irp->Type = 0;
  std::free(Irp);
}

// --- Sending and completing

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  hostk::internal::CheckIrql("IoCallDriver", DISPATCH_LEVEL);
  int from = Irp->CurrentLocation;
  if (from <= 1 || from > Irp->StackCount + 1) {
    Report(Rule::kIrpStackOverrun,
           "IoCallDriver(%p, IRP %p) from location %d of an IRP with %d stack locations",
           static_cast<void*>(DeviceObject), static_cast<void*>(Irp), from, Irp->StackCount);
    return STATUS_INVALID_DEVICE_STATE;
  }
  [[maybe_unused]] int to = from - 1;

  auto track = hostk::TrackOf(Irp);
#ifndef QELV_BENCH_BUILD
  if (track) {
    bool twice;
    {
      std::lock_guard<std::mutex> hold(track->mutex);
      if (from == Irp->StackCount + 1) track->completed = false;  // the originator sends it anew
      auto& targets = track->passedTo[from];
      twice = std::find(targets.begin(), targets.end(), DeviceObject) != targets.end();
      if (!twice) targets.push_back(DeviceObject);
      track->bitRead[to] = 0;
      track->pendingBit[to] = 0;
      track->returnedPending[to] = 0;
    }
    if (twice)
      Report(Rule::kIrpPassedDownTwice,
             "IRP %p sent to device %p again from location %d before it came back",
             static_cast<void*>(Irp), static_cast<void*>(DeviceObject), from);
  }
#endif

  [[maybe_unused]] const bool fromPnpManager = hostk::TakePnpManagerSend();
  Irp->CurrentLocation--;
  PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
  sp->DeviceObject = DeviceObject;
#ifndef QELV_BENCH_BUILD
  hostk::CheckTargetPresent(DeviceObject, Irp, *sp, fromPnpManager);
#endif

  PDRIVER_DISPATCH dispatch = sp->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION
                                  ? DeviceObject->DriverObject->MajorFunction[sp->MajorFunction]
                                  : nullptr;
  if (dispatch == nullptr) dispatch = hostk::internal::InvalidDeviceRequest;

  KIRQL irql = KeGetCurrentIrql();
  NTSTATUS status;
  {
    hostk::internal::DriverContext context(DeviceObject->DriverObject);
    status = dispatch(DeviceObject, Irp);
  }
  if (KeGetCurrentIrql() != irql)
    Report(Rule::kIrqlNotRestored, "dispatch routine of major function %u on device %p entered at IRQL %u, returned at %u",
           sp->MajorFunction, static_cast<void*>(DeviceObject), irql, KeGetCurrentIrql());

#ifndef QELV_BENCH_BUILD
  if (track && status == STATUS_PENDING) {
    bool unmarked = false;
    {
      std::lock_guard<std::mutex> hold(track->mutex);
      if (track->bitRead[to])
        unmarked = !track->pendingBit[to];
      else
        track->returnedPending[to] = 1;  // judged when completion reaches it
    }
    if (unmarked)
      Report(Rule::kPendingNotMarked, "device %p returned STATUS_PENDING for IRP %p at location %d",
             static_cast<void*>(DeviceObject), static_cast<void*>(Irp), to);
  }
#else
  (void)track;
#endif
  return status;
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  hostk::internal::CheckIrql("IoCompleteRequest", DISPATCH_LEVEL);
#ifndef QELV_BENCH_BUILD
  if (hostk::WasFreed(Irp)) {
    Report(Rule::kIrpCompletedTwice, "IRP %p completed again after it was finished and freed", static_cast<void*>(Irp));
    return;
  }
#endif
  auto track = hostk::TrackOf(Irp);
#ifndef QELV_BENCH_BUILD
  if (track) {
    bool completed;
    {
      std::lock_guard<std::mutex> hold(track->mutex);
      completed = track->completed;
    }
    if (completed) {
      Report(Rule::kIrpCompletedTwice, "IRP %p", static_cast<void*>(Irp));
      return;
    }
  }
#endif
  if (Irp->IoStatus.Status == STATUS_PENDING)
    Report(Rule::kIrpCompletedPending, "IRP %p", static_cast<void*>(Irp));
  if (Irp->CurrentLocation > Irp->StackCount + 1 || Irp->CurrentLocation < 1) {
    Report(Rule::kIrpStackOverrun, "IoCompleteRequest(IRP %p) at location %d of %d",
           static_cast<void*>(Irp), Irp->CurrentLocation, Irp->StackCount);
    return;
  }

  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
       Irp->CurrentLocation <= Irp->StackCount + 1;
       sp++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
    Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;

#ifndef QELV_BENCH_BUILD
    if (track) {
      int location = Irp->CurrentLocation - 1;
      bool unmarked = false;
      {
        std::lock_guard<std::mutex> hold(track->mutex);
        if (hostk::InRange(*track, location)) {
          track->bitRead[location] = 1;
          track->pendingBit[location] = Irp->PendingReturned;
          unmarked = track->returnedPending[location] && !Irp->PendingReturned;
          track->returnedPending[location] = 0;
          track->passedTo[Irp->CurrentLocation].clear();
        }
      }
      if (unmarked)
        Report(Rule::kPendingNotMarked, "device %p returned STATUS_PENDING for IRP %p at location %d",
               static_cast<void*>(sp->DeviceObject), static_cast<void*>(Irp), location);
    }
#endif

    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                  (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
    PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
    PVOID context = sp->Context;
#ifndef QELV_BENCH_BUILD
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE && sp->DeviceObject != nullptr)
      hostk::internal::MarkRemoved(sp->DeviceObject);  // its driver is done with the removal
#endif
    hostk::ClearStackLocation(sp);
    if (invoke && routine != nullptr) {
      const bool originatorsRoutine = Irp->CurrentLocation == Irp->StackCount + 1;
      PDEVICE_OBJECT device = originatorsRoutine ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      KIRQL irql = KeGetCurrentIrql();
      NTSTATUS result;
      {
        hostk::internal::DriverContext driver(device != nullptr ? device->DriverObject : nullptr);
        result = routine(device, Irp, context);
      }
      if (KeGetCurrentIrql() != irql)
        Report(Rule::kIrqlNotRestored, "completion routine %p entered at IRQL %u, returned at %u",
               reinterpret_cast<void*>(routine), irql, KeGetCurrentIrql());
      // The IRP belongs to the routine's driver now; it may be gone. When
      // that is its originator, every driver has let it finish: another
      // completion is one too many.
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
#ifndef QELV_BENCH_BUILD
        if (track && originatorsRoutine) {
          std::lock_guard<std::mutex> hold(track->mutex);
          track->completed = true;
        }
#else
        (void)originatorsRoutine;
#endif
        return;
      }
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }

#ifndef QELV_BENCH_BUILD
  if (track) {
    std::lock_guard<std::mutex> hold(track->mutex);
    track->completed = true;
  }
#endif
  hostk::CheckPowerIrpFinished(Irp);
  if (Irp->Tail.Overlay.Thread == hostk::internal::IoManagerThreadMarker())
    hostk::CompleteForCaller(Irp);
  else if (hostk::IsThreaded(Irp))
    hostk::CompleteForBuilder(Irp);
}

// --- Device control requests

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(
    ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer, ULONG InputBufferLength,
    PVOID OutputBuffer, ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl, PKEVENT Event,
    PIO_STATUS_BLOCK IoStatusBlock) {
  hostk::internal::CheckIrql("IoBuildDeviceIoControlRequest", APC_LEVEL);
  if (hostfault::ShouldFail("IoBuildDeviceIoControlRequest")) return nullptr;
  PIRP irp = hostk::internal::BuildDeviceControlIrp(IoControlCode, DeviceObject->StackSize, InputBuffer,
                                                    InputBufferLength, OutputBuffer, OutputBufferLength,
                                                    InternalDeviceIoControl);
  if (irp == nullptr) return nullptr;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  std::lock_guard<std::mutex> hold(hostk::g_threadedMutex);
  hostk::g_threadedIrps.insert(irp);
  return irp;
}

// --- MDLs: the host maps everything, so an MDL is just the buffer.

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN ChargeQuota, PIRP Irp) {
  auto* mdl = static_cast<PMDL>(hostk::internal::AllocateSystemPool(NonPagedPool, sizeof(MDL), hostk::kMdlTag));
  if (mdl == nullptr) return nullptr;
  std::memset(mdl, 0, sizeof(MDL));
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA;
  mdl->StartVa = VirtualAddress;
  mdl->MappedSystemVa = VirtualAddress;
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) { hostk::internal::FreeSystemPool(Mdl); }

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
}

extern "C" PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, MM_PAGE_PRIORITY Priority) {
  return Mdl->MappedSystemVa;
}

// --- Cancellation

extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = KfAcquireSpinLock(&hostk::g_cancelLock);
}

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  KfReleaseSpinLock(&hostk::g_cancelLock, Irql);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  // The cancel routine releases the cancel spin lock.
  Irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  return TRUE;
}

// --- Power manager

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (hostk::IsSerialisedPowerIrp(Irp)) {
    std::lock_guard<std::mutex> hold(hostk::g_powerMutex);
    hostk::PowerSlot& slot = hostk::g_powerSlots[DeviceObject];
    if (slot.active != nullptr) {
      // Pending from here; the driver sees it when the slot is free.
      IoGetNextIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
      slot.waiting.push_back(Irp);
      return STATUS_PENDING;
    }
    slot.active = Irp;
  }
  return hostk::DeliverPowerIrp(DeviceObject, Irp);
}

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  hostk::StartNextPowerIrpOf(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
}

extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                             POWER_STATE State) {
  return State;
}
