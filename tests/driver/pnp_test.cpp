// Plug and Play and power: removal, bus relations, paging notifications.
#include <thread>

#include "driver_fixture.h"

namespace drivertest {
namespace {

class PnpTest : public DiskFilterTest {
 protected:
  bool FilterDeviceExists(PDEVICE_OBJECT filter) {
    for (PDEVICE_OBJECT device : hostk::DevicesOf(filterDriver_)) {
      if (device == filter) return true;
    }
    return false;
  }
  // Waits (in real time) until `done` holds, for at most two seconds.
  static bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
  }
};

// From the moment the removal reaches the filter nothing more of its goes
// down, captured or not: a storage request is refused, and its SRB says
// the device is gone, so that the class driver does not retry it.
enum class RemovalStage { kGoingDown, kCameBack, kDraining };

struct LateRequestCase {
  const char* name;
  RemovalStage stage;
  bool capture;
};

class LateRequestTest : public PnpTest, public ::testing::WithParamInterface<LateRequestCase> {};

TEST_P(LateRequestTest, StorageRequestIsRefusedAsNoDevice) {
  const LateRequestCase& c = GetParam();
  if (c.capture) {
    ASSERT_EQ(OpenMonitor(), 0u);
    ASSERT_EQ(StartCapture(), 0u);
  }
  TestRequest* late = nullptr;
  auto sendLate = [&] {
    late = Keep(TestRequest::Srb(filter_, 0));
    EXPECT_EQ(late->Send(), STATUS_DELETE_PENDING);
  };
  if (c.stage == RemovalStage::kGoingDown) {
    lower_->Of(pdo_).onArrival = [&](PIRP irp) {
      if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP && late == nullptr) sendLate();
    };
  } else {
    const void* lock = c.stage == RemovalStage::kCameBack ? &Rec(filter_)->RemoveLock : &Rec(filter_)->RequestLock;
    hostk::SetHook(hostk::HookPoint::kRemoveLockReleased, [&, lock](const void* released) {
      if (released == lock && late == nullptr) sendLate();
    });
  }
  EXPECT_EQ(Remove(filter_), STATUS_SUCCESS);
  hostk::ClearHooks();
  ASSERT_NE(late, nullptr);
  EXPECT_TRUE(late->Done());
  EXPECT_EQ(late->Status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(late->Information(), 0u);
  EXPECT_EQ(late->SrbBlock().SrbStatus, SRB_STATUS_NO_DEVICE);
  EXPECT_EQ(lower_->ReceivedCount(pdo_, IRP_MJ_SCSI), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, LateRequestTest,
    ::testing::Values(LateRequestCase{"GoingDown", RemovalStage::kGoingDown, true},
                      LateRequestCase{"CameBack", RemovalStage::kCameBack, true},
                      LateRequestCase{"CameBackUncaptured", RemovalStage::kCameBack, false},
                      LateRequestCase{"Draining", RemovalStage::kDraining, true}),
    [](const ::testing::TestParamInfo<LateRequestCase>& param) { return std::string(param.param.name); });

TEST_F(PnpTest, RemovalUnlinksBeforeTheLowerDriversHearOfIt) {
  BOOLEAN listedWhenLowerSawIt = TRUE;
  lower_->Of(pdo_).onArrival = [&](PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) listedWhenLowerSawIt = Filtered(pdo_);
  };
  EXPECT_EQ(Remove(filter_), STATUS_SUCCESS);
  EXPECT_FALSE(listedWhenLowerSawIt);
  EXPECT_FALSE(FilterDeviceExists(filter_));
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);
}

