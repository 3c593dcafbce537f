// What the managers of the simulated kernel share with one another; never
// included outside this folder.
#pragma once

#include <atomic>
#include <cstdarg>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host_control.h"

namespace hostk::internal {

// --- verifier (verifier.cpp)

void Report(verifier::Rule rule, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Reports kIrqlTooHigh when the calling thread runs above maxIrql.
void CheckIrql(const char* operation, KIRQL maxIrql);

// --- test hooks (hooks.cpp)

// Runs the hook installed at point, if any, in the calling thread.
void RunHook(HookPoint point, const void* object);

// --- execution context (sync.cpp)

// The driver whose code the calling thread is running, for attributing
// pool and symbolic links; null in host and user code.
PDRIVER_OBJECT CurrentDriver();

class DriverContext {
 public:
  explicit DriverContext(PDRIVER_OBJECT driver);
  ~DriverContext();
  DriverContext(const DriverContext&) = delete;
  DriverContext& operator=(const DriverContext&) = delete;

 private:
  PDRIVER_OBJECT saved_;
};

HANDLE CurrentProcessId();
void SetCurrentProcessId(HANDLE pid);

// Special kernel APCs: queued to a thread and run in it as soon as it is
// below APC_LEVEL (at once when that is the calling thread and it already
// is, else when it lowers its IRQL or while it waits). awaited is the
// dispatcher object the routine will signal: a thread that waits for it
// where the APC cannot run would wait for ever, and is reported.
void QueueSpecialApc(PKTHREAD thread, const void* awaited, std::function<void()> routine);

// Depth of the calling thread's critical regions; a system call must
// return with 0.
int CriticalRegionDepth();

// --- pool (pool.cpp)

// Pool for the kernel's own buffers: no fault injection, not charged to
// the running driver.
void* AllocateSystemPool(POOL_TYPE type, size_t size, ULONG tag);
void FreeSystemPool(void* block);
// Verifier checks of a driver's pool at unload or after a failed load;
// leaked blocks are freed.
void CheckPoolOfDriver(PDRIVER_OBJECT driver, const char* when);

// --- devices (device.cpp)

struct Property {
  NTSTATUS failure = STATUS_SUCCESS;  // when not success, queries fail with it
  std::vector<uint8_t> data;
};

struct DeviceData;

// DEVICE_OBJECT.DeviceObjectExtension points at this.
struct DeviceObjectExtensionHost {
  DEVOBJ_EXTENSION ext;
  DeviceData* data;
};

struct DeviceData {
  DeviceObjectExtensionHost devobjExt{};
  DEVICE_OBJECT object{};
  void* extension = nullptr;
  size_t extensionSize = 0;
  std::string name;                // "\Device\X" or empty
  PDEVICE_OBJECT lower = nullptr;  // device this one is attached to
  bool deletePending = false;
  // Deleted, or its driver has handled IRP_MN_REMOVE_DEVICE: no IRP may
  // reach it until the Plug and Play manager brings it back (a new device
  // attached above it, or IRP_MN_START_DEVICE).
  std::atomic<bool> removed{false};
  bool physical = false;           // a PDO: MarkPhysicalDevice
  void* context = nullptr;
  uint64_t serial = 0;             // creation order
  std::map<int, Property> properties;
  ObjectSecurity security;         // ObjectLock
  int kernelHandles = 0;           // open ObOpenObjectByPointer handles; ObjectLock
};

DeviceData* DataOf(PDEVICE_OBJECT device);

// Guards the object namespace, symbolic links, stacks and device lists.
std::recursive_mutex& ObjectLock();

// Resolves a user path's device: "\??\NAME" through the symbolic links,
// then "\Device\X" to its device object. Null when absent.
PDEVICE_OBJECT ResolveDevicePath(std::string_view path);

// Marks a device whose driver has handled IRP_MN_REMOVE_DEVICE; nothing
// when the device is already gone.
void MarkRemoved(PDEVICE_OBJECT device);
// A kernel handle to device keeps its object, as the object manager's
// handle count does, without counting as an open file of the device.
void AddKernelHandle(PDEVICE_OBJECT device);
void RemoveKernelHandle(PDEVICE_OBJECT device);

// Forcibly deletes what a driver left behind at unload.
void DestroyDevicesOfDriver(PDRIVER_OBJECT driver);
// Symbolic links made by, or pointing at devices of, driver.
std::vector<std::string> SymbolicLinksOfDriver(PDRIVER_OBJECT driver);
void DeleteSymbolicLinkByName(const std::string& link);

// --- security (security.cpp)

// What IoCreateDevice gives a new device.
ObjectSecurity DefaultDeviceSecurity();
// Generic rights mapped to the specific rights of file and device objects.
ACCESS_MASK MapFileGenericRights(ACCESS_MASK access);
// The security reference monitor's check of desired (generic rights
// already mapped, MAXIMUM_ALLOWED allowed) against security for token;
// on success *granted holds what the handle gets.
NTSTATUS AccessCheck(const ObjectSecurity& security, const Token& token, ACCESS_MASK desired, ACCESS_MASK* granted);
// The token of process pid: the one its UserProcess was given, else
// SYSTEM's.
void SetProcessToken(ULONG pid, const Token& token);
void ClearProcessToken(ULONG pid);
Token TokenOfProcess(HANDLE pid);
// Closes a handle that ObOpenObjectByPointer made; STATUS_INVALID_HANDLE
// for any other.
NTSTATUS CloseObjectHandle(HANDLE handle);
// Verifier checks of a driver's kernel handles at unload or after a
// failed load; leaked ones are closed.
void CheckObjectHandlesOfDriver(PDRIVER_OBJECT driver, const char* when);
void CheckKeyHandlesOfDriver(PDRIVER_OBJECT driver, const char* when);

// --- remove locks (remove_lock.cpp)

// Verifier check when the memory [begin, begin + size) holding remove
// locks goes away with a device.
void CheckRemoveLocksIn(const void* begin, size_t size, PDEVICE_OBJECT device);

// --- IRPs (irp.cpp)

PIRP AllocateIrpInternal(CCHAR stackSize);
// A device control IRP as the I/O manager builds it for a caller (system
// buffer, MDL or raw pointers by the code's method), its next stack
// location filled; the caller sets the status block, event and mode.
PIRP BuildDeviceControlIrp(ULONG code, CCHAR stackSize, PVOID inBuffer, ULONG inLength,
                           PVOID outBuffer, ULONG outLength, BOOLEAN internalControl);
// The dispatch routine that drivers get for every slot they leave empty.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// Marks an IRP as built by the I/O manager for a caller: completion at the
// top copies buffered output, fills the caller's status block, signals
// its event and frees the IRP.
PETHREAD IoManagerThreadMarker();

// --- strings (rtl.cpp)

std::string NarrowFromWide(const WCHAR* text, size_t count);
std::string NarrowFromUnicode(const UNICODE_STRING* text);
std::vector<WCHAR> WideFromNarrow(std::string_view text);  // with a NUL
std::string UpperAscii(std::string_view text);

// --- Plug and Play hook (device.cpp)

void InvalidateRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type);

}  // namespace hostk::internal
