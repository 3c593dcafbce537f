// Load, "KVFlags", load failures, unload and the routing of every major
// function on filter devices and on the control device.
#include "driver_fixture.h"
#include "platform/host_registry/registry.h"

namespace drivertest {
namespace {

constexpr ULONG kPoolTag = hostk::MakeTag("KVtg");

class EntryTest : public DriverTest {};

TEST_F(EntryTest, LoadCreatesTheControlDeviceAndItsLink) {
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  PDEVICE_OBJECT control = hostk::FindDevice("\\Device\\QELVARD1");
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(control, Driver.ControlDevice);
  EXPECT_EQ(hostk::SymbolicLinkTarget("\\DosDevices\\QELVARD1"), "\\Device\\QELVARD1");
  EXPECT_EQ(control->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(control->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(control->DeviceExtension, nullptr);
  EXPECT_EQ(control->Flags & (DO_DIRECT_IO | DO_DEVICE_INITIALIZING), static_cast<ULONG>(DO_DIRECT_IO));
  EXPECT_EQ(Driver.DriverObjectRef, filterDriver_);
}

TEST_F(EntryTest, LoadKeepsATerminatedCopyOfTheRegistryPath) {
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  const std::u16string expected = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qelvard1";
  const UNICODE_STRING& copy = Driver.RegistryPathCopy;
  ASSERT_EQ(copy.Length, expected.size() * 2);
  EXPECT_EQ(copy.MaximumLength, expected.size() * 2 + 2);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(copy.Buffer), expected.size()), expected);
  EXPECT_EQ(copy.Buffer[expected.size()], 0);
  EXPECT_EQ(hostk::PoolUsageOfTag(kPoolTag).allocations, 1u);
}

TEST_F(EntryTest, InstallsTheDispatchTable) {
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    PDRIVER_DISPATCH expected = PassDown;
    switch (major) {
      case IRP_MJ_CREATE:
      case IRP_MJ_CLOSE:
      case IRP_MJ_CLEANUP:
      case IRP_MJ_DEVICE_CONTROL:
        expected = DispatchCreateCloseIoctl;
        break;
      case IRP_MJ_SCSI:
        expected = DispatchScsi;
        break;
      case IRP_MJ_POWER:
        expected = DispatchPower;
        break;
      case IRP_MJ_PNP:
        expected = DispatchPnp;
        break;
      default:
        break;
    }
    EXPECT_EQ(filterDriver_->MajorFunction[major], expected) << "major function " << major;
  }
  EXPECT_EQ(filterDriver_->DriverExtension->AddDevice, FilterAddDevice);
  EXPECT_EQ(filterDriver_->DriverUnload, UnloadDriver);
}

struct FlagsCase {
  const char* name;
  bool present;
  ULONG type;
  std::vector<uint8_t> data;
  ULONG expected;
};

class FlagsTest : public DriverTest, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(FlagsTest, ReadsTheFirstFourDataBytes) {
  const FlagsCase& c = GetParam();
  if (c.present) SetFlagsValue(c.type, c.data);
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  EXPECT_EQ(Driver.DriverFlags, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FlagsTest,
    ::testing::Values(FlagsCase{"Absent", false, 0, {}, 0},
                      FlagsCase{"Dword0D", true, hostreg::kRegDword, {0x0D, 0, 0, 0}, 0x0D},
                      FlagsCase{"OneByteBinary", true, hostreg::kRegBinary, {0x02}, 2},
                      FlagsCase{"StringOne", true, hostreg::kRegSz, {'1', 0, 0, 0}, 0x31},
                      FlagsCase{"EightBytes", true, hostreg::kRegBinary, {1, 2, 3, 4, 5, 6, 7, 8}, 0x04030201},
                      FlagsCase{"TwelveBytes", true, hostreg::kRegBinary, std::vector<uint8_t>(12, 0x07), 0}),
    [](const ::testing::TestParamInfo<FlagsCase>& param) { return std::string(param.param.name); });

TEST_F(EntryTest, UnreadableServiceKeyLoadsWithFlagsZero) {
  SetFlagsValue(hostreg::kRegDword, {5, 0, 0, 0});
  hostfault::Arm("ZwOpenKey");
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  EXPECT_EQ(Driver.DriverFlags, 0u);
}

struct LoadFailureCase {
  const char* operation;
  NTSTATUS expected;
};

class LoadFailureTest : public DriverTest, public ::testing::WithParamInterface<LoadFailureCase> {};

// The simulated kernel's verifier reports anything a failed load leaves.
TEST_P(LoadFailureTest, LeavesNothingBehind) {
  hostfault::Arm(GetParam().operation);
  EXPECT_EQ(LoadFilterDriver(), GetParam().expected);
  EXPECT_EQ(filterDriver_, nullptr);
  EXPECT_EQ(hostk::FindDevice("\\Device\\QELVARD1"), nullptr);
  EXPECT_EQ(hostk::SymbolicLinkTarget("\\DosDevices\\QELVARD1"), "");
  EXPECT_EQ(hostk::PoolUsageOfTag(kPoolTag).allocations, 0u);
  EXPECT_EQ(Driver.ControlDevice, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Operations, LoadFailureTest,
                         ::testing::Values(LoadFailureCase{"ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES},
                                           LoadFailureCase{"IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES},
                                           LoadFailureCase{"IoCreateSymbolicLink", STATUS_INSUFFICIENT_RESOURCES}),
                         [](const ::testing::TestParamInfo<LoadFailureCase>& param) {
                           return std::string(param.param.operation);
                         });

struct DaclFailureCase {
  const char* operation;
  int after;  // calls of it that succeed first
};

class DaclFailureTest : public DriverTest, public ::testing::WithParamInterface<DaclFailureCase> {};

// The driver filters the boot disk: it loads without a control device
// rather than fail the load or leave one any user could open.
TEST_P(DaclFailureTest, LoadsWithoutTheControlDevice) {
  hostfault::Arm(GetParam().operation, 1, GetParam().after);
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  EXPECT_EQ(Driver.ControlDevice, nullptr);
  EXPECT_EQ(hostk::FindDevice("\\Device\\QELVARD1"), nullptr);
  EXPECT_EQ(hostk::SymbolicLinkTarget("\\DosDevices\\QELVARD1"), "");
  EXPECT_EQ(hostk::PoolUsageOfTag(kPoolTag).allocations, 1u);  // the registry path copy
  EXPECT_EQ(OpenMonitor(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(filterDriver_->MajorFunction[IRP_MJ_DEVICE_CONTROL], DispatchCreateCloseIoctl);  // pass-through counted
}

INSTANTIATE_TEST_SUITE_P(Operations, DaclFailureTest,
                         ::testing::Values(DaclFailureCase{"ExAllocatePoolWithTag", 1},
                                           DaclFailureCase{"ObOpenObjectByPointer", 0},
                                           DaclFailureCase{"ZwSetSecurityObject", 0}),
                         [](const ::testing::TestParamInfo<DaclFailureCase>& param) {
                           return std::string(param.param.operation);
                         });

TEST_F(EntryTest, ExistingLinkNameFailsTheLoadWithTheLinksStatus) {
  UNICODE_STRING link;
  UNICODE_STRING target;
  RtlInitUnicodeString(&link, L"\\DosDevices\\QELVARD1");
  RtlInitUnicodeString(&target, L"\\Device\\Elsewhere");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

  EXPECT_EQ(LoadFilterDriver(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(hostk::FindDevice("\\Device\\QELVARD1"), nullptr);
  EXPECT_EQ(hostk::PoolUsageOfTag(kPoolTag).allocations, 0u);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(EntryTest, LoadsAgainAfterUnloadFromAFreshState) {
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  ASSERT_EQ(OpenMonitor(), 0u);
  ASSERT_EQ(StartCapture(), 0u);
  monitor_->CloseHandle(monitorHandle_);
  monitorHandle_ = INVALID_HANDLE_VALUE;
  Driver.BusActivity[3].Outstanding = 0;
  UnloadFilterDriver();
  EXPECT_EQ(hostk::FindDevice("\\Device\\QELVARD1"), nullptr);
  EXPECT_EQ(hostk::SymbolicLinkTarget("\\DosDevices\\QELVARD1"), "");
  EXPECT_EQ(hostk::PoolUsageOfTag(kPoolTag).allocations, 0u);

  Driver.BusStatistics.BusyTime[7] = 99;  // stale values of the earlier load
  Driver.BusActivity[7].Outstanding = 2;
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  EXPECT_EQ(Driver.CaptureActive, 0);
  EXPECT_EQ(Driver.OwnerProcessId, nullptr);
  EXPECT_EQ(Driver.BusStatistics.BusyTime[7], 0);
  EXPECT_EQ(Driver.BusActivity[7].Outstanding, 0);
  EXPECT_EQ(ListedRecords().size(), 0u);
}

TEST_F(EntryTest, UnloadDeletesTheControlDeviceEvenWithoutItsLink) {
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\DosDevices\\QELVARD1");
  ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  UnloadFilterDriver();
  EXPECT_EQ(hostk::FindDevice("\\Device\\QELVARD1"), nullptr);
}

// --- Routing

using RoutingTest = DiskFilterTest;

// Everything but SCSI request blocks, power and Plug and Play.
std::vector<UCHAR> PassedDownMajors() {
  std::vector<UCHAR> majors;
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    if (major != IRP_MJ_SCSI && major != IRP_MJ_POWER && major != IRP_MJ_PNP && major != IRP_MJ_DEVICE_CONTROL) {
      majors.push_back(static_cast<UCHAR>(major));
    }
  }
  return majors;
}

TEST_F(RoutingTest, FilterPassesEveryOtherMajorFunctionDownUnchanged) {
  for (UCHAR major : PassedDownMajors()) {
    auto request = TestRequest::Major(filter_, major, 0x05);
    EXPECT_EQ(request->Send(), STATUS_SUCCESS) << "major " << int(major);
    EXPECT_TRUE(request->Done());
    const std::vector<testlower::Received> received = lower_->ReceivedBy(pdo_);
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back().major, major);
    EXPECT_EQ(received.back().minor, 0x05);
    EXPECT_FALSE(received.back().counted);
  }
  EXPECT_EQ(lower_->ReceivedBy(pdo_).size(), PassedDownMajors().size());
}

TEST_F(RoutingTest, FilterPassesPowerAndPnpDown) {
  auto power = TestRequest::Major(filter_, IRP_MJ_POWER, IRP_MN_SET_POWER);
  EXPECT_EQ(power->Send(), STATUS_SUCCESS);
  auto start = TestRequest::Pnp(filter_, IRP_MN_START_DEVICE);
  EXPECT_EQ(start->Send(), STATUS_SUCCESS);
  EXPECT_EQ(lower_->ReceivedCount(pdo_, IRP_MJ_POWER), 1u);
  EXPECT_EQ(lower_->ReceivedCount(pdo_, IRP_MJ_PNP), 1u);
}

TEST_F(RoutingTest, OtherDeviceControlCodesPassDownUncountedDuringACapture) {
  ASSERT_EQ(OpenMonitor(), 0u);
  ASSERT_EQ(StartCapture(), 0u);
  for (ULONG code : {static_cast<ULONG>(IOCTL_SCSI_GET_ADDRESS), static_cast<ULONG>(IOCTL_STORAGE_QUERY_PROPERTY),
                     0x2D0C00u}) {
    auto request = TestRequest::DeviceControl(filter_, code);
    request->Send();
    EXPECT_TRUE(request->Done());
    EXPECT_EQ(lower_->ReceivedBy(pdo_).back().code, code);
    EXPECT_FALSE(lower_->ReceivedBy(pdo_).back().counted);
  }
}

TEST_F(RoutingTest, BothPassThroughCodesAreCountedDuringACapture) {
  ASSERT_EQ(OpenMonitor(), 0u);
  ASSERT_EQ(StartCapture(), 0u);
  for (ULONG code : {0x4D004u, 0x4D014u}) {
    auto request = TestRequest::PassThrough(filter_, code, 0);
    request->Send();
    EXPECT_TRUE(request->Done());
    EXPECT_EQ(lower_->ReceivedBy(pdo_).back().code, code);
    EXPECT_TRUE(lower_->ReceivedBy(pdo_).back().counted);
  }
  auto srb = TestRequest::Srb(filter_, 0);
  srb->Send();
  EXPECT_TRUE(lower_->ReceivedBy(pdo_).back().counted);
}

TEST_F(RoutingTest, ControlDeviceRefusesEveryOtherMajorFunction) {
  size_t refused = 0;
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    if (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP || major == IRP_MJ_DEVICE_CONTROL) {
      continue;
    }
    auto request = TestRequest::Major(Driver.ControlDevice, static_cast<UCHAR>(major));
    EXPECT_EQ(request->Send(), STATUS_INVALID_DEVICE_REQUEST) << "major " << major;
    EXPECT_TRUE(request->Done());
    EXPECT_EQ(request->Status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(request->Information(), 0u);
    ++refused;
  }
  EXPECT_EQ(refused, 24u);
  EXPECT_EQ(lower_->ReceivedBy(pdo_).size(), 0u);
}

TEST_F(RoutingTest, PassThroughCodeOnTheControlDeviceIsAControlRequest) {
  ASSERT_EQ(OpenMonitor(), 0u);
  ASSERT_EQ(StartCapture(), 0u);
  const size_t before = lower_->ReceivedBy(pdo_).size();  // identification's queries
  SCSI_PASS_THROUGH header{};
  EXPECT_EQ(Ioctl(0x4D004, &header, sizeof(header), &header, sizeof(header)), ErrorOf(STATUS_INVALID_DEVICE_REQUEST));
  EXPECT_EQ(lower_->ReceivedBy(pdo_).size(), before);
  EXPECT_EQ(Driver.BusActivity[0].Outstanding, 0);
}

TEST_F(RoutingTest, CreateAndCloseOnAFilterGoDown) {
  auto create = TestRequest::Major(filter_, IRP_MJ_CREATE);
  create->Send();
  auto cleanup = TestRequest::Major(filter_, IRP_MJ_CLEANUP);
  cleanup->Send();
  auto close = TestRequest::Major(filter_, IRP_MJ_CLOSE);
  close->Send();
  EXPECT_EQ(lower_->ReceivedBy(pdo_).size(), 3u);
  EXPECT_EQ(Driver.OwnerProcessId, nullptr);  // the control device's owner is untouched
}

}  // namespace
}  // namespace drivertest
