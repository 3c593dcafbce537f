// Verifier: records every rule violation and hands it to the installed
// handler; the default handler stops the process, as a bug check would.
#include <cstdio>
#include <cstdlib>

#include "internal.h"

namespace hostk {
namespace {

std::mutex g_mutex;
verifier::Handler g_handler;
std::vector<verifier::Violation> g_violations;

void DefaultHandler(const verifier::Violation& violation) {
  std::fprintf(stderr, "host kernel verifier: %s\n", violation.message.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace

namespace verifier {

const char* RuleName(Rule rule) {
  switch (rule) {
    case Rule::kWaitAtDispatchLevel: return "wait at DISPATCH_LEVEL";
    case Rule::kIrqlTooHigh: return "call at too high an IRQL";
    case Rule::kIrqlRaiseLower: return "IRQL raised to a lower or lowered to a higher level";
    case Rule::kPagedPoolAtDispatchLevel: return "paged pool used at DISPATCH_LEVEL";
    case Rule::kPagedCodeAtDispatchLevel: return "PAGED_CODE at DISPATCH_LEVEL";
    case Rule::kSpinLockAboveDispatch: return "spin lock acquired above DISPATCH_LEVEL";
    case Rule::kSpinLockRecursive: return "spin lock acquired recursively";
    case Rule::kSpinLockNotHeld: return "spin lock released but not held";
    case Rule::kSpinLockReleaseIrql: return "spin lock used at the wrong IRQL";
    case Rule::kIrpCompletedTwice: return "IRP completed twice";
    case Rule::kIrpCompletedPending: return "IRP completed with STATUS_PENDING";
    case Rule::kIrpPassedDownTwice: return "IRP passed down twice from the same stack location";
    case Rule::kIrpStackOverrun: return "IRP has no stack location left";
    case Rule::kPendingNotMarked: return "STATUS_PENDING returned without IoMarkIrpPending";
    case Rule::kIrqlNotRestored: return "IRQL not restored by the routine";
    case Rule::kInformationTooLarge: return "Information larger than the buffer";
    case Rule::kDeleteAttachedDevice: return "deleting a device that is still attached";
    case Rule::kDetachNothing: return "detaching a device with nothing attached";
    case Rule::kDeviceInitializing: return "AddDevice left DO_DEVICE_INITIALIZING set";
    case Rule::kRemoveLockHeldAtDelete: return "remove lock still held when the device is deleted";
    case Rule::kRemoveLockBadRelease: return "remove lock released with a tag that does not hold it";
    case Rule::kPoolBadFree: return "freeing memory that is not allocated pool";
    case Rule::kPoolTagMismatch: return "pool freed with another tag";
    case Rule::kPoolLeak: return "pool still allocated";
    case Rule::kDeviceLeak: return "device objects left";
    case Rule::kSymbolicLinkLeak: return "symbolic links left";
    case Rule::kOpenHandlesAtUnload: return "driver unloaded with open handles";
    case Rule::kAssertion: return "assertion failed";
    case Rule::kRemoveLockHighWatermark: return "remove lock high watermark exceeded";
    case Rule::kRemoveLockHeldTooLong: return "remove lock held longer than its maximum";
    case Rule::kPowerIrpNotStarted: return "power IRP finished without PoStartNextPowerIrp";
    case Rule::kApcDeadlock: return "deadlock: waiting for an IRP whose completion APC cannot run";
    case Rule::kFreeThreadedIrp: return "IoFreeIrp of an IRP the I/O manager frees";
    case Rule::kApcIndexMismatch: return "critical regions entered and left unevenly (bug check 0x1)";
    case Rule::kNotPhysicalDevice: return "IoGetDeviceProperty on a device that is not a PDO (bug check 0xCA)";
    case Rule::kIrpToRemovedDevice: return "IRP sent to a device that has been removed";
    case Rule::kHandleLeak: return "kernel handles left open";
  }
  return "unknown rule";
}

void SetHandler(Handler handler) {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_handler = std::move(handler);
}

std::vector<Violation> Violations() {
  std::lock_guard<std::mutex> hold(g_mutex);
  return g_violations;
}

void Clear() {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_violations.clear();
}

}  // namespace verifier

namespace internal {

void Report(verifier::Rule rule, const char* format, ...) {
  char details[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(details, sizeof details, format, args);
  va_end(args);

  verifier::Violation violation{rule, std::string(verifier::RuleName(rule)) + ": " + details};
  verifier::Handler handler;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_violations.push_back(violation);
    handler = g_handler;
  }
  if (handler)
    handler(violation);
  else
    DefaultHandler(violation);
}

void CheckIrql(const char* operation, KIRQL maxIrql) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > maxIrql) Report(verifier::Rule::kIrqlTooHigh, "%s called at IRQL %u (at most %u)", operation, irql, maxIrql);
}

}  // namespace internal
}  // namespace hostk

extern "C" VOID HostkPagedCode(PCSTR File, ULONG Line) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > APC_LEVEL)
    hostk::internal::Report(hostk::verifier::Rule::kPagedCodeAtDispatchLevel,
                            "pageable code at %s:%u runs at IRQL %u", File, Line, irql);
}

extern "C" VOID HostkAssertFailed(PCSTR Expression, PCSTR File, ULONG Line) {
  hostk::internal::Report(hostk::verifier::Rule::kAssertion, "ASSERT(%s) at %s:%u", Expression, File, Line);
}

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  std::vfprintf(stderr, Format, args);
  va_end(args);
  return 0;
}
