// The setup library's exports, for programs that load it. Each returns 1
// on success and 0 on failure; with showMessage nonzero it shows its
// result in a message box owned by `owner` (which may be null).
#pragma once

#include "platform/setup_services.h"

// The Windows DLL exports through korvset.def; the host library hides
// everything but these five.
#if defined(_WIN32)
#define KORVSET_API
#else
#define KORVSET_API __attribute__((visibility("default")))
#endif

extern "C" {

// "korvflt1" into the UpperFilters of every bus class, out of the
// LowerFilters of every storage class and of their present devices.
KORVSET_API int WINAPI KV_InstallBusFilters(HWND owner, int showMessage);
// "korvflt1" out of all three places.
KORVSET_API int WINAPI KV_UninstallBusFilters(HWND owner, int showMessage);
// OSStartTime, RebootNeeded 1 and UpdateNotify 0 under
// HKEY_LOCAL_MACHINE\keyPath; the message shows keyPath.
KORVSET_API int WINAPI KV_InitStartupInfo(HWND owner, const char* keyPath, int showMessage);
// serviceName into / out of the UpperFilters of the IDE controller class.
KORVSET_API int WINAPI IDE_InstallFilter(HWND owner, const char* serviceName, int showMessage);
KORVSET_API int WINAPI IDE_UninstallFilter(HWND owner, const char* serviceName, int showMessage);

typedef int(WINAPI* KV_BusFiltersProc)(HWND owner, int showMessage);
typedef int(WINAPI* KV_KeyPathProc)(HWND owner, const char* text, int showMessage);

}  // extern "C"
