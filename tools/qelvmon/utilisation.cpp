#include "qelvmon/utilisation.h"

#include <limits>

namespace qelvmon {
namespace {

// One step of long division: with r < d, returns floor(10 r / d) and leaves
// (10 r) mod d in r. Adds r ten times modulo d, so nothing exceeds 2 d and
// no 128-bit type is needed (the 32-bit Windows build has none).
unsigned NextDigit(std::uint64_t& r, std::uint64_t d) {
  unsigned digit = 0;
  std::uint64_t acc = 0;
  for (int i = 0; i < 10; ++i) {
    if (acc >= d - r) {
      acc -= d - r;
      ++digit;
    } else {
      acc += r;
    }
  }
  r = acc;
  return digit;
}

std::uint64_t Magnitude(std::int64_t v) {
  return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

}  // namespace

std::optional<std::int64_t> BusyPermille(std::int64_t busy, std::int64_t interval_start,
                                         std::int64_t interval_end) {
  if (interval_end <= interval_start) return std::nullopt;
  const std::uint64_t d =
      static_cast<std::uint64_t>(interval_end) - static_cast<std::uint64_t>(interval_start);
  const std::uint64_t n = Magnitude(busy);

  std::uint64_t r = n % d;
  std::uint64_t permille = 0;
  for (int i = 0; i < 3; ++i) permille = permille * 10 + NextDigit(r, d);
  if (r >= d - r) ++permille;  // the remainder is at least half of d

  // The whole part can only be huge for a nonsense reply (busy far beyond
  // the interval); keep its sign and stop at the largest value we can show.
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const std::uint64_t whole = n / d;
  const std::uint64_t total = whole > (kMax - permille) / 1000 ? kMax : whole * 1000 + permille;
  return busy < 0 ? -static_cast<std::int64_t>(total) : static_cast<std::int64_t>(total);
}

std::string FormatPermille(std::int64_t permille) {
  const std::uint64_t m = Magnitude(permille);
  std::string text = permille < 0 ? "-" : "";
  text += std::to_string(m / 10);
  text += '.';
  text += static_cast<char>('0' + m % 10);
  return text;
}

std::string BusyBar(std::int64_t permille, int width) {
  std::int64_t filled = 0;
  if (permille >= 1000) {
    filled = width;
  } else if (permille > 0) {
    filled = (permille * width + 500) / 1000;
  }
  return std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(width - filled), ' ');
}

std::optional<double> TicksToSeconds(std::int64_t ticks, std::int64_t frequency) {
  if (frequency <= 0) return std::nullopt;
  return static_cast<double>(ticks) / static_cast<double>(frequency);
}

}  // namespace qelvmon
