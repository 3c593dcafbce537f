#include "setup/korvset.h"

#include <ctime>

#include "machine_fixture.h"

namespace setup_test {
namespace {

// Every class the library knows of, a disk that carries "korvflt1" as a
// lower filter and one that does not, and a CD drive.
std::string Machine(const std::string& diskClassValues = "", const std::string& ideClassValues = "") {
  return Class(kIde, "IDE ATA/ATAPI controllers") + ideClassValues + Class(kScsi, "SCSI and RAID controllers") +
         Class(kUsb, "Universal Serial Bus controllers") + Class(kSbp2, "SBP2 IEEE 1394 Devices") +
         Class(kDisk, "Disk drives") + diskClassValues + Class(kCdrom, "DVD/CD-ROM drives") +
         Class(kTape, "Tape drives") + Class(kImage, "Imaging devices") + Class(kChanger, "Medium Changers") +
         Device("IDE\\Disk\\0", kDisk, "disk 0", true, MultiSz("LowerFilters", {"korvflt1", "x"})) +
         Device("IDE\\Disk\\1", kDisk, "disk 1") + Device("IDE\\CdRom\\0", kCdrom, "cd 0");
}

std::string BusClasses(const std::string& ideUpper, const std::string& otherUpper) {
  return Class(kIde, "IDE ATA/ATAPI controllers") + ideUpper + Class(kScsi, "SCSI and RAID controllers") +
         otherUpper + Class(kUsb, "Universal Serial Bus controllers") + otherUpper +
         Class(kSbp2, "SBP2 IEEE 1394 Devices") + otherUpper;
}

std::string BusClassesNow() { return Now({ClassPath(kIde), ClassPath(kScsi), ClassPath(kUsb), ClassPath(kSbp2)}); }

int Writes() {
  return hostfault::CallCount("RegSetValueExA") + hostfault::CallCount("RegDeleteValueA") +
         hostfault::CallCount("SetupDiSetDeviceRegistryPropertyA");
}

using ExportsTest = MachineTest;

// ------------------------------------------------------ bus filters

TEST_F(ExportsTest, InstallMovesKorvflt1FromTheDiskClassToEveryBusClass) {
  Given(Machine(MultiSz("UpperFilters", {"PartMgr"}) + MultiSz("LowerFilters", {"korvflt1"}),
                MultiSz("UpperFilters", {"other"})));

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(BusClassesNow(), BusClasses(MultiSz("UpperFilters", {"korvflt1", "other"}),
                                        MultiSz("UpperFilters", {"korvflt1"})));
  EXPECT_EQ(Now({ClassPath(kDisk), EnumPath("IDE\\Disk\\0")}),
            Class(kDisk, "Disk drives") + MultiSz("UpperFilters", {"PartMgr"}) +
                Device("IDE\\Disk\\0", kDisk, "disk 0", true, MultiSz("LowerFilters", {"x"})));
}

TEST_F(ExportsTest, SecondInstallWritesNothing) {
  Given(Machine(MultiSz("LowerFilters", {"korvflt1"})));
  ASSERT_EQ(KV_InstallBusFilters(nullptr, 0), 1);
  std::string after = Now({""});
  int writes = Writes();

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(Writes(), writes);
  EXPECT_EQ(Now({""}), after);
}

TEST_F(ExportsTest, UninstallTakesKorvflt1OutOfAllThreePlaces) {
  Given(Machine(MultiSz("LowerFilters", {"KORVFLT1", "y"}), MultiSz("UpperFilters", {"korvflt1"})));

  EXPECT_EQ(KV_UninstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(BusClassesNow(), BusClasses("", ""));
  EXPECT_EQ(Now({ClassPath(kDisk), EnumPath("IDE\\Disk\\0")}),
            Class(kDisk, "Disk drives") + MultiSz("LowerFilters", {"y"}) +
                Device("IDE\\Disk\\0", kDisk, "disk 0", true, MultiSz("LowerFilters", {"x"})));
}

TEST_F(ExportsTest, ConfiguredBusClassGetsTheFilterToo) {
  constexpr const char* kOwn = "{11111111-2222-3333-4444-555555555555}";
  Given(Machine() + Class(kOwn, "Own bus") + Key(kGuidsPath) + Sz("BusGuid0", kOwn));

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(Now({ClassPath(kOwn)}), Class(kOwn, "Own bus") + MultiSz("UpperFilters", {"korvflt1"}));
}

TEST_F(ExportsTest, FailedClassWriteGivesZeroAppliesTheRestAndLosesNoName) {
  Given(Machine(MultiSz("LowerFilters", {"korvflt1", "keep"}), MultiSz("UpperFilters", {"other"})));
  hostfault::Arm("RegSetValueExA:" + ClassPath(kIde) + "\\UpperFilters", -1);
  hostfault::Arm("RegSetValueExA:" + ClassPath(kDisk) + "\\LowerFilters", -1);

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 1), 0);

