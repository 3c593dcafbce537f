// Host-side control of the simulated NT kernel: what tests, the Plug and
// Play manager (platform/host_pnp) and the tools use to load drivers, set
// the clock, shape the device tree, watch the verifier and act as a user
// process. Driver code never includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "ntkernel.h"

namespace hostk {

// ---------------------------------------------------------------------------
// Drivers. Drivers are statically linked: a driver is its DriverEntry
// function and a service name.

// Builds the driver object (DriverName "\Driver\<name>", ServiceKeyName
// <name>, every MajorFunction slot completing with
// STATUS_INVALID_DEVICE_REQUEST), calls entry at PASSIVE_LEVEL with the
// registry path "\Registry\Machine\System\CurrentControlSet\Services\<name>"
// (the path buffer is freed when entry returns, as on Windows), and clears
// DO_DEVICE_INITIALIZING on the devices created during entry. On failure
// the verifier checks that nothing was left behind and *driverObject is
// null. The same driver may be loaded again after it was unloaded.
NTSTATUS LoadDriver(std::string_view serviceName, PDRIVER_INITIALIZE entry,
                    PDRIVER_OBJECT* driverObject);

// Calls DriverUnload, then the verifier checks that the driver left no
// device objects, symbolic links or pool of its tags; anything left is
// reported and released. Fails with STATUS_INVALID_DEVICE_REQUEST (and
// keeps the driver) when it has no DriverUnload.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driverObject);

// The loaded driver of a service, or null.
PDRIVER_OBJECT FindDriver(std::string_view serviceName);

// Calls the driver's AddDevice for pdo as the Plug and Play manager does:
// at PASSIVE_LEVEL, in the driver's context. The verifier reports a new
// device left with DO_DEVICE_INITIALIZING set.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo);

// ---------------------------------------------------------------------------
// Clock behind KeQueryPerformanceCounter and QueryPerformanceCounter.

// Virtual clock: ticks move only when a test moves them. Starts at 0.
void UseVirtualClock(int64_t frequency = 10'000'000);
void SetVirtualTicks(int64_t ticks);
void AdvanceVirtualTicks(int64_t ticks);
// Real clock: the host's monotonic clock at 10 MHz, as Windows reports it.
// This is the default.
void UseRealClock();
int64_t PerformanceFrequency();
int64_t PerformanceCounter();

// ---------------------------------------------------------------------------
// Pool. Tags are ULONGs whose little-endian bytes spell the tag as pool
// tools show it: MakeTag("KVtg") equals the kit's 'gtVK'.

constexpr ULONG MakeTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

struct PoolUsage {
  size_t allocations = 0;  // live blocks
  size_t bytes = 0;        // their requested sizes
};

// Live pool of one tag (all zero in benchmark builds, which keep no
// accounting).
PoolUsage PoolUsageOfTag(ULONG tag);

// ---------------------------------------------------------------------------
// Device tree bookkeeping, for the Plug and Play manager.
//
// A PDO is a device object created by a (simulated) bus driver with
// IoCreateDevice; the Plug and Play manager attaches properties to it that
// IoGetDeviceProperty returns. String properties are stored as the kernel
// returns them: UTF-16LE with a terminating NUL (REG_MULTI_SZ values with
// two).

void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                       std::vector<uint8_t> data);
void SetDevicePropertyString(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                             std::string_view text);
void SetDevicePropertyMultiString(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                                  const std::vector<std::string>& texts);
// Makes IoGetDeviceProperty of this property fail with status.
void SetDevicePropertyFailure(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                              NTSTATUS status);
void ClearDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property);

// The devices of a driver, oldest first.
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driverObject);
// "\Device\X" for a named device, "" otherwise.
std::string DeviceName(PDEVICE_OBJECT device);
// A named device ("\Device\X"), or null.
PDEVICE_OBJECT FindDevice(std::string_view name);
// The device directly below device in its stack (what its
// IoAttachDeviceToDeviceStack returned), or null.
PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device);
// The bottom of device's stack (the PDO when device is in a PnP stack).
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);
// The target of a symbolic link ("\DosDevices\X" or "\??\X"), or "".
std::string SymbolicLinkTarget(std::string_view link);

// Makes device a physical device object, the only kind IoGetDeviceProperty
// accepts; the Plug and Play manager does it for every PDO it enumerates,
// and setting a property above does it too.
void MarkPhysicalDevice(PDEVICE_OBJECT device);

// One pointer of the Plug and Play manager's own per-device data; null
// until set. The kernel never looks at it.
void SetDeviceContext(PDEVICE_OBJECT device, void* context);
void* GetDeviceContext(PDEVICE_OBJECT device);

