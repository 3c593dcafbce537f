// qelvmon --svg: the intervals shown, drawn when the run ends however it
// ends; every point of the picture is a busy share the report printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <unistd.h>

#include "monitor_run.h"
#include "qelvmon/options.h"
#include "qelvmon/report.h"
#include "qelvmon/timeline.h"

namespace {

using qelvmon_test::MonitorRun;
using qelvmon_test::ParseCsv;
using qelvmon_test::ReadFile;
using qelvmon_test::RunRecording;
using qelvmon_test::ScriptedChannel;
using qelvmon_test::TestFile;

std::string TempSvg(const char* name) {
  std::string path = testing::TempDir() + "qelvmon-" + std::to_string(getpid()) + "-" + name + ".svg";
  std::remove(path.c_str());
  return path;
}

// Elements nest and close, attribute values are quoted, text holds no
// bare '<' or '&': enough of XML to reject a broken picture.
void ExpectWellFormed(const std::string& svg) {
  std::vector<std::string> open;
  size_t at = 0;
  ASSERT_EQ(svg.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u);
  at = svg.find("?>") + 2;
  while ((at = svg.find('<', at)) != std::string::npos) {
    size_t end = svg.find('>', at);
    ASSERT_NE(end, std::string::npos);
    std::string tag = svg.substr(at + 1, end - at - 1);
    EXPECT_EQ(std::count(tag.begin(), tag.end(), '"') % 2, 0) << tag;
    if (tag[0] == '/') {
      ASSERT_FALSE(open.empty()) << tag;
      EXPECT_EQ(open.back(), tag.substr(1));
      open.pop_back();
    } else if (tag.back() != '/') {
      open.push_back(tag.substr(0, tag.find(' ')));
    }
    size_t next = svg.find('<', end);
    std::string text = svg.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1);
    for (size_t amp = text.find('&'); amp != std::string::npos; amp = text.find('&', amp + 1)) {
      EXPECT_NE(text.find(';', amp), std::string::npos) << text;
    }
    at = end;
  }
  EXPECT_TRUE(open.empty());
  EXPECT_EQ(open.size(), 0u);
}

// Per bus (from the line's title "bus N..."), the busy share in tenths of
// a percent of each interval, read back from the y of its points: the plot
// is 300 high from y = 40.
std::map<int, std::vector<long>> DrawnPermille(const std::string& svg) {
  std::map<int, std::vector<long>> drawn;
  for (size_t at = svg.find("<polyline"); at != std::string::npos; at = svg.find("<polyline", at + 1)) {
    size_t points = svg.find("points=\"", at) + 8;
    std::istringstream pairs(svg.substr(points, svg.find('"', points) - points));
    int bus = std::stoi(svg.substr(svg.find("<title>bus ", at) + 11));
    std::vector<double> ys;
    for (std::string pair; pairs >> pair;) ys.push_back(std::stod(pair.substr(pair.find(',') + 1)));
    for (size_t i = 0; i + 1 < ys.size(); i += 2) {
      EXPECT_EQ(ys[i], ys[i + 1]) << "an interval's share is held across it";
      drawn[bus].push_back(std::lround((340.0 - ys[i]) / 0.3));
    }
  }
  return drawn;
}

// The shares the CSV printed, by bus and interval; a bus not shown in an
// interval was idle there. Shares beyond 0 to 100 % are drawn at the end.
std::map<int, std::vector<long>> PrintedPermille(const std::string& csv, size_t intervals) {
  std::map<int, std::vector<long>> printed;
  auto records = ParseCsv(csv);
  for (size_t i = 1; i < records.size(); ++i) {
    const auto& r = records[i];
    auto& row = printed[std::stoi(r[4])];
    row.resize(intervals, 0);
    long permille = std::lround(std::stod(r[9]) * 10);
    row[static_cast<size_t>(std::stoi(r[1]) - 1)] = std::clamp(permille, 0L, 1000L);
  }
  return printed;
}