  EXPECT_EQ(BusClassesNow(), BusClasses(MultiSz("UpperFilters", {"other"}), MultiSz("UpperFilters", {"korvflt1"})));
  EXPECT_EQ(Now({ClassPath(kDisk), EnumPath("IDE\\Disk\\0")}),
            Class(kDisk, "Disk drives") + MultiSz("LowerFilters", {"korvflt1", "keep"}) +
                Device("IDE\\Disk\\0", kDisk, "disk 0", true, MultiSz("LowerFilters", {"x"})));
  ASSERT_EQ(hostwin32::MessageBoxes().size(), 1u);
  EXPECT_EQ(hostwin32::MessageBoxes()[0].text, "KV_InstallBusFilters called, return value:  0");
}

// The device set is the one found at start-up: a device that appears later
// is not covered.
TEST_F(ExportsTest, DevicesArePickedUpOnTheFirstCallOnly) {
  Given(Machine());
  ASSERT_EQ(KV_UninstallBusFilters(nullptr, 0), 1);
  Given(Device("IDE\\Disk\\7", kDisk, "late disk", true, MultiSz("LowerFilters", {"korvflt1"})));

  EXPECT_EQ(KV_UninstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(Now({EnumPath("IDE\\Disk\\7")}),
            Device("IDE\\Disk\\7", kDisk, "late disk", true, MultiSz("LowerFilters", {"korvflt1"})));
}

// A device list left behind empty: Wine's SetupAPI stores a value of size
// 0 where Windows deletes the property (other tools leave such values, or
// ones of terminators only, as well). Either is the empty list.
TEST_F(ExportsTest, EmptyDeviceListsHoldNoNameAndNeedNoWrite) {
  Given(Machine() + Key(EnumPath("IDE\\Disk\\1")) + "\"LowerFilters\"=hex(7):\n" + Key(EnumPath("IDE\\CdRom\\0")) +
        "\"LowerFilters\"=hex(7):00,00,00,00\n");
  std::string devices = Now({EnumPath("IDE\\Disk\\1"), EnumPath("IDE\\CdRom\\0")});

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);
  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);
  EXPECT_EQ(KV_UninstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(Now({EnumPath("IDE\\Disk\\1"), EnumPath("IDE\\CdRom\\0")}), devices);
}

// A device removed after the first call has no list left to lose a name:
// it counts as absent, and nothing is written for it.
TEST_F(ExportsTest, DeviceRemovedAfterTheFirstCallIsLeftOut) {
  Given(Machine());
  ASSERT_EQ(KV_InstallBusFilters(nullptr, 0), 1);
  ASSERT_TRUE(hostreg::Registry::Machine().Delete(EnumPath("IDE\\Disk\\0")));

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 1);
  EXPECT_EQ(KV_UninstallBusFilters(nullptr, 0), 1);

  EXPECT_EQ(hostreg::Registry::Machine().Open(EnumPath("IDE\\Disk\\0")), nullptr);
}