// Sends a new IRP of major/minor function to the top of device's stack
// and waits for it, as the Plug and Play and power managers send theirs,
// at PASSIVE_LEVEL: the IRP starts with IoStatus.Status
// STATUS_NOT_SUPPORTED for IRP_MJ_PNP and IRP_MJ_POWER (STATUS_SUCCESS
// otherwise), fill may set the stack location's parameters, and the IRP
// is freed afterwards. Returns its final status; *information (if given)
// receives IoStatus.Information (for bus relations, the DEVICE_RELATIONS
// pointer, which then belongs to the caller).
NTSTATUS SendSynchronousIrp(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction,
                            const std::function<void(IO_STACK_LOCATION&)>& fill = nullptr,
                            ULONG_PTR* information = nullptr);

// Hands an IRP the Plug and Play or power manager built to the top of a
// stack (PoCallDriver for a power IRP). Unlike a driver, the Plug and Play
// manager may send to a PDO that has handled its removal: it removes it
// again when it goes, or starts it anew.
NTSTATUS CallDriverAsPnpManager(PDEVICE_OBJECT top, PIRP irp);

// Receives IoInvalidateDeviceRelations calls; none by default.
void SetInvalidateRelationsHandler(
    std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> handler);

// ---------------------------------------------------------------------------
// Answers of simulated bus and lower drivers (the root bus and the machine's
// drivers), shaped as the Plug and Play manager takes them.

// Sets the IRP's status block and completes it; returns status.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Completes the IRP with the status block it came with, as a bus driver
// answers a request it does not handle.
NTSTATUS CompleteIrpUnchanged(PIRP irp);
// ASCII parts as a UTF-16 string in paged pool of tag: the first part alone,
// or with multi every part, each terminated, and one more terminator (the
// shape of IRP_MN_QUERY_ID and IRP_MN_QUERY_DEVICE_TEXT answers). Null when
// the pool refuses.
PWCHAR PoolWideText(const std::vector<std::string>& parts, bool multi, ULONG tag);
// A DEVICE_RELATIONS in paged pool of tag listing devices, each referenced
// for the receiver; null (and nothing referenced) when the pool refuses.
PDEVICE_RELATIONS PoolDeviceRelations(const std::vector<PDEVICE_OBJECT>& devices, ULONG tag);
// A storage device's answers to IOCTL_SCSI_GET_ADDRESS and to the standard
// device property query of IOCTL_STORAGE_QUERY_PROPERTY, the caller having
// decided to answer: the reply at the start of the system buffer, the rest
// of the output zeroed, STATUS_BUFFER_TOO_SMALL when it does not fit.
NTSTATUS CompleteWithScsiAddress(PIRP irp, UCHAR port, UCHAR path, UCHAR target, UCHAR lun);
NTSTATUS CompleteWithDeviceDescriptor(PIRP irp, UCHAR deviceType, BOOLEAN removable, STORAGE_BUS_TYPE busType);

// ---------------------------------------------------------------------------
// Security. SIDs are written in their string form ("S-1-5-18").

inline constexpr const char* kSidSystem = "S-1-5-18";
inline constexpr const char* kSidAdministrators = "S-1-5-32-544";
inline constexpr const char* kSidUsers = "S-1-5-32-545";
inline constexpr const char* kSidEveryone = "S-1-1-0";
inline constexpr const char* kSidAuthenticatedUsers = "S-1-5-11";
inline constexpr const char* kSidInteractive = "S-1-5-4";

// One entry of a DACL, its mask as the object keeps it (generic rights
// mapped to the object type's specific rights).
struct AccessEntry {
  UCHAR type;  // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE
  UCHAR flags;
  ACCESS_MASK mask;
  std::string sid;
};
inline bool operator==(const AccessEntry& a, const AccessEntry& b) {
  return a.type == b.type && a.flags == b.flags && a.mask == b.mask && a.sid == b.sid;
}
// How test frameworks print one.
inline void PrintTo(const AccessEntry& entry, std::ostream* out) {
  *out << (entry.type == ACCESS_ALLOWED_ACE_TYPE ? "allow " : "deny ") << entry.sid << " 0x" << std::hex << entry.mask
       << std::dec << " flags " << static_cast<int>(entry.flags);
}

// An object's security descriptor as the object manager keeps it.
struct ObjectSecurity {
  std::string owner;
  std::string group;
  bool hasDacl = true;  // false: no DACL, so every access is granted
  std::vector<AccessEntry> dacl;
};

