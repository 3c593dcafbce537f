// Critical sections of the simulation: a recursive mutex each, as a
// Windows critical section may be entered again by its owner.
#include <mutex>

#include "host_win32/win32_perf.h"

namespace {

std::recursive_mutex* MutexOf(LPCRITICAL_SECTION section) {
  return static_cast<std::recursive_mutex*>(section->Lock);
}

}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  lpCriticalSection->Lock = new std::recursive_mutex;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { MutexOf(lpCriticalSection)->lock(); }

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { MutexOf(lpCriticalSection)->unlock(); }

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  delete MutexOf(lpCriticalSection);
  lpCriticalSection->Lock = nullptr;
}

}  // extern "C"
