// The utilisation timeline qelvsim draws at the end of a run: one line per
// bus, time across, 0 to 100 % up, bus names in the legend.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qelvsim {

struct TimelineSample {
  std::int64_t interval_start = 0;  // counter ticks
  std::int64_t interval_end = 0;
  std::array<std::int64_t, 256> busy{};
};

struct Timeline {
  std::int64_t frequency = 0;           // counter ticks per second; 0 when unknown
  std::vector<TimelineSample> samples;  // in order
  std::map<int, std::string> names;     // controller name by bus index
};

// The buses worth drawing: every bus with a name or any busy time.
std::vector<int> TimelineBuses(const Timeline& timeline);

// A whole SVG document.
std::string TimelineSvg(const Timeline& timeline);

// Text made safe for XML character data and attribute values.
std::string XmlEscape(const std::string& text);

}  // namespace qelvsim
