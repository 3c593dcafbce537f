// Remove locks, counted as Windows counts them: IoCount starts at 1, each
// acquisition adds one, release-and-wait gives up the initial count and
// waits until the last holder is gone. Outside benchmark builds the
// holders' tags and the time each was taken are tracked for the verifier,
// which enforces the limits the lock was initialised with, as a checked
// build does: the count (the initial one included) never above the high
// watermark, and no holder longer than the maximum minutes.

#include "internal.h"

namespace hostk {
namespace {

using internal::Report;
using verifier::Rule;

#ifndef QELV_BENCH_BUILD
struct LockBook {
  std::multimap<PVOID, int64_t> holders;  // tag, counter value when taken
  ULONG highWatermark = 0;                // 0: no limit
  int64_t maxLockedTicks = 0;             // 0: no limit
};

std::mutex g_mutex;
std::map<const IO_REMOVE_LOCK*, LockBook> g_locks;  // ordered: deletion checks a range

void Track(PIO_REMOVE_LOCK lock, PVOID tag) {
  size_t holders;
  ULONG highWatermark;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    LockBook& book = g_locks[lock];
    book.holders.emplace(tag, PerformanceCounter());
    holders = book.holders.size();
    highWatermark = book.highWatermark;
  }
  // IoCount counts the initial reference too.
  if (highWatermark != 0 && holders + 1 > highWatermark)
    Report(Rule::kRemoveLockHighWatermark, "remove lock %p has %zu holders, high watermark %lu",
           static_cast<void*>(lock), holders, static_cast<unsigned long>(highWatermark));
}

// False when no acquisition with this tag is outstanding.
bool Untrack(PIO_REMOVE_LOCK lock, PVOID tag) {
  int64_t heldTicks;
  int64_t maxLockedTicks;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    auto it = g_locks.find(lock);
    if (it == g_locks.end()) return false;
    auto holder = it->second.holders.find(tag);
    if (holder == it->second.holders.end()) return false;
    heldTicks = PerformanceCounter() - holder->second;
    maxLockedTicks = it->second.maxLockedTicks;
    it->second.holders.erase(holder);
  }
  if (maxLockedTicks != 0 && heldTicks > maxLockedTicks)
    Report(Rule::kRemoveLockHeldTooLong, "remove lock %p held by tag %p for %lld ticks (at most %lld)",
           static_cast<void*>(lock), tag, static_cast<long long>(heldTicks), static_cast<long long>(maxLockedTicks));
  return true;
}

void Limit(PIO_REMOVE_LOCK lock, ULONG maxLockedMinutes, ULONG highWatermark) {
  LockBook book;
  book.highWatermark = highWatermark;
  book.maxLockedTicks = static_cast<int64_t>(maxLockedMinutes) * 60 * PerformanceFrequency();
  std::lock_guard<std::mutex> hold(g_mutex);
  g_locks[lock] = std::move(book);
}
#else
void Track(PIO_REMOVE_LOCK, PVOID) {}
bool Untrack(PIO_REMOVE_LOCK, PVOID) { return true; }
void Limit(PIO_REMOVE_LOCK, ULONG, ULONG) {}
#endif

void SetRemoved(PIO_REMOVE_LOCK lock) { __atomic_store_n(&lock->Common.Removed, TRUE, __ATOMIC_SEQ_CST); }
bool IsRemoved(PIO_REMOVE_LOCK lock) { return __atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST) != 0; }

}  // namespace

namespace internal {

void CheckRemoveLocksIn(const void* begin, size_t size, PDEVICE_OBJECT device) {
#ifndef QELV_BENCH_BUILD
  const auto* first = static_cast<const IO_REMOVE_LOCK*>(begin);
  const auto* last = reinterpret_cast<const IO_REMOVE_LOCK*>(static_cast<const char*>(begin) + size);
  size_t held = 0;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    auto it = g_locks.lower_bound(first);
    while (it != g_locks.end() && it->first < last) {
      held += it->second.holders.size();
      it = g_locks.erase(it);
    }
  }
  if (held > 0)
    Report(Rule::kRemoveLockHeldAtDelete, "device %p deleted with %zu remove lock acquisition(s) not released",
           static_cast<void*>(device), held);
#else
  (void)begin;
  (void)size;
  (void)device;
#endif
}

}  // namespace internal
}  // namespace hostk

using hostk::internal::Report;
using hostk::verifier::Rule;

extern "C" VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                               ULONG MaxLockedMinutes, ULONG HighWatermark,
                                               ULONG RemlockSize) {
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  hostk::Limit(Lock, MaxLockedMinutes, HighWatermark);
}

extern "C" NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                                ULONG Line, ULONG RemlockSize) {
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (!hostk::IsRemoved(RemoveLock)) {
    hostk::Track(RemoveLock, Tag);
    return STATUS_SUCCESS;
  }
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_DELETE_PENDING;
}

extern "C" VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                            ULONG RemlockSize) {
  // The count still goes down, as on Windows, so a waiter is not left
  // hanging by the report.
  if (!hostk::Untrack(RemoveLock, Tag))
    Report(Rule::kRemoveLockBadRelease, "IoReleaseRemoveLock(%p, tag %p)", static_cast<void*>(RemoveLock), Tag);
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  hostk::internal::RunHook(hostk::HookPoint::kRemoveLockReleased, RemoveLock);
}

extern "C" VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                                   ULONG RemlockSize) {
  hostk::internal::CheckIrql("IoReleaseRemoveLockAndWait", PASSIVE_LEVEL);
  hostk::SetRemoved(RemoveLock);
  InterlockedDecrement(&RemoveLock->Common.IoCount);  // the count the lock started with
  IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
  KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
