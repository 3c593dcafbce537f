// Registry and SetupAPI calls that fail under the setup library, beyond
// the failures its own tests cover: the item concerned fails (or is left
// out), every other item is still applied, and no list loses a name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host_common/faults.h"
#include "platform/host_registry/registry.h"
#include "setup/guid_config.h"
#include "setup/korvset.h"
#include "setup/setup_app.h"

namespace {

const char kIde[] = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
const char kScsi[] = "{4D36E97B-E325-11CE-BFC1-08002BE10318}";
const char kUsb[] = "{36FC9E60-C465-11CF-8056-444553540000}";
const char kSbp2[] = "{D48179BE-EC20-11D1-B6B8-00C04FA372A7}";
const char kDisk[] = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
const char kCdRom[] = "{4D36E965-E325-11CE-BFC1-08002BE10318}";
const char kExtra[] = "{11111111-2222-3333-4444-555555555555}";

std::string ClassKey(const char* guid) { return std::string("System\\CurrentControlSet\\Control\\Class\\") + guid; }
std::string DeviceKey(const char* id) { return std::string("System\\CurrentControlSet\\Enum\\") + id; }

class SetupFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    korvset::ReleaseApplication(false);
    registry_.Clear();
    for (const char* guid : {kIde, kScsi, kUsb, kSbp2, kDisk, kCdRom, kExtra}) {
      registry_.Create(ClassKey(guid))->SetValue("", hostreg::kRegSz, hostreg::EncodeSz("Class"));
    }
  }
  void TearDown() override {
    hostfault::DisarmAll();
    korvset::ReleaseApplication(false);
    EXPECT_EQ(hostwin32::OpenKeyHandles(), 0);
    EXPECT_EQ(hostwin32::OpenDeviceInfoSets(), 0);
    registry_.Clear();
  }

  void SetList(const std::string& key, const char* value, const std::vector<std::string>& names) {
    registry_.Create(key)->SetValue(value, hostreg::kRegMultiSz, hostreg::EncodeMultiSz(names));
  }
  std::vector<std::string> List(const std::string& key, const char* value) {
    hostreg::RegKey* k = registry_.Open(key);
    const hostreg::RegValue* v = k == nullptr ? nullptr : k->Value(value);
    return v == nullptr ? std::vector<std::string>{"<absent>"} : hostreg::DecodeMultiSz(v->data);
  }
  void AddDisk(const char* id, const char* name) {
    hostreg::RegKey* key = registry_.Create(DeviceKey(id));
    key->SetValue("ClassGUID", hostreg::kRegSz, hostreg::EncodeSz(kDisk));
    key->SetValue("FriendlyName", hostreg::kRegSz, hostreg::EncodeSz(name));
    key->SetValue("LowerFilters", hostreg::kRegMultiSz, hostreg::EncodeMultiSz({"korvflt1", "other"}));
    key->CreateSubkey("Control");
  }

  hostreg::Registry& registry_ = hostreg::Registry::Machine();
};

TEST_F(SetupFaultsTest, LastNameThatCannotBeDeletedFailsTheCallAndTheOtherListsAreStillEdited) {
  SetList(ClassKey(kDisk), "LowerFilters", {"korvflt1"});
  SetList(ClassKey(kCdRom), "LowerFilters", {"korvflt1", "imapi"});
  hostfault::Arm("RegDeleteValueA:" + ClassKey(kDisk) + "\\LowerFilters");

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 0);

  EXPECT_EQ(List(ClassKey(kDisk), "LowerFilters"), std::vector<std::string>{"korvflt1"});
  EXPECT_EQ(List(ClassKey(kCdRom), "LowerFilters"), std::vector<std::string>{"imapi"});
  EXPECT_EQ(List(ClassKey(kIde), "UpperFilters"), std::vector<std::string>{"korvflt1"});
  EXPECT_EQ(List(ClassKey(kSbp2), "UpperFilters"), std::vector<std::string>{"korvflt1"});
}

TEST_F(SetupFaultsTest, ClassWhoseDescriptionCannotBeReadIsLeftOutAndTheRestInstalled) {
  SetList(ClassKey(kScsi), "UpperFilters", {"scsiflt"});
  hostfault::Arm(std::string("SetupDiGetClassDescriptionA:") + kScsi, -1);

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(List(ClassKey(kScsi), "UpperFilters"), std::vector<std::string>{"scsiflt"});
  for (const char* guid : {kIde, kUsb, kSbp2}) {
    EXPECT_EQ(List(ClassKey(guid), "UpperFilters"), std::vector<std::string>{"korvflt1"}) << guid;
  }
}

TEST_F(SetupFaultsTest, UnopenableGuidKeyLeavesTheBuiltInClassesOnly) {
  registry_.Create("Software\\Orlenta Software\\Korvelware\\GUIDs")
      ->SetValue("BusGuid0", hostreg::kRegSz, hostreg::EncodeSz(kExtra));
  hostfault::Arm("RegOpenKeyA", -1);

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(korvset::Application()->BusGuids.Count(), korvset::kBuiltinBusGuidCount);
  EXPECT_EQ(List(ClassKey(kExtra), "UpperFilters"), std::vector<std::string>{"<absent>"});
  EXPECT_EQ(List(ClassKey(kIde), "UpperFilters"), std::vector<std::string>{"korvflt1"});
}

TEST_F(SetupFaultsTest, DeviceThatCannotBeEnumeratedEndsItsClassAndTheOthersAreStillCleaned) {
  AddDisk("IDE\\DiskA\\1", "Disk A");
  AddDisk("IDE\\DiskB\\1", "Disk B");
  AddDisk("SCSI\\DiskC\\1", "Disk C");
  hostfault::Arm("SetupDiEnumDeviceInfo:IDE\\DiskB\\1", -1);

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(korvset::Application()->DeviceInstaller.ItemCount(), 1);
  EXPECT_EQ(List(DeviceKey("IDE\\DiskA\\1"), "LowerFilters"), std::vector<std::string>{"other"});
  EXPECT_EQ(List(DeviceKey("IDE\\DiskB\\1"), "LowerFilters"), (std::vector<std::string>{"korvflt1", "other"}));
  EXPECT_EQ(List(DeviceKey("SCSI\\DiskC\\1"), "LowerFilters"), (std::vector<std::string>{"korvflt1", "other"}));
}

TEST_F(SetupFaultsTest, EmptyServiceNameIsRefusedAndTheIdeListKeepsEveryName) {
  SetList(ClassKey(kIde), "UpperFilters", {"PartMgr", "other"});

  EXPECT_EQ(IDE_InstallFilter(nullptr, "", 0), 0);
  EXPECT_EQ(IDE_UninstallFilter(nullptr, "", 0), 0);

  EXPECT_EQ(List(ClassKey(kIde), "UpperFilters"), (std::vector<std::string>{"PartMgr", "other"}));
}

}  // namespace
