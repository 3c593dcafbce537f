// The utilisation timeline drawn at the end of a run, by qelvmon --svg and
// by qelvsim: one line per bus, time across, 0 to 100 % up, controller
// names in the legend. Each point is the interval's busy share as the
// report prints it (tenths of a percent), so the picture and the figures
// agree exactly.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qelvmon {

struct TimelineSample {
  std::int64_t interval_start = 0;  // counter ticks
  std::int64_t interval_end = 0;
  std::array<std::int64_t, 256> busy{};
};

struct Timeline {
  std::int64_t frequency = 0;           // counter ticks per second; 0 when unknown
  std::vector<TimelineSample> samples;  // in order
  std::map<int, std::string> names;     // controller name (ANSI) by bus index
};

// The buses worth drawing: every bus with a name or any busy time.
std::vector<int> TimelineBuses(const Timeline& timeline);

// A whole SVG document.
std::string TimelineSvg(const Timeline& timeline);
// Writes it to `path`; false with the reason when the file cannot be written.
bool WriteTimelineSvg(const std::string& path, const Timeline& timeline, std::string* error);

// UTF-8 text made safe for XML character data and attribute values.
std::string XmlEscape(const std::string& text);

// A legend label (UTF-8) cut into lines of at most `columns` monospace
// columns, a wide East Asian character counting two: at spaces where it
// can, within a word where one word is longer than a line. Exposed for
// tests.
std::vector<std::string> WrapLegendLabel(const std::string& text, int columns);

}  // namespace qelvmon
