// A recorded trace replayed through the simulated machine and the real
// driver, as `qelvsim --replay` runs it (boot, replay, monitor, summary):
//
//   BM_Replay/1    the shared excerpt of a Windows boot, 6,590 requests
//   BM_Replay/26   the excerpt 26 times over, 3 s apart: 171,340 requests,
//                  the size of the whole recording
//
// items_per_second is replayed requests per second of wall time;
// tools/bench.sh sets it against the driver's own per-request cost.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "qelvsim/simulation.h"

namespace {

const std::string kExcerpt = std::string(QELV_SHARED_DIR) + "/traces/win11-boot-11s-14s.csv";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "11,000385200" moved on by `seconds`.
std::string ShiftTime(const std::string& text, long long seconds) {
  size_t comma = text.find(',');
  char shifted[40];
  std::snprintf(shifted, sizeof shifted, "%lld,%s", std::stoll(text.substr(0, comma)) + seconds,
                text.substr(comma + 1).c_str());
  return shifted;
}

// The excerpt `copies` times, each 3 s after the one before (its issue
// times span 11 s to 14 s), in one file.
std::string TiledTrace(int copies) {
  std::istringstream excerpt(ReadFile(kExcerpt));
  std::string header;
  std::getline(excerpt, header);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(excerpt, line);) {
    std::vector<std::string> fields;
    std::stringstream row(line);
    for (std::string field; std::getline(row, field, ';');) fields.push_back(field);
    if (fields.size() > 4) rows.push_back(fields);
  }
  std::string path = "/tmp/replay-bench-" + std::to_string(getpid()) + "-" + std::to_string(copies) + ".csv";
  std::ofstream out(path, std::ios::binary);
  out << header << "\n";
  for (int copy = 0; copy < copies; ++copy) {
    for (std::vector<std::string> fields : rows) {
      fields[3] = ShiftTime(fields[3], 3LL * copy);
      fields[4] = ShiftTime(fields[4], 3LL * copy);
      std::string line;
      for (const std::string& field : fields) line += (line.empty() ? "" : ";") + field;
      out << line << "\n";
    }
  }
  return path;
}

void BM_Replay(benchmark::State& state) {
  const int copies = static_cast<int>(state.range(0));
  const std::string path = copies == 1 ? kExcerpt : TiledTrace(copies);
  qelvsim::SimOptions options;
  options.replay = path;
  options.svg = "";
  for (auto _ : state) {
    std::ostringstream out;
    std::ostringstream err;
    if (qelvsim::RunSimulation(options, out, err) != 0) {
      state.SkipWithError(err.str().c_str());
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 6590 * copies);
  if (copies != 1) std::remove(path.c_str());
}
BENCHMARK(BM_Replay)->Arg(1)->Arg(26)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
