// qelvperfread.exe: reads HKEY_PERFORMANCE_DATA as a performance monitor
// does, through the system's perflib, finds the Storage Bus object by the
// index lodctr gave it ("First Counter" of the qelvard1 service) and checks
// the whole block's layout: sizes, offsets, alignment, indexes, names.
//
//   qelvperfread present   the object must be there (instances or none),
//                          and the device must open once the query is over
//   qelvperfread absent    the query must succeed without the object
//
// One line per finding, "FAIL ..." for each fault, and last
// "qelvperfread: N checks, M failed". Exit status 0 when none failed.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "layout_check.h"

namespace {

int g_checks = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
  ++g_checks;
  if (!ok) ++g_failed;
  std::printf("%s %s\n", ok ? "ok" : "FAIL", what.c_str());
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ReadIndex(const char* name, DWORD* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\qelvard1\\Performance", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD size = sizeof *value;
  const LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_DWORD;
}

template <typename Record>
Record At(const std::vector<BYTE>& data, std::size_t offset) {
  Record record;
  std::memcpy(&record, data.data() + offset, sizeof record);
  return record;
}

std::string Number(unsigned long long n) { return std::to_string(n); }

// The query, the buffer grown until it fits. Slack beyond the size given
// keeps a provider that writes too far from corrupting the heap; that it
// stays untouched is checked.
LONG Query(std::vector<BYTE>* data, DWORD* returned) {
  constexpr DWORD kSlack = 4096;
  DWORD size = 64 * 1024;
  for (;;) {
    data->assign(size + kSlack, 0xA5);
    *returned = size;
    DWORD type = 0;
    const LONG status = RegQueryValueExW(HKEY_PERFORMANCE_DATA, L"Global", nullptr, &type, data->data(), returned);
    if (status != ERROR_MORE_DATA || size >= 64u * 1024 * 1024) {
      bool untouched = true;
      for (DWORD i = size; i < size + kSlack; ++i) untouched = untouched && (*data)[i] == 0xA5;
      Check(untouched, "nothing written past the " + Number(size) + "-byte buffer");
      return status;
    }
    size *= 2;
  }
}

// The name the system's table gives `index` ("Counter 009" of
// HKEY_PERFORMANCE_DATA); `entries` gets the table's size in pairs.
std::wstring CounterName(DWORD index, std::size_t* entries) {
  std::vector<BYTE> table(1024 * 1024);
  DWORD size = static_cast<DWORD>(table.size());
  DWORD type = 0;
  *entries = 0;
  if (RegQueryValueExW(HKEY_PERFORMANCE_DATA, L"Counter 009", nullptr, &type, table.data(), &size) != ERROR_SUCCESS) {
    return L"";
  }
  std::wstring text(reinterpret_cast<const wchar_t*>(table.data()), size / sizeof(wchar_t));
  std::wstring found;
  for (std::size_t at = 0; at < text.size() && text[at] != 0;) {
    const std::wstring number(text.c_str() + at);
    at += number.size() + 1;
    if (at >= text.size()) break;
    const std::wstring name(text.c_str() + at);
    at += name.size() + 1;
    ++*entries;
    if (number == std::to_wstring(index)) found = name;
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  const bool want_object = argc > 1 && std::strcmp(argv[1], "present") == 0;
  DWORD first_counter = 0;
  DWORD first_help = 0;
  const bool have_indexes = ReadIndex("First Counter", &first_counter) && ReadIndex("First Help", &first_help);
  std::printf("indexes: %s\n", have_indexes ? (Number(first_counter) + " " + Number(first_help)).c_str() : "none");

  std::size_t entries = 0;
  const std::wstring name = CounterName(first_counter, &entries);
  std::printf("names table: %zu entries, index %lu is \"%ls\"\n", entries, first_counter, name.c_str());
  if (want_object && RunningUnderWine()) {
    // Wine's names table is a fixed stub of two entries (1 "1847" and
    // 1846 "End Marker") that lodctr's names never reach.
    Check(entries == 2 && name.empty(), "Wine's fixed names table");
  } else if (want_object) {
    Check(name == L"Storage Bus", "index " + Number(first_counter) + " is named Storage Bus");
  }

  std::vector<BYTE> data;
  DWORD returned = 0;
  const LONG status = Query(&data, &returned);
  RegCloseKey(HKEY_PERFORMANCE_DATA);
  Check(status == ERROR_SUCCESS, "RegQueryValueExW(HKEY_PERFORMANCE_DATA, \"Global\") gives " + Number(status));
  if (status != ERROR_SUCCESS) return 1;

  const auto block = At<PERF_DATA_BLOCK>(data, 0);
  Check(std::memcmp(block.Signature, L"PERF", 8) == 0, "block signature PERF");
  Check(block.HeaderLength % 8 == 0, "block header of " + Number(block.HeaderLength) + " bytes");
  // Wine 8 writes the first object sizeof(PERF_DATA_BLOCK) bytes past the
  // header it reports, and leaves TotalByteLength and the returned size
  // short by as much; Windows puts it at HeaderLength. Only that exact
  // shift is allowed, and only under Wine.
  const std::size_t shift = RunningUnderWine() ? sizeof(PERF_DATA_BLOCK) : 0;
  std::printf("objects: %lu, header %lu, total %lu, returned %lu, reading with a shift of %u\n",
              block.NumObjectTypes, block.HeaderLength, block.TotalByteLength, returned,
              static_cast<unsigned>(shift));
  Check(block.TotalByteLength == returned, "TotalByteLength is the size returned");

  std::size_t at = block.HeaderLength + shift;
  bool found = false;
  for (DWORD i = 0; i < block.NumObjectTypes; ++i) {
    if (at + sizeof(PERF_OBJECT_TYPE) > returned + shift) {
      Check(false, "object " + Number(i) + " lies beyond the block");
      break;
    }
    const auto object = At<PERF_OBJECT_TYPE>(data, at);
    if (have_indexes && object.ObjectNameTitleIndex == first_counter) {
      found = true;
      perf_test::StorageBus bus;
      const std::vector<std::string> faults =
          perf_test::CheckStorageBus(data.data() + at, returned + shift - at, first_counter, first_help, &bus);
      for (const std::string& fault : faults) Check(false, "Storage Bus object: " + fault);
      for (const perf_test::Instance& instance : bus.instances) {
        std::printf("instance \"%s\"\n", std::string(instance.name.begin(), instance.name.end()).c_str());
      }
      std::printf("instances: %zu, PerfTime %lld, PerfFreq %lld\n", bus.instances.size(),
                  static_cast<long long>(bus.perf_time), static_cast<long long>(bus.perf_freq));
    }
    if (object.TotalByteLength == 0) break;
    at += object.TotalByteLength;
  }
  Check(at == returned + shift, "objects end where the block ends");
  Check(found == want_object, want_object ? "the Storage Bus object is there" : "no Storage Bus object");
  if (want_object) {
    // The DLL's Close, at RegCloseKey above, let the device go.
    const HANDLE device = CreateFileA("\\\\.\\QELVARD1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(device != INVALID_HANDLE_VALUE, "the device opens after the query: error " + Number(GetLastError()));
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  }
  std::printf("qelvperfread: %d checks, %d failed\n", g_checks, g_failed);
  return g_failed == 0 ? 0 : 1;
}
