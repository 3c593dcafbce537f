#include "qelvmon/timeline.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "qelvmon/report.h"
#include "qelvmon/utilisation.h"

namespace qelvmon {
namespace {

constexpr int kWidth = 960;
constexpr int kLeft = 60;
constexpr int kTop = 40;
constexpr int kPlotWidth = 600;
constexpr int kPlotHeight = 300;
constexpr int kHeight = kTop + kPlotHeight + 60;

const char* const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f"};

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // Control characters are not allowed in XML 1.0.
        out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return out;
}

std::vector<int> TimelineBuses(const Timeline& timeline) {
  std::vector<int> buses;
  for (int bus = 0; bus < 256; ++bus) {
    bool busy = std::any_of(timeline.samples.begin(), timeline.samples.end(),
                            [&](const TimelineSample& s) { return s.busy[static_cast<size_t>(bus)] != 0; });
    if (busy || timeline.names.count(bus) != 0) buses.push_back(bus);
  }
  return buses;
}

std::string TimelineSvg(const Timeline& timeline) {
  std::ostringstream svg;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << kHeight
      << "\" viewBox=\"0 0 " << kWidth << " " << kHeight << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << kLeft << "\" y=\"24\" font-size=\"16\">Bus utilisation</text>\n";

  std::int64_t first = timeline.samples.empty() ? 0 : timeline.samples.front().interval_start;
  std::int64_t last = timeline.samples.empty() ? 1 : timeline.samples.back().interval_end;
  double span = static_cast<double>(std::max<std::int64_t>(1, last - first));
  auto x_of = [&](std::int64_t ticks) { return kLeft + static_cast<double>(ticks - first) / span * kPlotWidth; };
  auto y_of = [&](double fraction) { return kTop + (1.0 - fraction) * kPlotHeight; };
  // The share as printed, 0 to 100 % (a reply beyond either end is drawn
  // at the end); an empty interval is drawn at 0.
  auto y_of_interval = [&](const TimelineSample& s, int bus) {
    std::optional<std::int64_t> permille =
        BusyPermille(s.busy[static_cast<size_t>(bus)], s.interval_start, s.interval_end);
    return y_of(static_cast<double>(std::clamp<std::int64_t>(permille.value_or(0), 0, 1000)) / 1000.0);
  };

  // Axes and grid: 0, 25, 50, 75, 100 %.
  for (int pct = 0; pct <= 100; pct += 25) {
    double y = y_of(pct / 100.0);
    svg << "<line x1=\"" << kLeft << "\" y1=\"" << Number(y) << "\" x2=\"" << kLeft + kPlotWidth << "\" y2=\""
        << Number(y) << "\" stroke=\"" << (pct == 0 ? "black" : "#dddddd") << "\"/>\n"
        << "<text x=\"" << kLeft - 8 << "\" y=\"" << Number(y + 4) << "\" text-anchor=\"end\">" << pct
        << " %</text>\n";
  }
  svg << "<line x1=\"" << kLeft << "\" y1=\"" << kTop << "\" x2=\"" << kLeft << "\" y2=\"" << kTop + kPlotHeight
      << "\" stroke=\"black\"/>\n";
  // Time labels: seconds when the frequency is known, else intervals.
  for (int i = 0; i <= 4; ++i) {
    std::int64_t at = first + static_cast<std::int64_t>(span * i / 4);
    std::string label = timeline.frequency > 0
                            ? Number(static_cast<double>(at - first) / static_cast<double>(timeline.frequency)) + " s"
                            : std::to_string(at - first);
    svg << "<text x=\"" << Number(x_of(at)) << "\" y=\"" << kTop + kPlotHeight + 18
        << "\" text-anchor=\"middle\">" << label << "</text>\n";
  }
  svg << "<text x=\"" << kLeft + kPlotWidth / 2 << "\" y=\"" << kTop + kPlotHeight + 40
      << "\" text-anchor=\"middle\">" << (timeline.frequency > 0 ? "time" : "time (counter ticks)") << "</text>\n";

  std::vector<int> buses = TimelineBuses(timeline);
  size_t colour = 0;
  int legend_y = kTop + 10;
  for (int bus : buses) {
    const char* stroke = kColours[colour++ % (sizeof kColours / sizeof kColours[0])];
    // A step line: each interval's utilisation held across the interval.
    std::ostringstream points;
    for (const TimelineSample& s : timeline.samples) {
      const std::string y = Number(y_of_interval(s, bus));
      points << Number(x_of(s.interval_start)) << "," << y << " " << Number(x_of(s.interval_end)) << "," << y << " ";
    }
    auto name = timeline.names.find(bus);
    std::string label = "bus " + std::to_string(bus);
    if (name != timeline.names.end() && !name->second.empty()) label += ": " + AnsiToUtf8(name->second);
    svg << "<polyline fill=\"none\" stroke=\"" << stroke << "\" stroke-width=\"2\" points=\"" << points.str()
        << "\"><title>" << XmlEscape(label) << "</title></polyline>\n"
        << "<line x1=\"" << kLeft + kPlotWidth + 20 << "\" y1=\"" << legend_y << "\" x2=\"" << kLeft + kPlotWidth + 40
        << "\" y2=\"" << legend_y << "\" stroke=\"" << stroke << "\" stroke-width=\"3\"/>\n"
        << "<text x=\"" << kLeft + kPlotWidth + 46 << "\" y=\"" << legend_y + 4 << "\">" << XmlEscape(label)
        << "</text>\n";
    legend_y += 20;
  }
  svg << "</svg>\n";
  return svg.str();
}

bool WriteTimelineSvg(const std::string& path, const Timeline& timeline, std::string* error) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file << TimelineSvg(timeline);
  if (file) file.close();
  if (!file) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace qelvmon
