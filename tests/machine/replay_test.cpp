// qelvsim --replay: recorded requests through the real driver. The busy
// time the driver reports, summed over the intervals, must equal the union
// of each disk's request intervals to the tick; the union is computed here
// from the test's own list of intervals, by a sweep of their ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "qelvsim/simulation.h"

namespace {

using Ticks = std::int64_t;

struct Interval {
  int disk;
  Ticks issue;  // 100-ns ticks
  Ticks complete;
};

// The ends of one disk's intervals in time order, as (time, +1 start or
// -1 end); at the same time ends come first, so an interval that ends
// where another begins does not overlap it.
std::vector<std::pair<Ticks, int>> Edges(const std::vector<Interval>& intervals, int disk) {
  std::vector<std::pair<Ticks, int>> edges;
  for (const Interval& i : intervals) {
    if (i.disk != disk) continue;
    edges.emplace_back(i.issue, +1);
    edges.emplace_back(i.complete, -1);
  }
  std::sort(edges.begin(), edges.end());
  return edges;
}

// Time with at least one interval open, by a sweep over the ends.
Ticks SweepUnion(const std::vector<Interval>& intervals, int disk) {
  Ticks busy = 0;
  int open = 0;
  Ticks since = 0;
  for (const auto& [at, step] : Edges(intervals, disk)) {
    if (open > 0) busy += at - since;
    open += step;
    since = at;
  }
  return busy;
}

int SweepPeak(const std::vector<Interval>& intervals, int disk) {
  int open = 0;
  int peak = 0;
  for (const auto& edge : Edges(intervals, disk)) peak = std::max(peak, open += edge.second);
  return peak;
}

// Exact overlaps on two disks, across interval boundaries of 0.01 s
// (100,000 ticks): touching, identical, nested, and a disk with its own
// gaps. Ticks start at 1,000,000 so the capture begins at 0.1 s.
std::vector<Interval> ExactOverlaps() {
  return {
      {0, 1'000'000, 1'050'000}, {0, 1'050'000, 1'120'000},  // touching, across a boundary
      {0, 1'200'000, 1'230'000}, {0, 1'200'000, 1'230'000},  // identical
      {0, 1'300'000, 1'500'000}, {0, 1'350'000, 1'360'000},  // nested
      {0, 1'360'000, 1'360'000},                              // empty, inside the nested one
      {1, 1'010'000, 1'020'000}, {1, 1'020'000, 1'020'000},  // touching an empty one
      {1, 1'150'000, 1'450'001}, {1, 1'160'000, 1'450'001},  // identical ends
  };
}

std::string Seconds(Ticks ticks, char point) {
  char text[40];
  std::snprintf(text, sizeof text, "%lld%c%07lld", static_cast<long long>(ticks / 10'000'000), point,
                static_cast<long long>(ticks % 10'000'000));
  return text;
}

// The same requests written in each format (rows reversed: order must not
// matter).
std::string AsWpa(const std::vector<Interval>& intervals) {
  std::string text = "IO Type;Init Time (s);Complete Time (s);Size (B);Min Offset;Disk;Count\r\n";
  for (auto it = intervals.rbegin(); it != intervals.rend(); ++it) {
    text += "Read;" + Seconds(it->issue, ',') + ";" + Seconds(it->complete, ',') + ";4.096;0x1000;" +
            std::to_string(it->disk + 3) + ";1\r\n";
  }
  return text;
}

std::string AsBlkparse(const std::vector<Interval>& intervals) {
  std::vector<std::pair<Ticks, std::string>> lines;
  int sequence = 0;
  for (size_t i = 0; i < intervals.size(); ++i) {
    const Interval& r = intervals[i];
    // Each request its own sector, so pairs are unambiguous.
    const std::string device = r.disk == 0 ? "8,0" : "8,16";
    const std::string where = " W " + std::to_string(1000 + i * 8) + " + 8 [x]\n";
    lines.emplace_back(r.issue, device + " 0 " + std::to_string(++sequence) + " " + Seconds(r.issue, '.') + "00 7 D" + where);
    lines.emplace_back(r.complete,
                       device + " 0 " + std::to_string(++sequence) + " " + Seconds(r.complete, '.') + "00 0 C" + where);
  }
  std::stable_sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string text;
  for (const auto& line : lines) text += line.second;
  return text;
}

constexpr Ticks kFiletime2007 = 128166372000000000;

std::string AsCambridge(const std::vector<Interval>& intervals) {
  std::string text = "Timestamp,Hostname,DiskNumber,Type,Offset,Size,ResponseTime\n";
  for (auto it = intervals.rbegin(); it != intervals.rend(); ++it) {
    text += std::to_string(kFiletime2007 + it->issue) + ",src" + std::to_string(it->disk) + ",0,Write,4096,4096," +
            std::to_string(it->complete - it->issue) + "\n";
  }
  return text;
}

std::string WriteTempFile(const std::string& name, const std::string& text) {
  std::string path = testing::TempDir() + "qelvsim-replay-" + std::to_string(getpid()) + "-" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

struct ReplayRun {
  int exit_code = -1;
  std::string out;
  std::string err;
  qelvmon::Timeline timeline;
};

ReplayRun Replay(const std::string& path, double interval, std::vector<const char*> more = {}) {
  std::vector<const char*> args = {"--replay", path.c_str(), "--svg", ""};
  std::string interval_text = std::to_string(interval);
  args.push_back("--interval");
  args.push_back(interval_text.c_str());
  args.insert(args.end(), more.begin(), more.end());
  qelvsim::SimOptions options;
  std::ostringstream out;
  std::ostringstream err;
  ReplayRun run;
  EXPECT_EQ(qelvsim::ParseOptions(static_cast<int>(args.size()), args.data(), &options, out, err), -1) << err.str();
  run.exit_code = qelvsim::RunSimulation(options, out, err, &run.timeline);
  run.out = out.str();
  run.err = err.str();
  return run;
}

Ticks BusyOfBus(const qelvmon::Timeline& timeline, int bus) {
  Ticks busy = 0;
  for (const auto& sample : timeline.samples) busy += sample.busy[static_cast<size_t>(bus)];
  return busy;
}

TEST(Replay, ExactOverlapsInEveryFormatGiveTheUnionToTheTick) {
  const std::vector<Interval> intervals = ExactOverlaps();
  const struct {
    const char* format;
    std::string text;
    std::string disk0;
  } cases[] = {{"wpa", AsWpa(intervals), "disk 3"},
               {"blkparse", AsBlkparse(intervals), "device 8,0"},
               {"cambridge", AsCambridge(intervals), "src0 disk 0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    ReplayRun run = Replay(WriteTempFile(c.format, c.text), 0.01);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // From 0.1 s (rounded down) to the interval of the last completion at
    // tick 1,500,000: five intervals.
    ASSERT_EQ(run.timeline.samples.size(), 5u);
    EXPECT_EQ(run.timeline.names.at(0), "Recorded " + c.disk0);
    for (int disk = 0; disk < 2; ++disk) {
      SCOPED_TRACE(disk);
      EXPECT_EQ(BusyOfBus(run.timeline, disk), SweepUnion(intervals, disk));
    }
    EXPECT_EQ(SweepUnion(intervals, 0), 50'000 + 70'000 + 30'000 + 200'000);
  }
}

TEST(Replay, AFiletimeRecordingReportsTheDayItWasMade) {
  ReplayRun run = Replay(WriteTempFile("day.csv", AsCambridge(ExactOverlaps())), 0.01);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // The capture starts at the first issue, filetime 128166372001000000;
  // the first read comes one 0.01-s interval later.
  EXPECT_NE(run.out.find("2007-02-22 17:00:00.110 UTC  interval 1"), std::string::npos) << run.out;
}

TEST(Replay, EachIntervalHoldsItsShareOfTheBusyTime) {
  ReplayRun run = Replay(WriteTempFile("split.csv", AsWpa(ExactOverlaps())), 0.01);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::vector<Interval> intervals = ExactOverlaps();
  for (const auto& sample : run.timeline.samples) {
    // The union clipped to the interval, from the test's own list.
    std::vector<Interval> clipped;
    for (const Interval& i : intervals) {
      Ticks start = std::max<Ticks>(i.issue, sample.interval_start);
      Ticks end = std::min<Ticks>(i.complete, sample.interval_end);
      if (end > start) clipped.push_back({i.disk, start, end});
    }
    EXPECT_EQ(sample.busy[0], SweepUnion(clipped, 0)) << "interval from " << sample.interval_start;
    EXPECT_EQ(sample.busy[1], SweepUnion(clipped, 1)) << "interval from " << sample.interval_start;
  }
}

// The figures of the summary: requests, busy, peak and the classic sum of
// response times, per disk.
TEST(Replay, SummaryComparesTheDriversBusyTimeWithTheSumOfResponseTimes) {
  const std::vector<Interval> intervals = ExactOverlaps();
  ReplayRun run = Replay(WriteTempFile("summary.csv", AsWpa(intervals)), 0.01);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // Span 0.1 s to 0.15 s = 500,000 ticks. Disk 3: busy 350,000 (70.00 %),
  // response sum 50,000+70,000+2*30,000+200,000+10,000 = 390,000 (78.00 %).
  EXPECT_NE(run.out.find("over 0.0500000 s, from the first issue"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  0    disk 3                            7  0.0350000      70.00                 2  0.0390000"
                         "              78.00\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(SweepPeak(intervals, 0), 2);
  EXPECT_EQ(SweepPeak(intervals, 1), 2);
}

std::vector<Interval> ReadSharedExcerpt() {
  std::ifstream in(std::string(QELV_SHARED_DIR) + "/traces/win11-boot-11s-14s.csv", std::ios::binary);
  std::vector<Interval> intervals;
  std::string line;
  std::getline(in, line);  // header
  auto ticks = [](std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ','), text.end());
    return std::stoll(text) / 100;  // nine decimals: nanoseconds
  };
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream row(line);
    for (std::string field; std::getline(row, field, ';');) fields.push_back(field);
    if (fields.size() < 5) continue;
    intervals.push_back({0, ticks(fields[3]), ticks(fields[4])});
  }
  return intervals;
}

TEST(Replay, TheSharedExcerptOfARealBootIsMeasuredToTheTick) {
  const std::vector<Interval> intervals = ReadSharedExcerpt();
  ASSERT_EQ(intervals.size(), 6590u);
  ReplayRun run = Replay(std::string(QELV_SHARED_DIR) + "/traces/win11-boot-11s-14s.csv", 1);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // The recording's clock is the counter: the capture runs from 11 s to 14 s.
  ASSERT_EQ(run.timeline.samples.size(), 3u);
  EXPECT_EQ(run.timeline.samples.front().interval_start, 110'000'000);
  EXPECT_EQ(run.timeline.samples.back().interval_end, 140'000'000);
  EXPECT_EQ(BusyOfBus(run.timeline, 0), SweepUnion(intervals, 0));
  EXPECT_EQ(SweepUnion(intervals, 0), 12'308'747);
  EXPECT_GT(SweepPeak(intervals, 0), 250);  // hundreds outstanding at once
  EXPECT_NE(run.out.find(" " + std::to_string(SweepPeak(intervals, 0)) + "  8.4724947"), std::string::npos) << run.out;
}

TEST(Replay, ABadTraceStopsTheRunBeforeAnythingIsReplayed) {
  std::string text = AsWpa(ExactOverlaps());
  text.insert(text.find("Read;", text.find("Read;") + 1), "Read;1,0;0,5;4.096;0x0;3;1\r\n");
  ReplayRun run = Replay(WriteTempFile("bad.csv", text), 1);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("bad.csv:3: the completion is before the issue\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.timeline.samples.empty());
}

TEST(ReplayOptions, UnknownFormatsAndOptionsThatCannotGoWithAReplay) {
  const struct {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"--replay", "t.csv", "--trace-format", "iostat"},
       "--trace-format: unknown format \"iostat\" (known: wpa, blkparse, cambridge)"},
      {{"--replay", "t.csv", "--seconds", "3"}, "--seconds excludes --replay"},
      {{"--replay", "t.csv", "--time", "real"}, "--time excludes --replay"},
      {{"--trace-format", "wpa"}, "--trace-format requires --replay"},
  };
  for (const auto& c : cases) {
    qelvsim::SimOptions options;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(qelvsim::ParseOptions(static_cast<int>(c.args.size()), c.args.data(), &options, out, err), 2);
    EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
  }
}

}  // namespace
