// Workload text, the busy-interval union the machine tests measure the
// driver against, and the virtual-time scheduler's order.
#include <gtest/gtest.h>

#include "sim/scheduler.h"
#include "sim/workload.h"

namespace {

sim::RequestRecord On(const char* bus, sim::Ticks start, sim::Ticks end) {
  sim::RequestRecord r;
  r.bus = bus;
  r.start = start;
  r.end = end;
  return r;
}

TEST(BusyUnion, OverlappingRequestsCountOnceFromFirstStartToLastEnd) {
  // A from 10 to 30, B from 20 to 40: one busy period of 30.
  EXPECT_EQ(sim::BusyUnion({On("ide0", 10, 30), On("ide0", 20, 40)}, "ide0", 0, 100), 30);
}

TEST(BusyUnion, TouchingAndSeparateRequestsAndOtherBuses) {
  std::vector<sim::RequestRecord> records = {On("ide0", 0, 10), On("ide0", 10, 15), On("ide0", 20, 25),
                                             On("scsi", 0, 100), On("ide0", 21, 22)};
  EXPECT_EQ(sim::BusyUnion(records, "ide0", 0, 100), 20);
  EXPECT_EQ(sim::BusyUnion(records, "scsi", 0, 100), 100);
  EXPECT_EQ(sim::BusyUnion(records, "usb", 0, 100), 0);
}

TEST(BusyUnion, IntervalsAreClippedToTheWindow) {
  EXPECT_EQ(sim::BusyUnion({On("b", 0, 50), On("b", 90, 200)}, "b", 40, 100), 20);
}

TEST(WorkloadText, ParsesEveryKey) {
  sim::WorkloadSpec spec;
  std::string error;
  ASSERT_TRUE(sim::ParseWorkload(
      "# comment\n"
      "ide0.master rate=80 size=64k read=0.25 qd=4 think=3 seq=1 pass=0.5 burst=8/500 on=100 off=200 "
      "start=10 stop=900  # trailing\n"
      "plug usb.port2 at=2000\nunplug usb.port2 at=2500.5\n",
      &spec, &error))
      << error;
  ASSERT_EQ(spec.devices.size(), 1u);
  const sim::DeviceWorkload& d = spec.devices[0];
  EXPECT_EQ(d.device, "ide0.master");
  EXPECT_EQ(d.rate, 80);
  EXPECT_EQ(d.size, 65536u);
  EXPECT_EQ(d.read_fraction, 0.25);
  EXPECT_EQ(d.queue_depth, 4);
  EXPECT_EQ(d.think_ms, 3);
  EXPECT_TRUE(d.sequential);
  EXPECT_EQ(d.pass_fraction, 0.5);
  EXPECT_EQ(d.burst_count, 8);
  EXPECT_EQ(d.burst_every_ms, 500);
  EXPECT_EQ(d.on_ms, 100);
  EXPECT_EQ(d.off_ms, 200);
  EXPECT_EQ(d.start_ms, 10);
  EXPECT_EQ(d.stop_ms, 900);
  ASSERT_EQ(spec.hot_plug.size(), 2u);
  EXPECT_TRUE(spec.hot_plug[0].present);
  EXPECT_FALSE(spec.hot_plug[1].present);
  EXPECT_EQ(spec.hot_plug[1].at_ms, 2500.5);
}

TEST(WorkloadText, BadInputNamesTheLineAndKeepsTheSpec) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"disk0 rate=fast\n", "line 1: \"fast\" is not a number"},
      {"\n\ndisk0 qd=0\n", "line 3: qd must be 1 to 256"},
      {"disk0 size=100\n", "line 1: size must be 512 bytes to 16m"},
      {"disk0 read=1.5\n", "line 1: read must be 0 to 1"},
      {"disk0 colour=red\n", "line 1: unknown key \"colour\""},
      {"disk0 rate\n", "line 1: expected key=value, got \"rate\""},
      {"plug usb.port2\n", "line 1: expected \"plug <node> at=<ms>\""},
      {"disk0 burst=8\n", "line 1: burst must be <count>/<ms>"},
  };
  for (const Case& c : cases) {
    sim::WorkloadSpec spec;
    spec.devices.resize(1);
    std::string error;
    EXPECT_FALSE(sim::ParseWorkload(c.text, &spec, &error)) << c.text;
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(spec.devices.size(), 1u);
  }
}

TEST(WorkloadText, EveryBuiltInParsesAndAnUnknownNameSaysWhatExists) {
  for (const std::string& name : sim::BuiltInWorkloads()) {
    sim::WorkloadSpec spec;
    std::string error;
    EXPECT_TRUE(sim::LoadWorkload(name, &spec, &error)) << name << ": " << error;
    EXPECT_FALSE(spec.devices.empty()) << name;
  }
  sim::WorkloadSpec spec;
  std::string error;
  EXPECT_FALSE(sim::LoadWorkload("no-such-workload", &spec, &error));
  EXPECT_NE(error.find("built in: burst, hotplug, ide, idle, mixed"), std::string::npos) << error;
}

TEST(Scheduler, VirtualTimeRunsEventsInTimeThenPostingOrderAndMovesTheClock) {
  sim::Ticks clock = 0;
  sim::Scheduler scheduler(
      sim::TimeMode::kVirtual, 3, 1000, [&] { return clock; }, [&](sim::Ticks t) { clock = t; });
  std::vector<std::string> order;
  scheduler.At(1, 50, [&] { order.push_back("b@" + std::to_string(clock)); });
  scheduler.At(2, 10, [&] {
    order.push_back("a@" + std::to_string(clock));
    scheduler.After(0, 40, [&] { order.push_back("c@" + std::to_string(clock)); });
  });
  scheduler.At(0, 200, [&] { order.push_back("late"); });
  scheduler.RunUntil(100);
  EXPECT_EQ(order, (std::vector<std::string>{"a@10", "b@50", "c@50"}));
  EXPECT_EQ(clock, 100);
  scheduler.Drain();
  EXPECT_EQ(order.back(), "late");
  EXPECT_EQ(scheduler.EventsRun(), 4u);
}

TEST(Random, SameSeedSameSequence) {
  sim::Random a(42);
  sim::Random b(42);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(a.Next(), b.Next());
  sim::Random c(43);
  EXPECT_NE(sim::Random(42).Next(), c.Next());
}

}  // namespace
