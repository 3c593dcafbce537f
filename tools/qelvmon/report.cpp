#include "qelvmon/report.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "qelvmon/control_channel.h"
#include "qelvmon/utilisation.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qelvmon {
namespace {

constexpr int kBarWidth = 20;

// Days since 1970-01-01 to a civil date (proleptic Gregorian), so that
// formatting needs neither gmtime's static buffer nor a locale.
void CivilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

// "2024-01-01<sep>00:00:01.000"
std::string UtcText(std::chrono::system_clock::time_point time, char separator) {
  using namespace std::chrono;
  const std::int64_t ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
  std::int64_t days = ms / 86400000;
  std::int64_t in_day = ms % 86400000;
  if (in_day < 0) {
    in_day += 86400000;
    --days;
  }
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u%c%02u:%02u:%02u.%03u",
                static_cast<long long>(year), month, day, separator,
                static_cast<unsigned>(in_day / 3600000), static_cast<unsigned>(in_day / 60000 % 60),
                static_cast<unsigned>(in_day / 1000 % 60), static_cast<unsigned>(in_day % 1000));
  return text;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Sanitised(const std::string& text) {
  std::string s = text;
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return s;
}

// The console shows the driver's text in the code page it came in on
// Windows; elsewhere terminals expect UTF-8.
std::string ConsoleText(const std::string& text) {
#if defined(_WIN32)
  return Sanitised(text);
#else
  return AnsiToUtf8(text);
#endif
}

std::optional<double> Seconds(std::int64_t ticks, std::int64_t frequency, double scale) {
  auto s = TicksToSeconds(ticks, frequency);
  if (!s) return std::nullopt;
  return std::round(*s * scale) / scale;
}

class TableWriter final : public ReportWriter {
 public:
  explicit TableWriter(std::ostream& out) : out_(out) {}

  void Begin(const RunInfo& info) override {
    frequency_ = info.counter_frequency;
    const double interval_s = std::chrono::duration<double>(info.interval).count();
    out_ << "qelvmon: bus activity of " << kControlDevicePath << ", every " << Fixed(interval_s, 3)
         << " s, counter ";
    if (frequency_ > 0) {
      out_ << frequency_ << " Hz\n";
    } else {
      out_ << "frequency unknown\n";
    }
    out_ << "%busy: share of the interval with a request outstanding; "
            "busy ms: that time in milliseconds\n";
    out_.flush();
  }

  void Interval(const IntervalReport& report) override {
    out_ << '\n' << UtcText(report.time, ' ') << " UTC  interval " << report.index << "  length ";
    if (auto s = TicksToSeconds(report.interval_ticks, frequency_)) {
      out_ << Fixed(*s, 3) << " s\n";
    } else {
      out_ << report.interval_ticks << " ticks\n";
    }
    char line[96];
    std::snprintf(line, sizeof line, "%4s  %6s  %10s  %-*s  %s\n", "bus", "%busy", "busy ms",
                  kBarWidth + 2, "bar", "controller");
    out_ << line;
    if (report.rows.empty()) out_ << "   (no bus busy and no device present)\n";
    for (const BusRow& row : report.rows) {
      const std::string percent = row.busy_permille ? FormatPermille(*row.busy_permille) : "n/a";
      const std::string bar = BusyBar(row.busy_permille.value_or(0), kBarWidth);
      const auto busy_s = TicksToSeconds(row.busy_ticks, frequency_);
      const std::string busy_ms = busy_s ? Fixed(*busy_s * 1000.0, 2) : "-";
      std::snprintf(line, sizeof line, "%4u  %6s  %10s  [%s]  ", static_cast<unsigned>(row.bus),
                    percent.c_str(), busy_ms.c_str(), bar.c_str());
      out_ << line;
      if (!row.has_device) {
        out_ << "(no device)\n";
      } else if (row.controller.empty()) {
        out_ << "(unnamed)\n";
      } else {
        out_ << ConsoleText(row.controller) << '\n';
      }
    }
    out_.flush();
  }

  void End() override { out_.flush(); }

 private:
  std::ostream& out_;
  std::int64_t frequency_ = 0;
};

class CsvWriter final : public ReportWriter {
 public:
  explicit CsvWriter(std::ostream& out) : out_(out) {}

