// Filter device records, the device list lookups and the attachment
// policy of AddDevice.
#include "driver_fixture.h"

namespace drivertest {
namespace {

constexpr const char* kUsbClass = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr const char* kHdcClass = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kDiskClass = "{4D36E967-E325-11CE-BFC1-08002BE10318}";

class DeviceListTest : public LoadedDriverTest {
 protected:
  static FilterDeviceRecord* Child(PDEVICE_OBJECT bus, UCHAR target) {
    KIRQL old;
    KeAcquireSpinLock(&Driver.StatisticsLock, &old);
    FilterDeviceRecord* record = FindChildRecord(bus, target);
    KeReleaseSpinLock(&Driver.StatisticsLock, old);
    return record;
  }
  static void Identified(PDEVICE_OBJECT filter, UCHAR target) {
    Rec(filter)->IdentifyPending = FALSE;
    Rec(filter)->TargetId = target;
  }
};

TEST_F(DeviceListTest, NewRecordIsListedUnidentifiedAboveItsPdo) {
  PDEVICE_OBJECT pdo = NewPdo("CD", FILE_DEVICE_CD_ROM);
  pdo->Characteristics = FILE_REMOVABLE_MEDIA;
  PDEVICE_OBJECT filter = Attach(pdo);
  ASSERT_NE(filter, nullptr);
  const FilterDeviceRecord* record = Rec(filter);
  EXPECT_EQ(ListedRecords(), std::vector<FilterDeviceRecord*>{Rec(filter)});
  EXPECT_TRUE(Filtered(pdo));
  EXPECT_EQ(filter->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_CD_ROM));
  EXPECT_EQ(filter->Characteristics, 0u);
  EXPECT_EQ(record->Self, filter);
  EXPECT_EQ(record->PhysicalDevice, pdo);
  EXPECT_EQ(record->LowerDevice, pdo);
  EXPECT_EQ(record->ParentDevice, nullptr);
  EXPECT_TRUE(record->IdentifyPending);
  EXPECT_EQ(record->BusIndex, 0);
  EXPECT_EQ(record->TargetId, 0);
  EXPECT_EQ(record->BusType, BusTypeUnknown);
  EXPECT_EQ(filter->Flags & DO_DEVICE_INITIALIZING, 0u);
}

TEST_F(DeviceListTest, OnlyThePowerFlagsFollowTheDeviceBelow) {
  PDEVICE_OBJECT inrush = Attach(NewPdo(nullptr, FILE_DEVICE_DISK, DO_POWER_INRUSH | DO_BUFFERED_IO));
  EXPECT_EQ(inrush->Flags & (DO_POWER_INRUSH | DO_POWER_PAGABLE | DO_DIRECT_IO | DO_BUFFERED_IO),
            static_cast<ULONG>(DO_POWER_INRUSH | DO_DIRECT_IO));
  PDEVICE_OBJECT pagable = Attach(NewPdo(nullptr, FILE_DEVICE_DISK, DO_POWER_PAGABLE));
  EXPECT_EQ(pagable->Flags & (DO_POWER_INRUSH | DO_POWER_PAGABLE | DO_DIRECT_IO | DO_BUFFERED_IO),
            static_cast<ULONG>(DO_POWER_PAGABLE | DO_DIRECT_IO));
}

struct AttachFailureCase {
  const char* operation;
  NTSTATUS expected;
};

class AttachFailureTest : public DeviceListTest, public ::testing::WithParamInterface<AttachFailureCase> {};

TEST_P(AttachFailureTest, LeavesNoRecordAndNoDevice) {
  PDEVICE_OBJECT pdo = NewPdo();
  hostfault::Arm(GetParam().operation);
  LockDeviceList();
  EXPECT_EQ(AttachFilterDevice(filterDriver_, pdo, FALSE, nullptr), GetParam().expected);
  UnlockDeviceList();
  EXPECT_FALSE(Filtered(pdo));
  EXPECT_EQ(ListedRecords().size(), 0u);
  EXPECT_EQ(hostk::DevicesOf(filterDriver_).size(), 1u);  // the control device
}

INSTANTIATE_TEST_SUITE_P(
    Operations, AttachFailureTest,
    ::testing::Values(AttachFailureCase{"IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES},
                      AttachFailureCase{"IoAttachDeviceToDeviceStack", STATUS_NO_SUCH_DEVICE}),
    [](const ::testing::TestParamInfo<AttachFailureCase>& param) { return std::string(param.param.operation); });

TEST_F(DeviceListTest, EmptyListFindsNothing) {
  EXPECT_FALSE(Filtered(NewPdo()));
  EXPECT_EQ(Child(Attach(NewPdo(nullptr, FILE_DEVICE_CONTROLLER), TRUE), 0), nullptr);
}

TEST_F(DeviceListTest, FindChildRecordAppliesAllFourTests) {
  PDEVICE_OBJECT bus = Attach(NewPdo(nullptr, FILE_DEVICE_CONTROLLER), TRUE);
  PDEVICE_OBJECT otherBus = Attach(NewPdo(nullptr, FILE_DEVICE_CONTROLLER), TRUE);
  Identified(bus, 1);                                      // a bus filter itself
  Identified(Attach(NewPdo(), FALSE, otherBus), 1);        // another bus's child
  PDEVICE_OBJECT pending = Attach(NewPdo(), FALSE, bus);   // not identified, target 0
  PDEVICE_OBJECT first = Attach(NewPdo(), FALSE, bus);
  PDEVICE_OBJECT second = Attach(NewPdo(), FALSE, bus);
  Identified(first, 1);
  Identified(second, 1);  // same target id, another path id
  EXPECT_EQ(Child(bus, 1), Rec(first));
  EXPECT_EQ(Child(bus, 0), nullptr);
  EXPECT_EQ(Child(bus, 2), nullptr);
  EXPECT_TRUE(Rec(pending)->IdentifyPending);
  EXPECT_EQ(Remove(first), STATUS_SUCCESS);
  EXPECT_EQ(Child(bus, 1), Rec(second));
}

TEST_F(DeviceListTest, ChildrenOutliveTheirBusFilter) {
  PDEVICE_OBJECT bus = Attach(NewPdo(nullptr, FILE_DEVICE_CONTROLLER), TRUE);
  PDEVICE_OBJECT child = Attach(NewPdo(), FALSE, bus);
  EXPECT_EQ(Remove(bus), STATUS_SUCCESS);
  EXPECT_EQ(Rec(child)->ParentDevice, bus);
  EXPECT_EQ(Remove(child), STATUS_SUCCESS);
  EXPECT_EQ(ListedRecords().size(), 0u);
}

// --- Attachment policy

enum class Class { kUsb, kHdc, kOther, kUnreadable, kUsbLowerCase };
enum class Expect { kSkip, kPlain, kBus };

struct PolicyCase {
  const char* name;
  ULONG mode;
  Class deviceClass;
  std::vector<std::string> services;  // drivers above the PDO, bottom first
  const char* enumerator;             // null: unreadable
  Expect expected;
};

class AttachPolicyTest : public DriverTest, public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(AttachPolicyTest, Decides) {
  const PolicyCase& c = GetParam();
  SetFlagsValue(4, {static_cast<uint8_t>(c.mode | 0x08), 0, 0, 0});  // high bits do not count
  ASSERT_EQ(LoadFilterDriver(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = NewPdo();
  switch (c.deviceClass) {
    case Class::kUsb:
      hostk::SetDevicePropertyString(pdo, DevicePropertyClassGuid, kUsbClass);
      break;
    case Class::kUsbLowerCase:
      hostk::SetDevicePropertyString(pdo, DevicePropertyClassGuid, "{36fc9e60-c465-11cf-8056-444553540000}");
      break;
    case Class::kHdc:
      hostk::SetDevicePropertyString(pdo, DevicePropertyClassGuid, kHdcClass);
      break;
    case Class::kOther:
      hostk::SetDevicePropertyString(pdo, DevicePropertyClassGuid, kDiskClass);
      break;
    case Class::kUnreadable:
      break;
  }
  if (c.enumerator != nullptr) hostk::SetDevicePropertyString(pdo, DevicePropertyEnumeratorName, c.enumerator);
  for (const std::string& service : c.services) AddService(pdo, service);

  EXPECT_EQ(hostk::CallAddDevice(filterDriver_, pdo), STATUS_SUCCESS);
  const std::vector<FilterDeviceRecord*> records = ListedRecords();
  if (c.expected == Expect::kSkip) {
    EXPECT_EQ(records.size(), 0u);
    return;
  }
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->PhysicalDevice, pdo);
  EXPECT_EQ(records[0]->IsBusFilter, c.expected == Expect::kBus);
  EXPECT_EQ(records[0]->ParentDevice, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AttachPolicyTest,
    ::testing::Values(
        PolicyCase{"Mode2UsbHubPlain", 2, Class::kUsb, {"usbhub"}, nullptr, Expect::kPlain},
        PolicyCase{"Mode4ControllerPlain", 4, Class::kHdc, {}, "PCI", Expect::kPlain},
        PolicyCase{"Mode6DiskPlain", 6, Class::kOther, {}, "IDE", Expect::kPlain},
        // What mode 0 skips or makes a bus filter is a plain filter here too.
        PolicyCase{"Mode2PciControllerPlain", 2, Class::kOther, {}, "PCI", Expect::kPlain},
        PolicyCase{"Mode4UsbHubPlain", 4, Class::kUsb, {"usbhub"}, "USB", Expect::kPlain},
        PolicyCase{"Mode6UsbHubPlain", 6, Class::kUsb, {"usbhub"}, "USB", Expect::kPlain},
        PolicyCase{"Mode6HdcOtherPortPlain", 6, Class::kHdc, {"pciide"}, "PCI", Expect::kPlain},
        PolicyCase{"Mode6PciControllerPlain", 6, Class::kOther, {}, "PCI", Expect::kPlain},
        PolicyCase{"Mode1UsbStorageBus", 1, Class::kUsb, {"USBSTOR"}, "USB", Expect::kBus},
        PolicyCase{"Mode1UsbOtherSkip", 1, Class::kUsb, {"usbhub"}, "USB", Expect::kSkip},
        PolicyCase{"Mode1HdcAtapiBus", 1, Class::kHdc, {"atapi"}, "PCIIDE", Expect::kBus},
        PolicyCase{"Mode1HdcOtherSkip", 1, Class::kHdc, {"pciide"}, "PCI", Expect::kSkip},
        PolicyCase{"Mode1OtherStorageEnumBus", 1, Class::kOther, {}, "IDE", Expect::kBus},
        PolicyCase{"Mode0UsbStorageBus", 0, Class::kUsb, {"usbstor"}, "USB", Expect::kBus},
        PolicyCase{"Mode0UsbHpuataPrefix", 0, Class::kUsb, {"HPUATA2"}, "USB", Expect::kBus},
        PolicyCase{"Mode0UsbUpatcStorageEnumPlain", 0, Class::kUsb, {"UPATC"}, "USBSTOR", Expect::kPlain},
        PolicyCase{"Mode0UsbLowerCaseGuid", 0, Class::kUsbLowerCase, {"usbhub"}, "USB", Expect::kSkip},
        PolicyCase{"Mode0UsbNoServiceSkip", 0, Class::kUsb, {}, "USB", Expect::kSkip},
        PolicyCase{"Mode0HdcAtapiBus", 0, Class::kHdc, {"pciide", "ATAPI"}, "PCI", Expect::kBus},
        PolicyCase{"Mode0HdcAtapiPrefix", 0, Class::kHdc, {"AtapiX"}, "PCI", Expect::kBus},
        PolicyCase{"Mode0HdcAtapShortSkip", 0, Class::kHdc, {"ATAP"}, "PCI", Expect::kSkip},
        PolicyCase{"Mode3HdcAtapiIdeEnumPlain", 3, Class::kHdc, {"atapi"}, "ide", Expect::kPlain},
        PolicyCase{"Mode5OtherScsiPlain", 5, Class::kOther, {}, "scsi", Expect::kPlain},
        PolicyCase{"Mode7OtherSbp2Plain", 7, Class::kOther, {}, "SBP2", Expect::kPlain},
        PolicyCase{"Mode0OtherScmmsdPlain", 0, Class::kOther, {}, "SCMMSD", Expect::kPlain},
        PolicyCase{"Mode0OtherPciBus", 0, Class::kOther, {}, "PCI", Expect::kBus},
        PolicyCase{"Mode0UnreadableClassAccepted", 0, Class::kUnreadable, {}, "USBSTOR", Expect::kPlain},
        PolicyCase{"Mode0UnreadableEnumeratorBus", 0, Class::kOther, {}, nullptr, Expect::kBus}),
    [](const ::testing::TestParamInfo<PolicyCase>& param) { return std::string(param.param.name); });

class AddDeviceTest : public DeviceListTest {};

TEST_F(AddDeviceTest, AlreadyFilteredPdoIsSkippedWithSuccess) {
  PDEVICE_OBJECT pdo = NewPdo();
  Attach(pdo);
  EXPECT_EQ(hostk::CallAddDevice(filterDriver_, pdo), STATUS_SUCCESS);
  EXPECT_EQ(ListedRecords().size(), 1u);
}

TEST_F(AddDeviceTest, AttachFailureIsReturned) {
  PDEVICE_OBJECT pdo = NewPdo();
  hostfault::Arm("IoAttachDeviceToDeviceStack");
  EXPECT_EQ(hostk::CallAddDevice(filterDriver_, pdo), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(ListedRecords().size(), 0u);
}

// The PDO's own driver is never examined: a USB device whose PDO belongs
// to USBSTOR, or a channel whose PDO belongs to ATAPI, with no such driver
// above, is skipped.
TEST_F(AddDeviceTest, StackWalkStartsAboveThePdo) {
  struct OwnDriverCase {
    const char* service;  // the PDO's own driver
    const char* guid;
    const char* above;    // the function driver above it
  };
  for (const OwnDriverCase& c : {OwnDriverCase{"USBSTOR", kUsbClass, "usbhub"},
                                 OwnDriverCase{"ATAPI", kHdcClass, "pciide"}}) {
    const char* service = c.service;
    testlower::LowerDriver bus(service);
    PDEVICE_OBJECT pdo = bus.CreateDevice(FILE_DEVICE_CONTROLLER);
    hostk::SetDevicePropertyString(pdo, DevicePropertyClassGuid, c.guid);
    hostk::SetDevicePropertyString(pdo, DevicePropertyEnumeratorName, "PCI");
    AddService(pdo, c.above);
    EXPECT_FALSE(ServiceInDeviceStack(UsbStorageServiceList, pdo)) << service;
    EXPECT_FALSE(ServiceInDeviceStack(AtapiServiceList, pdo)) << service;
    EXPECT_EQ(hostk::CallAddDevice(filterDriver_, pdo), STATUS_SUCCESS);
    EXPECT_EQ(ListedRecords().size(), 0u) << service;
  }
}

TEST_F(AddDeviceTest, StackWalkPassesOverDevicesWithoutADriverName) {
  PDEVICE_OBJECT pdo = NewPdo();
  PDEVICE_OBJECT atapi = AddService(pdo, "atapi");
  DEVICE_OBJECT anonymous{};  // no driver object at all
  anonymous.AttachedDevice = atapi;
  pdo->AttachedDevice = &anonymous;
  EXPECT_TRUE(ServiceInDeviceStack(AtapiServiceList, pdo));
  EXPECT_FALSE(ServiceInDeviceStack(UsbStorageServiceList, pdo));
  pdo->AttachedDevice = atapi;
}

}  // namespace
}  // namespace drivertest