// The security of a device object. IoCreateDevice gives every device the
// default Windows gives most device types: owner Administrators, full
// access (FILE_ALL_ACCESS) for SYSTEM and Administrators, read, write and
// execute for Everyone.
ObjectSecurity DeviceSecurity(PDEVICE_OBJECT device);

// Whom a process runs as: the user and the groups of its token. An ACE
// applies when its SID is any of them. Privileges are not modelled: no
// token can obtain ACCESS_SYSTEM_SECURITY, and every token may bypass
// traverse checking, as every Windows account may by default.
struct Token {
  std::string user;
  std::vector<std::string> groups;
};
// The System process's (4) and every process without a token of its own.
Token SystemToken();
// A member of Administrators, as a monitor run "as an administrator" is.
Token AdministratorToken();
// A member of Users only.
Token StandardUserToken();

// ---------------------------------------------------------------------------
// Execution context of the calling thread.

// Runs the calling thread as a thread of process pid for the scope's
// lifetime (PsGetCurrentProcessId returns pid).
class ProcessScope {
 public:
  explicit ProcessScope(ULONG pid);
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  HANDLE saved_;
};

// The process id that kernel code sees on threads outside any
// ProcessScope: the System process, 4.
constexpr ULONG kSystemProcessId = 4;

// ---------------------------------------------------------------------------
// Verifier: checks in the spirit of the Driver Verifier. Every violation
// is recorded and handed to the handler; the default handler prints the
// rule and aborts. Operations go on in a defined way when a handler
// returns.

namespace verifier {

enum class Rule {
  kWaitAtDispatchLevel,        // a wait with a non-zero timeout at DISPATCH_LEVEL or above
  kIrqlTooHigh,                // a PASSIVE_LEVEL-only call made above PASSIVE_LEVEL
  kIrqlRaiseLower,             // KeRaiseIrql to a lower level, KeLowerIrql to a higher
  kPagedPoolAtDispatchLevel,   // paged pool allocated or freed above APC_LEVEL
  kPagedCodeAtDispatchLevel,   // PAGED_CODE() above APC_LEVEL
  kSpinLockAboveDispatch,      // spin lock acquired above DISPATCH_LEVEL
  kSpinLockRecursive,          // spin lock acquired again by its holder
  kSpinLockNotHeld,            // spin lock released by a thread that does not hold it
  kSpinLockReleaseIrql,        // spin lock released at an IRQL other than DISPATCH_LEVEL
  kIrpCompletedTwice,          // IRP completed again after its completion passed every driver's location
  kIrpCompletedPending,        // IRP completed with STATUS_PENDING as its status
  kIrpPassedDownTwice,         // IRP passed down twice from the same stack location
  kIrpStackOverrun,            // IRP sent on with no stack location left (CurrentLocation < 1)
  kPendingNotMarked,           // dispatch returned STATUS_PENDING without IoMarkIrpPending
  kIrqlNotRestored,            // dispatch or completion routine returned at another IRQL
  kInformationTooLarge,        // buffered request completed with Information beyond the buffer
  kDeleteAttachedDevice,       // IoDeleteDevice on a device still attached to a lower one
  kDetachNothing,              // IoDetachDevice on a device with nothing attached
  kDeviceInitializing,         // AddDevice left DO_DEVICE_INITIALIZING set
  kRemoveLockHeldAtDelete,     // device deleted while its remove lock has holders
  kRemoveLockBadRelease,       // remove lock released with a tag that does not hold it
  kPoolBadFree,                // freeing a block that is not live pool
  kPoolTagMismatch,            // ExFreePoolWithTag with another tag than the block's
  kPoolLeak,                   // driver's pool still allocated at unload or failed load
  kDeviceLeak,                 // driver's devices left at unload or failed load
  kSymbolicLinkLeak,           // driver's symbolic links left at unload or failed load
  kOpenHandlesAtUnload,        // driver unloaded while its devices are still open
  kAssertion,                  // ASSERT failed in driver code
  kRemoveLockHighWatermark,    // more holders at once than the lock's high watermark
  kRemoveLockHeldTooLong,      // a holder kept the lock longer than its maximum minutes
  kPowerIrpNotStarted,         // a power IRP finished without PoStartNextPowerIrp for a device
  kApcDeadlock,                // waits for an IRP whose completion APC it cannot receive
  kFreeThreadedIrp,            // IoFreeIrp of an IRP the I/O manager built and frees itself
  kNotPhysicalDevice,          // IoGetDeviceProperty on a device object that is not a PDO
  kApcIndexMismatch,           // a system call returns inside a critical region, or one is left twice
  kIrpToRemovedDevice,         // IRP sent to a device deleted or past its IRP_MN_REMOVE_DEVICE
  kHandleLeak,                 // driver's kernel handles still open at unload or failed load
};

const char* RuleName(Rule rule);

struct Violation {
  Rule rule;
  std::string message;  // rule name and the particulars
};

using Handler = std::function<void(const Violation&)>;

// Installs handler (an empty one restores the default).
void SetHandler(Handler handler);
// Every violation since the last Clear().
std::vector<Violation> Violations();
void Clear();

}  // namespace verifier

