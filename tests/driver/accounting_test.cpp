// Busy-time accounting, to the exact tick of the virtual clock.
#include <thread>

#include "driver_fixture.h"

namespace drivertest {
namespace {

class AccountingTest : public MonitoredDriverTest {
 protected:

  // A plain filter whose PDO holds requests and reports port `bus`.
  PDEVICE_OBJECT HoldingFilter(UCHAR bus, UCHAR target = 0, PDEVICE_OBJECT parent = nullptr) {
    PDEVICE_OBJECT filter = PlainFilter(bus, target, parent);
    lower_->Of(Rec(filter)->LowerDevice).holdRequests = true;
    return filter;
  }
  PDEVICE_OBJECT PdoOf(PDEVICE_OBJECT filter) { return Rec(filter)->LowerDevice; }
  void StartAt(int64_t ticks) {
    SetTicks(ticks);
    ASSERT_EQ(StartCapture(), 0u);
  }
  TestRequest* StartSrbAt(int64_t ticks, PDEVICE_OBJECT filter, UCHAR targetId = 0) {
    SetTicks(ticks);
    return StartSrb(filter, targetId);
  }
  void CompleteAt(int64_t ticks, PDEVICE_OBJECT filter) {
    SetTicks(ticks);
    CompleteOldest(PdoOf(filter));
  }
  static LONG Outstanding(int bus) { return Driver.BusActivity[bus].Outstanding; }
  static LONGLONG Busy(int bus) { return Driver.BusStatistics.BusyTime[bus]; }
};

TEST_F(AccountingTest, OverlappingRequestsMakeOneBusyPeriod) {
  PDEVICE_OBJECT disk = HoldingFilter(2);
  StartAt(100);
  TestRequest* a = StartSrbAt(1000, disk);
  TestRequest* b = StartSrbAt(1300, disk);
  EXPECT_EQ(Driver.BusActivity[2].BusyStart, 1000);
  EXPECT_EQ(Outstanding(2), 2);
  CompleteAt(1700, disk);
  EXPECT_EQ(Busy(2), 0);
  CompleteAt(2500, disk);
  EXPECT_EQ(Busy(2), 1500);
  EXPECT_EQ(Outstanding(2), 0);
  EXPECT_TRUE(a->Done() && b->Done());
}

TEST_F(AccountingTest, BusesCountApartAndOneBusIndexSharesOneCount) {
  PDEVICE_OBJECT first = HoldingFilter(1);
  PDEVICE_OBJECT second = HoldingFilter(1, 1);
  PDEVICE_OBJECT other = HoldingFilter(4);
  StartAt(0);
  SetTicks(10);
  StartSrb(first);
  StartSrb(second);
  StartSrb(other);
  EXPECT_EQ(Outstanding(1), 2);
  EXPECT_EQ(Outstanding(4), 1);
  CompleteAt(30, first);
  CompleteAt(50, other);
  CompleteAt(80, second);
  EXPECT_EQ(Busy(1), 70);
  EXPECT_EQ(Busy(4), 40);
}

TEST_F(AccountingTest, RequestDispatchedWithoutCaptureIsNeverCounted) {
  PDEVICE_OBJECT disk = HoldingFilter(3);
  StartAt(0);
  ASSERT_EQ(StopCapture(), 0u);
  StartSrbAt(10, disk);
  StartAt(20);
  CompleteAt(50, disk);
  EXPECT_FALSE(lower_->ReceivedBy(PdoOf(disk)).back().counted);
  EXPECT_EQ(Outstanding(3), 0);
  EXPECT_EQ(Busy(3), 0);
}

TEST_F(AccountingTest, CompletionAfterStopLowersTheCountWithoutBusyTime) {
  PDEVICE_OBJECT disk = HoldingFilter(3);
  StartAt(0);
  StartSrbAt(10, disk);
  ASSERT_EQ(StopCapture(), 0u);
  CompleteAt(50, disk);
  EXPECT_EQ(Outstanding(3), 0);
  EXPECT_EQ(Busy(3), 0);
}

// A busy period that began in an earlier capture counts in the new one
// only from the new interval's start: no interval reports more busy time
// than its own length.
TEST_F(AccountingTest, RestartedCaptureCountsARunningPeriodFromItsStart) {
  PDEVICE_OBJECT disk = HoldingFilter(6);
  StartAt(0);
  StartSrbAt(100, disk);
  SetTicks(200);
  ASSERT_EQ(StopCapture(), 0u);
  StartAt(300);
  EXPECT_EQ(Driver.BusActivity[6].BusyStart, 300);
  CompleteAt(500, disk);
  SetTicks(600);
  const BusStatisticsBlock reply = ReadStatistics();
  EXPECT_EQ(reply.IntervalStart, 300);
  EXPECT_EQ(reply.IntervalEnd, 600);
  EXPECT_EQ(reply.BusyTime[6], 200);
}

TEST_F(AccountingTest, UnidentifiedPlainFilterCountsAgainstBusZero) {
  StartAt(0);
  PDEVICE_OBJECT late = HoldingFilter(9);  // created during the capture
  StartSrbAt(5, late);
  EXPECT_EQ(Outstanding(0), 1);
  CompleteAt(15, late);
  EXPECT_EQ(Busy(0), 10);
}

TEST_F(AccountingTest, RequestsAtDispatchLevelAreCounted) {
  PDEVICE_OBJECT disk = HoldingFilter(2);
  StartAt(0);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  StartSrb(disk);
  KeLowerIrql(old);
  EXPECT_EQ(Outstanding(2), 1);
}

struct PassThroughCase {
  const char* name;
  ULONG inputLength;  // 0: no system buffer
  bool counted;
};

class PassThroughBufferTest : public AccountingTest, public ::testing::WithParamInterface<PassThroughCase> {};

// The target id byte is at offset 4; shorter buffers are never read.
TEST_P(PassThroughBufferTest, ShortOrMissingBufferGoesDownUncounted) {
  PDEVICE_OBJECT disk = PlainFilter(2);
  StartAt(0);
  auto request = TestRequest::PassThrough(disk, IOCTL_SCSI_PASS_THROUGH, 0, GetParam().inputLength);
  EXPECT_EQ(request->Send(), STATUS_SUCCESS);
  EXPECT_TRUE(request->Done());
  EXPECT_EQ(lower_->ReceivedBy(PdoOf(disk)).back().counted, GetParam().counted);
  EXPECT_EQ(Outstanding(2), 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, PassThroughBufferTest,
                         ::testing::Values(PassThroughCase{"NoBuffer", 0, false},
                                           PassThroughCase{"FourBytes", 4, false},
                                           PassThroughCase{"FiveBytes", 5, true},
                                           PassThroughCase{"WholeHeader", sizeof(SCSI_PASS_THROUGH), true}),
                         [](const ::testing::TestParamInfo<PassThroughCase>& param) {
                           return std::string(param.param.name);
                         });

// --- Bus filters

class BusFilterAccountingTest : public AccountingTest {
 protected:
  void SetUp() override {
    AccountingTest::SetUp();
    controller_ = NewPdo("Primary IDE Channel", FILE_DEVICE_CONTROLLER);
    lower_->Of(controller_).holdRequests = true;
    bus_ = Attach(controller_, TRUE);
    child_ = PlainFilter(5, 1, bus_);
  }
  PDEVICE_OBJECT controller_ = nullptr;
  PDEVICE_OBJECT bus_ = nullptr;
  PDEVICE_OBJECT child_ = nullptr;
};

TEST_F(BusFilterAccountingTest, RequestIsCountedAgainstTheChildWithItsTargetId) {
  StartAt(0);
  SetTicks(10);
  StartSrb(bus_, 1);
  Keep(TestRequest::PassThrough(bus_, IOCTL_SCSI_PASS_THROUGH_DIRECT, 1))->Send();
  EXPECT_EQ(Outstanding(5), 2);
  CompleteAt(20, bus_);
  CompleteAt(40, bus_);
  EXPECT_EQ(Busy(5), 30);
}

TEST_F(BusFilterAccountingTest, UnmatchedOrUnidentifiedTargetGoesDownUncounted) {
  StartAt(0);
  PDEVICE_OBJECT unidentified = PlainFilter(7, 2, bus_);  // created during the capture
  StartSrb(bus_, 3);
  StartSrb(bus_, Rec(unidentified)->TargetId);
  for (const testlower::Received& received : lower_->ReceivedBy(controller_)) EXPECT_FALSE(received.counted);
  for (int bus = 0; bus < 256; ++bus) EXPECT_EQ(Outstanding(bus), 0) << bus;
}

// A removal waiting for the uncounted request's hold ends right after its
// release: nothing of the deleted record may be read after that.
TEST_F(BusFilterAccountingTest, UncountedRequestUsesNothingOfARecordRemovedAtItsRelease) {
  StartAt(0);
  const void* sendLock = &Rec(bus_)->SendLock;
  hostk::SetHook(hostk::HookPoint::kRemoveLockReleased, [&](const void* lock) {
    if (lock != sendLock) return;
    hostk::SetHook(hostk::HookPoint::kRemoveLockReleased, nullptr);
    EXPECT_EQ(Remove(bus_), STATUS_SUCCESS);
  });
  StartSrb(bus_, 3);  // no child has target id 3
  hostk::ClearHooks();
  EXPECT_EQ(lower_->ReceivedCount(controller_, IRP_MJ_SCSI), 1u);
  EXPECT_FALSE(lower_->ReceivedBy(controller_).front().counted);
  EXPECT_EQ(controller_->AttachedDevice, nullptr);  // the removal did happen
}

// A request already in its call down when the removal reaches the bus
// filter reaches the controller before the removal does, is counted
// against its child, and is waited for once the removal came back.
TEST_F(BusFilterAccountingTest, RequestInItsCallDownWhenTheRemovalArrivesGoesDownFirst) {
  StartAt(0);
  const char* record = reinterpret_cast<const char*>(Rec(bus_));
  std::atomic<bool> removalWaits{false};
  hostk::SetHook(hostk::HookPoint::kRemoveLockReleased, [&](const void* lock) {
    const char* at = static_cast<const char*>(lock);
    if (at >= record && at < record + sizeof(FilterDeviceRecord)) removalWaits = true;
  });
  std::thread removal;
  bool removalWentFirst = true;
  lower_->Of(controller_).onArrival = [&](PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_SCSI) return;
    removal = std::thread([&] { EXPECT_EQ(Remove(bus_), STATUS_SUCCESS); });
    while (!removalWaits) std::this_thread::yield();
    removalWentFirst = lower_->ReceivedCount(controller_, IRP_MJ_PNP) != 0;
  };
  StartSrbAt(10, bus_, 1);
  EXPECT_FALSE(removalWentFirst);
  EXPECT_EQ(Outstanding(5), 1);
  SetTicks(25);
  CompleteOldest(controller_);
  removal.join();
  hostk::ClearHooks();
  EXPECT_EQ(Busy(5), 15);
  EXPECT_EQ(controller_->AttachedDevice, nullptr);
}

// The end of a request is credited to the bus its start was counted
// against, even when the child record left the list meanwhile.
TEST_F(BusFilterAccountingTest, ChildRemovedBeforeCompletionLeavesNoBusBusy) {
  StartAt(0);
  SetTicks(10);
  StartSrb(bus_, 1);
  EXPECT_EQ(Remove(child_), STATUS_SUCCESS);
  CompleteAt(70, bus_);
  EXPECT_EQ(Outstanding(5), 0);
  EXPECT_EQ(Busy(5), 60);
}

// What keeps a record alive for its counted requests has no limit on
// their number or their time: a checked build of Windows asserts on a
// remove lock initialised with the record's limits, and the simulated
// kernel enforces them the same way.
TEST_F(AccountingTest, HundredsOfOutstandingRequestsOnOneDiskAreCounted) {
  constexpr int kRequests = 374;  // a recorded Windows boot on one disk
  PDEVICE_OBJECT disk = HoldingFilter(3);
  StartAt(0);
  for (int i = 0; i < kRequests; ++i) StartSrbAt(10, disk);
  EXPECT_EQ(Outstanding(3), kRequests);
  for (int i = 0; i < kRequests; ++i) CompleteAt(50, disk);
  EXPECT_EQ(Outstanding(3), 0);
  EXPECT_EQ(Busy(3), 40);
}

TEST_F(AccountingTest, PassThroughRunningForManyMinutesIsCounted) {
  const int64_t tenMinutes = 600 * hostk::PerformanceFrequency();  // a FORMAT UNIT
  PDEVICE_OBJECT disk = HoldingFilter(3);
  StartAt(0);
  Keep(TestRequest::PassThrough(disk, IOCTL_SCSI_PASS_THROUGH, 0))->Send();
  CompleteAt(tenMinutes, disk);
  EXPECT_EQ(Busy(3), tenMinutes);
}

TEST_F(AccountingTest, RecordIdentifiedDuringARequestLeavesEveryCountAtZero) {
  StartAt(0);
  PDEVICE_OBJECT late = HoldingFilter(4);  // bus 0 until identified
  StartSrbAt(10, late);
  ASSERT_EQ(StopCapture(), 0u);
  StartAt(20);  // identifies it: bus 4
  ASSERT_EQ(Rec(late)->BusIndex, 4);
  CompleteAt(30, late);
  EXPECT_EQ(Outstanding(0), 0);
  EXPECT_EQ(Outstanding(4), 0);
  EXPECT_EQ(Busy(0), 10);
}

}  // namespace
}  // namespace drivertest
