// The setup and registry services the setup library is written against:
// the ANSI SetupAPI, ADVAPI32 registry and USER32 calls. A Windows build
// gets the real headers, a host build the simulated machine's registry and
// device database under the same names.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <setupapi.h>
#include <mbstring.h>
#include <time.h>
#else
#include "host_win32/win32_setup.h"
#endif
