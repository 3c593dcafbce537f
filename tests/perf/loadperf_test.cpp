// lodctr and unlodctr of the simulation over the default machine's
// registry, with qelvperf.ini as korvinst perf-install loads it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host_common/faults.h"
#include "host_registry/registry.h"
#include "perf_reader.h"
#include "perf_machine.h"

namespace perf_test {
namespace {

const std::string kIni = std::string(QELVPERF_SOURCE_DIR) + "/qelvperf.ini";
constexpr const char kPerformance[] = "System\\CurrentControlSet\\Services\\qelvard1\\Performance";

DWORD Lodctr(const std::string& command_line) {
  std::string line = command_line;
  return LoadPerfCounterTextStringsA(line.data(), TRUE);
}

DWORD Unlodctr(const std::string& command_line) {
  std::string line = command_line;
  return UnloadPerfCounterTextStringsA(line.data(), TRUE);
}

class Loadperf : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteDefaultRegistry();
  }
  void TearDown() override { registry_.Clear(); }

  std::vector<std::string> Perflib(const char* value) {
    std::lock_guard<std::recursive_mutex> hold(registry_.Mutex());
    return hostreg::DecodeMultiSz(registry_.Open(std::string(hostwin32::kPerflibPath) + "\\009")->Value(value)->data);
  }
  std::string PerformanceValue(const char* name) {
    std::lock_guard<std::recursive_mutex> hold(registry_.Mutex());
    const hostreg::RegValue* value = registry_.Open(kPerformance)->Value(name);
    if (value == nullptr) return "<none>";
    return value->type == REG_DWORD ? std::to_string(value->data[0] | value->data[1] << 8) : hostreg::DecodeSz(value->data);
  }

  hostreg::Registry& registry_ = hostreg::Registry::Machine();
};

TEST_F(Loadperf, GivesTheIndexesAfterTheLastAndTakesThemBackOut) {
  const std::string before = registry_.ExportText();
  registry_.Create(kPerformance);
  ASSERT_EQ(Lodctr("lodctr " + kIni), static_cast<DWORD>(ERROR_SUCCESS));

  EXPECT_EQ(PerformanceValue("First Counter"), "1848");
  EXPECT_EQ(PerformanceValue("Last Counter"), "1854");
  EXPECT_EQ(PerformanceValue("First Help"), "1849");
  EXPECT_EQ(PerformanceValue("Last Help"), "1855");
  EXPECT_EQ(PerformanceValue("Object List"), "1848");
  const std::vector<std::string> counters = Perflib("Counter");
  EXPECT_EQ(std::vector<std::string>(counters.end() - 8, counters.end()),
            (std::vector<std::string>{"1848", "Storage Bus", "1850", "% Busy Time", "1852", "% Idle Time", "1854",
                                      "Busy Time"}));
  const std::vector<std::string> helps = Perflib("Help");
  EXPECT_EQ(helps[helps.size() - 8], "1849");
  EXPECT_EQ(helps[helps.size() - 2], "1855");
  {
    std::lock_guard<std::recursive_mutex> hold(registry_.Mutex());
    EXPECT_EQ(registry_.Open(hostwin32::kPerflibPath)->Value("Last Counter")->data, hostreg::EncodeDword(1854));
    EXPECT_EQ(registry_.Open(hostwin32::kPerflibPath)->Value("Last Help")->data, hostreg::EncodeDword(1855));
  }

  ASSERT_EQ(Unlodctr("unlodctr qelvard1"), static_cast<DWORD>(ERROR_SUCCESS));
  registry_.Delete(kPerformance);
  EXPECT_EQ(registry_.ExportText(), before);
}

// A refused lodctr writes nothing.
TEST_F(Loadperf, RefusesWhatWindowsRefusesAndWritesNothing) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / ("lodctr-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(std::string(QELVPERF_SOURCE_DIR) + "/qelvperfsym.h", dir / "qelvperfsym.h",
                             std::filesystem::copy_options::overwrite_existing);
  std::ofstream(dir / "unknown.ini") << "[info]\ndrivername=qelvard1\nsymbolfile=qelvperfsym.h\n[text]\nNO_SUCH_009_NAME=x\n";
  std::ofstream(dir / "nosymbols.ini") << "[info]\ndrivername=qelvard1\nsymbolfile=missing.h\n";
  std::ofstream(dir / "noservice.ini") << "[info]\ndrivername=qelvard9\nsymbolfile=qelvperfsym.h\n";
  struct Case {
    const char* what;
    std::string command_line;
    DWORD error;
  };
  const Case cases[] = {
      {"no word before the file", kIni, ERROR_INVALID_PARAMETER},
      {"no such file", "lodctr /nonexistent/qelvperf.ini", ERROR_FILE_NOT_FOUND},
      {"no symbol file beside it", "lodctr " + (dir / "nosymbols.ini").string(), ERROR_FILE_NOT_FOUND},
      {"a text of no symbol", "lodctr " + (dir / "unknown.ini").string(), ERROR_BAD_FORMAT},
      {"a driver without a service key", "lodctr " + (dir / "noservice.ini").string(), ERROR_FILE_NOT_FOUND},
  };
  registry_.Create(kPerformance);
  const std::string before = registry_.ExportText();
  for (const Case& c : cases) EXPECT_EQ(Lodctr(c.command_line), c.error) << c.what;
  {
    hostfault::Scope faults;
    hostfault::Arm("LoadPerfCounterTextStringsA");
    EXPECT_EQ(Lodctr("lodctr " + kIni), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(Unlodctr("unlodctr qelvard1"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "nothing loaded";
  EXPECT_EQ(registry_.ExportText(), before);

  ASSERT_EQ(Lodctr("lodctr " + kIni), static_cast<DWORD>(ERROR_SUCCESS));
  const std::string loaded = registry_.ExportText();
  EXPECT_EQ(Lodctr("lodctr " + kIni), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "loaded twice";
  EXPECT_EQ(registry_.ExportText(), loaded);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace perf_test
