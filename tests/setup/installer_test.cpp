#include "setup/class_installer.h"

#include <memory>

#include "machine_fixture.h"

namespace setup_test {
namespace {

using korvset::ClassFilterInstaller;
using korvset::ScopeBusClass;
using korvset::ScopeClass;
using korvset::ScopeDevice;

class InstallerTest : public MachineTest {
 protected:
  // An installer over the given classes; installs or removes "flt".
  void Build(int scope, int useLower, std::initializer_list<const char*> classes) {
    ASSERT_EQ(installer_->Initialize(scope, useLower, "flt"), 1);
    for (const char* guid : classes) {
      GUID parsed = Guid(guid);
      installer_->AddClass(&parsed);
    }
  }

  void SetAll(int install) {
    for (int i = 0; i < installer_->ItemCount(); ++i) installer_->SetInstall(i, install);
  }

  int Apply() { return installer_->ApplyAll(&written_); }

  std::vector<int> Presets() {
    std::vector<int> out;
    for (int i = 0; i < installer_->ItemCount(); ++i) out.push_back(installer_->ItemAt(i)->Install);
    return out;
  }

  void TearDown() override {
    installer_.reset();  // closes its device sets before the fixture checks
    MachineTest::TearDown();
  }

  std::unique_ptr<ClassFilterInstaller> installer_ = std::make_unique<ClassFilterInstaller>();
  int written_ = -1;
};

// ------------------------------------------------------------ class scopes

TEST_F(InstallerTest, UninitializedInstallerIgnoresClassesAndAppliesNothing) {
  Given(Class(kIde, "IDE"));
  GUID ide = Guid(kIde);

  installer_->AddClass(&ide);

  EXPECT_EQ(installer_->ItemCount(), 0);
  EXPECT_EQ(Apply(), 1);
  EXPECT_EQ(written_, 0);
}

// A class the machine does not know has no list and fails nothing; one
// whose description is too long for the buffer is a class it has.
TEST_F(InstallerTest, OnlyAClassTheMachineDoesNotKnowGetsNoItem) {
  Given(Class(kIde, "IDE") + Class(kUsb, "USB") + Class(kSbp2, std::string(300, 'D')));

  Build(ScopeClass, 0, {kIde, kScsi, kUsb, kSbp2});

  ASSERT_EQ(installer_->ItemCount(), 3);
  EXPECT_STREQ(installer_->ItemAt(0)->Name.Text(), "IDE");
  EXPECT_STREQ(installer_->ItemAt(1)->Name.Text(), "USB");
  EXPECT_EQ(installer_->ItemAt(1)->Index, 1);
  EXPECT_STREQ(installer_->ItemAt(2)->Name.Text(), "");
  EXPECT_EQ(Apply(), 1);
}

TEST_F(InstallerTest, AddClassPresetsInstallFromTheListFound) {
  Given(Class(kIde, "IDE") + MultiSz("UpperFilters", {"other", "FLT"}) + Class(kScsi, "SCSI") +
        MultiSz("LowerFilters", {"flt"}) + Class(kUsb, "USB"));

  Build(ScopeBusClass, 0, {kIde, kScsi, kUsb});

  EXPECT_EQ(Presets(), (std::vector<int>{1, 0, 0}));
}

TEST_F(InstallerTest, InstallIntoAbsentListCreatesItWithTheNameAlone) {
  Given(Class(kIde, "IDE"));
  Build(ScopeBusClass, 0, {kIde});
  SetAll(1);

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(written_, 1);
  EXPECT_EQ(Now({ClassPath(kIde)}), Class(kIde, "IDE") + MultiSz("UpperFilters", {"flt"}));
}

TEST_F(InstallerTest, InstallPutsTheNameFirstAndKeepsTheOthersInOrder) {
  Given(Class(kDisk, "Disks") + MultiSz("LowerFilters", {"a", "b"}));
  Build(ScopeClass, 1, {kDisk});
  SetAll(1);

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(Now({ClassPath(kDisk)}), Class(kDisk, "Disks") + MultiSz("LowerFilters", {"flt", "a", "b"}));
}

TEST_F(InstallerTest, InstallWhereTheNameIsInOtherCaseWritesNothing) {
  Given(Class(kIde, "IDE") + MultiSz("UpperFilters", {"FLT"}));
  Build(ScopeBusClass, 0, {kIde});
  SetAll(1);
  int sets = hostfault::CallCount("RegSetValueExA");

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(written_, 0);
  EXPECT_EQ(hostfault::CallCount("RegSetValueExA"), sets);
  EXPECT_EQ(Now({ClassPath(kIde)}), Class(kIde, "IDE") + MultiSz("UpperFilters", {"FLT"}));
}

TEST_F(InstallerTest, UninstallRemovesEveryOccurrenceAndKeepsTheRest) {
  Given(Class(kIde, "IDE") + MultiSz("UpperFilters", {"flt", "x", "Flt"}));
  Build(ScopeBusClass, 0, {kIde});
  SetAll(0);

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(written_, 1);
  EXPECT_EQ(Now({ClassPath(kIde)}), Class(kIde, "IDE") + MultiSz("UpperFilters", {"x"}));
}

TEST_F(InstallerTest, UninstallLeavingNothingDeletesTheValue) {
  Given(Class(kIde, "IDE") + MultiSz("UpperFilters", {"flt", "FLT"}));
  Build(ScopeBusClass, 0, {kIde});
  SetAll(0);

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(Now({ClassPath(kIde)}), Class(kIde, "IDE"));
}

TEST_F(InstallerTest, UninstallWhereTheNameIsAbsentWritesNothing) {
  Given(Class(kIde, "IDE") + MultiSz("UpperFilters", {"x"}));
  Build(ScopeBusClass, 0, {kIde});
  SetAll(0);

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(written_, 0);
}

TEST_F(InstallerTest, ListsAreReadAgainWhenApplied) {
  Given(Class(kIde, "IDE"));
  Build(ScopeBusClass, 0, {kIde});
  SetAll(1);
  // Someone else installs it between AddClass and ApplyAll.
  Given(Class(kIde, "IDE") + MultiSz("UpperFilters", {"flt"}));

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(written_, 0);
}

TEST_F(InstallerTest, ItemAtAndSetInstallRejectIndexesOutsideTheItems) {
  Given(Class(kIde, "IDE"));
  Build(ScopeBusClass, 0, {kIde});

  EXPECT_EQ(installer_->ItemAt(-1), nullptr);
  EXPECT_EQ(installer_->ItemAt(1), nullptr);
  EXPECT_EQ(installer_->SetInstall(1, 1), nullptr);
  EXPECT_EQ(installer_->SetInstall(-1, 1), nullptr);
  EXPECT_EQ(installer_->SetInstall(0, 1), installer_->ItemAt(0));
  EXPECT_EQ(installer_->ItemAt(0)->Install, 1);
}

// A list that is there but cannot be read must not be replaced by one that
// holds only the service name.
TEST_F(InstallerTest, UnreadableListIsNeverOverwritten) {
  Given(Class(kIde, "IDE") + MultiSz("UpperFilters", {"keep"}) + Class(kUsb, "USB"));
  Build(ScopeBusClass, 0, {kIde, kUsb});
  SetAll(1);
  hostfault::Arm("RegQueryValueExA:" + ClassPath(kIde) + "\\UpperFilters");

  EXPECT_EQ(Apply(), 0);

  EXPECT_EQ(Now({ClassPath(kIde), ClassPath(kUsb)}), Class(kIde, "IDE") + MultiSz("UpperFilters", {"keep"}) +
                                                         Class(kUsb, "USB") + MultiSz("UpperFilters", {"flt"}));
}

TEST_F(InstallerTest, FailedWriteFailsItsItemAndTheOthersAreStillApplied) {
  Given(Class(kIde, "IDE") + MultiSz("UpperFilters", {"a"}) + Class(kScsi, "SCSI") + Class(kUsb, "USB"));
  Build(ScopeBusClass, 0, {kIde, kScsi, kUsb});
  SetAll(1);
  hostfault::Arm("RegSetValueExA:" + ClassPath(kScsi) + "\\UpperFilters");

  EXPECT_EQ(Apply(), 0);

  EXPECT_EQ(written_, 1);
  EXPECT_EQ(Now({ClassPath(kIde), ClassPath(kScsi), ClassPath(kUsb)}),
            Class(kIde, "IDE") + MultiSz("UpperFilters", {"flt", "a"}) + Class(kScsi, "SCSI") + Class(kUsb, "USB") +
                MultiSz("UpperFilters", {"flt"}));
}

TEST_F(InstallerTest, ClassKeyThatCannotBeOpenedForWritingFailsTheItem) {
  Given(Class(kIde, "IDE"));
  Build(ScopeBusClass, 0, {kIde});
  SetAll(1);
  hostfault::Arm("SetupDiOpenClassRegKey", 1, 1);  // the read opens, the write does not

  EXPECT_EQ(Apply(), 0);

  EXPECT_EQ(written_, 1);
  EXPECT_EQ(Now({ClassPath(kIde)}), Class(kIde, "IDE"));
}

// A class removed after it was added has no list left: it is left out of
// the apply, and its key is not made anew.
TEST_F(InstallerTest, ClassWhoseKeyWasRemovedIsLeftOut) {
  Given(Class(kIde, "IDE") + MultiSz("UpperFilters", {"flt"}) + Class(kUsb, "USB"));
  Build(ScopeClass, 0, {kIde, kUsb});
  ASSERT_TRUE(hostreg::Registry::Machine().Delete(ClassPath(kIde)));
  SetAll(1);

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(hostreg::Registry::Machine().Open(ClassPath(kIde)), nullptr);
  EXPECT_EQ(Now({ClassPath(kUsb)}), Class(kUsb, "USB") + MultiSz("UpperFilters", {"flt"}));
}

// ------------------------------------------------------------ device scope

class DeviceScopeTest : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    Given(Class(kDisk, "Disks") + Class(kCdrom, "CD") + Class(kTape, "Tapes") +
          Device("IDE\\Disk\\0", kDisk, "disk 0", true, MultiSz("LowerFilters", {"flt", "x"})) +
          Device("IDE\\Disk\\1", kDisk, "disk 1") +
          Device("USBSTOR\\Disk\\9", kDisk, "unplugged disk", false) +
          Device("IDE\\CdRom\\0", kCdrom, "cd 0", true, MultiSz("LowerFilters", {"FLT"})) +
          Device("IDE\\CdRom\\1", kCdrom, "cd 1", true, Sz("LocationInformation", "1")) +
          Device("SCSI\\CdRom\\2", kCdrom, "cd 2"));
  }
};

