// The three exports over the process's one collector. Nothing may escape
// into the caller: perflib runs the DLL inside whatever process reads the
// counters, so a failure becomes "no data", never an exception.
#include "tools/qelvperf/qelvperf.h"

#include "tools/qelvperf/channel_source.h"

namespace {

// The channel factory is asked at each connection, so a host process may
// set it after the collector is made.
qelvperf::BusCollector& Collector() {
  static qelvperf::BusCollector collector([] {
    const qelvperf::ChannelFactory factory = qelvperf::ProcessChannelFactory();
    return factory ? factory() : nullptr;
  });
  return collector;
}

}  // namespace

extern "C" {

DWORD WINAPI OpenBusPerformanceData(LPWSTR /*lpDeviceNames*/) {
  try {
    return Collector().Open();
  } catch (...) {
    return ERROR_SUCCESS;
  }
}

DWORD WINAPI CollectBusPerformanceData(LPWSTR lpValueName, LPVOID* lppData, LPDWORD lpcbTotalBytes,
                                       LPDWORD lpNumObjectTypes) {
  try {
    return Collector().Collect(lpValueName, lppData, lpcbTotalBytes, lpNumObjectTypes);
  } catch (...) {
    if (lpcbTotalBytes != nullptr) *lpcbTotalBytes = 0;
    if (lpNumObjectTypes != nullptr) *lpNumObjectTypes = 0;
    return ERROR_SUCCESS;
  }
}

DWORD WINAPI CloseBusPerformanceData(void) {
  try {
    return Collector().Close();
  } catch (...) {
    return ERROR_SUCCESS;
  }
}

}  // extern "C"
