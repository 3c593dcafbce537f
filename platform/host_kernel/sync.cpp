// The dispatcher: per-thread IRQL, spin locks that really exclude across
// threads, events that really block, waits, and the calling thread's
// process and driver context.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

#include "internal.h"

namespace hostk {
namespace {

using verifier::Rule;
using internal::Report;

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local PDRIVER_OBJECT t_driver = nullptr;
// A constant initialiser: GCC 12 emits no TLS init function for a
// dynamically initialised thread_local here and the link fails.
thread_local ULONG_PTR t_processId = kSystemProcessId;
// Its address identifies the thread: spin lock owner, KeGetCurrentThread.
thread_local char t_threadMarker;

// One lock and one condition for every dispatcher object, as NT has one
// dispatcher database lock.
std::mutex g_dispatcherLock;
std::condition_variable g_dispatcherSignal;

thread_local int t_criticalRegions = 0;

struct SpecialApc {
  const void* awaited;
  std::function<void()> routine;
};

// Queued APCs per thread. g_dispatcherLock.
std::map<PKTHREAD, std::deque<SpecialApc>> g_apcs;

// A waiter that cannot receive its APCs is reported after this long even
// when they signal something else.
constexpr std::chrono::seconds kApcWatchdog{2};

PKTHREAD CurrentThread() { return reinterpret_cast<PKTHREAD>(&t_threadMarker); }

bool HasApcs(PKTHREAD thread) {
  auto it = g_apcs.find(thread);
  return it != g_apcs.end() && !it->second.empty();
}

bool HasApcFor(PKTHREAD thread, const void* awaited) {
  auto it = g_apcs.find(thread);
  if (it == g_apcs.end()) return false;
  for (const SpecialApc& apc : it->second)
    if (apc.awaited == awaited) return true;
  return false;
}

// Caller holds g_dispatcherLock through `hold`; it is let go while the
// routines run, since they complete IRPs and signal events.
void RunQueuedApcs(std::unique_lock<std::mutex>& hold) {
  PKTHREAD me = CurrentThread();
  while (HasApcs(me)) {
    SpecialApc apc = std::move(g_apcs[me].front());
    g_apcs[me].pop_front();
    if (g_apcs[me].empty()) g_apcs.erase(me);
    hold.unlock();
    apc.routine();
    hold.lock();
  }
}

void RunQueuedApcs() {
  std::unique_lock<std::mutex> hold(g_dispatcherLock);
  RunQueuedApcs(hold);
}

ULONG_PTR ThreadToken() { return reinterpret_cast<ULONG_PTR>(&t_threadMarker) | 1; }

// Relative timeouts are negative 100 ns counts; absolute (positive) times
// count as already past.
std::chrono::nanoseconds RelativeTimeout(const LARGE_INTEGER* timeout) {
  if (timeout->QuadPart >= 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(-timeout->QuadPart * 100);
}

}  // namespace

namespace internal {

PDRIVER_OBJECT CurrentDriver() { return t_driver; }

DriverContext::DriverContext(PDRIVER_OBJECT driver) : saved_(t_driver) { t_driver = driver; }
DriverContext::~DriverContext() { t_driver = saved_; }

HANDLE CurrentProcessId() { return reinterpret_cast<HANDLE>(t_processId); }
void SetCurrentProcessId(HANDLE pid) { t_processId = reinterpret_cast<ULONG_PTR>(pid); }

void QueueSpecialApc(PKTHREAD thread, const void* awaited, std::function<void()> routine) {
  if (thread == CurrentThread() && t_irql < APC_LEVEL) {
    routine();
    return;
  }
  std::lock_guard<std::mutex> hold(g_dispatcherLock);
  g_apcs[thread].push_back(SpecialApc{awaited, std::move(routine)});
  g_dispatcherSignal.notify_all();
}

int CriticalRegionDepth() { return t_criticalRegions; }

}  // namespace internal

ProcessScope::ProcessScope(ULONG pid) : saved_(reinterpret_cast<HANDLE>(t_processId)) { t_processId = pid; }
ProcessScope::~ProcessScope() { t_processId = reinterpret_cast<ULONG_PTR>(saved_); }

}  // namespace hostk

using hostk::internal::Report;
using hostk::verifier::Rule;

// --- IRQL

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) { return hostk::t_irql; }

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = hostk::t_irql;
  if (NewIrql < old) Report(Rule::kIrqlRaiseLower, "KeRaiseIrql from %u to %u", old, NewIrql);
  hostk::t_irql = NewIrql;
  return old;
}

extern "C" VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  KIRQL old = hostk::t_irql;
  if (NewIrql > old) Report(Rule::kIrqlRaiseLower, "KeLowerIrql from %u to %u", old, NewIrql);
  hostk::t_irql = NewIrql;
  // APCs that came while the thread was at APC_LEVEL or above run now.
  if (old >= APC_LEVEL && NewIrql < APC_LEVEL) hostk::RunQueuedApcs();
}

// --- Spin locks

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

namespace {

void SpinAcquire(PKSPIN_LOCK lock, const char* how) {
  ULONG_PTR me = hostk::ThreadToken();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
    Report(Rule::kSpinLockRecursive, "%s: spin lock %p is already held by this thread", how,
           static_cast<void*>(lock));
    return;  // taking it again would hang the thread for ever
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      return;
    std::this_thread::yield();
  }
}