TEST_F(DeviceScopeTest, DevicesAreNumberedAcrossClassesInEnumerationOrder) {
  Build(ScopeDevice, 1, {kDisk, kTape, kCdrom});

  ASSERT_EQ(installer_->ItemCount(), 5);
  std::vector<std::string> names;
  for (int i = 0; i < 5; ++i) names.push_back(installer_->ItemAt(i)->Name.Text());
  EXPECT_EQ(names, (std::vector<std::string>{"disk 0", "disk 1", "cd 0", "cd 1", "cd 2"}));
  EXPECT_EQ(installer_->Items.Count(), 3);
  EXPECT_EQ(installer_->Items.At(1)->Devices.Count(), 0);  // tapes: an item without devices
  auto* cd1 = static_cast<korvset::DeviceItem*>(installer_->ItemAt(3));
  EXPECT_STREQ(cd1->Location.Text(), "1");
  EXPECT_EQ(cd1->OwnerClass, installer_->Items.At(2));
  EXPECT_EQ(Presets(), (std::vector<int>{1, 0, 1, 0, 0}));
  EXPECT_EQ(installer_->ItemAt(5), nullptr);
}

TEST_F(DeviceScopeTest, UninstallDeletesEmptiedPropertiesAndRewritesTheOthers) {
  Build(ScopeDevice, 1, {kDisk, kCdrom});
  SetAll(0);

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(written_, 1);
  EXPECT_EQ(Now({EnumPath("IDE")}),
            Key(EnumPath("IDE")) + Key(EnumPath("IDE\\CdRom")) + Device("IDE\\CdRom\\0", kCdrom, "cd 0") +
                Device("IDE\\CdRom\\1", kCdrom, "cd 1", true, Sz("LocationInformation", "1")) +
                Key(EnumPath("IDE\\Disk")) +
                Device("IDE\\Disk\\0", kDisk, "disk 0", true, MultiSz("LowerFilters", {"x"})) +
                Device("IDE\\Disk\\1", kDisk, "disk 1"));
}

