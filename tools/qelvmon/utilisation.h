// Busy share of an interval, in tenths of a percent, from the driver's
// raw counter ticks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qelvmon {

// busy / (end - start) in permille, rounded half away from zero, exact for
// every 64-bit input. Nothing is clamped: a reply that claims more than the
// interval shows more than 1000, a negative one less than 0. Empty when the
// interval is empty or runs backwards.
std::optional<std::int64_t> BusyPermille(std::int64_t busy, std::int64_t interval_start,
                                         std::int64_t interval_end);

// "50.0", "100.0", "-0.3", "123.4".
std::string FormatPermille(std::int64_t permille);

// A bar `width` characters wide, '#' per filled share (nearest), ' ' for the
// rest; full when above 100 %, empty when below 0.
std::string BusyBar(std::int64_t permille, int width);

// ticks / frequency, in seconds; empty without a frequency.
std::optional<double> TicksToSeconds(std::int64_t ticks, std::int64_t frequency);

}  // namespace qelvmon