// A name that the process's code page cannot represent comes back from the
// ANSI calls as '?': writing that list back would replace the other
// driver's name, so the list stays as it is and the call reports 0.
TEST_F(ExportsTest, ListWithANameOutsideTheCodePageIsNeverRewritten) {
  std::vector<uint8_t> stored = hostreg::EncodeMultiSz({"korvflt1", "xbc"});
  stored[18] = 0x00;
  stored[19] = 0x01;  // "xbc" becomes U+0100 "bc"
  Given(Machine());
  auto& machine = hostreg::Registry::Machine();
  machine.Open(ClassPath(kDisk))->SetValue("LowerFilters", hostreg::kRegMultiSz, stored);
  machine.Open(EnumPath("IDE\\Disk\\1"))->SetValue("LowerFilters", hostreg::kRegMultiSz, stored);
  machine.Open(ClassPath(kIde))->SetValue("UpperFilters", hostreg::kRegMultiSz, std::vector<uint8_t>(stored.begin() + 18, stored.end()));
  std::string lists = Now({ClassPath(kDisk), EnumPath("IDE\\Disk\\1"), ClassPath(kIde)});

  EXPECT_EQ(KV_InstallBusFilters(nullptr, 0), 0);
  EXPECT_EQ(KV_UninstallBusFilters(nullptr, 0), 0);
  EXPECT_EQ(IDE_InstallFilter(nullptr, "flt", 0), 0);

  EXPECT_EQ(Now({ClassPath(kDisk), EnumPath("IDE\\Disk\\1"), ClassPath(kIde)}), lists);
  // The lists without such a name were brought to their state.
  EXPECT_EQ(Now({EnumPath("IDE\\Disk\\0")}), Device("IDE\\Disk\\0", kDisk, "disk 0", true, MultiSz("LowerFilters", {"x"})));
}

// ------------------------------------------------------------- IDE

TEST_F(ExportsTest, IdeInstallWithTheNameInOtherCaseWritesNothing) {
  Given(Machine("", MultiSz("UpperFilters", {"MyFlt"})));
  int writes = Writes();

  EXPECT_EQ(IDE_InstallFilter(nullptr, "myflt", 0), 1);

  EXPECT_EQ(Writes(), writes);
  EXPECT_EQ(Now({ClassPath(kIde)}), Class(kIde, "IDE ATA/ATAPI controllers") + MultiSz("UpperFilters", {"MyFlt"}));
}

// Shift-JIS: 0x83 0x41 and 0x83 0x61 are two different characters whose
// trail bytes are the letters A and a. A byte-wise compare would fold them
// and take the other driver's name out.
TEST_F(ExportsTest, IdeNamesCompareByDoubleByteCharacters) {
  hostwin32::ScopedCodePage japanese(932);
  Given(Machine("", MultiSz("UpperFilters", {"\x83\x41" "flt", "other"})));

  EXPECT_EQ(IDE_UninstallFilter(nullptr, "\x83\x61" "flt", 0), 1);
  EXPECT_EQ(Now({ClassPath(kIde)}),
            Class(kIde, "IDE ATA/ATAPI controllers") + MultiSz("UpperFilters", {"\x83\x41" "flt", "other"}));
  EXPECT_EQ(IDE_InstallFilter(nullptr, "\x83\x41" "FLT", 0), 1);
  EXPECT_EQ(Now({ClassPath(kIde)}),
            Class(kIde, "IDE ATA/ATAPI controllers") + MultiSz("UpperFilters", {"\x83\x41" "flt", "other"}));
  EXPECT_EQ(IDE_UninstallFilter(nullptr, "\x83\x41" "Flt", 0), 1);
  EXPECT_EQ(Now({ClassPath(kIde)}), Class(kIde, "IDE ATA/ATAPI controllers") + MultiSz("UpperFilters", {"other"}));
}

// 0x83 alone is a lead byte without its trail byte: no character of code
// page 932. Written into a list it would be stored as '?'.
TEST_F(ExportsTest, IdeNameThatIsNoTextOfTheCodePageIsRefused) {
  hostwin32::ScopedCodePage japanese(932);
  Given(Machine("", MultiSz("UpperFilters", {"other"})));
  std::string before = Now({ClassPath(kIde)});

  EXPECT_EQ(IDE_InstallFilter(nullptr, "flt\x83", 0), 0);
  EXPECT_EQ(IDE_UninstallFilter(nullptr, "flt\x83", 0), 0);
  EXPECT_EQ(Now({ClassPath(kIde)}), before);
}

