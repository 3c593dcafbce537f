// The Plug and Play manager building, changing and tearing down the
// default machine's stacks as its registry says.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "machine_fixture.h"

namespace machine_test {
namespace {

using ::testing::ElementsAre;

constexpr const char* kPrimaryChannel = "PCIIDE\\IDEChannel\\4&2F6E9B2E&0&0";
constexpr const char* kPrimaryMaster = "IDE\\DiskQELV_HD20A_______________________________3.29____\\5&1C4A2E2&0&0.0.0";
constexpr const char* kStick = "USBSTOR\\Disk&Ven_QELV&Prod_FLASH_STICK&Rev_2.00\\0001A2B3C4D5&0";
constexpr const char* kStickDevice = "USB\\Vid_0781&Pid_5150\\0001A2B3C4D5";

class PnpManagerTest : public MachineTest {};

TEST_F(PnpManagerTest, StackLoadsDeviceThenClassLowerFiltersFunctionDriverThenUpperFilters) {
  for (const char* s : {"devlow", "classlow", "devup", "classup"}) RegisterRecordingFilter(s);
  SetMulti(EnumPath(kPrimaryChannel), "LowerFilters", {"devlow"});
  SetMulti(EnumPath(kPrimaryChannel), "UpperFilters", {"devup"});
  SetMulti(ClassPath(sim::kClassHdc), "LowerFilters", {"classlow"});
  SetMulti(ClassPath(sim::kClassHdc), "UpperFilters", {"classup"});
  Boot();

  hostpnp::DeviceNode* channel = Node("ide0");
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(channel->state, hostpnp::NodeState::kStarted);
  EXPECT_THAT(machine_->Pnp()->StackServices(channel),
              ElementsAre("pciide", "devlow", "classlow", "atapi", "devup", "classup"));
  EXPECT_THAT(channel->load_order, ElementsAre("devlow", "classlow", "atapi", "devup", "classup"));
}

TEST_F(PnpManagerTest, DiskStackHasTheClassDriverUnderThePartitionManager) {
  Boot();
  EXPECT_THAT(machine_->Pnp()->StackServices(Node("ide0.master")), ElementsAre("atapi", "disk", "PartMgr"));
  EXPECT_THAT(machine_->Pnp()->StackServices(Node("scsi.tape")), ElementsAre("aic78u2", "4mmdat"));
  EXPECT_THAT(machine_->Pnp()->StackServices(Node("usb.disk")), ElementsAre("USBSTOR", "disk", "PartMgr"));
}

TEST_F(PnpManagerTest, EachDriverIsLoadedOnceForAllItsDevices) {
  Boot();
  PDRIVER_OBJECT disk = machine_->Pnp()->LoadedDriver("disk");
  ASSERT_NE(disk, nullptr);
  // Two IDE disks, two SCSI disks, the USB disk and the SBP-2 disk.
  EXPECT_EQ(hostk::DevicesOf(disk).size(), 6u);
  EXPECT_EQ(hostk::FindDriver("disk"), disk);
}

TEST_F(PnpManagerTest, StartedDevicesHaveAControlKeyAndAbsentOnesNone) {
  Boot();
  EXPECT_NE(Key(EnumPath(kPrimaryMaster) + "\\Control"), nullptr);
  EXPECT_NE(Key(EnumPath(kPrimaryChannel) + "\\Control"), nullptr);
  EXPECT_EQ(Key(EnumPath(kStick) + "\\Control"), nullptr);  // not plugged in
  EXPECT_EQ(Node("usb.stick"), nullptr);
}

TEST_F(PnpManagerTest, PdoPropertiesComeFromTheEnumKeyAndTheBus) {
  Boot();
  PDEVICE_OBJECT pdo = machine_->FindNode("ide0.master")->pdo;
  EXPECT_EQ(PropertyText(pdo, DevicePropertyEnumeratorName), "IDE");
  EXPECT_EQ(PropertyText(pdo, DevicePropertyClassGuid), sim::kClassDisk);
  EXPECT_EQ(PropertyText(pdo, DevicePropertyDeviceDescription), "Disk drive");
  EXPECT_EQ(PropertyText(pdo, DevicePropertyFriendlyName), "QELV HD20A");
  EXPECT_EQ(PropertyText(machine_->FindNode("usb.disk")->pdo, DevicePropertyEnumeratorName), "USBSTOR");
  EXPECT_EQ(PropertyText(machine_->FindNode("1394.disk")->pdo, DevicePropertyEnumeratorName), "SBP2");
  EXPECT_EQ(PropertyText(machine_->FindNode("ide0")->pdo, DevicePropertyDeviceDescription), "Primary IDE Channel");
  NTSTATUS status = STATUS_SUCCESS;
  PropertyText(pdo, DevicePropertyLocationInformation, &status);
  EXPECT_TRUE(NT_SUCCESS(status));
}

TEST_F(PnpManagerTest, RemovalReachesChildrenBeforeTheirParent) {
  RegisterRecordingFilter("watch");
  SetMulti(ClassPath(sim::kClassScsiAdapter), "UpperFilters", {"watch"});
  SetMulti(ClassPath(sim::kClassTape), "UpperFilters", {"watch"});
  SetMulti(ClassPath(sim::kClassDisk), "UpperFilters", {"PartMgr", "watch"});
  Boot();
  hostpnp::DeviceNode* adapter = Node("scsi");
  ASSERT_NE(adapter, nullptr);
  std::string adapter_path = adapter->instance_path;
  ClearLog();

  EXPECT_EQ(machine_->Pnp()->RemoveDevice(adapter), STATUS_SUCCESS);

  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[3], "Remove watch " + adapter_path);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(log[i].rfind("Remove watch SCSI\\", 0), 0u) << log[i];
  EXPECT_EQ(Key(EnumPath(adapter_path) + "\\Control"), nullptr);
  EXPECT_EQ(hostk::DevicesOf(machine_->Pnp()->LoadedDriver("aic78u2")).size(), 0u);
  EXPECT_EQ(hostk::DevicesOf(machine_->Pnp()->LoadedDriver("4mmdat")).size(), 0u);
}

TEST_F(PnpManagerTest, MissingFilterImageLeavesTheDeviceUnstartedAndItsStackEmpty) {
  SetMulti(EnumPath(kPrimaryChannel), "UpperFilters", {"nosuchfilter"});
  Boot();
  hostpnp::DeviceNode* channel = machine_->Pnp()->Find(kPrimaryChannel);
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(channel->state, hostpnp::NodeState::kFailed);
  EXPECT_TRUE(channel->children.empty());
  EXPECT_EQ(Key(EnumPath(kPrimaryChannel) + "\\Control"), nullptr);
  EXPECT_THAT(machine_->Pnp()->StackServices(channel), ElementsAre("pciide"));
  // The secondary channel is not affected.
  EXPECT_EQ(Node("ide1")->state, hostpnp::NodeState::kStarted);
}

TEST_F(PnpManagerTest, HotPlugBuildsTheSticksStacksAndUnplugRemovesThem) {
  Boot();
  PDRIVER_OBJECT usbstor = machine_->Pnp()->LoadedDriver("USBSTOR");
  size_t usbstor_devices = hostk::DevicesOf(usbstor).size();

  machine_->SetPresent("usb.port2", true);
  machine_->GetScheduler().Drain();
  hostpnp::DeviceNode* stick = machine_->Pnp()->Find(kStick);
  ASSERT_NE(stick, nullptr);
  EXPECT_EQ(stick->state, hostpnp::NodeState::kStarted);
  EXPECT_NE(Key(EnumPath(kStick) + "\\Control"), nullptr);
  EXPECT_NE(Key(EnumPath(kStickDevice) + "\\Control"), nullptr);
  // USBSTOR's function device over the stick and the stick disk's PDO.
  EXPECT_EQ(hostk::DevicesOf(usbstor).size(), usbstor_devices + 2);

  machine_->SetPresent("usb.port2", false);
  machine_->GetScheduler().Drain();
  EXPECT_EQ(machine_->Pnp()->Find(kStick), nullptr);
  EXPECT_EQ(machine_->Pnp()->Find(kStickDevice), nullptr);
  EXPECT_EQ(Key(EnumPath(kStick) + "\\Control"), nullptr);
  EXPECT_EQ(Key(EnumPath(kStickDevice) + "\\Control"), nullptr);
  EXPECT_EQ(hostk::DevicesOf(usbstor).size(), usbstor_devices);
  EXPECT_EQ(machine_->FindNode("usb.stick")->pdo, nullptr);
}

TEST_F(PnpManagerTest, UsageNotificationsAndPowerRequestsTravelTheWholeStack) {
  Boot();
  hostpnp::DeviceNode* disk = Node("ide0.master");
  EXPECT_EQ(machine_->Pnp()->NotifyUsage(disk, DeviceUsageTypePaging, true), STATUS_SUCCESS);
  EXPECT_EQ(machine_->Pnp()->NotifyUsage(disk, DeviceUsageTypePaging, false), STATUS_SUCCESS);
  EXPECT_EQ(machine_->Pnp()->SetDevicePower(disk, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(machine_->Pnp()->SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(PnpManagerTest, ShutdownLeavesNoDeviceAndNoPool) {
  Boot();
  machine_->Shutdown();
  EXPECT_EQ(hostk::PoolUsageOfTag(hostk::MakeTag("SmBs")).allocations, 0u);
  EXPECT_EQ(hostk::PoolUsageOfTag(hostk::MakeTag("SmCl")).allocations, 0u);
  EXPECT_EQ(hostk::PoolUsageOfTag(hostk::MakeTag("SmPp")).allocations, 0u);
  EXPECT_EQ(hostk::PoolUsageOfTag(hostk::MakeTag("SmWl")).allocations, 0u);
  EXPECT_EQ(hostk::FindDriver("disk"), nullptr);
  EXPECT_EQ(hostk::FindDriver("pci"), nullptr);
  EXPECT_EQ(Key(EnumPath(kPrimaryMaster) + "\\Control"), nullptr);
}

}  // namespace
}  // namespace machine_test