  void Begin(const RunInfo& info) override {
    frequency_ = info.counter_frequency;
    out_ << "time,interval,elapsed_s,interval_s,bus,device,controller,busy_ticks,interval_ticks,"
            "busy_pct\n";
    out_.flush();
  }

  void Interval(const IntervalReport& report) override {
    const std::string time = Iso8601Utc(report.time);
    const auto elapsed = TicksToSeconds(report.elapsed_ticks, frequency_);
    const auto length = TicksToSeconds(report.interval_ticks, frequency_);
    const std::string elapsed_s = elapsed ? Fixed(*elapsed, 6) : "";
    const std::string interval_s = length ? Fixed(*length, 6) : "";
    // Whole lines only, flushed per interval: an interrupted run leaves a
    // file that ends on a complete record.
    for (const BusRow& row : report.rows) {
      out_ << time << ',' << report.index << ',' << elapsed_s << ',' << interval_s << ','
           << static_cast<unsigned>(row.bus) << ',' << (row.has_device ? 1 : 0) << ','
           << CsvField(AnsiToUtf8(row.controller)) << ',' << row.busy_ticks << ','
           << report.interval_ticks << ','
           << (row.busy_permille ? FormatPermille(*row.busy_permille) : "") << '\n';
    }
    out_.flush();
  }

  void End() override { out_.flush(); }

 private:
  std::ostream& out_;
  std::int64_t frequency_ = 0;
};

// A streamed array: "[" at Begin, one record per line, "]" at End, which
// the monitor reaches on --count, on Ctrl-C and after a failed read alike.
class JsonWriter final : public ReportWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}

  void Begin(const RunInfo& info) override {
    frequency_ = info.counter_frequency;
    out_ << "[";
    out_.flush();
  }

  void Interval(const IntervalReport& report) override {
    const std::string time = Iso8601Utc(report.time);
    const auto elapsed = Seconds(report.elapsed_ticks, frequency_, 1e6);
    const auto length = Seconds(report.interval_ticks, frequency_, 1e6);
    for (const BusRow& row : report.rows) {
      nlohmann::ordered_json record;
      record["time"] = time;
      record["interval"] = report.index;
      record["elapsed_s"] = elapsed ? nlohmann::ordered_json(*elapsed) : nullptr;
      record["interval_s"] = length ? nlohmann::ordered_json(*length) : nullptr;
      record["bus"] = row.bus;
      record["device"] = row.has_device;
      record["controller"] =
          row.has_device ? nlohmann::ordered_json(AnsiToUtf8(row.controller)) : nullptr;
      record["busy_ticks"] = row.busy_ticks;
      record["interval_ticks"] = report.interval_ticks;
      record["busy_pct"] = row.busy_permille
                               ? nlohmann::ordered_json(static_cast<double>(*row.busy_permille) / 10.0)
                               : nullptr;
      out_ << (first_ ? "\n" : ",\n") << record.dump();
      first_ = false;
    }
    out_.flush();
  }

  void End() override {
    out_ << "\n]\n";
    out_.flush();
  }

 private:
  std::ostream& out_;
  std::int64_t frequency_ = 0;
  bool first_ = true;
};

}  // namespace

std::unique_ptr<ReportWriter> MakeReportWriter(OutputFormat format, std::ostream& out) {
  switch (format) {
    case OutputFormat::kCsv:
      return std::make_unique<CsvWriter>(out);
    case OutputFormat::kJson:
      return std::make_unique<JsonWriter>(out);
    case OutputFormat::kTable:
      break;
  }
  return std::make_unique<TableWriter>(out);
}

std::string Iso8601Utc(std::chrono::system_clock::time_point time) {
  return UtcText(time, 'T') + "Z";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string AnsiToUtf8(const std::string& text) {
  const std::string clean = Sanitised(text);
#if defined(_WIN32)
  if (clean.empty()) return clean;
  const int wide_length =
      MultiByteToWideChar(CP_ACP, 0, clean.data(), static_cast<int>(clean.size()), nullptr, 0);
  if (wide_length > 0) {
    std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, clean.data(), static_cast<int>(clean.size()), &wide[0],
                        wide_length);
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
    if (length > 0) {
      std::string utf8(static_cast<std::size_t>(length), '\0');
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, &utf8[0], length, nullptr,
                          nullptr);
      return utf8;
    }
  }
#endif
  std::string utf8;
  for (char c : clean) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | (byte >> 6));
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return utf8;
}

}  // namespace qelvmon
