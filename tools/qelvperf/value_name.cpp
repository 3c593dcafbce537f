#include "tools/qelvperf/value_name.h"

#include <cstddef>
#include <cstdint>

namespace qelvperf {
namespace {

WCHAR Upper(WCHAR c) { return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c; }

// `text` begins with `word` (upper case ASCII), letter case aside.
bool StartsWith(const WCHAR* text, const char* word) {
  for (; *word != 0; ++text, ++word) {
    if (Upper(*text) != static_cast<WCHAR>(*word)) return false;
  }
  return true;
}

bool Is(const WCHAR* text, const char* word) {
  std::size_t n = 0;
  while (word[n] != 0) ++n;
  return StartsWith(text, word) && text[n] == 0;
}

bool IsSpace(WCHAR c) { return c == ' ' || c == '\t'; }

}  // namespace

Query KindOf(const WCHAR* value_name) {
  if (value_name == nullptr || *value_name == 0 || Is(value_name, "GLOBAL")) return Query::kGlobal;
  if (Is(value_name, "COSTLY")) return Query::kCostly;
  if (StartsWith(value_name, "FOREIGN")) return Query::kForeign;
  return Query::kItems;
}

bool ListHolds(const WCHAR* list, DWORD index) {
  if (list == nullptr) return false;
  const WCHAR* p = list;
  while (*p != 0) {
    while (IsSpace(*p)) ++p;
    std::uint64_t number = 0;
    bool valid = *p != 0;
    int digits = 0;
    for (; *p != 0 && !IsSpace(*p); ++p) {
      if (*p < '0' || *p > '9' || ++digits > 10) {
        valid = false;
        continue;
      }
      number = number * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    if (valid && number <= 0xFFFFFFFFu && number == index) return true;
  }
  return false;
}

}  // namespace qelvperf
