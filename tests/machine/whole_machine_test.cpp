// qelvard1 measuring the whole simulated machine in virtual time: the busy
// time it reports per bus equals, to the tick, the union of that bus's
// request intervals as the workload itself recorded them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "driver/driver.h"
#include "machine_fixture.h"
#include "sim/workload.h"

namespace machine_test {
namespace {

using ::testing::ElementsAre;

constexpr ULONG kStartCapture = 0x222004;
constexpr ULONG kStopCapture = 0x222008;
constexpr ULONG kControllerName = 0x22200C;
constexpr ULONG kReadStatistics = 0x222010;
constexpr sim::Ticks kSecond = 10'000'000;

// The bus index qelvard1 gives each of the machine's buses: the SCSI port
// number, or the fallback for USB (30) and IEEE 1394 (20).
const std::map<std::string, int> kBusIndex = {{"Primary IDE Channel", 0},
                                              {"Secondary IDE Channel", 1},
                                              {"SCSI bus", 2},
                                              {"IEEE 1394 bus", 20},
                                              {"USB", 30}};

// qelvmon's side of the control device, as a user process.
class Monitor {
 public:
  Monitor() : process_(4242) {}
  ~Monitor() { Close(); }
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) process_.CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  bool Open() {
    handle_ = process_.CreateFileA("\\\\.\\QELVARD1");
    return handle_ != INVALID_HANDLE_VALUE;
  }
  bool Control(ULONG code) {
    hostk::DWORD returned = 0;
    return process_.DeviceIoControl(handle_, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
  }
  // Adds one interval's busy ticks to the totals.
  bool Read() {
    unsigned char reply[2064];
    hostk::DWORD returned = 0;
    if (!process_.DeviceIoControl(handle_, kReadStatistics, nullptr, 0, reply, sizeof reply, &returned, nullptr)) {
      return false;
    }
    for (int bus = 0; bus < 256; ++bus) {
      int64_t busy = 0;
      std::memcpy(&busy, reply + 16 + 8 * bus, 8);
      totals[bus] += busy;
    }
    return returned == sizeof reply;
  }
  std::string Name(int bus) {
    unsigned char request[4] = {static_cast<unsigned char>(bus), 0, 0, 0};
    char reply[256] = {};
    hostk::DWORD returned = 0;
    if (!process_.DeviceIoControl(handle_, kControllerName, request, sizeof request, reply, sizeof reply, &returned,
                                  nullptr)) {
      return "<none>";
    }
    return reply;
  }
  int64_t totals[256] = {};

 private:
  hostk::UserProcess process_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class WholeMachineTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    registry_.Clear();
    sim::WriteDefaultMachineRegistry(registry_, /*with_monitor_filter=*/true);
    hostpnp::RegisterDriverImage("qelvard1", DriverEntry);
  }