qelvmon::MonitorConfig CsvWithSvg(const std::string& path, std::uint64_t count = 0) {
  qelvmon::MonitorConfig config;
  config.format = qelvmon::OutputFormat::kCsv;
  config.count = count;
  config.svg = path;
  return config;
}

TEST(SvgTimeline, EveryPointIsTheShareThePrintedReportShows) {
  const std::string path = TempSvg("mixed");
  MonitorRun run = qelvmon_test::RunMonitor(ScriptedChannel::FromFile(TestFile("data/mixed.capture")),
                                            CsvWithSvg(path, 3));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::string svg = ReadFile(path);
  ExpectWellFormed(svg);
  // Buses 0, 1, 2, 4, 9 have devices; 7 was busy without one.
  EXPECT_EQ(DrawnPermille(svg), PrintedPermille(run.out, 3));
  EXPECT_NE(svg.find(">bus 9: Caf\xC3\xA9 SCSI Adapter<"), std::string::npos);
  EXPECT_NE(svg.find(">bus 4: USB Mass Storage, &quot;Port 2&quot;<"), std::string::npos);
}

TEST(SvgTimeline, AnInterruptedOrFailedRunDrawsWhatWasShown) {
  const struct {
    const char* name;
    const char* recording;
    int exit_code;
  } cases[] = {
      {"interrupted", "frequency 100\ndevice 0 A\nread 0 100 0:50\ninterrupt\nread 100 200 0:100\n", 0},
      {"failed", "frequency 100\ndevice 0 A\nread 0 100 0:50\nfail read 0xE0008105\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = TempSvg(c.name);
    MonitorRun run = RunRecording(c.recording, CsvWithSvg(path));
    EXPECT_EQ(run.exit_code, c.exit_code);
    const std::string svg = ReadFile(path);
    ExpectWellFormed(svg);
    EXPECT_EQ(DrawnPermille(svg), (std::map<int, std::vector<long>>{{0, {500}}}));
  }
}

TEST(SvgTimeline, NoPictureWithoutACaptureAndAClearErrorWhenItCannotBeWritten) {
  const std::string path = TempSvg("unopened");
  MonitorRun unopened = RunRecording("fail open 2\n", CsvWithSvg(path, 1));
  EXPECT_EQ(unopened.exit_code, 1);
  EXPECT_FALSE(std::ifstream(path).good());

  MonitorRun unwritable = RunRecording("read 0 10\n", CsvWithSvg("/nonexistent/dir/t.svg", 1));
  EXPECT_EQ(unwritable.exit_code, 1);
  EXPECT_EQ(unwritable.err, "qelvmon: cannot write /nonexistent/dir/t.svg: No such file or directory\n");
}

TEST(SvgTimeline, TheOptionNamesTheFile) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(qelvmon::ParseCommandLine({"--svg", "a.svg"}, out, err).config.svg, "a.svg");
  const qelvmon::ParseResult empty = qelvmon::ParseCommandLine({"--svg", ""}, out, err);
  EXPECT_EQ(empty.exit_code, 2);
  EXPECT_NE(err.str().find("needs a file name"), std::string::npos) << err.str();
}

// The legend's text is monospace: a column is 0.6 em, an East Asian wide
// character two. Names of 255 characters on every bus index: each legend
// line must end inside the picture's width and sit above its bottom, and
// no character of a name may be lost to the wrapping.
int Attribute(const std::string& tag, const std::string& name) {
  size_t at = tag.find(" " + name + "=\"");
  return at == std::string::npos ? -1 : std::stoi(tag.substr(at + name.size() + 3));
}

std::string Unescaped(std::string text) {
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
  for (const auto& [entity, plain] : entities) {
    for (size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
      text.replace(at, std::strlen(entity), plain);
    }
  }
  return text;
}

