// What the system asks a counter DLL for: the value name of a read of
// HKEY_PERFORMANCE_DATA, as the system passes it to Collect.
#pragma once

#include "platform/perf_services.h"

namespace qelvperf {

enum class Query {
  kGlobal,   // "Global" (also a null or empty name): every object that is not costly
  kForeign,  // "Foreign ...": data of another computer, which this DLL has none of
  kCostly,   // "Costly": the objects that are expensive to collect; this one is not
  kItems,    // a list of object indexes
};

Query KindOf(const WCHAR* value_name);

// Whether a list of indexes (decimal numbers separated by spaces) holds
// `index`. A word that is no decimal number of at most 32 bits names no
// object and is passed over.
bool ListHolds(const WCHAR* list, DWORD index);

}  // namespace qelvperf