TEST_F(PnpTest, RemovalCompletesWithTheLowerStatusAndDeletesAnyway) {
  lower_->Of(pdo_).pnpStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(Remove(filter_), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(FilterDeviceExists(filter_));
  EXPECT_EQ(ListedRecords().size(), 0u);
}

// A counted request keeps its record: removal waits for it, and
// meanwhile every other Plug and Play, power or storage request is
// refused.
TEST_F(PnpTest, RemovalWaitsForCountedRequestsAndRefusesLaterRequests) {
  ASSERT_EQ(OpenMonitor(), 0u);
  ASSERT_EQ(StartCapture(), 0u);
  lower_->Of(pdo_).holdRequests = true;
  StartSrb(filter_);
  ASSERT_EQ(lower_->HeldCount(pdo_), 1u);

  std::atomic<bool> waiting{false};
  const void* requestLock = &Rec(filter_)->RequestLock;
  hostk::SetHook(hostk::HookPoint::kRemoveLockReleased, [&](const void* lock) {
    if (lock == requestLock) waiting = true;
  });
  std::atomic<bool> removed{false};
  std::thread removal([&] {
    EXPECT_EQ(Remove(filter_), STATUS_SUCCESS);
    removed = true;
  });
  // The removal has gone down and is waiting for the request.
  ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
  hostk::ClearHooks();

  auto capabilities = TestRequest::Pnp(filter_, IRP_MN_QUERY_CAPABILITIES);
  capabilities->Irp()->IoStatus.Information = 0x1234;
  EXPECT_EQ(capabilities->Send(), STATUS_DELETE_PENDING);
  EXPECT_EQ(capabilities->Status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(capabilities->Information(), 0u);
  auto power = TestRequest::Major(filter_, IRP_MJ_POWER, IRP_MN_SET_POWER);
  EXPECT_EQ(power->Send(), STATUS_DELETE_PENDING);
  auto late = TestRequest::Srb(filter_, 0);
  EXPECT_EQ(late->Send(), STATUS_DELETE_PENDING);
  EXPECT_EQ(lower_->ReceivedCount(pdo_, IRP_MJ_PNP), 1u);
  EXPECT_EQ(lower_->ReceivedCount(pdo_, IRP_MJ_POWER), 0u);
  EXPECT_EQ(lower_->ReceivedCount(pdo_, IRP_MJ_SCSI), 1u);
  EXPECT_FALSE(removed.load());

  CompleteOldest(pdo_);
  removal.join();
  EXPECT_TRUE(removed.load());
  EXPECT_EQ(Driver.BusActivity[0].Outstanding, 0);
}

// --- Bus relations

class BusRelationsTest : public PnpTest {
 protected:
  void SetUp() override {
    PnpTest::SetUp();
    controller_ = NewPdo("Channel", FILE_DEVICE_CONTROLLER);
    bus_ = Attach(controller_, TRUE);
  }
  // Sends the query to `filter`; returns its completion status.
  NTSTATUS Query(PDEVICE_OBJECT filter, DEVICE_RELATION_TYPE type) {
    auto request = TestRequest::Pnp(filter, IRP_MN_QUERY_DEVICE_RELATIONS);
    request->Stack()->Parameters.QueryDeviceRelations.Type = type;
    request->Send();
    EXPECT_TRUE(request->Done());
    if (request->Information() != 0) ExFreePool(reinterpret_cast<PVOID>(request->Information()));
    return request->Status();
  }
  std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT bus) {
    std::vector<PDEVICE_OBJECT> children;
    for (FilterDeviceRecord* record : ListedRecords()) {
      if (record->ParentDevice == bus) children.push_back(record->PhysicalDevice);
    }
    return children;
  }
  PDEVICE_OBJECT controller_ = nullptr;
  PDEVICE_OBJECT bus_ = nullptr;
};

TEST_F(BusRelationsTest, OnlyChildrenOfOtherTypesGetPlainFilters) {
  PDEVICE_OBJECT channel = NewPdo(nullptr, FILE_DEVICE_CONTROLLER);
  PDEVICE_OBJECT extender = NewPdo(nullptr, FILE_DEVICE_BUS_EXTENDER);
  PDEVICE_OBJECT disk = NewPdo(nullptr, FILE_DEVICE_DISK);
  lower_->Of(controller_).answerBusRelations = true;
  lower_->Of(controller_).children = {channel, extender, disk};
  EXPECT_EQ(Query(bus_, BusRelations), STATUS_SUCCESS);
  ASSERT_EQ(Children(bus_), std::vector<PDEVICE_OBJECT>{disk});
  EXPECT_FALSE(Rec(disk->AttachedDevice)->IsBusFilter);
  EXPECT_EQ(Rec(disk->AttachedDevice)->ParentDevice, bus_);

  EXPECT_EQ(Query(bus_, BusRelations), STATUS_SUCCESS);  // the same answer again
  EXPECT_EQ(Children(bus_).size(), 1u);
  EXPECT_EQ(ListedRecords().size(), 3u);
}

struct RelationsCase {
  const char* name;
  bool onBusFilter;
  DEVICE_RELATION_TYPE type;
  NTSTATUS lowerStatus;
  bool emptyList;
  NTSTATUS expected;
};

class RelationsTableTest : public BusRelationsTest, public ::testing::WithParamInterface<RelationsCase> {};

TEST_P(RelationsTableTest, AttachesNoChild) {
  const RelationsCase& c = GetParam();
  PDEVICE_OBJECT target = c.onBusFilter ? bus_ : filter_;
  PDEVICE_OBJECT below = c.onBusFilter ? controller_ : pdo_;
  PDEVICE_OBJECT disk = NewPdo();
  lower_->Of(below).answerBusRelations = true;
  if (!c.emptyList) lower_->Of(below).children = {disk};
  lower_->Of(below).pnpStatus = c.lowerStatus;
  EXPECT_EQ(Query(target, c.type), c.expected);
  EXPECT_EQ(lower_->ReceivedCount(below, IRP_MJ_PNP), 1u);
  EXPECT_FALSE(Filtered(disk));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RelationsTableTest,
    ::testing::Values(RelationsCase{"RemovalRelations", true, RemovalRelations, STATUS_SUCCESS, false, STATUS_SUCCESS},
                      RelationsCase{"EjectionRelations", true, EjectionRelations, STATUS_SUCCESS, false, STATUS_SUCCESS},
                      RelationsCase{"PlainFilter", false, BusRelations, STATUS_SUCCESS, false, STATUS_SUCCESS},
                      RelationsCase{"LowerFails", true, BusRelations, STATUS_INSUFFICIENT_RESOURCES, false,
                                    STATUS_INSUFFICIENT_RESOURCES},
                      RelationsCase{"CountZero", true, BusRelations, STATUS_SUCCESS, true, STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<RelationsCase>& param) { return std::string(param.param.name); });

TEST_F(BusRelationsTest, SuccessWithoutAListAttachesNothing) {
  EXPECT_EQ(Query(bus_, BusRelations), STATUS_SUCCESS);  // Information stays 0
  EXPECT_EQ(ListedRecords().size(), 2u);
}

// --- Paging notifications

struct PagingCase {
  const char* name;
  BOOLEAN inPath;
  LONG count;
  ULONG flags;        // of the filter before
  NTSTATUS lower;
  LONG countAfter;
  bool pagableBelow;  // what the lower driver saw
  bool pagableAfter;
};

class PagingTest : public PnpTest, public ::testing::WithParamInterface<PagingCase> {};

TEST_P(PagingTest, KeepsCountAndFlag) {
  const PagingCase& c = GetParam();
  Rec(filter_)->PagingPathCount = c.count;
  filter_->Flags = (filter_->Flags & ~(DO_POWER_PAGABLE | DO_POWER_INRUSH)) | c.flags;
  lower_->Of(pdo_).pnpStatus = c.lower;
  auto request = TestRequest::Pnp(filter_, IRP_MN_DEVICE_USAGE_NOTIFICATION);
  request->Stack()->Parameters.UsageNotification.InPath = c.inPath;
  request->Stack()->Parameters.UsageNotification.Type = DeviceUsageTypePaging;
  EXPECT_EQ(request->Send(), c.lower);
  EXPECT_EQ(request->Status(), c.lower);
  ASSERT_EQ(lower_->ReceivedCount(pdo_, IRP_MJ_PNP), 1u);
  EXPECT_EQ((lower_->ReceivedBy(pdo_).back().filterFlagsSeen & DO_POWER_PAGABLE) != 0, c.pagableBelow);
  EXPECT_EQ(Rec(filter_)->PagingPathCount, c.countAfter);
  EXPECT_EQ((filter_->Flags & DO_POWER_PAGABLE) != 0, c.pagableAfter);
  EXPECT_EQ(KeReadStateEvent(&Rec(filter_)->PagingEvent), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PagingTest,
    ::testing::Values(
        PagingCase{"FirstArrival", TRUE, 0, DO_POWER_PAGABLE, STATUS_SUCCESS, 1, true, false},
        PagingCase{"SecondArrival", TRUE, 1, 0, STATUS_SUCCESS, 2, false, false},
        PagingCase{"SecondArrivalKeepsFlag", TRUE, 1, DO_POWER_PAGABLE, STATUS_SUCCESS, 2, true, true},
        PagingCase{"FailedArrival", TRUE, 0, DO_POWER_PAGABLE, STATUS_UNSUCCESSFUL, 0, true, true},
        PagingCase{"LastDeparture", FALSE, 1, 0, STATUS_SUCCESS, 0, true, true},
        PagingCase{"FailedLastDeparture", FALSE, 1, 0, STATUS_UNSUCCESSFUL, 1, true, false},
        PagingCase{"LastDepartureInrush", FALSE, 1, DO_POWER_INRUSH, STATUS_SUCCESS, 0, false, false},
        PagingCase{"DepartureOfTwo", FALSE, 2, 0, STATUS_SUCCESS, 1, false, false}),
    [](const ::testing::TestParamInfo<PagingCase>& param) { return std::string(param.param.name); });

TEST_F(PnpTest, OtherUsageNotificationsPassWithoutWaitingOrCounting) {
  KeClearEvent(&Rec(filter_)->PagingEvent);  // a wait on it would never end
  auto request = TestRequest::Pnp(filter_, IRP_MN_DEVICE_USAGE_NOTIFICATION);
  request->Stack()->Parameters.UsageNotification.InPath = TRUE;
  request->Stack()->Parameters.UsageNotification.Type = DeviceUsageTypeHibernation;
  EXPECT_EQ(request->Send(), STATUS_SUCCESS);
  EXPECT_EQ(Rec(filter_)->PagingPathCount, 0);
  EXPECT_EQ(lower_->ReceivedCount(pdo_, IRP_MJ_PNP), 1u);
  KeSetEvent(&Rec(filter_)->PagingEvent, IO_NO_INCREMENT, FALSE);
}

TEST_F(PnpTest, PendingLowerAnswersAreWaitedFor) {
  lower_->Of(pdo_).holdPnp = true;
  auto request = TestRequest::Pnp(filter_, IRP_MN_DEVICE_USAGE_NOTIFICATION);
  request->Stack()->Parameters.UsageNotification.InPath = TRUE;
  request->Stack()->Parameters.UsageNotification.Type = DeviceUsageTypePaging;
  NTSTATUS sent = STATUS_PENDING;
  std::thread sender([&] { sent = request->Send(); });
  ASSERT_TRUE(Eventually([&] { return lower_->HeldCount(pdo_) == 1; }));
  EXPECT_FALSE(request->Done());
  PIRP irp = lower_->TakeHeld(pdo_);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  sender.join();
  EXPECT_EQ(sent, STATUS_SUCCESS);
  EXPECT_TRUE(request->Done());
  EXPECT_EQ(Rec(filter_)->PagingPathCount, 1);
}

}  // namespace
}  // namespace drivertest
