#include <gtest/gtest.h>

#include <limits>

#include "qelvmon/control_channel.h"
#include "qelvmon/utilisation.h"

namespace {

using qelvmon::BusyPermille;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

struct PermilleCase {
  const char* name;
  std::int64_t busy, start, end;
  std::int64_t permille;
};

class BusyPermilleTest : public testing::TestWithParam<PermilleCase> {};

TEST_P(BusyPermilleTest, RoundsToTenthsOfAPercent) {
  const PermilleCase& c = GetParam();
  EXPECT_EQ(BusyPermille(c.busy, c.start, c.end), std::optional<std::int64_t>(c.permille));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BusyPermilleTest,
    testing::Values(
        PermilleCase{"Idle", 0, 1000, 3580545, 0},
        PermilleCase{"HalfOfAPcSecond", 1789772, 1000, 3580545, 500},
        PermilleCase{"WholeInterval", 3579545, 0, 3579545, 1000},
        // 1 of 2000 is exactly 0.05 %: half rounds away from zero.
        PermilleCase{"ExactHalfRoundsUp", 1, 0, 2000, 1},
        PermilleCase{"JustBelowHalfRoundsDown", 1, 0, 2001, 0},
        PermilleCase{"OneThird", 1, 0, 3, 333},
        PermilleCase{"TwoThirds", 2, 0, 3, 667},
        PermilleCase{"MoreThanTheIntervalShownAsIs", 3581335, 3580545, 7160090, 1001},
        PermilleCase{"TwiceTheInterval", 200, 100, 200, 2000},
        PermilleCase{"NegativeShownAsIs", -1, 0, 2000, -1},
        PermilleCase{"CounterValuesBelowZero", 50, -100, 0, 500},
        // The widest interval a reply can express, without overflow.
        PermilleCase{"WidestInterval", kMax, kMin, kMax, 500},
        PermilleCase{"MostNegativeBusy", kMin, kMin, kMax, -500},
        // Nonsense far beyond the interval stops at the largest value.
        PermilleCase{"AbsurdClaimSaturates", kMax, 0, 1, kMax}),
    [](const testing::TestParamInfo<PermilleCase>& param_info) { return param_info.param.name; });

TEST(BusyPermille, EmptyIntervalHasNoShare) {
  EXPECT_EQ(BusyPermille(0, 500, 500), std::nullopt);
  EXPECT_EQ(BusyPermille(10, 500, 400), std::nullopt);
}

TEST(FormatPermille, OneDecimal) {
  EXPECT_EQ(qelvmon::FormatPermille(0), "0.0");
  EXPECT_EQ(qelvmon::FormatPermille(5), "0.5");
  EXPECT_EQ(qelvmon::FormatPermille(1000), "100.0");
  EXPECT_EQ(qelvmon::FormatPermille(1001), "100.1");
  EXPECT_EQ(qelvmon::FormatPermille(-3), "-0.3");
  EXPECT_EQ(qelvmon::FormatPermille(kMin), "-922337203685477580.8");
}

TEST(BusyBar, FillsToTheNearestCharacterAndNeverOverflows) {
  EXPECT_EQ(qelvmon::BusyBar(0, 10), "          ");
  EXPECT_EQ(qelvmon::BusyBar(500, 10), "#####     ");
  EXPECT_EQ(qelvmon::BusyBar(49, 10), "          ");
  EXPECT_EQ(qelvmon::BusyBar(50, 10), "#         ");
  EXPECT_EQ(qelvmon::BusyBar(1001, 10), "##########");
  EXPECT_EQ(qelvmon::BusyBar(-20, 10), "          ");
}

TEST(TicksToSeconds, NeedsAFrequency) {
  EXPECT_EQ(qelvmon::TicksToSeconds(3579545, 3579545), std::optional<double>(1.0));
  EXPECT_EQ(qelvmon::TicksToSeconds(100, 0), std::nullopt);
}

TEST(StatisticsReply, DecodesTheLittleEndianLayout) {
  qelvmon::StatisticsBytes bytes{};
  bytes[0] = 0x01;                        // IntervalStart = 0x0201
  bytes[1] = 0x02;
  bytes[8] = 0xFF;                        // IntervalEnd = -1
  for (int i = 9; i < 16; ++i) bytes[static_cast<std::size_t>(i)] = 0xFF;
  bytes[16 + 8 * 3] = 0x10;               // BusyTime[3] = 16
  bytes[16 + 8 * 255 + 7] = 0x40;         // BusyTime[255] = 2^62, the last 8 bytes
  const auto reply = qelvmon::DecodeStatisticsReply(bytes);
  EXPECT_EQ(reply.interval_start, 0x0201);
  EXPECT_EQ(reply.interval_end, -1);
  EXPECT_EQ(reply.busy_time[3], 16);
  EXPECT_EQ(reply.busy_time[255], std::int64_t{1} << 62);
  EXPECT_EQ(reply.busy_time[0], 0);
  EXPECT_EQ(qelvmon::EncodeStatisticsReply(reply), bytes);
}

}  // namespace
