// The Win32 services the performance counter DLL (tools/qelvperf) and its
// installer are written against: the ANSI registry calls, critical
// sections, the tick count, code-page conversion and the performance data
// layout, and in host builds loadperf's lodctr and unlodctr (a Windows
// program loads loadperf.dll itself). A Windows build gets the real
// headers, a host build the simulated machine's under the same names.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <winperf.h>
#else
#include "host_win32/win32_perf.h"
#include "host_win32/winperf.h"
#endif