  // Runs `workload_text` for `seconds` of virtual time with the monitor
  // reading every second, then lets every request finish and reads once
  // more before stopping.
  std::vector<sim::RequestRecord> Run(const char* workload_text, int seconds, Monitor* monitor) {
    sim::WorkloadSpec spec;
    std::string error;
    EXPECT_TRUE(sim::ParseWorkload(workload_text, &spec, &error)) << error;
    EXPECT_TRUE(monitor->Open());
    EXPECT_TRUE(monitor->Control(kStartCapture));
    sim::Scheduler& scheduler = machine_->GetScheduler();
    sim::WorkloadRunner runner(machine_.get(), spec, 7);
    sim::Ticks begin = scheduler.Now();
    runner.Start(seconds * kSecond);
    for (int s = 1; s <= seconds; ++s) {
      scheduler.RunUntil(begin + s * kSecond);
      EXPECT_TRUE(monitor->Read());
    }
    runner.StopIssuing();
    scheduler.Drain();
    EXPECT_EQ(runner.InFlight(), 0u);
    EXPECT_TRUE(monitor->Read());
    return runner.Records();
  }
};

TEST_F(WholeMachineTest, QelvardSitsAboveControllersAndDirectlyAboveEveryStoragePdo) {
  Boot();
  hostpnp::PnpManager* pnp = machine_->Pnp();
  EXPECT_THAT(pnp->StackServices(Node("ide")), ElementsAre("pci", "pciide"));  // no ATAPI above: skipped
  EXPECT_THAT(pnp->StackServices(Node("ide0")), ElementsAre("pciide", "atapi", "qelvard1"));
  EXPECT_THAT(pnp->StackServices(Node("ide0.master")), ElementsAre("atapi", "qelvard1", "disk", "PartMgr"));
  EXPECT_THAT(pnp->StackServices(Node("ide1.slave")), ElementsAre("atapi", "qelvard1", "cdrom"));
  EXPECT_THAT(pnp->StackServices(Node("scsi.tape")), ElementsAre("aic78u2", "qelvard1", "4mmdat"));
  EXPECT_THAT(pnp->StackServices(Node("usb.hub")), ElementsAre("usbuhci", "usbhub"));
  EXPECT_THAT(pnp->StackServices(Node("usb.port1")), ElementsAre("usbhub", "USBSTOR", "qelvard1"));
  EXPECT_THAT(pnp->StackServices(Node("usb.disk")), ElementsAre("USBSTOR", "qelvard1", "disk", "PartMgr"));
  EXPECT_THAT(pnp->StackServices(Node("1394.disk")), ElementsAre("sbp2port", "qelvard1", "disk", "PartMgr"));
}

TEST_F(WholeMachineTest, ReportedBusyTimeEqualsTheUnionOfRequestIntervalsOnEveryBus) {
  Boot();
  Monitor monitor;
  std::vector<sim::RequestRecord> records = Run(
      "ide0.master rate=40 size=64k read=0.7 qd=2\n"
      "ide0.slave  rate=6 size=32k read=1 qd=2 pass=0.3\n"
      "ide1.master qd=1 think=15 size=16k read=0.6 pass=0.2\n"
      "scsi.disk0  rate=60 size=8k read=0.8 qd=4 pass=0.1\n"
      "scsi.disk1  rate=20 size=64k qd=2 burst=12/700\n"
      "scsi.tape   qd=1 think=100 size=32k read=0 seq=1\n"
      "usb.disk    rate=6 size=16k qd=1 pass=0.5\n"
      "1394.disk   rate=25 size=64k qd=2 on=800 off=600\n",
      4, &monitor);
  sim::Ticks all_time_from = 0;
  sim::Ticks all_time_to = INT64_MAX;
  for (const auto& [bus, index] : kBusIndex) {
    sim::Ticks expected = sim::BusyUnion(records, bus, all_time_from, all_time_to);
    EXPECT_GT(expected, 0) << bus;
    EXPECT_EQ(monitor.totals[index], expected) << bus;
  }
  int64_t elsewhere = 0;
  for (int bus = 0; bus < 256; ++bus) {
    bool known = false;
    for (const auto& entry : kBusIndex) known = known || entry.second == bus;
    if (!known) elsewhere += monitor.totals[bus];
  }
  EXPECT_EQ(elsewhere, 0);

  // The primary channel's master and slave really did overlap: the slave
  // waited for the shared bus while the master's request was outstanding.
  bool overlapped = false;
  for (const auto& a : records) {
    if (a.device != "ide0.master") continue;
    for (const auto& b : records) {
      if (b.device == "ide0.slave" && b.start < a.end && a.start < b.end) overlapped = true;
    }
  }
  EXPECT_TRUE(overlapped);
  EXPECT_EQ(monitor.Name(0), "Primary IDE Channel");
  EXPECT_EQ(monitor.Name(1), "Secondary IDE Channel");
  EXPECT_EQ(monitor.Name(2), "Ultra2 SCSI Host Adapter");
  EXPECT_EQ(monitor.Name(20), "SBP2 Compliant IEEE 1394 Device");
  EXPECT_EQ(monitor.Name(30), "USB Mass Storage Device");
  EXPECT_TRUE(monitor.Control(kStopCapture));
}

TEST_F(WholeMachineTest, TheSameSeedGivesTheSameFiguresTwice) {
  const char* workload = "ide0.master rate=50 size=64k qd=2\nide0.slave rate=10 size=32k\nscsi.disk0 rate=80 qd=4\n";
  std::vector<int64_t> first;
  for (int run = 0; run < 2; ++run) {
    Boot();
    Monitor monitor;
    Run(workload, 2, &monitor);
    std::vector<int64_t> totals(monitor.totals, monitor.totals + 256);
    if (run == 0) {
      first = totals;
      EXPECT_GT(first[0], 0);
    } else {
      EXPECT_EQ(totals, first);
    }
    monitor.Control(kStopCapture);
    monitor.Close();
    machine_.reset();
  }
}

TEST_F(WholeMachineTest, HotPlugDuringACaptureLeavesNoPoolNoDeviceAndEveryCountAtZero) {
  Boot();
  Monitor monitor;
  ASSERT_TRUE(monitor.Open());
  ASSERT_TRUE(monitor.Control(kStartCapture));
  sim::Scheduler& scheduler = machine_->GetScheduler();
  sim::WorkloadSpec spec;
  std::string error;
  ASSERT_TRUE(sim::ParseWorkload("ide0.master rate=30 qd=2\nusb.stick qd=2 think=0 size=32k read=0.3\n"
                                 "plug usb.port2 at=500\nunplug usb.port2 at=2500\n",
                                 &spec, &error))
      << error;
  sim::WorkloadRunner runner(machine_.get(), spec, 3);
  sim::Ticks begin = scheduler.Now();
  runner.Start(4 * kSecond);

  scheduler.RunUntil(begin + kSecond);
  PDRIVER_OBJECT filter = hostk::FindDriver("qelvard1");
  ASSERT_NE(filter, nullptr);
  size_t filters_with_stick = hostk::DevicesOf(filter).size();
  ASSERT_NE(Node("usb.stick"), nullptr);
  // The stick arrived after the start: a new capture identifies it.
  ASSERT_TRUE(monitor.Control(kStopCapture));
  ASSERT_TRUE(monitor.Control(kStartCapture));
  EXPECT_EQ(monitor.Name(30), "USB Mass Storage Device");

  scheduler.RunUntil(begin + 4 * kSecond);  // pulled out at 2.5 s, busy
  runner.StopIssuing();
  scheduler.Drain();
  EXPECT_TRUE(monitor.Read());
  EXPECT_TRUE(monitor.Control(kStopCapture));

  std::vector<sim::RequestRecord> records = runner.Records();
  size_t failed_on_stick = 0;
  for (const auto& r : records) {
    if (r.device == "usb.stick" && r.status == STATUS_DEVICE_DOES_NOT_EXIST) ++failed_on_stick;
  }
  EXPECT_GT(failed_on_stick, 0u);  // requests were outstanding when it left
  EXPECT_EQ(machine_->Pnp()->Find("USBSTOR\\Disk&Ven_QELV&Prod_FLASH_STICK&Rev_2.00\\0001A2B3C4D5&0"), nullptr);
  EXPECT_EQ(machine_->FindNode("usb.stick")->pdo, nullptr);
  // The stick's bus filter and its disk's filter are gone.
  EXPECT_EQ(hostk::DevicesOf(filter).size(), filters_with_stick - 2);
  for (int bus = 0; bus < 256; ++bus) EXPECT_EQ(::Driver.BusActivity[bus].Outstanding, 0) << "bus " << bus;

  monitor.Close();
  machine_->Shutdown();
  EXPECT_EQ(hostk::FindDriver("qelvard1"), nullptr);
  EXPECT_EQ(hostk::PoolUsageOfTag(KvPoolTag).allocations, 0u);
  EXPECT_EQ(hostk::PoolUsageOfTag(hostk::MakeTag("SmWl")).allocations, 0u);
  EXPECT_EQ(hostk::PoolUsageOfTag(hostk::MakeTag("SmCl")).allocations, 0u);
}

}  // namespace
}  // namespace machine_test