void SpinRelease(PKSPIN_LOCK lock, const char* how) {
  ULONG_PTR me = hostk::ThreadToken();
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner != me) {
    Report(Rule::kSpinLockNotHeld, "%s: spin lock %p is %s", how, static_cast<void*>(lock),
           owner == 0 ? "not held" : "held by another thread");
    return;
  }
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  hostk::internal::RunHook(hostk::HookPoint::kSpinLockAcquire, SpinLock);
  KIRQL old = hostk::t_irql;
  if (old > DISPATCH_LEVEL) {
    Report(Rule::kSpinLockAboveDispatch, "KeAcquireSpinLock at IRQL %u", old);
  } else {
    hostk::t_irql = DISPATCH_LEVEL;
  }
  SpinAcquire(SpinLock, "KeAcquireSpinLock");
  return old;
}

extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  return KfAcquireSpinLock(SpinLock);
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (hostk::t_irql != DISPATCH_LEVEL)
    Report(Rule::kSpinLockReleaseIrql, "KeReleaseSpinLock at IRQL %u", hostk::t_irql);
  SpinRelease(SpinLock, "KeReleaseSpinLock");
  KfLowerIrql(NewIrql);
}

extern "C" VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (hostk::t_irql != DISPATCH_LEVEL)
    Report(Rule::kSpinLockReleaseIrql, "KeAcquireSpinLockAtDpcLevel at IRQL %u", hostk::t_irql);
  SpinAcquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (hostk::t_irql != DISPATCH_LEVEL)
    Report(Rule::kSpinLockReleaseIrql, "KeReleaseSpinLockFromDpcLevel at IRQL %u", hostk::t_irql);
  SpinRelease(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// --- Events and waits

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard<std::mutex> hold(hostk::g_dispatcherLock);
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Absolute = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  hostk::internal::CheckIrql("KeSetEvent", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> hold(hostk::g_dispatcherLock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  hostk::g_dispatcherSignal.notify_all();
  return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> hold(hostk::g_dispatcherLock);
  Event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
  hostk::internal::CheckIrql("KeResetEvent", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> hold(hostk::g_dispatcherLock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> hold(hostk::g_dispatcherLock);
  return Event->Header.SignalState;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
  bool polls = Timeout != nullptr && Timeout->QuadPart == 0;
  if (hostk::t_irql >= DISPATCH_LEVEL && !polls)
    Report(Rule::kWaitAtDispatchLevel, "KeWaitForSingleObject at IRQL %u %s", hostk::t_irql,
           Timeout == nullptr ? "without a timeout" : "with a non-zero timeout");

  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  PKTHREAD me = hostk::CurrentThread();
  const bool apcsRun = hostk::t_irql < APC_LEVEL;
  std::unique_lock<std::mutex> hold(hostk::g_dispatcherLock);
  auto signalled = [header] { return header->SignalState > 0; };
  // Wakes for the object, and for APCs: they run during the wait, which
  // then goes on, as a kernel wait that is not alertable does.
  auto wakes = [&] { return signalled() || hostk::HasApcs(me); };
  using Clock = std::chrono::steady_clock;
  const bool forever = Timeout == nullptr;
  const Clock::time_point deadline = forever ? Clock::time_point::max() : Clock::now() + hostk::RelativeTimeout(Timeout);
  Clock::time_point stuckSince = Clock::time_point::max();
  for (;;) {
    if (signalled()) break;
    if (hostk::HasApcs(me)) {
      if (apcsRun) {
        hostk::RunQueuedApcs(hold);
        continue;
      }
      // At APC_LEVEL the APC waits for the wait to end. Waiting for what
      // the APC itself would signal never ends; anything else is given
      // the watchdog's time.
      const Clock::time_point now = Clock::now();
      if (stuckSince == Clock::time_point::max()) stuckSince = now;
      if (hostk::HasApcFor(me, Object) || now - stuckSince >= hostk::kApcWatchdog) {
        hold.unlock();
        Report(Rule::kApcDeadlock, "thread waits at IRQL %u for %p while an IRP's completion APC is queued to it",
               hostk::t_irql, Object);
        hold.lock();
        hostk::RunQueuedApcs(hold);  // let the test go on
        continue;
      }
      hostk::g_dispatcherSignal.wait_until(hold, std::min(deadline, stuckSince + hostk::kApcWatchdog));
    } else if (forever) {
      hostk::g_dispatcherSignal.wait(hold, wakes);
    } else {
      hostk::g_dispatcherSignal.wait_until(hold, deadline, wakes);
    }
    if (!forever && Clock::now() >= deadline && !signalled()) return STATUS_TIMEOUT;
  }
  if (header->Type == SynchronizationEvent) header->SignalState = 0;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval) {
  hostk::internal::CheckIrql("KeDelayExecutionThread", APC_LEVEL);
  std::this_thread::sleep_for(hostk::RelativeTimeout(Interval));
  return STATUS_SUCCESS;
}

// --- Threads and processes

extern "C" VOID NTAPI KeEnterCriticalRegion(VOID) { ++hostk::t_criticalRegions; }

extern "C" VOID NTAPI KeLeaveCriticalRegion(VOID) {
  if (hostk::t_criticalRegions == 0) {
    Report(Rule::kApcIndexMismatch, "KeLeaveCriticalRegion without KeEnterCriticalRegion");
    return;
  }
  --hostk::t_criticalRegions;
}

extern "C" PKTHREAD NTAPI KeGetCurrentThread(VOID) {
  return reinterpret_cast<PKTHREAD>(&hostk::t_threadMarker);
}

extern "C" PETHREAD NTAPI PsGetCurrentThread(VOID) {
  return reinterpret_cast<PETHREAD>(&hostk::t_threadMarker);
}

extern "C" HANDLE NTAPI PsGetCurrentProcessId(VOID) { return reinterpret_cast<HANDLE>(hostk::t_processId); }

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(VOID) {
  // Only compared, never looked into.
  return reinterpret_cast<PEPROCESS>(hostk::t_processId);
}
