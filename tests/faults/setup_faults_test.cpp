// Registry and SetupAPI calls that fail under the setup library, beyond
// the failures its own tests cover: the item concerned fails (or is left
// out), every other item is still applied, and no list loses a name.
#include <gtest/gtest.h>

#include <ostream>
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

TEST_F(SetupFaultsTest, UnopenableGuidKeyLeavesTheBuiltInClassesOnly) {
  registry_.Create("Software\\Orlenta Software\\Korvelware\\GUIDs")
      ->SetValue("BusGuid0", hostreg::kRegSz, hostreg::EncodeSz(kExtra));
  hostfault::Arm("RegOpenKeyA", -1);

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(korvset::Application()->BusGuids.Count(), korvset::kBuiltinBusGuidCount);
  EXPECT_EQ(List(ClassKey(kExtra), "UpperFilters"), std::vector<std::string>{"<absent>"});
  EXPECT_EQ(List(ClassKey(kIde), "UpperFilters"), std::vector<std::string>{"korvflt1"});
}

// A class or device of the call's scope that could not be examined keeps
// what its list holds, so the call reports 0; the other lists are still
// brought to their state. A class the machine does not know has no list to
// leave behind and fails nothing.
struct UnexaminedCase {
  const char* what;
  std::string fault;  // operation:target
  uint32_t error;
  int result;
  std::vector<std::string> stillNamed;  // keys whose list keeps korvflt1
};

void PrintTo(const UnexaminedCase& c, std::ostream* out) { *out << c.what; }

class UnexaminedTest : public SetupFaultsTest, public ::testing::WithParamInterface<UnexaminedCase> {};

TEST_P(UnexaminedTest, UninstallReportsZeroWhileAListItCouldNotSeeNamesTheFilter) {
  for (const char* guid : {kIde, kScsi, kUsb, kSbp2}) SetList(ClassKey(guid), "UpperFilters", {"korvflt1"});
  SetList(ClassKey(kDisk), "LowerFilters", {"korvflt1"});
  AddDisk("IDE\\DiskA\\1", "Disk A");
  AddDisk("IDE\\DiskB\\1", "Disk B");
  AddDisk("SCSI\\DiskC\\1", "Disk C");
  hostfault::ArmWithError(GetParam().fault, GetParam().error, -1);

  EXPECT_EQ(KV_UninstallBusFilters(nullptr, 0), GetParam().result);

  std::vector<std::string> named;
  for (const char* guid : {kIde, kScsi, kUsb, kSbp2}) {
    if (List(ClassKey(guid), "UpperFilters") == std::vector<std::string>{"korvflt1"}) named.push_back(ClassKey(guid));
  }
  if (List(ClassKey(kDisk), "LowerFilters") == std::vector<std::string>{"korvflt1"}) named.push_back(ClassKey(kDisk));
  for (const char* id : {"IDE\\DiskA\\1", "IDE\\DiskB\\1", "SCSI\\DiskC\\1"}) {
    std::vector<std::string> list = List(DeviceKey(id), "LowerFilters");
    if (list != std::vector<std::string>{"other"}) {
      EXPECT_EQ(list, (std::vector<std::string>{"korvflt1", "other"})) << id;
      named.push_back(DeviceKey(id));
    }
  }
  EXPECT_EQ(named, GetParam().stillNamed);
}

const std::string kScsiKey = ClassKey(kScsi);
const std::string kDiskKey = ClassKey(kDisk);
const std::string kDiskA = DeviceKey("IDE\\DiskA\\1");
const std::string kDiskB = DeviceKey("IDE\\DiskB\\1");
const std::string kDiskC = DeviceKey("SCSI\\DiskC\\1");
const std::string kScsiDescription = std::string("SetupDiGetClassDescriptionA:") + kScsi;
const std::string kDiskDescription = std::string("SetupDiGetClassDescriptionA:") + kDisk;
const std::string kDiskDevices = std::string("SetupDiGetClassDevsA:") + kDisk;

INSTANTIATE_TEST_SUITE_P(
    Faults, UnexaminedTest,
    ::testing::Values(
        UnexaminedCase{"BusClassDescription", kScsiDescription, ERROR_NOT_ENOUGH_MEMORY, 0, {kScsiKey}},
        UnexaminedCase{"StorageClassDescription", kDiskDescription, ERROR_NOT_ENOUGH_MEMORY, 0,
                       {kDiskKey, kDiskA, kDiskB, kDiskC}},
        UnexaminedCase{"UnknownBusClass", kScsiDescription, ERROR_INVALID_CLASS, 1, {kScsiKey}},
        // Wine's SetupAPI reports the missing class key's ERROR_FILE_NOT_FOUND
        // where Windows reports ERROR_INVALID_CLASS.
        UnexaminedCase{"UnknownBusClassOnWine", kScsiDescription, ERROR_FILE_NOT_FOUND, 1, {kScsiKey}},
        UnexaminedCase{"DeviceSet", kDiskDevices, ERROR_NOT_ENOUGH_MEMORY, 0, {kDiskA, kDiskB, kDiskC}},
        UnexaminedCase{"DeviceEnumeration", "SetupDiEnumDeviceInfo:IDE\\DiskB\\1", ERROR_NOT_ENOUGH_MEMORY, 0,
                       {kDiskB, kDiskC}},
        // ReactOS's SetupAPI reports a property the device lacks with the
        // registry's ERROR_FILE_NOT_FOUND where Windows reports
        // ERROR_INVALID_DATA: the list is absent, nothing to take out.
        UnexaminedCase{"DeviceListAbsentOnReactOS", "SetupDiGetDeviceRegistryPropertyA:IDE\\DiskB\\1\\LowerFilters",
                       ERROR_FILE_NOT_FOUND, 1, {kDiskB}},
        // The names are display text only: the device is still examined.
        UnexaminedCase{"DeviceName", "SetupDiGetDeviceRegistryPropertyA:IDE\\DiskB\\1\\FriendlyName",
                       ERROR_ACCESS_DENIED, 1, {}}),
    [](const ::testing::TestParamInfo<UnexaminedCase>& param_info) { return std::string(param_info.param.what); });

TEST_F(SetupFaultsTest, IdeExportsGiveZeroAndWriteNothingWhenTheIdeClassCannotBeExamined) {
  SetList(ClassKey(kIde), "UpperFilters", {"myflt"});
  hostfault::ArmWithError(std::string("SetupDiGetClassDescriptionA:") + kIde, ERROR_NOT_ENOUGH_MEMORY, -1);

  EXPECT_EQ(IDE_UninstallFilter(nullptr, "myflt", 0), 0);
  EXPECT_EQ(IDE_InstallFilter(nullptr, "other", 0), 0);

  EXPECT_EQ(List(ClassKey(kIde), "UpperFilters"), std::vector<std::string>{"myflt"});
}

TEST_F(SetupFaultsTest, EmptyServiceNameIsRefusedAndTheIdeListKeepsEveryName) {
  SetList(ClassKey(kIde), "UpperFilters", {"PartMgr", "other"});

  EXPECT_EQ(IDE_InstallFilter(nullptr, "", 0), 0);
  EXPECT_EQ(IDE_UninstallFilter(nullptr, "", 0), 0);

  EXPECT_EQ(List(ClassKey(kIde), "UpperFilters"), (std::vector<std::string>{"PartMgr", "other"}));
}

}  // namespace
