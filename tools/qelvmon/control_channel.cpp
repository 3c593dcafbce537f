#include "qelvmon/control_channel.h"

namespace qelvmon {
namespace {

std::int64_t LoadLe64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return static_cast<std::int64_t>(v);
}

void StoreLe64(std::uint8_t* p, std::int64_t value) {
  auto v = static_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i, v >>= 8) p[i] = static_cast<std::uint8_t>(v & 0xFF);
}

}  // namespace

StatisticsReply DecodeStatisticsReply(const StatisticsBytes& bytes) {
  StatisticsReply reply;
  reply.interval_start = LoadLe64(&bytes[0]);
  reply.interval_end = LoadLe64(&bytes[8]);
  for (std::size_t b = 0; b < kBusCount; ++b) reply.busy_time[b] = LoadLe64(&bytes[16 + 8 * b]);
  return reply;
}

StatisticsBytes EncodeStatisticsReply(const StatisticsReply& reply) {
  StatisticsBytes bytes{};
  StoreLe64(&bytes[0], reply.interval_start);
  StoreLe64(&bytes[8], reply.interval_end);
  for (std::size_t b = 0; b < kBusCount; ++b) StoreLe64(&bytes[16 + 8 * b], reply.busy_time[b]);
  return bytes;
}

}  // namespace qelvmon
