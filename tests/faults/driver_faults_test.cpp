// Kernel operations that fail under qelvard1, beyond the load failures and
// the identification failures its own tests cover: a filter that cannot be
// created or attached leaves the device working unfiltered and nothing
// allocated; a child that cannot be filtered is passed over and filtered
// on the next relations query; a registry query that fails leaves the
// flags 0; one identification query that cannot be built leaves only its
// own fields unset.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "tests/common/verifier_reports.h"
#include "driver/driver.h"
#include "platform/host_common/faults.h"
#include "platform/host_kernel/host_control.h"
#include "platform/host_registry/registry.h"
#include "sim/port_driver.h"

namespace {

constexpr const char* kServiceKey = "System\\CurrentControlSet\\Services\\qelvard1";
const char16_t kDiskClass[] = u"{4D36E967-E325-11CE-BFC1-08002BE10318}";

class DriverFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::RecordVerifierReports();
    hostk::UseVirtualClock();
    SetFlags(hostreg::kRegDword, {0, 0, 0, 0});
    ASSERT_EQ(hostk::LoadDriver("qelvard1", DriverEntry, &driver_), STATUS_SUCCESS);
    port_ = std::make_unique<sim::PortDriver>("faultport");
  }

  void TearDown() override {
    hostfault::DisarmAll();
    std::vector<FilterDeviceRecord*> records = Records();
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
      EXPECT_EQ(Send((*it)->Self, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    }
    if (driver_ != nullptr) {
      EXPECT_EQ(hostk::UnloadDriver(driver_), STATUS_SUCCESS);
    }
    port_.reset();
    EXPECT_EQ(hostk::PoolUsageOfTag(KvPoolTag).allocations, 0u);
    testsupport::FailOnVerifierReports();
  }

  static void SetFlags(uint32_t type, std::vector<uint8_t> data) {
    hostreg::Registry& registry = hostreg::Registry::Machine();
    std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
    registry.Create(kServiceKey)->SetValue("KVFlags", type, std::move(data));
  }

  static std::vector<FilterDeviceRecord*> Records() {
    std::vector<FilterDeviceRecord*> records;
    for (PLIST_ENTRY entry = Driver.FilterDeviceList.Flink; entry != &Driver.FilterDeviceList; entry = entry->Flink) {
      records.push_back(CONTAINING_RECORD(entry, FilterDeviceRecord, Link));
    }
    return records;
  }

  // Sends a request from above and waits for it; returns its status and
  // (for relations) hands back the reply.
  static NTSTATUS Send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, ULONG_PTR* information = nullptr,
                       DEVICE_RELATION_TYPE relations = BusRelations) {
    PIRP irp = IoAllocateIrp(IoGetAttachedDevice(target)->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    stack->Parameters.QueryDeviceRelations.Type = relations;
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    struct Result {
      bool done = false;
      NTSTATUS status = STATUS_PENDING;
      ULONG_PTR information = 0;
    } result;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP completed, PVOID context) -> NTSTATUS {
          auto* out = static_cast<Result*>(context);
          out->done = true;
          out->status = completed->IoStatus.Status;
          out->information = completed->IoStatus.Information;
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &result, TRUE, TRUE, TRUE);
    IoCallDriver(target, irp);
    EXPECT_TRUE(result.done);
    IoFreeIrp(irp);
    if (information != nullptr) *information = result.information;
    return result.status;
  }

  // What the Plug and Play manager does with a relations reply it has read.
  static std::vector<PDEVICE_OBJECT> TakeRelations(ULONG_PTR information) {
    std::vector<PDEVICE_OBJECT> children;
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (relations == nullptr) return children;
    for (ULONG i = 0; i < relations->Count; ++i) {
      children.push_back(relations->Objects[i]);
      ObDereferenceObject(relations->Objects[i]);
    }
    ExFreePool(relations);
    return children;
  }

  sim::PortDevice& NewPdo() {
    sim::PortDevice& pdo = port_->CreateDevice();
    pdo.SetProperty(DevicePropertyClassGuid, kDiskClass);
    pdo.SetProperty(DevicePropertyEnumeratorName, u"IDE");
    return pdo;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<sim::PortDriver> port_;
};

// --- AddDevice

struct AddFaultCase {
  const char* operation;
  NTSTATUS expected;
};

class AddDeviceFaultTest : public DriverFaultsTest, public ::testing::WithParamInterface<AddFaultCase> {};

