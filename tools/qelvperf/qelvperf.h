// qelvperf: the Storage Bus counters of Performance Monitor, an extensible
// counter DLL after winperf.h. The service key of qelvard1 names it and
// its three exports in its Performance subkey:
//
//   Library  qelvperf.dll
//   Open     OpenBusPerformanceData
//   Collect  CollectBusPerformanceData
//   Close    CloseBusPerformanceData
#pragma once

#include "platform/perf_services.h"

#if defined(_WIN32)
#define QELVPERF_API
#else
#define QELVPERF_API __attribute__((visibility("default")))
#endif

extern "C" {

QELVPERF_API DWORD WINAPI OpenBusPerformanceData(LPWSTR lpDeviceNames);
QELVPERF_API DWORD WINAPI CollectBusPerformanceData(LPWSTR lpValueName, LPVOID* lppData, LPDWORD lpcbTotalBytes,
                                                    LPDWORD lpNumObjectTypes);
QELVPERF_API DWORD WINAPI CloseBusPerformanceData(void);

}  // extern "C"

inline constexpr const char kQelvperfLibrary[] = "qelvperf.dll";
inline constexpr const char kQelvperfOpen[] = "OpenBusPerformanceData";
inline constexpr const char kQelvperfCollect[] = "CollectBusPerformanceData";
inline constexpr const char kQelvperfClose[] = "CloseBusPerformanceData";