TEST_F(ExportsTest, IdeInstallAndUninstallEditOnlyTheIdeUpperFilters) {
  Given(Machine("", MultiSz("UpperFilters", {"a"})));

  EXPECT_EQ(IDE_InstallFilter(nullptr, "myflt", 0), 1);
  EXPECT_EQ(Now({ClassPath(kIde)}),
            Class(kIde, "IDE ATA/ATAPI controllers") + MultiSz("UpperFilters", {"myflt", "a"}));

  EXPECT_EQ(IDE_UninstallFilter(nullptr, "MYFLT", 0), 1);
  EXPECT_EQ(Now({ClassPath(kIde)}), Class(kIde, "IDE ATA/ATAPI controllers") + MultiSz("UpperFilters", {"a"}));
  EXPECT_EQ(Now({ClassPath(kScsi)}), Class(kScsi, "SCSI and RAID controllers"));
}

TEST_F(ExportsTest, IdeExportsGiveZeroAndTouchNothingWithoutTheIdeClass) {
  Given(Class(kScsi, "SCSI and RAID controllers"));
  std::string before = Now({""});

  EXPECT_EQ(IDE_InstallFilter(nullptr, "myflt", 0), 0);
  EXPECT_EQ(IDE_UninstallFilter(nullptr, "myflt", 0), 0);
  EXPECT_EQ(IDE_InstallFilter(nullptr, nullptr, 0), 0);

  EXPECT_EQ(Now({""}), before);
}

// ---------------------------------------------------------- messages

struct MessageCase {
  const char* what;
  int (*call)(HWND owner);
  const char* text;
};

class ExportMessages : public MachineTest, public testing::WithParamInterface<MessageCase> {};

TEST_P(ExportMessages, ShowTheResultWithTheLibrarysCaption) {
  Given(Machine());
  HWND owner = reinterpret_cast<HWND>(0x1234);

  GetParam().call(owner);

  std::vector<hostwin32::MessageBoxRecord> boxes = hostwin32::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].owner, owner);
  EXPECT_EQ(boxes[0].caption, "Korvel Setup Extension DLL");
  EXPECT_EQ(boxes[0].text, GetParam().text);
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_ICONINFORMATION));
}

INSTANTIATE_TEST_SUITE_P(
    Exports, ExportMessages,
    testing::Values(
        MessageCase{"Install", [](HWND w) { return KV_InstallBusFilters(w, 1); },
                    "KV_InstallBusFilters called, return value:  1"},
        MessageCase{"Uninstall", [](HWND w) { return KV_UninstallBusFilters(w, 1); },
                    "KV_UninstallBusFilters called, return value:  1"},
        MessageCase{"IdeInstall", [](HWND w) { return IDE_InstallFilter(w, "f", 1); },
                    "IDE_InstallBusFilters called, return value:  1"},
        MessageCase{"IdeUninstallFailing", [](HWND w) { return IDE_UninstallFilter(w, nullptr, 1); },
                    "IDE_UninstallBusFilters called, return value:  0"},
        MessageCase{"StartupInfo", [](HWND w) { return KV_InitStartupInfo(w, "Software\\Korvel\\Startup", 1); },
                    "Software\\Korvel\\Startup"}),
    [](const testing::TestParamInfo<MessageCase>& param_info) { return std::string(param_info.param.what); });

TEST_F(ExportsTest, NoMessageUnlessAsked) {
  Given(Machine());
  KV_InstallBusFilters(nullptr, 0);
  IDE_InstallFilter(nullptr, "f", 0);
  KV_InitStartupInfo(nullptr, "Software\\S", 0);
  EXPECT_TRUE(hostwin32::MessageBoxes().empty());
}

// ---------------------------------------------------------- start-up

constexpr const char* kStartupKey = "Software\\Korvel\\Startup";

uint32_t StoredDword(const char* name) {
  const hostreg::RegValue* value = hostreg::Registry::Machine().Open(kStartupKey)->Value(name);
  EXPECT_NE(value, nullptr) << name;
  if (value == nullptr || value->data.size() != 4) return 0;
  return value->data[0] | value->data[1] << 8 | value->data[2] << 16 | static_cast<uint32_t>(value->data[3]) << 24;
}

