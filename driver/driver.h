// qelvard1 internal header: the filter device record, the driver-wide
// state block and the routines the files of the driver share.
//
// Where each routine runs is said once, at its declaration here.
// Everything that can run at DISPATCH_LEVEL, and all driver-wide data, is
// resident; the routines and strings used only while loading live in the
// discardable INIT section.
#pragma once

#include "platform/kernel_services.h"

#include "driver/kv_control.h"

#if defined(_WIN32)
#define KV_INIT_CODE __attribute__((section("INIT")))
// Merged into INIT by the linker; a data section of its own avoids the
// code/data section type conflict in the compiler.
#define KV_INIT_DATA __attribute__((section("INIT$data")))
#else
#define KV_INIT_CODE
#define KV_INIT_DATA
#endif

// "KVtg" in memory: the tag of pool allocations and remove locks.
constexpr ULONG KvPoolTag = (ULONG)'K' | ((ULONG)'V' << 8) | ((ULONG)'t' << 16) | ((ULONG)'g' << 24);

constexpr ULONG KvBusCount = KV_BUS_COUNT;
constexpr ULONG KvDescriptionSize = 256;
constexpr ULONG KvIdentifyBufferSize = 2048;
constexpr ULONG KvRemoveLockMaxMinutes = 1;
constexpr ULONG KvRemoveLockHighWatermark = 250;

// The device extension of every filter device object. The fields that
// the lookups under StatisticsLock read come first, so a walk touches one
// cache line per record.
struct FilterDeviceRecord {
  LIST_ENTRY Link;                 // FilterDeviceList membership
  // A bus filter's requests are attributed among its own children only:
  // ChildList holds them in creation order (list order), each by its
  // ChildLink; a child whose bus filter is gone is linked to itself.
  LIST_ENTRY ChildLink;
  LIST_ENTRY ChildList;
  PDEVICE_OBJECT ParentDevice;     // bus filter a child was found under
  // That bus filter's record while the child is on its ChildList, null
  // once the bus filter is gone (ParentDevice then names freed memory).
  FilterDeviceRecord* ParentRecord;
  BOOLEAN IsBusFilter;
  BOOLEAN IdentifyPending;         // TRUE until identification ran
  UCHAR BusIndex;
  UCHAR TargetId;
  STORAGE_BUS_TYPE BusType;
  PDEVICE_OBJECT Self;             // the filter device owning this record
  PDEVICE_OBJECT LowerDevice;      // below us; fixed after attach
  PDEVICE_OBJECT PhysicalDevice;   // the PDO we attached above
  LONG PagingPathCount;            // interlocked only
  KEVENT PagingEvent;              // serialises paging notifications
  IO_REMOVE_LOCK RemoveLock;       // Plug and Play requests
  // Counted storage requests, from dispatch to completion, and the
  // identification of the record. A disk can have hundreds of requests
  // outstanding and a pass-through can run for many minutes, beyond the
  // limits RemoveLock is initialised with, so this one has none.
  IO_REMOVE_LOCK RequestLock;
  // Everything we send to LowerDevice other than Plug and Play requests,
  // from its acceptance to the return of its call down (never a wait for
  // its completion). The removal drains it before it goes down itself, so
  // nothing of ours reaches a device that has handled its removal. No
  // limits, as RequestLock.
  IO_REMOVE_LOCK SendLock;
  CHAR ControllerDescription[KvDescriptionSize];  // NUL-terminated ANSI
};

struct BusActivityEntry {
  LONG Outstanding;     // counted requests not yet completed
  LONGLONG BusyStart;   // counter value the running busy period began at
};

// Laid out like the statistics reply.
struct BusStatisticsBlock {
  LONGLONG IntervalStart;
  LONGLONG IntervalEnd;  // 0 in the block; only replies fill it
  LONGLONG BusyTime[KV_BUS_COUNT];
};
static_assert(sizeof(BusStatisticsBlock) == KV_STATISTICS_SIZE, "statistics reply layout");

// Every driver-wide value, with what guards it. DriverEntry resets the
// whole block, so a second load in one process starts from zero too.
struct DriverWideState {
  // Written by DriverEntry before any device exists, read-only afterwards
  // (ControlDevice is also cleared by UnloadDriver); no guard needed.
  PDRIVER_OBJECT DriverObjectRef;
  UNICODE_STRING RegistryPathCopy;
  ULONG DriverFlags;
  PDEVICE_OBJECT ControlDevice;

  // A synchronization event used as a passive-level mutex, held inside a
  // critical region so that a suspended holder cannot stall Plug and
  // Play. Every change of FilterDeviceList, every check-then-attach and
  // every walk that does not hold StatisticsLock (IsDeviceFiltered,
  // identification) holds it; nothing waits on a lower driver while
  // holding it.
  KEVENT DeviceListMutex;

  // Changed only with both DeviceListMutex and StatisticsLock held, so a
  // walk holding either one sees a whole list of live records. The same
  // holds for the ChildList of every record.
  LIST_ENTRY FilterDeviceList;

  // Guards BusActivity, BusStatistics, the writes of CaptureActive, the
  // identity fields of every record (BusIndex, TargetId, BusType,
  // IdentifyPending, ControllerDescription) and list changes.
  KSPIN_LOCK StatisticsLock;
  BusActivityEntry BusActivity[KV_BUS_COUNT];  // StatisticsLock
  BusStatisticsBlock BusStatistics;            // StatisticsLock