TEST_F(DeviceScopeTest, InstallWritesOnlyTheDevicesThatLackTheName) {
  Build(ScopeDevice, 0, {kCdrom});
  SetAll(1);

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(Now({EnumPath("SCSI\\CdRom\\2")}),
            Device("SCSI\\CdRom\\2", kCdrom, "cd 2", true, MultiSz("UpperFilters", {"flt"})));
}

TEST_F(DeviceScopeTest, DeviceWithoutAnyNameEndsItsClassEnumeration) {
  Given(Key(EnumPath("IDE\\Disk\\0")) + "\"FriendlyName\"=-\n");

  Build(ScopeDevice, 1, {kDisk, kCdrom});

  EXPECT_EQ(installer_->ItemCount(), 3);  // no disks, three CD drives
  EXPECT_STREQ(installer_->ItemAt(0)->Name.Text(), "cd 0");
}

TEST_F(DeviceScopeTest, ClassWhoseDevicesCannotBeListedKeepsAnItemWithoutDevices) {
  hostfault::Arm("SetupDiGetClassDevsA:" + std::string(kDisk));

  Build(ScopeDevice, 1, {kDisk, kCdrom});

  EXPECT_EQ(installer_->Items.Count(), 2);
  EXPECT_EQ(installer_->ItemCount(), 3);
}