TEST_P(AddDeviceFaultTest, FailsWithTheStatusAndTheDeviceWorksUnfiltered) {
  sim::PortDevice& pdo = NewPdo();
  hostfault::Arm(GetParam().operation);
  EXPECT_EQ(hostk::CallAddDevice(driver_, pdo.Object()), GetParam().expected);
  EXPECT_TRUE(Records().empty());
  EXPECT_EQ(pdo.Object()->AttachedDevice, nullptr);
  EXPECT_EQ(hostk::DevicesOf(driver_).size(), 1u);  // the control device alone

  EXPECT_TRUE(NT_SUCCESS(sim::SendSrb(pdo.Object(), 0)));
  EXPECT_EQ(pdo.CountSeen(IRP_MJ_SCSI), 1u);

  // The next stack build attaches normally.
  EXPECT_EQ(hostk::CallAddDevice(driver_, pdo.Object()), STATUS_SUCCESS);
  EXPECT_EQ(Records().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Operations, AddDeviceFaultTest,
                         ::testing::Values(AddFaultCase{"IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES},
                                           AddFaultCase{"IoAttachDeviceToDeviceStack", STATUS_NO_SUCH_DEVICE}),
                         [](const ::testing::TestParamInfo<AddFaultCase>& param) {
                           return std::string(param.param.operation);
                         });

// --- Children found through bus relations

TEST_F(DriverFaultsTest, ChildThatCannotBeFilteredIsPassedOverAndTheReplyIsUnchanged) {
  SetFlags(hostreg::kRegDword, {1, 0, 0, 0});  // mode 1: every accepted device gets a bus filter
  hostk::UnloadDriver(driver_);
  ASSERT_EQ(hostk::LoadDriver("qelvard1", DriverEntry, &driver_), STATUS_SUCCESS);
  sim::PortDevice& controller = port_->CreateDevice({FILE_DEVICE_CONTROLLER});
  sim::PortDevice& first = NewPdo();
  sim::PortDevice& second = NewPdo();
  controller.SetBusRelations(sim::RelationsAnswer::kChildren, {first.Object(), second.Object()});
  ASSERT_EQ(hostk::CallAddDevice(driver_, controller.Object()), STATUS_SUCCESS);
  PDEVICE_OBJECT bus = controller.Object()->AttachedDevice;

  hostfault::Arm("IoCreateDevice");  // the first child's filter only
  ULONG_PTR reply = 0;
  EXPECT_EQ(Send(bus, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, &reply), STATUS_SUCCESS);
  EXPECT_EQ(TakeRelations(reply), (std::vector<PDEVICE_OBJECT>{first.Object(), second.Object()}));
  EXPECT_EQ(first.Object()->AttachedDevice, nullptr);
  ASSERT_NE(second.Object()->AttachedDevice, nullptr);
  EXPECT_EQ(RecordOf(second.Object()->AttachedDevice)->ParentDevice, bus);

  // The next relations query filters the child that was passed over.
  EXPECT_EQ(Send(bus, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, &reply), STATUS_SUCCESS);
  TakeRelations(reply);
  ASSERT_NE(first.Object()->AttachedDevice, nullptr);
  EXPECT_EQ(Records().size(), 3u);
}

TEST_F(DriverFaultsTest, ChildWhoseStackIsGoingAwayIsPassedOverWithNothingLeft) {
  SetFlags(hostreg::kRegDword, {1, 0, 0, 0});
  hostk::UnloadDriver(driver_);
  ASSERT_EQ(hostk::LoadDriver("qelvard1", DriverEntry, &driver_), STATUS_SUCCESS);
  sim::PortDevice& controller = port_->CreateDevice({FILE_DEVICE_CONTROLLER});
  sim::PortDevice& child = NewPdo();
  controller.SetBusRelations(sim::RelationsAnswer::kChildren, {child.Object()});
  ASSERT_EQ(hostk::CallAddDevice(driver_, controller.Object()), STATUS_SUCCESS);

  hostfault::Arm("IoAttachDeviceToDeviceStack");
  ULONG_PTR reply = 0;
  EXPECT_EQ(Send(controller.Object()->AttachedDevice, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, &reply),
            STATUS_SUCCESS);
  EXPECT_EQ(TakeRelations(reply).size(), 1u);
  EXPECT_EQ(child.Object()->AttachedDevice, nullptr);
  EXPECT_EQ(Records().size(), 1u);
  EXPECT_EQ(hostk::DevicesOf(driver_).size(), 2u);  // control device and the bus filter
}

// --- Configuration

TEST_F(DriverFaultsTest, FlagsQueryThatFailsLoadsWithFlagsZero) {
  SetFlags(hostreg::kRegDword, {6, 0, 0, 0});
  hostk::UnloadDriver(driver_);
  hostfault::Arm("ZwQueryValueKey");
  ASSERT_EQ(hostk::LoadDriver("qelvard1", DriverEntry, &driver_), STATUS_SUCCESS);
  EXPECT_EQ(Driver.DriverFlags, 0u);
}

// --- Identification with one query that cannot be built

struct IdentifyFaultCase {
  const char* name;
  int after;  // requests built before the one that fails
  STORAGE_BUS_TYPE busType;
  UCHAR busIndex;
  UCHAR targetId;
};

class IdentifyFaultTest : public DriverFaultsTest, public ::testing::WithParamInterface<IdentifyFaultCase> {};

// A USB disk at port 3, target 5: without its bus type it keeps the
// address; without its address it falls back to the USB index 30.
TEST_P(IdentifyFaultTest, OnlyThatQuerysFieldsStayUnset) {
  sim::PortDevice& pdo = NewPdo();
  pdo.SetScsiAddress({3, 0, 5, 0});
  pdo.SetBusType(BusTypeUsb);
  ASSERT_EQ(hostk::CallAddDevice(driver_, pdo.Object()), STATUS_SUCCESS);
  hostk::UserProcess monitor(1200);
  HANDLE handle = monitor.CreateFileA(KV_CONTROL_DEVICE_USER_PATH);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);

  hostfault::Arm("IoBuildDeviceIoControlRequest", 1, GetParam().after);
  hostk::DWORD returned = 0;
  EXPECT_TRUE(monitor.DeviceIoControl(handle, IOCTL_KV_START_CAPTURE, nullptr, 0, nullptr, 0, &returned, nullptr));
  FilterDeviceRecord* record = RecordOf(pdo.Object()->AttachedDevice);
  EXPECT_EQ(record->BusType, GetParam().busType);
  EXPECT_EQ(record->BusIndex, GetParam().busIndex);
  EXPECT_EQ(record->TargetId, GetParam().targetId);
  EXPECT_FALSE(record->IdentifyPending);
  monitor.CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(Queries, IdentifyFaultTest,
                         ::testing::Values(IdentifyFaultCase{"BusTypeQuery", 0, BusTypeUnknown, 3, 5},
                                           IdentifyFaultCase{"AddressQuery", 1, BusTypeUsb, 30, 0}),
                         [](const ::testing::TestParamInfo<IdentifyFaultCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