TEST_F(ExportsTest, StartupInfoRecordsBootTimeAndTheTwoFlags) {
  hostwin32::SetTickCount(7200999);  // 7200 s since boot
  uint32_t before = static_cast<uint32_t>(time(nullptr));

  EXPECT_EQ(KV_InitStartupInfo(nullptr, kStartupKey, 0), 1);

  uint32_t after = static_cast<uint32_t>(time(nullptr));
  uint32_t boot = StoredDword("OSStartTime");
  EXPECT_GE(boot, before - 7200);
  EXPECT_LE(boot, after - 7200);
  EXPECT_EQ(Now({kStartupKey}), Key(kStartupKey) + Dword("OSStartTime", boot) + Dword("RebootNeeded", 1) +
                                    Dword("UpdateNotify", 0));
}

TEST_F(ExportsTest, StartupInfoDividesTheTickCountUnsigned) {
  hostwin32::SetTickCount(0xFFFFFFFF);
  uint32_t before = static_cast<uint32_t>(time(nullptr));

  EXPECT_EQ(KV_InitStartupInfo(nullptr, kStartupKey, 0), 1);

  uint32_t after = static_cast<uint32_t>(time(nullptr));
  EXPECT_GE(StoredDword("OSStartTime"), before - 4294967u);
  EXPECT_LE(StoredDword("OSStartTime"), after - 4294967u);
}

TEST_F(ExportsTest, StartupInfoReportsAFailedWriteAndStillWritesTheOthers) {
  hostfault::Arm("RegSetValueExA:" + std::string(kStartupKey) + "\\RebootNeeded");

  EXPECT_EQ(KV_InitStartupInfo(nullptr, kStartupKey, 1), 0);

  EXPECT_EQ(Now({kStartupKey}),
            Key(kStartupKey) + Dword("OSStartTime", StoredDword("OSStartTime")) + Dword("UpdateNotify", 0));
  ASSERT_EQ(hostwin32::MessageBoxes().size(), 1u);
  EXPECT_EQ(hostwin32::MessageBoxes()[0].text, kStartupKey);
}

TEST_F(ExportsTest, StartupInfoShowsThePathEvenWhenTheKeyCannotBeCreated) {
  hostfault::Arm("RegCreateKeyExA", -1);

  EXPECT_EQ(KV_InitStartupInfo(nullptr, kStartupKey, 1), 0);

  EXPECT_EQ(hostreg::Registry::Machine().Open(kStartupKey), nullptr);
  ASSERT_EQ(hostwin32::MessageBoxes().size(), 1u);
  EXPECT_EQ(hostwin32::MessageBoxes()[0].text, kStartupKey);
}

// As Wine's registry answers: a path that begins with a separator is
// refused (nothing lands in HKEY_LOCAL_MACHINE itself), while doubled and
// trailing separators are skipped.
TEST_F(ExportsTest, StartupInfoPathsWithEmptyParts) {
  Given(Key("Software"));
  std::string before = Now({""});

  EXPECT_EQ(KV_InitStartupInfo(nullptr, "\\", 0), 0);
  EXPECT_EQ(KV_InitStartupInfo(nullptr, "\\\\", 0), 0);
  EXPECT_EQ(KV_InitStartupInfo(nullptr, "\\Software\\Korvel", 0), 0);
  EXPECT_EQ(Now({""}), before);

  EXPECT_EQ(KV_InitStartupInfo(nullptr, "Software\\\\Korvel\\Startup\\", 0), 1);
  EXPECT_EQ(Now({kStartupKey}), Key(kStartupKey) + Dword("OSStartTime", StoredDword("OSStartTime")) +
                                    Dword("RebootNeeded", 1) + Dword("UpdateNotify", 0));
}

TEST_F(ExportsTest, StartupInfoWithoutAKeyPathWritesNothing) {
  Given(Key("Software"));
  std::string before = Now({""});

  EXPECT_EQ(KV_InitStartupInfo(nullptr, "", 0), 0);
  EXPECT_EQ(KV_InitStartupInfo(nullptr, nullptr, 0), 0);

  EXPECT_EQ(Now({""}), before);
}

}  // namespace
}  // namespace setup_test