TEST_F(DeviceScopeTest, FailedPropertyWriteFailsOneDeviceAndTheOthersAreApplied) {
  Build(ScopeDevice, 1, {kDisk, kCdrom});
  SetAll(1);
  hostfault::Arm("SetupDiSetDeviceRegistryPropertyA:IDE\\Disk\\1\\LowerFilters");

  EXPECT_EQ(Apply(), 0);

  EXPECT_EQ(Now({EnumPath("IDE\\Disk\\1"), EnumPath("IDE\\CdRom\\1")}),
            Device("IDE\\Disk\\1", kDisk, "disk 1") +
                Device("IDE\\CdRom\\1", kCdrom, "cd 1", true,
                       Sz("LocationInformation", "1") + MultiSz("LowerFilters", {"flt"})));
}

TEST_F(DeviceScopeTest, UnreadableDevicePropertyIsNeverOverwritten) {
  Given(Key(EnumPath("IDE\\Disk\\1")) + MultiSz("LowerFilters", {"keep"}));
  Build(ScopeDevice, 1, {kDisk});
  SetAll(1);
  hostfault::Arm("SetupDiGetDeviceRegistryPropertyA:IDE\\Disk\\1\\LowerFilters", -1);

  EXPECT_EQ(Apply(), 0);

  EXPECT_EQ(Now({EnumPath("IDE\\Disk\\1")}),
            Device("IDE\\Disk\\1", kDisk, "disk 1", true, MultiSz("LowerFilters", {"keep"})));
}

TEST_F(DeviceScopeTest, DeviceRemovedAfterAddClassIsLeftOut) {
  Build(ScopeDevice, 1, {kDisk});
  ASSERT_TRUE(hostreg::Registry::Machine().Delete(EnumPath("IDE\\Disk\\0")));
  SetAll(1);

  EXPECT_EQ(Apply(), 1);

  EXPECT_EQ(hostreg::Registry::Machine().Open(EnumPath("IDE\\Disk\\0")), nullptr);
  EXPECT_EQ(Now({EnumPath("IDE\\Disk\\1")}),
            Device("IDE\\Disk\\1", kDisk, "disk 1", true, MultiSz("LowerFilters", {"flt"})));
}

}  // namespace
}  // namespace setup_test
