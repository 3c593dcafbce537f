// The control device protocol: its state table, buffer sizes, snapshots
// that tile time, controller names, and replies without stale bytes.
#include <cstring>

#include "driver_fixture.h"

namespace drivertest {
namespace {

class ControlTest : public MonitoredDriverTest {
 protected:
  void CloseMonitor() {
    ASSERT_TRUE(monitor_->CloseHandle(monitorHandle_));
    monitorHandle_ = INVALID_HANDLE_VALUE;
  }
  DWORD NameQuery(UCHAR bus, std::string* name, DWORD inSize = 4, DWORD outSize = 256, DWORD* returned = nullptr) {
    std::vector<char> in(inSize, 0);
    if (inSize > 0) in[0] = static_cast<char>(bus);
    std::vector<char> out(outSize, 0x5A);
    DWORD count = 0;
    const DWORD error = Ioctl(IOCTL_KV_GET_CONTROLLER_NAME, in.data(), inSize, out.data(), outSize, &count);
    if (returned != nullptr) *returned = count;
    if (error == 0 && name != nullptr) *name = std::string(out.data(), strnlen(out.data(), count));
    return error;
  }
};

TEST_F(ControlTest, SecondOpenFailsFromAnyProcessUntilTheOwnerCloses) {
  hostk::UserProcess other(1300);
  EXPECT_EQ(other.CreateFileA("\\\\.\\QELVARD1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(hostk::UserProcess::GetLastError(), ErrorOf(KV_STATUS_ALREADY_OPEN));
  EXPECT_EQ(monitor_->CreateFileA("\\\\.\\QELVARD1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(hostk::UserProcess::GetLastError(), ErrorOf(KV_STATUS_ALREADY_OPEN));
  EXPECT_EQ(Driver.OwnerProcessId, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(kMonitorPid)));

  CloseMonitor();
  HANDLE handle = other.CreateFileA("\\\\.\\QELVARD1");
  EXPECT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(other.CloseHandle(handle));
}

// A kernel may send requests on a file whose open was refused (Wine does,
// and closes it later): they must leave the monitor's capture alone.
TEST_F(ControlTest, RequestsOnAFileWhoseOpenWasRefusedLeaveTheMonitorsCapture) {
  ASSERT_EQ(StartCapture(), 0u);
  FILE_OBJECT refused{};
  auto stop = TestRequest::DeviceControl(Driver.ControlDevice, IOCTL_KV_STOP_CAPTURE);
  stop->Stack()->FileObject = &refused;
  stop->Send();
  EXPECT_EQ(stop->Status(), KV_STATUS_ALREADY_OPEN);
  auto close = TestRequest::Major(Driver.ControlDevice, IRP_MJ_CLOSE);
  close->Stack()->FileObject = &refused;
  close->Send();
  EXPECT_EQ(close->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Driver.CaptureActive, 1);
  EXPECT_EQ(StopCapture(), 0u);
}

TEST_F(ControlTest, IdleRefusesStopNameAndRead) {
  BusStatisticsBlock block{};
  EXPECT_EQ(StopCapture(), ErrorOf(KV_STATUS_CAPTURE_INACTIVE));
  EXPECT_EQ(NameQuery(0, nullptr), ErrorOf(KV_STATUS_CAPTURE_INACTIVE));
  EXPECT_EQ(Ioctl(IOCTL_KV_READ_STATISTICS, nullptr, 0, &block, sizeof(block)), ErrorOf(KV_STATUS_CAPTURE_INACTIVE));
}

TEST_F(ControlTest, StartTwiceAndStopTwice) {
  EXPECT_EQ(StartCapture(), 0u);
  EXPECT_EQ(StartCapture(), ErrorOf(KV_STATUS_CAPTURE_ACTIVE));
  EXPECT_EQ(StopCapture(), 0u);
  EXPECT_EQ(StopCapture(), ErrorOf(KV_STATUS_CAPTURE_INACTIVE));
}

TEST_F(ControlTest, CloseEndsTheCaptureAndLeavesTheBlock) {
  SetTicks(40);
  ASSERT_EQ(StartCapture(), 0u);
  CloseMonitor();
  EXPECT_EQ(Driver.CaptureActive, 0);
  EXPECT_EQ(Driver.BusStatistics.IntervalStart, 40);
  EXPECT_EQ(Driver.OwnerProcessId, nullptr);

  ASSERT_EQ(OpenMonitor(), 0u);
  EXPECT_EQ(StopCapture(), ErrorOf(KV_STATUS_CAPTURE_INACTIVE));
  Driver.BusStatistics.BusyTime[3] = 77;
  SetTicks(90);
  EXPECT_EQ(StartCapture(), 0u);
  EXPECT_EQ(Driver.BusStatistics.BusyTime[3], 0);
  EXPECT_EQ(Driver.BusStatistics.IntervalStart, 90);
}

TEST_F(ControlTest, CleanupSucceedsAndUnknownCodesAreInvalid) {
  EXPECT_EQ(Ioctl(0x222014), ErrorOf(STATUS_INVALID_DEVICE_REQUEST));
  auto cleanup = TestRequest::Major(Driver.ControlDevice, IRP_MJ_CLEANUP);
  EXPECT_EQ(cleanup->Send(), STATUS_SUCCESS);
  EXPECT_EQ(cleanup->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Driver.OwnerProcessId, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(kMonitorPid)));
}

struct SizeCase {
  const char* name;
  ULONG code;
  DWORD inSize;
  DWORD outSize;
  bool capturing;
  NTSTATUS expected;
  DWORD returned;
};

class BufferSizeTest : public ControlTest, public ::testing::WithParamInterface<SizeCase> {};

// Size checks come before the capture check.
TEST_P(BufferSizeTest, AnswersBySize) {
  const SizeCase& c = GetParam();
  PlainFilter(0);
  if (c.capturing) {
    ASSERT_EQ(StartCapture(), 0u);
  }
  std::vector<uint8_t> in(c.inSize, 0);
  std::vector<uint8_t> out(c.outSize, 0xEE);
  DWORD returned = 0;
  EXPECT_EQ(Ioctl(c.code, in.data(), c.inSize, out.data(), c.outSize, &returned), c.expected ? ErrorOf(c.expected) : 0u);
  EXPECT_EQ(returned, c.returned);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BufferSizeTest,
    ::testing::Values(
        SizeCase{"Read2063Idle", IOCTL_KV_READ_STATISTICS, 0, 2063, false, KV_STATUS_BAD_BUFFER_SIZE, 0},
        SizeCase{"Read2063", IOCTL_KV_READ_STATISTICS, 0, 2063, true, KV_STATUS_BAD_BUFFER_SIZE, 0},
        SizeCase{"Read2064", IOCTL_KV_READ_STATISTICS, 0, 2064, true, STATUS_SUCCESS, 2064},
        SizeCase{"Read4096", IOCTL_KV_READ_STATISTICS, 0, 4096, true, STATUS_SUCCESS, 2064},
        SizeCase{"NameInput3", IOCTL_KV_GET_CONTROLLER_NAME, 3, 256, true, KV_STATUS_BAD_BUFFER_SIZE, 0},
        SizeCase{"NameOutput255Idle", IOCTL_KV_GET_CONTROLLER_NAME, 4, 255, false, KV_STATUS_BAD_BUFFER_SIZE, 0},
        SizeCase{"Name4By256", IOCTL_KV_GET_CONTROLLER_NAME, 4, 256, true, STATUS_SUCCESS, 1}),
    [](const ::testing::TestParamInfo<SizeCase>& param) { return std::string(param.param.name); });

TEST_F(ControlTest, ConsecutiveReadsTileTime) {
  SetTicks(1000);
  ASSERT_EQ(StartCapture(), 0u);
  SetTicks(1600);
  const BusStatisticsBlock first = ReadStatistics();
  SetTicks(2500);
  const BusStatisticsBlock second = ReadStatistics();
  EXPECT_EQ(first.IntervalStart, 1000);
  EXPECT_EQ(first.IntervalEnd, 1600);
  EXPECT_EQ(second.IntervalStart, 1600);
  EXPECT_EQ(second.IntervalEnd, 2500);
}

TEST_F(ControlTest, ABusyPeriodAcrossReadsIsSplitAtEachRead) {
  PDEVICE_OBJECT disk = PlainFilter(8);
  lower_->Of(Rec(disk)->LowerDevice).holdRequests = true;
  SetTicks(0);
  ASSERT_EQ(StartCapture(), 0u);
  SetTicks(100);
  StartSrb(disk);
  SetTicks(400);
  const BusStatisticsBlock first = ReadStatistics();
  SetTicks(900);
  const BusStatisticsBlock second = ReadStatistics();  // busy throughout
  SetTicks(1000);
  CompleteOldest(Rec(disk)->LowerDevice);
  SetTicks(1200);
  const BusStatisticsBlock third = ReadStatistics();
  EXPECT_EQ(first.BusyTime[8], 300);
  EXPECT_EQ(second.BusyTime[8], second.IntervalEnd - second.IntervalStart);
  EXPECT_EQ(second.BusyTime[8], 500);
  EXPECT_EQ(third.BusyTime[8], 100);
  EXPECT_EQ(first.BusyTime[8] + second.BusyTime[8] + third.BusyTime[8], 900);
}

// A stop that lands between a read's or a name query's test of the
// capture and its taking of the statistics lock: the request fails as
// when the stop came first, and returns nothing.
class StopRaceTest : public ControlTest {
 protected:
  // The next acquisition of the statistics lock is preceded by a stop.
  void StopBeforeTheNextLock() {
    hostk::SetHook(hostk::HookPoint::kSpinLockAcquire, [this](const void* lock) {
      if (lock != &Driver.StatisticsLock) return;
      hostk::SetHook(hostk::HookPoint::kSpinLockAcquire, nullptr);
      EXPECT_EQ(StopCapture(), 0u);
    });
  }
  void TearDown() override {
    hostk::ClearHooks();
    ControlTest::TearDown();
  }
};

TEST_F(StopRaceTest, ReadRacingAStopFailsInactive) {
  ASSERT_EQ(StartCapture(), 0u);
  StopBeforeTheNextLock();
  BusStatisticsBlock block{};
  DWORD returned = 0;
  EXPECT_EQ(Ioctl(IOCTL_KV_READ_STATISTICS, nullptr, 0, &block, sizeof(block), &returned),
            ErrorOf(KV_STATUS_CAPTURE_INACTIVE));
  EXPECT_EQ(Driver.BusStatistics.IntervalStart, 0);  // the stop's clear stands
}

TEST_F(StopRaceTest, NameQueryRacingAStopFailsInactive) {
  PlainFilter(2);
  ASSERT_EQ(StartCapture(), 0u);
  StopBeforeTheNextLock();
  EXPECT_EQ(NameQuery(2, nullptr), ErrorOf(KV_STATUS_CAPTURE_INACTIVE));
}

// Only SYSTEM and Administrators may open the control device; the I/O
// manager refuses everyone else before the driver sees the open.
class ControlSecurityTest : public LoadedDriverTest {
 protected:
  static DWORD OpenAs(hostk::UserProcess& process, const char* path) {
    HANDLE handle = process.CreateFileA(path);
    if (handle == INVALID_HANDLE_VALUE) return hostk::UserProcess::GetLastError();
    process.CloseHandle(handle);
    return 0;
  }
};

TEST_F(ControlSecurityTest, TheDaclHoldsExactlySystemAndAdministratorsWithFullAccess) {
  const hostk::ObjectSecurity security = hostk::DeviceSecurity(Driver.ControlDevice);
  ASSERT_TRUE(security.hasDacl);
  const std::vector<hostk::AccessEntry> expected = {
      {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, hostk::kSidSystem},
      {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, hostk::kSidAdministrators}};
  EXPECT_EQ(security.dacl, expected);
}

TEST_F(ControlSecurityTest, AUserIsRefusedWithoutTakingTheSlotThenAnAdministratorOpens) {
  hostk::UserProcess user(1400, hostk::StandardUserToken());
  EXPECT_EQ(OpenAs(user, "\\\\.\\QELVARD1"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenAs(user, "\\\\.\\QELVARD1\\below"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Driver.OwnerProcessId, nullptr);
  EXPECT_EQ(OpenMonitor(), 0u);
  EXPECT_EQ(StartCapture(), 0u);
}

TEST_F(ControlSecurityTest, SystemMayOpenItAndANameBelowIt) {
  hostk::UserProcess service(1500, hostk::SystemToken());
  EXPECT_EQ(OpenAs(service, "\\\\.\\QELVARD1\\below"), 0u);
  EXPECT_EQ(OpenAs(service, "\\\\.\\QELVARD1"), 0u);
}

class NameTest : public ControlTest {};

TEST_F(NameTest, FirstDeviceOnTheBusAnswersEvenWithAnEmptyName) {
  PDEVICE_OBJECT controller = NewPdo("Primary IDE Channel", FILE_DEVICE_CONTROLLER);
  PDEVICE_OBJECT bus = Attach(controller, TRUE);
  PlainFilter(2);  // no parent: no controller description
  PlainFilter(2, 1, bus);
  PlainFilter(3, 0, bus);
  ASSERT_EQ(StartCapture(), 0u);

  std::string name = "x";
  DWORD returned = 0;
  EXPECT_EQ(NameQuery(2, &name, 4, 256, &returned), 0u);
  EXPECT_EQ(name, "");
  EXPECT_EQ(returned, 1u);
  EXPECT_EQ(NameQuery(3, &name, 4, 256, &returned), 0u);
  EXPECT_EQ(name, "Primary IDE Channel");
  EXPECT_EQ(returned, 20u);
  // Bus 0 is held only by the bus filter itself.
  EXPECT_EQ(NameQuery(0, &name), ErrorOf(KV_STATUS_BUS_NOT_FOUND));
  EXPECT_EQ(NameQuery(200, &name), ErrorOf(KV_STATUS_BUS_NOT_FOUND));
}

// Replies are written into the I/O manager's system buffer: nothing of
// what it held before may reach the caller.
class PatternTest : public ControlTest {
 protected:
  std::unique_ptr<TestRequest> Direct(ULONG code, std::vector<uint8_t>* system, ULONG inSize, ULONG outSize) {
    auto request = TestRequest::DeviceControl(Driver.ControlDevice, code);
    request->Irp()->AssociatedIrp.SystemBuffer = system->data();
    request->Stack()->Parameters.DeviceIoControl.InputBufferLength = inSize;
    request->Stack()->Parameters.DeviceIoControl.OutputBufferLength = outSize;
    request->Stack()->FileObject = Driver.OwnerFile;  // the monitor's own request
    request->Send();
    return request;
  }
};

TEST_F(PatternTest, StatisticsReplyClearsTheWholeOutputLength) {
  SetTicks(5);
  ASSERT_EQ(StartCapture(), 0u);
  SetTicks(8);
  std::vector<uint8_t> system(4096, 0xCD);
  auto request = Direct(IOCTL_KV_READ_STATISTICS, &system, 0, 4096);
  ASSERT_EQ(request->Status(), STATUS_SUCCESS);
  EXPECT_EQ(request->Information(), 2064u);
  BusStatisticsBlock reply;
  std::memcpy(&reply, system.data(), sizeof(reply));
  EXPECT_EQ(reply.IntervalStart, 5);
  EXPECT_EQ(reply.IntervalEnd, 8);
  for (size_t i = 16; i < system.size(); ++i) ASSERT_EQ(system[i], 0) << "byte " << i;
}

TEST_F(PatternTest, NameReplyClearsTheWholeOutputLength) {
  PDEVICE_OBJECT controller = NewPdo("Channel", FILE_DEVICE_CONTROLLER);
  PlainFilter(4, 0, Attach(controller, TRUE));
  ASSERT_EQ(StartCapture(), 0u);
  std::vector<uint8_t> system(512, 0xCD);
  system[0] = 4;
  auto request = Direct(IOCTL_KV_GET_CONTROLLER_NAME, &system, 4, 512);
  ASSERT_EQ(request->Status(), STATUS_SUCCESS);
  EXPECT_EQ(request->Information(), 8u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(system.data())), "Channel");
  for (size_t i = 7; i < system.size(); ++i) ASSERT_EQ(system[i], 0) << "byte " << i;
}

TEST_F(PatternTest, FailedRequestsReturnNothing) {
  std::vector<uint8_t> system(4096, 0xCD);
  auto idle = Direct(IOCTL_KV_READ_STATISTICS, &system, 0, 4096);
  EXPECT_EQ(idle->Status(), KV_STATUS_CAPTURE_INACTIVE);
  EXPECT_EQ(idle->Information(), 0u);
  ASSERT_EQ(StartCapture(), 0u);
  auto missing = Direct(IOCTL_KV_GET_CONTROLLER_NAME, &system, 4, 300);
  EXPECT_EQ(missing->Status(), KV_STATUS_BUS_NOT_FOUND);
  EXPECT_EQ(missing->Information(), 0u);
}

}  // namespace
}  // namespace drivertest
