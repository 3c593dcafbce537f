// Identification at capture start: address and bus type queries, the
// controller description, and the fallback bus index assignment.
#include <future>
#include <thread>

#include "driver_fixture.h"

namespace drivertest {
namespace {

class IdentifyTest : public MonitoredDriverTest {
 protected:
  // A plain filter whose device fails the address query.
  PDEVICE_OBJECT Unaddressed(STORAGE_BUS_TYPE type, const char* description = "Disk",
                             PDEVICE_OBJECT parent = nullptr) {
    PDEVICE_OBJECT pdo = NewPdo(description);
    lower_->Of(pdo).addressStatus = STATUS_INVALID_DEVICE_REQUEST;
    lower_->Of(pdo).busType = type;
    return Attach(pdo, FALSE, parent);
  }
  PDEVICE_OBJECT Addressed(UCHAR port, UCHAR target, STORAGE_BUS_TYPE type) {
    PDEVICE_OBJECT filter = PlainFilter(port, target);
    lower_->Of(Rec(filter)->LowerDevice).busType = type;
    return filter;
  }
  void Identify() {
    ASSERT_EQ(StartCapture(), 0u);
    ASSERT_EQ(StopCapture(), 0u);
  }
  static std::string Description(PDEVICE_OBJECT filter) { return Rec(filter)->ControllerDescription; }
};

TEST_F(IdentifyTest, AddressedDeviceTakesItsPortAndTarget) {
  PDEVICE_OBJECT disk = Addressed(3, 5, BusTypeAtapi);
  lower_->Of(Rec(disk)->LowerDevice).pathId = 1;
  Identify();
  EXPECT_FALSE(Rec(disk)->IdentifyPending);
  EXPECT_EQ(Rec(disk)->BusIndex, 3);
  EXPECT_EQ(Rec(disk)->TargetId, 5);
  EXPECT_EQ(Rec(disk)->BusType, BusTypeAtapi);
  EXPECT_EQ(Description(disk), "");
}

TEST_F(IdentifyTest, EachRecordIsAskedOnlyOnce) {
  PDEVICE_OBJECT disk = Unaddressed(BusTypeUsb);
  Identify();
  const size_t asked = lower_->ReceivedCount(Rec(disk)->LowerDevice, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(asked, 2u);
  lower_->Of(Rec(disk)->LowerDevice).addressStatus = STATUS_SUCCESS;
  Identify();
  EXPECT_EQ(lower_->ReceivedCount(Rec(disk)->LowerDevice, IRP_MJ_DEVICE_CONTROL), asked);
}

TEST_F(IdentifyTest, BusFilterIsNeverAskedAndKeepsZeros) {
  PDEVICE_OBJECT controller = NewPdo("Channel", FILE_DEVICE_CONTROLLER);
  lower_->Of(controller).portNumber = 9;
  PDEVICE_OBJECT bus = Attach(controller, TRUE);
  Identify();
  EXPECT_EQ(lower_->ReceivedBy(controller).size(), 0u);
  EXPECT_FALSE(Rec(bus)->IdentifyPending);
  EXPECT_EQ(Rec(bus)->BusIndex, 0);
  EXPECT_EQ(Rec(bus)->TargetId, 0);
  EXPECT_EQ(Rec(bus)->BusType, BusTypeUnknown);
  EXPECT_EQ(Description(bus), "");
}

TEST_F(IdentifyTest, ChildTakesItsControllersDescriptionOnlyWhenItHasOneItself) {
  PDEVICE_OBJECT bus = Attach(NewPdo("Secondary IDE Channel", FILE_DEVICE_CONTROLLER), TRUE);
  PDEVICE_OBJECT described = PlainFilter(1, 0, bus);
  PDEVICE_OBJECT mute = Attach(NewPdo(nullptr), FALSE, bus);
  Identify();
  EXPECT_EQ(Description(described), "Secondary IDE Channel");
  EXPECT_EQ(Description(mute), "");
}

TEST_F(IdentifyTest, ChildWhoseBusFilterIsGoneHasNoControllerDescription) {
  PDEVICE_OBJECT bus = Attach(NewPdo("Channel", FILE_DEVICE_CONTROLLER), TRUE);
  PDEVICE_OBJECT child = PlainFilter(1, 0, bus);
  ASSERT_EQ(Remove(bus), STATUS_SUCCESS);
  Identify();
  EXPECT_EQ(Description(child), "");
  EXPECT_EQ(Rec(child)->BusIndex, 1);
}

// The orphan's ParentDevice still holds the removed bus filter's address;
// a new filter device created at that address must not become its parent.
TEST_F(IdentifyTest, OrphanFindsNoParentAtItsOldParentsAddress) {
  PDEVICE_OBJECT bus = Attach(NewPdo("Channel", FILE_DEVICE_CONTROLLER), TRUE);
  PDEVICE_OBJECT child = PlainFilter(1, 0, bus);
  ASSERT_EQ(Remove(bus), STATUS_SUCCESS);
  PDEVICE_OBJECT newcomer = Attach(NewPdo("Another Controller", FILE_DEVICE_CONTROLLER), TRUE);
  Rec(child)->ParentDevice = newcomer;  // as if the newcomer took the freed memory
  Identify();
  EXPECT_EQ(Description(child), "");
}

// A lower driver that does not answer holds up only the capture start:
// devices still arrive and leave meanwhile.
TEST_F(IdentifyTest, SlowLowerDriverStallsNeitherAddDeviceNorRemoval) {
  PDEVICE_OBJECT slow = PlainFilter(1);
  PDEVICE_OBJECT slowPdo = Rec(slow)->LowerDevice;
  PDEVICE_OBJECT leaving = PlainFilter(2);
  lower_->Of(slowPdo).holdQueries = true;
  std::thread start([this] { EXPECT_EQ(StartCapture(), 0u); });
  while (lower_->HeldCount(slowPdo) == 0) std::this_thread::yield();

  std::future<PDEVICE_OBJECT> added = std::async(std::launch::async, [this] { return Attach(NewPdo("Disk")); });
  std::future<NTSTATUS> removed = std::async(std::launch::async, [this, leaving] { return Remove(leaving); });
  const auto limit = std::chrono::seconds(5);
  EXPECT_EQ(added.wait_for(limit), std::future_status::ready);
  EXPECT_EQ(removed.wait_for(limit), std::future_status::ready);

  lower_->Of(slowPdo).holdQueries = false;
  CompleteOldest(slowPdo);
  start.join();
  EXPECT_NE(added.get(), nullptr);
  EXPECT_EQ(removed.get(), STATUS_SUCCESS);
  EXPECT_EQ(Rec(slow)->BusIndex, 1);
}

// A removal that lands between a record's two queries: nothing more is
// asked of the device below, nothing is stored in the record, and the
// walk goes on to the next record.
TEST_F(IdentifyTest, RemovalBetweenTwoQueriesEndsTheRecordsIdentification) {
  PDEVICE_OBJECT leaving = Unaddressed(BusTypeUsb);
  PDEVICE_OBJECT leavingPdo = Rec(leaving)->LowerDevice;
  PDEVICE_OBJECT staying = PlainFilter(4, 2);
  const char* record = reinterpret_cast<const char*>(Rec(leaving));
  std::atomic<bool> removalWaits{false};
  hostk::SetHook(hostk::HookPoint::kRemoveLockReleased, [&](const void* lock) {
    const char* at = static_cast<const char*>(lock);
    if (at >= record && at < record + sizeof(FilterDeviceRecord)) removalWaits = true;
  });
  bool publishedBeforeDelete = true;
  hostk::SetHook(hostk::HookPoint::kDeviceDelete, [&](const void* device) {
    if (device == leaving) publishedBeforeDelete = !Rec(leaving)->IdentifyPending || Rec(leaving)->BusType != 0;
  });
  std::thread removal;
  lower_->Of(leavingPdo).onArrival = [&](PIRP) {
    if (removal.joinable()) return;
    removalWaits = false;  // the description reads released the record's locks already
    removal = std::thread([&] { EXPECT_EQ(Remove(leaving), STATUS_SUCCESS); });
    while (!removalWaits) std::this_thread::yield();
  };
  EXPECT_EQ(StartCapture(), 0u);
  removal.join();
  hostk::ClearHooks();
  EXPECT_EQ(lower_->ReceivedCount(leavingPdo, IRP_MJ_DEVICE_CONTROL), 1u);
  EXPECT_FALSE(publishedBeforeDelete);
  EXPECT_EQ(Rec(staying)->BusIndex, 4);
  EXPECT_EQ(Rec(staying)->TargetId, 2);
}

TEST_F(IdentifyTest, DescriptionsAreCutToTheFieldOrDroppedWhenTooLong) {
  PDEVICE_OBJECT bus300 = Attach(NewPdo(std::string(300, 'a').c_str(), FILE_DEVICE_CONTROLLER), TRUE);
  PDEVICE_OBJECT bus1100 = Attach(NewPdo(std::string(1100, 'b').c_str(), FILE_DEVICE_CONTROLLER), TRUE);
  PDEVICE_OBJECT cut = PlainFilter(1, 0, bus300);
  PDEVICE_OBJECT dropped = PlainFilter(2, 0, bus1100);
  Identify();
  EXPECT_EQ(Description(cut), std::string(254, 'a'));
  EXPECT_EQ(Description(dropped), "");
}

TEST_F(IdentifyTest, UnbuildableQueryFallsBack) {
  PDEVICE_OBJECT disk = Addressed(3, 5, BusTypeUsb);
  hostfault::Arm("IoBuildDeviceIoControlRequest", -1);
  Identify();
  EXPECT_EQ(Rec(disk)->BusType, BusTypeUnknown);
  EXPECT_EQ(Rec(disk)->BusIndex, 254);
  EXPECT_EQ(Rec(disk)->TargetId, 0);
}

TEST_F(IdentifyTest, PendingAnswersAreWaitedForAndTheirStatusTaken) {
  PDEVICE_OBJECT disk = Addressed(3, 5, BusTypeUsb);
  PDEVICE_OBJECT pdo = Rec(disk)->LowerDevice;
  lower_->Of(pdo).holdQueries = true;
  std::thread start([&] { EXPECT_EQ(StartCapture(), 0u); });
  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST}) {  // bus type, then address
    PIRP irp = nullptr;
    while ((irp = lower_->TakeHeld(pdo)) == nullptr) std::this_thread::yield();
    irp->IoStatus.Information = 0;
    testlower::LowerDriver::Complete(irp, status);
  }
  start.join();
  EXPECT_EQ(Rec(disk)->BusType, BusTypeUnknown);  // the reply carried no descriptor
  EXPECT_EQ(Rec(disk)->BusIndex, 254);             // the address failed: fallback
  EXPECT_EQ(Driver.CaptureActive, 1);
}

// --- Fallback assignment, when the address query fails

TEST_F(IdentifyTest, FallbackJoinsTheLastRecordOfItsBusTypeWithAFreeTarget) {
  Addressed(2, 0, BusTypeAta);
  Addressed(3, 1, BusTypeAta);
  Addressed(6, 0, BusTypeScsi);
  PDEVICE_OBJECT disk = Unaddressed(BusTypeAta);
  Identify();
  EXPECT_EQ(Rec(disk)->BusIndex, 3);
  EXPECT_EQ(Rec(disk)->TargetId, 2);
}

struct PreferredCase {
  const char* name;
  STORAGE_BUS_TYPE type;
  bool preferredTaken;
  UCHAR expected;
};

class PreferredIndexTest : public IdentifyTest, public ::testing::WithParamInterface<PreferredCase> {};

TEST_P(PreferredIndexTest, LoneBusTypeTakesItsPreferredIndexOrTheHighestFree) {
  const PreferredCase& c = GetParam();
  // Under a controller of its own, its description matches no other.
  PDEVICE_OBJECT bus = Attach(NewPdo("Unique Channel", FILE_DEVICE_CONTROLLER), TRUE);
  Addressed(254, 0, BusTypeScsi);
  if (c.preferredTaken) Addressed(c.type == BusType1394 ? 20 : 30, 0, BusTypeAta);
  PDEVICE_OBJECT disk = Unaddressed(c.type, "Disk", bus);
  Identify();
  EXPECT_EQ(Rec(disk)->BusIndex, c.expected);
  EXPECT_EQ(Rec(disk)->TargetId, 0);
}

INSTANTIATE_TEST_SUITE_P(Types, PreferredIndexTest,
                         ::testing::Values(PreferredCase{"Usb", BusTypeUsb, false, 30},
                                           PreferredCase{"UsbTaken", BusTypeUsb, true, 253},
                                           PreferredCase{"Ieee1394", BusType1394, false, 20},
                                           PreferredCase{"Ieee1394Taken", BusType1394, true, 253}),
                         [](const ::testing::TestParamInfo<PreferredCase>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(IdentifyTest, FallbackSharesTheBusOfAnEqualControllerDescription) {
  PDEVICE_OBJECT bus = Attach(NewPdo("Channel", FILE_DEVICE_CONTROLLER), TRUE);
  Addressed(7, 0, BusTypeAta);
  PDEVICE_OBJECT sibling = PlainFilter(4, 0, bus);
  PDEVICE_OBJECT disk = Unaddressed(BusTypeUsb, "Disk", bus);
  Identify();
  EXPECT_EQ(Description(sibling), "Channel");
  EXPECT_EQ(Rec(disk)->BusIndex, 4);
}

TEST_F(IdentifyTest, EmptyDescriptionSharesTheBusOfTheFirstRecordWithoutOne) {
  Attach(NewPdo("Channel", FILE_DEVICE_CONTROLLER), TRUE);  // bus filter: bus 0, empty
  Addressed(7, 0, BusTypeAta);
  PDEVICE_OBJECT disk = Unaddressed(BusTypeUsb);
  Identify();
  EXPECT_EQ(Rec(disk)->BusIndex, 0);
}

TEST_F(IdentifyTest, FailedBusTypeSharesTheBusOfTheLastRecordOfTypeZero) {
  Addressed(5, 0, BusTypeAta);
  PDEVICE_OBJECT bus = Attach(NewPdo("Channel", FILE_DEVICE_CONTROLLER), TRUE);  // type 0, bus 0
  PDEVICE_OBJECT disk = Unaddressed(BusTypeAta);
  lower_->Of(Rec(disk)->LowerDevice).busTypeStatus = STATUS_INVALID_DEVICE_REQUEST;
  Identify();
  EXPECT_EQ(Rec(disk)->BusType, BusTypeUnknown);
  EXPECT_EQ(Rec(disk)->BusIndex, Rec(bus)->BusIndex);
  EXPECT_EQ(Rec(disk)->TargetId, 1);  // the bus filter holds target 0
}

}  // namespace
}  // namespace drivertest
