// The protocol as it goes over Win32-style device I/O: codes, buffer
// sizes, the name request's layout, and how errors come back.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qelvmon/ioctl_channel.h"

namespace {

using qelvmon::Win32Error;

struct Request {
  std::uint32_t code;
  std::vector<std::uint8_t> input;
  std::uint32_t out_size;
};

// What the device does, set by each test.
struct FakeDevice {
  bool open_fails = false;
  Win32Error error = 0;  // fail every request with this when not 0
  std::vector<std::uint8_t> reply;
  std::uint32_t returned = 0;
  std::vector<Request> requests;
  int closes = 0;
  Win32Error last_error = 0;
};

struct FakeApi {
  using Handle = int;
  static Handle InvalidHandle() { return -1; }
  FakeDevice* device;

  Handle OpenDevice(const char* path) {
    EXPECT_STREQ(path, "\\\\.\\QELVARD1");
    if (device->open_fails) {
      device->last_error = qelvmon::kErrorFileNotFound;
      return -1;
    }
    return 7;
  }
  bool Ioctl(Handle handle, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
             std::uint32_t out_size, std::uint32_t* returned) {
    EXPECT_EQ(handle, 7);
    const auto* bytes = static_cast<const std::uint8_t*>(in);
    device->requests.push_back({code, std::vector<std::uint8_t>(bytes, bytes + in_size), out_size});
    if (device->error != 0) {
      device->last_error = device->error;
      *returned = 0;
      return false;
    }
    if (out != nullptr) std::memcpy(out, device->reply.data(), std::min<std::size_t>(out_size, device->reply.size()));
    *returned = device->returned;
    return true;
  }
  void CloseDevice(Handle) { ++device->closes; }
  Win32Error LastError() { return device->last_error; }
  std::int64_t CounterFrequency() { return 3579545; }
};

class IoctlChannelTest : public testing::Test {
 protected:
  FakeDevice device;
  qelvmon::IoctlChannel<FakeApi> channel{FakeApi{&device}};
};

TEST_F(IoctlChannelTest, StartAndStopSendTheirCodesWithoutBuffers) {
  ASSERT_EQ(channel.Open(), 0u);
  EXPECT_EQ(channel.StartCapture(), 0u);
  EXPECT_EQ(channel.StopCapture(), 0u);
  ASSERT_EQ(device.requests.size(), 2u);
  EXPECT_EQ(device.requests[0].code, 0x222004u);
  EXPECT_EQ(device.requests[1].code, 0x222008u);
  EXPECT_EQ(device.requests[1].out_size, 0u);
}

TEST_F(IoctlChannelTest, ReadAsksForTheWhole2064ByteReply) {
  device.reply.assign(2064, 0);
  device.reply[16 + 8 * 2] = 42;
  device.returned = 2064;
  ASSERT_EQ(channel.Open(), 0u);
  qelvmon::StatisticsBytes bytes{};
  EXPECT_EQ(channel.ReadStatistics(bytes), 0u);
  EXPECT_EQ(device.requests[0].code, 0x222010u);
  EXPECT_EQ(device.requests[0].out_size, 2064u);
  EXPECT_EQ(qelvmon::DecodeStatisticsReply(bytes).busy_time[2], 42);
}

TEST_F(IoctlChannelTest, ShortReadIsAnError) {
  device.reply.assign(2064, 0);
  device.returned = 2063;
  ASSERT_EQ(channel.Open(), 0u);
  qelvmon::StatisticsBytes bytes{};
  EXPECT_EQ(channel.ReadStatistics(bytes), qelvmon::kErrorShortReply);
}

TEST_F(IoctlChannelTest, NameQuerySendsTheBusInByteZeroOfFour) {
  const char name[] = "Primary IDE Channel";
  device.reply.assign(name, name + sizeof name);
  device.returned = sizeof name;  // 20: the text and its NUL
  ASSERT_EQ(channel.Open(), 0u);
  std::string text;
  EXPECT_EQ(channel.GetControllerName(200, text), 0u);
  EXPECT_EQ(text, "Primary IDE Channel");
  EXPECT_EQ(device.requests[0].code, 0x22200Cu);
  EXPECT_EQ(device.requests[0].input, (std::vector<std::uint8_t>{200, 0, 0, 0}));
  EXPECT_EQ(device.requests[0].out_size, 256u);
}

TEST_F(IoctlChannelTest, NameStopsAtTheReturnedLengthWhenTheNulIsMissing) {
  device.reply.assign(256, 'A');
  device.returned = 5;
  ASSERT_EQ(channel.Open(), 0u);
  std::string text;
  EXPECT_EQ(channel.GetControllerName(0, text), 0u);
  EXPECT_EQ(text, "AAAAA");
}

TEST_F(IoctlChannelTest, EmptyNameIsADevice) {
  device.reply.assign(256, 0);
  device.returned = 1;
  ASSERT_EQ(channel.Open(), 0u);
  std::string text = "stale";
  EXPECT_EQ(channel.GetControllerName(3, text), 0u);
  EXPECT_EQ(text, "");
}

TEST_F(IoctlChannelTest, DriverStatusesComeBackUnchanged) {
  ASSERT_EQ(channel.Open(), 0u);
  device.error = 0xE0008103;
  EXPECT_EQ(channel.StartCapture(), 0xE0008103u);
  device.error = 0xE0008100;
  std::string text;
  EXPECT_EQ(channel.GetControllerName(9, text), 0xE0008100u);
}

TEST_F(IoctlChannelTest, FailedOpenReportsLastErrorAndNeedsNoClose) {
  device.open_fails = true;
  EXPECT_EQ(channel.Open(), qelvmon::kErrorFileNotFound);
  channel.Close();
  EXPECT_EQ(device.closes, 0);
}

TEST_F(IoctlChannelTest, CloseHappensOnceHoweverOftenItIsAsked) {
  ASSERT_EQ(channel.Open(), 0u);
  channel.Close();
  channel.Close();
  EXPECT_EQ(device.closes, 1);
}

}  // namespace
