// What a performance counter DLL and its installer call beyond the setup
// library's subset (win32_setup.h), with the Windows names: critical
// sections, and loadperf's lodctr and unlodctr over the simulated
// machine's registry.
//
// LoadPerfCounterTextStringsA does what lodctr does on Windows 2000. The
// command line is a word, a space and the .ini file (a host path here;
// the symbol file named in it lies beside it). The indexes of the .ini's
// symbols start two above Perflib's "Last Counter" and "Last Help"; the
// names and help texts go into the Counter and Help values of every
// language subkey of Perflib that the .ini has text for; Perflib's Last
// Counter and Last Help are raised; the driver's Performance key gets
// First/Last Counter, First/Last Help and the "Object List" of its
// [objects]. UnloadPerfCounterTextStringsA (a word, a space, the driver's
// service name) takes all of it back out and, when the driver's indexes
// were the last ones given out, lowers Last Counter and Last Help to just
// below them again.
//
// Perflib is the key kPerflibPath below HKEY_LOCAL_MACHINE. Both calls first ask hostfault::ShouldFail with
// their function name and fail with ERROR_ACCESS_DENIED when told to; a
// failure leaves the registry as it was.
#pragma once

#include "host_win32/win32_setup.h"

#define ERROR_BAD_FORMAT 11L
#define ERROR_ALREADY_EXISTS 183L

// A critical section of the simulation: recursive, like the real one.
struct CRITICAL_SECTION {
  void* Lock;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// LOADPERF
DWORD WINAPI LoadPerfCounterTextStringsA(LPSTR lpCommandLine, BOOL bQuietModeArg);
DWORD WINAPI UnloadPerfCounterTextStringsA(LPSTR lpCommandLine, BOOL bQuietModeArg);

}  // extern "C"

namespace hostwin32 {

// Perflib's key path below HKEY_LOCAL_MACHINE.
inline constexpr const char* kPerflibPath = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";

}  // namespace hostwin32