// ---------------------------------------------------------------------------
// Test hooks: code a test runs at one chosen point of the kernel, in the
// thread that reaches it, to put another event exactly there (a removal
// between a release and the next read of a record, say). Absent from
// benchmark builds.

enum class HookPoint {
  kSpinLockAcquire,     // KeAcquireSpinLock, before the lock is taken; object: the lock
  kRemoveLockReleased,  // after a remove lock release (also inside release-and-wait, before
                        // the wait); object: the lock
  kDeviceDelete,        // IoDeleteDevice, before anything is done; object: the device
};

using Hook = std::function<void(const void* object)>;

// Installs hook at point (an empty one removes it). A hook that should run
// once removes itself.
void SetHook(HookPoint point, Hook hook);
void ClearHooks();

// ---------------------------------------------------------------------------
// A simulated user process: what Win32 gives a monitor program. Calls run
// in the process's context (PsGetCurrentProcessId returns its id while the
// drivers handle them) at PASSIVE_LEVEL. Several processes, and several
// threads of one process, may use the kernel at once. Handles left open
// are closed (cleanup, then close) when the process object is destroyed,
// as at process exit.

using DWORD = uint32_t;
using BOOL = int;

#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#endif
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#endif
#ifndef OPEN_EXISTING
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#endif
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0L
#endif
#ifndef ERROR_INVALID_FUNCTION
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_READY 21L
#define ERROR_BAD_COMMAND 22L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_DEVICE 1117L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#endif

class UserProcess {
 public:
  explicit UserProcess(ULONG pid, Token token = AdministratorToken());
  ~UserProcess();
  UserProcess(const UserProcess&) = delete;
  UserProcess& operator=(const UserProcess&) = delete;

  ULONG Id() const { return pid_; }

  // "\\.\NAME" opens the device that the symbolic link "\??\NAME" names,
  // "\\.\NAME\REST" a name below it: NtOpenFile of "\??\NAME..." for
  // desiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES, as kernel32 asks.
  HANDLE CreateFileA(const char* fileName, DWORD desiredAccess = GENERIC_READ | GENERIC_WRITE,
                     DWORD shareMode = 0, void* securityAttributes = nullptr,
                     DWORD creationDisposition = OPEN_EXISTING, DWORD flagsAndAttributes = 0,
                     HANDLE templateFile = nullptr);
  // Opens the device "\??\NAME" (through its link) or "\Device\NAME"
  // names, or a name below it, for desiredAccess exactly as given, as the
  // I/O manager does: generic rights mapped through the file mapping, the
  // device's DACL checked against the process's token (for a name below
  // the device only when it has FILE_DEVICE_SECURE_OPEN), and only then
  // IRP_MJ_CREATE with a new file object to the top of its stack.
  NTSTATUS NtOpenFile(std::string_view ntPath, ACCESS_MASK desiredAccess, ULONG shareAccess, HANDLE* handle,
                      ULONG openOptions = 0);
  // Synchronous only (overlapped must be null). A code that asks for read
  // or write access fails with ERROR_ACCESS_DENIED on a handle that was
  // not granted it; so do reads and writes.
  BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                       void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                       void* overlapped);
  BOOL ReadFile(HANDLE file, void* buffer, DWORD numberOfBytesToRead, DWORD* numberOfBytesRead,
                void* overlapped);
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD numberOfBytesToWrite,
                 DWORD* numberOfBytesWritten, void* overlapped);
  BOOL CloseHandle(HANDLE object);

  // Last error of the calling thread, as Win32 keeps it.
  static DWORD GetLastError();
  static void SetLastError(DWORD error);

  BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);
  BOOL QueryPerformanceCounter(LARGE_INTEGER* count);

  struct Impl;  // the kernel's side: handles and file objects

 private:
  ULONG pid_;
  Impl* impl_;
};

// The Win32 error a failed call reports for status: RtlNtStatusToDosError.
// Customer-defined statuses (bit 0x20000000) pass through unchanged.
DWORD NtStatusToWin32Error(NTSTATUS status);

}  // namespace hostk