size_t CodePoints(const std::string& utf8) {
  return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string WithoutSpaces(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

TEST(SvgTimeline, TheLongestControllerNamesFitTheLegendInsideThePicture) {
  qelvmon::Timeline timeline;
  timeline.frequency = 100;
  qelvmon::TimelineSample sample;
  sample.interval_end = 100;
  timeline.samples.push_back(sample);
  std::string words;
  while (words.size() < 250) words += "Controller " + std::to_string(words.size()) + " ";
  for (int bus = 0; bus < 256; ++bus) {
    timeline.names[bus] = bus % 3 == 0 ? std::string(255, 'W') : bus % 3 == 1 ? words.substr(0, 255) : std::string(255, '\xE9');
  }
  const std::string svg = qelvmon::TimelineSvg(timeline);
  ExpectWellFormed(svg);
  const size_t root = svg.find("<svg ");
  const std::string root_tag = svg.substr(root, svg.find('>', root) - root);
  const int width = Attribute(root_tag, "width");
  const int height = Attribute(root_tag, "height");
  EXPECT_NE(root_tag.find("viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) + "\""),
            std::string::npos);

  int entries = 0;
  for (size_t at = svg.find("<text "); at != std::string::npos; at = svg.find("<text ", at + 1)) {
    const size_t end = svg.find("</text>", at);
    const std::string element = svg.substr(at, end - at);
    const std::string tag = element.substr(0, element.find('>'));
    if (element.find(">bus ") == std::string::npos) continue;
    ++entries;
    const int bus = std::stoi(element.substr(element.find(">bus ") + 5));
    SCOPED_TRACE("bus " + std::to_string(bus));
    ASSERT_NE(tag.find("font-family=\"monospace\""), std::string::npos) << tag;
    const double column = 0.6 * Attribute(tag, "font-size");
    // Each line is a tspan with its own x and y.
    std::string shown;
    for (size_t span = element.find("<tspan "); span != std::string::npos; span = element.find("<tspan ", span + 1)) {
      const size_t close = element.find('>', span);
      const std::string span_tag = element.substr(span, close - span);
      const std::string text = Unescaped(element.substr(close + 1, element.find("</tspan>", close) - close - 1));
      EXPECT_LE(Attribute(span_tag, "x") + static_cast<double>(CodePoints(text)) * column, width) << text;
      EXPECT_LE(Attribute(span_tag, "y"), height) << text;
      shown += text;
    }
    const std::string label = "bus " + std::to_string(bus) + ": " + qelvmon::AnsiToUtf8(timeline.names[bus]);
    EXPECT_EQ(WithoutSpaces(shown), WithoutSpaces(label));
  }
  EXPECT_EQ(entries, 256);
}

TEST(SvgTimeline, LegendLabelsBreakAtSpacesAndCountWideCharactersTwice) {
  using Lines = std::vector<std::string>;
  const struct {
    const char* text;
    Lines lines;
  } cases[] = {
      {"bus 1: SD", {"bus 1: SD"}},
      {"bus 1: Primary IDE", {"bus 1:", "Primary", "IDE"}},
      {"ABCDEFGHIJ KL", {"ABCDEFGHI", "J KL"}},
      {"bus 2: \xE7\xA3\x81\xE7\x9B\xA4\xE3\x82\xB3\xE3\x83\xB3", {"bus 2:", "\xE7\xA3\x81\xE7\x9B\xA4\xE3\x82\xB3\xE3\x83\xB3"}},
      {"\xE7\xA3\x81\xE7\x9B\xA4\xE3\x82\xB3\xE3\x83\xB3\xE3\x83\x88", {"\xE7\xA3\x81\xE7\x9B\xA4\xE3\x82\xB3\xE3\x83\xB3",
                                                                      "\xE3\x83\x88"}},
      {"caf\xC3\xA9 caf\xC3\xA9", {"caf\xC3\xA9 caf\xC3\xA9"}},
  };
  for (const auto& c : cases) EXPECT_EQ(qelvmon::WrapLegendLabel(c.text, 9), c.lines) << c.text;
}

}  // namespace
