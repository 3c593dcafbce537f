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

// The legend is monospace, so its width follows from the characters: a
// column is 0.6 em (the advance of the common monospace fonts), a wide
// East Asian character two columns. Names longer than the room beside the
// plot wrap onto more lines, and the picture grows down to hold them all.
constexpr int kLegendFontSize = 12;
constexpr double kLegendColumn = 0.6 * kLegendFontSize;
constexpr int kLegendSwatch = kLeft + kPlotWidth + 20;
constexpr int kLegendText = kLegendSwatch + 26;
constexpr int kLegendMargin = 10;
constexpr int kLegendColumns = static_cast<int>((kWidth - kLegendText - kLegendMargin) / kLegendColumn);
constexpr int kLegendLineHeight = 14;
constexpr int kLegendEntrySpacing = 20;  // swatch to swatch for one-line entries

const char* const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f"};

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

struct Glyph {
  size_t begin = 0;  // bytes of the UTF-8 text
  size_t end = 0;
  int columns = 1;
  bool space = false;
};

bool IsWide(std::uint32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6);
}

// The characters of UTF-8 text; a byte that starts no valid sequence
// counts as one character of its own.
std::vector<Glyph> Glyphs(const std::string& text) {
  std::vector<Glyph> glyphs;
  for (size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    std::uint32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
    size_t used = 1;
    while (used < length && at + used < text.size() && (static_cast<unsigned char>(text[at + used]) & 0xC0) == 0x80) {
      code = code << 6 | (static_cast<unsigned char>(text[at + used]) & 0x3F);
      ++used;
    }
    if (used != length) code = lead;
    glyphs.push_back({at, at + used, IsWide(code) ? 2 : 1, code == ' '});
    at += used;
  }
  return glyphs;
}

}  // namespace

std::vector<std::string> WrapLegendLabel(const std::string& text, int columns) {
  const std::vector<Glyph> glyphs = Glyphs(text);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < glyphs.size()) {
    size_t end = start;
    size_t last_space = start;
    for (int used = 0; end < glyphs.size() && (end == start || used + glyphs[end].columns <= columns); ++end) {
      if (glyphs[end].space) last_space = end;
      used += glyphs[end].columns;
    }
    size_t next = end;
    if (end < glyphs.size()) {
      // Break at the space that ends the line or at the last one in it;
      // a word longer than a line is cut where the line ends.
      if (glyphs[end].space) {
        next = end + 1;
      } else if (last_space > start) {
        end = last_space;
        next = last_space + 1;
      }
    }
    lines.push_back(text.substr(glyphs[start].begin, glyphs[end - 1].end - glyphs[start].begin));
    start = next;
  }
  return lines;
}

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
  // The body first: the legend decides the picture's height.
  std::ostringstream svg;
  svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
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
  int height = kHeight;
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
        << "<line x1=\"" << kLegendSwatch << "\" y1=\"" << legend_y << "\" x2=\"" << kLegendSwatch + 20
        << "\" y2=\"" << legend_y << "\" stroke=\"" << stroke << "\" stroke-width=\"3\"/>\n"
        << "<text x=\"" << kLegendText << "\" y=\"" << legend_y + 4 << "\" font-family=\"monospace\" font-size=\""
        << kLegendFontSize << "\">";
    int baseline = legend_y + 4;
    const std::vector<std::string> lines = WrapLegendLabel(label, kLegendColumns);
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i != 0) baseline += kLegendLineHeight;
      svg << "<tspan x=\"" << kLegendText << "\" y=\"" << baseline << "\">" << XmlEscape(lines[i]) << "</tspan>";
    }
    svg << "</text>\n";
    height = std::max(height, baseline + kLegendMargin);
    legend_y = baseline + kLegendEntrySpacing - 4;
  }
  svg << "</svg>\n";
  std::ostringstream head;
  head << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
       << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
       << "\" viewBox=\"0 0 " << kWidth << " " << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  return head.str() + svg.str();
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