  // 0 or 1. Written under StatisticsLock; read without it by DispatchScsi
  // (LoadShared), which tolerates either value at a change.
  LONG CaptureActive;

  // Process that has the control device open, null when none. Changed
  // only by interlocked exchange.
  PVOID OwnerProcessId;
  // The file object of that open; control requests and the close of any
  // other file object are not the monitor's. Interlocked, as above.
  PFILE_OBJECT OwnerFile;

  // 1 while a capture start identifies devices, so only one does.
  // Changed only by interlocked exchange.
  LONG StartInProgress;

  // Reply buffer of the identification queries. StartInProgress.
  UCHAR IdentifyBuffer[KvIdentifyBufferSize];
};

extern DriverWideState Driver;

// Plain aligned loads and stores of a shared flag, visible to the
// compiler as atomic (a single mov on x86 and x64).
inline LONG LoadShared(const LONG* value) { return __atomic_load_n(value, __ATOMIC_ACQUIRE); }
inline void StoreShared(LONG* value, LONG newValue) { __atomic_store_n(value, newValue, __ATOMIC_RELEASE); }

inline FilterDeviceRecord* RecordOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<FilterDeviceRecord*>(DeviceObject->DeviceExtension);
}

inline BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject) { return DeviceObject == Driver.ControlDevice; }

inline LONGLONG ReadCounter() { return KeQueryPerformanceCounter(NULL).QuadPart; }

// entry.cpp -----------------------------------------------------------------
// PASSIVE_LEVEL, once, before any device exists. INIT.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject);
// PASSIVE_LEVEL, after the last filter device has gone.
VOID NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject);
VOID DeleteControlDevice();

// dispatch.cpp --------------------------------------------------------------
// Any IRQL up to DISPATCH_LEVEL, in the sender's context.
NTSTATUS NTAPI PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCreateCloseIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Skip our stack location and call the device below the record, unless
// the record's removal has begun.
NTSTATUS SendDown(FilterDeviceRecord* Record, PIRP Irp);
// Completes a request with Status and no bytes, without sending it down.
NTSTATUS FailRequest(PIRP Irp, NTSTATUS Status);
// Completes a request that arrived once the removal had begun.
NTSTATUS RefuseDuringRemoval(PIRP Irp);
// Completes a request the control device does not serve.
NTSTATUS RefuseControlRequest(PIRP Irp);

// device_list.cpp -----------------------------------------------------------
// PASSIVE_LEVEL.
VOID LockDeviceList();
VOID UnlockDeviceList();
// PASSIVE_LEVEL, caller holds DeviceListMutex.
NTSTATUS AttachFilterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice, BOOLEAN IsBusFilter,
                            PDEVICE_OBJECT ParentDevice);
BOOLEAN IsDeviceFiltered(PDEVICE_OBJECT Device);
FilterDeviceRecord* FindRecordOfDevice(PDEVICE_OBJECT FilterDevice);
VOID UnlinkRecord(FilterDeviceRecord* Record);
VOID ReleaseChildren(FilterDeviceRecord* Record);
// Up to DISPATCH_LEVEL, caller holds StatisticsLock; BusFilterDevice is
// a listed filter device.
FilterDeviceRecord* FindChildRecord(PDEVICE_OBJECT BusFilterDevice, UCHAR TargetId);

// attach.cpp ----------------------------------------------------------------
// PASSIVE_LEVEL, Plug and Play manager's thread.
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
BOOLEAN DevicePropertyInList(const WCHAR* const* List, PDEVICE_OBJECT PhysicalDeviceObject,
                             DEVICE_REGISTRY_PROPERTY Property);
BOOLEAN ServiceInDeviceStack(const WCHAR* const* List, PDEVICE_OBJECT PhysicalDeviceObject);
extern const WCHAR* const UsbClassList[];
extern const WCHAR* const HdcClassList[];
extern const WCHAR* const StorageEnumeratorList[];
extern const WCHAR* const UsbStorageServiceList[];
extern const WCHAR* const AtapiServiceList[];

// pnp.cpp -------------------------------------------------------------------
// PASSIVE_LEVEL, Plug and Play manager's thread.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleBusRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RemoveFilterDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Any context up to DISPATCH_LEVEL.
NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// PASSIVE_LEVEL or APC_LEVEL, power manager's context.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// identify.cpp --------------------------------------------------------------
// PASSIVE_LEVEL, capture start thread, caller holds neither lock. Each
// listed record still pending is identified once, in list order.
VOID IdentifyListedDevices();

// accounting.cpp ------------------------------------------------------------
// Any IRQL up to DISPATCH_LEVEL, in the sender's context.
NTSTATUS NTAPI DispatchScsi(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The same for a request of a filter device known not to be the control
// device: counted during a capture, then sent down.
NTSTATUS CountAndSendDown(FilterDeviceRecord* Record, PIRP Irp);
// Arbitrary context up to DISPATCH_LEVEL.
NTSTATUS NTAPI ScsiCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// control.cpp ---------------------------------------------------------------
// PASSIVE_LEVEL, the monitor's thread.
NTSTATUS DispatchControlDevice(PIRP Irp);
