// The simulated Win32 calls behave as the library relies on Windows
// behaving: the last errors, the ANSI sizes and the present devices.
#include <cstring>

#include "machine_fixture.h"

namespace setup_test {
namespace {

class Win32ServicesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    Given(Class(kDisk, "Disk drives") + Sz("Class", "DiskDrive") + Sz("Text", "abc") +
          MultiSz("LowerFilters", {"ab", "c"}) + Device("IDE\\Disk\\0", kDisk, "disk 0") +
          Device("USBSTOR\\Disk\\1", kDisk, "gone", false) + Device("IDE\\CdRom\\0", kCdrom, "cd 0"));
  }
  void TearDown() override {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    MachineTest::TearDown();
  }
  SP_DEVINFO_DATA FirstDisk() {
    GUID disk = Guid(kDisk);
    set_ = SetupDiGetClassDevsA(&disk, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set_, 0, &device));
    return device;
  }
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

TEST_F(Win32ServicesTest, OnlyDevicesWithAControlKeyArePresent) {
  SP_DEVINFO_DATA device = FirstDisk();
  SP_DEVINFO_DATA next = device;
  SetLastError(0);

  EXPECT_FALSE(SetupDiEnumDeviceInfo(set_, 1, &next));

  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(hostwin32::GuidText(device.ClassGuid), kDisk);
}

TEST_F(Win32ServicesTest, PropertyProbeGivesInsufficientBufferAndTheAnsiSize) {
  SP_DEVINFO_DATA device = FirstDisk();
  DWORD required = 0;

  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device, SPDRP_FRIENDLYNAME, nullptr, nullptr, 0, &required));

  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, 7u);  // "disk 0" and its NUL
}

TEST_F(Win32ServicesTest, AbsentPropertyGivesInvalidData) {
  SP_DEVINFO_DATA device = FirstDisk();
  DWORD required = 0;

  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device, SPDRP_UPPERFILTERS, nullptr, nullptr, 0, &required));

  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(Win32ServicesTest, SettingAPropertyWithoutDataDeletesIt) {
  SP_DEVINFO_DATA device = FirstDisk();
  const char list[] = "f\0g\0";
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &device, SPDRP_LOWERFILTERS,
                                                reinterpret_cast<const BYTE*>(list), sizeof list));
  EXPECT_EQ(Now({EnumPath("IDE\\Disk\\0")}),
            Device("IDE\\Disk\\0", kDisk, "disk 0", true, MultiSz("LowerFilters", {"f", "g"})));

  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &device, SPDRP_LOWERFILTERS, nullptr, 0));

  EXPECT_EQ(Now({EnumPath("IDE\\Disk\\0")}), Device("IDE\\Disk\\0", kDisk, "disk 0"));
}

// Wine's SetupAPI answers a call without a buffer with
// ERROR_INSUFFICIENT_BUFFER whatever the size of the value, so a value of
// size 0 gives the required size 0 and no read can ever succeed.
TEST_F(Win32ServicesTest, EmptyPropertyValueCannotBeRead) {
  Given(Key(EnumPath("IDE\\Disk\\0")) + "\"LowerFilters\"=hex(7):\n");
  SP_DEVINFO_DATA device = FirstDisk();
  DWORD required = 99;

  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device, SPDRP_LOWERFILTERS, nullptr, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, 0u);
  BYTE buffer[4];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device, SPDRP_LOWERFILTERS, nullptr, buffer, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(Win32ServicesTest, DeviceWhoseInstanceWasRemovedIsNoSuchDevinst) {
  SP_DEVINFO_DATA device = FirstDisk();
  ASSERT_TRUE(hostreg::Registry::Machine().Delete(EnumPath("IDE\\Disk\\0")));
  DWORD required = 0;

  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device, SPDRP_LOWERFILTERS, nullptr, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  const char list[] = "f\0";
  EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(set_, &device, SPDRP_LOWERFILTERS,
                                                 reinterpret_cast<const BYTE*>(list), sizeof list));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
}

// A character outside the code page comes back from the A calls as '?';
// the W calls give the stored units.
TEST_F(Win32ServicesTest, WideCallsGiveWhatTheAnsiCallsCannot) {
  std::vector<uint8_t> stored = hostreg::EncodeMultiSz({"ab", "c"});
  stored[0] = 0x00;
  stored[1] = 0x01;  // U+0100 in place of the a
  hostreg::Registry::Machine().Open(EnumPath("IDE\\Disk\\0"))->SetValue("LowerFilters", hostreg::kRegMultiSz, stored);
  hostreg::Registry::Machine().Open(ClassPath(kDisk))->SetValue("LowerFilters", hostreg::kRegMultiSz, stored);
  SP_DEVINFO_DATA device = FirstDisk();
  BYTE ansi[16] = {};
  BYTE wide[16] = {};
  DWORD type = 0;

  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set_, &device, SPDRP_LOWERFILTERS, &type, ansi, sizeof ansi, nullptr));
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set_, &device, SPDRP_LOWERFILTERS, &type, wide, sizeof wide, nullptr));
  EXPECT_EQ(std::memcmp(ansi, "?b\0c\0\0", 6), 0);
  EXPECT_EQ(std::vector<uint8_t>(wide, wide + stored.size()), stored);

  GUID disk = Guid(kDisk);
  HKEY key = SetupDiOpenClassRegKey(&disk, KEY_READ);
  const WCHAR name[] = u"LowerFilters";
  DWORD size = sizeof wide;
  std::memset(wide, 0, sizeof wide);
  EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, wide, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(wide, wide + size), stored);
  RegCloseKey(key);
  WCHAR units[4] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "?b", 2, units, 4), 2);
  EXPECT_EQ(units[0], u'?');
}

// Wine's registry (checked with RegCreateKeyExA and RegOpenKeyA on
// HKEY_LOCAL_MACHINE): a path that begins with a separator is refused with
// ERROR_BAD_PATHNAME; doubled and trailing separators are skipped; the
// empty path names the key itself.
TEST_F(Win32ServicesTest, SubkeyPathsAnswerAsWineDoes) {
  HKEY key = nullptr;
  for (const char* path : {"\\", "\\\\", "\\Software\\X"}) {
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_BAD_PATHNAME)
        << path;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_BAD_PATHNAME) << path;
  }
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\\\A\\", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_NE(hostreg::Registry::Machine().Open("Software\\A"), nullptr);
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "", &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(Win32ServicesTest, QueryValueGivesAnsiSizesAndTheWindowsErrors) {
  GUID disk = Guid(kDisk);
  HKEY key = SetupDiOpenClassRegKey(&disk, KEY_READ);
  ASSERT_NE(key, static_cast<HKEY>(INVALID_HANDLE_VALUE));
  DWORD type = 0;
  DWORD size = 0;

  EXPECT_EQ(RegQueryValueExA(key, "LowerFilters", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(size, 6u);  // "ab", "c", final NUL
  char small[2];
  DWORD smallSize = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(small), &smallSize),
            ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, 4u);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  // A key opened for reading cannot be written.
  EXPECT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Win32ServicesTest, ClassDescriptionOfAnUnknownClassFails) {
  GUID tape = Guid(kTape);
  char text[MAX_PATH] = {};

  EXPECT_FALSE(SetupDiGetClassDescriptionA(&tape, text, sizeof text, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_CLASS));
  EXPECT_EQ(SetupDiOpenClassRegKey(&tape, KEY_READ), static_cast<HKEY>(INVALID_HANDLE_VALUE));
}

// On a double-byte code page a lead byte and its trail byte are one
// character: a trail byte in the range of the ASCII letters must not fold.
TEST_F(Win32ServicesTest, CompareFollowsTheDoubleByteCodePage) {
  auto compare = [](const char* a, const char* b) {
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a), reinterpret_cast<const unsigned char*>(b));
  };
  // Shift-JIS: 0x83 0x41 and 0x83 0x61 are two different katakana.
  EXPECT_EQ(compare("\x83\x41x", "\x83\x61X"), 0) << "single-byte before the code page is set";
  hostwin32::ScopedCodePage japanese(932);
  EXPECT_NE(compare("\x83\x41x", "\x83\x61X"), 0);
  EXPECT_EQ(compare("\x83\x41x", "\x83\x41X"), 0);
  EXPECT_EQ(compare("Flt\x83\x41", "fLT\x83\x41"), 0);
  EXPECT_EQ(compare("a\x83", "A"), 0) << "a lead byte before the terminator ends the string";
  // 0xA0-0xDF are single-byte characters (half-width katakana) in 932.
  EXPECT_NE(compare("\xB1" "a", "\xB1" "b"), 0);
  {
    hostwin32::ScopedCodePage chinese(936);
    EXPECT_NE(compare("\xB0\x41", "\xB0\x61"), 0);
    EXPECT_EQ(compare("\xE0\x41", "\xE0\x41"), 0);
  }
  EXPECT_EQ(GetACP(), 932u);
}

TEST_F(Win32ServicesTest, AnsiCallsConvertWithTheDoubleByteCodePage) {
  hostwin32::ScopedCodePage japanese(932);
  GUID disk = Guid(kDisk);
  HKEY key = SetupDiOpenClassRegKey(&disk, KEY_WRITE);
  const char list[] = "\x83\x41\x83\x5C\0b\0";  // katakana A, so; b
  ASSERT_EQ(RegSetValueExA(key, "UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list), sizeof list),
            ERROR_SUCCESS);
  RegCloseKey(key);

  const hostreg::RegValue* stored = hostreg::Registry::Machine().Open(ClassPath(kDisk))->Value("UpperFilters");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(hostreg::StoredUnits(stored->data), std::u16string(u"\u30A2\u30BD\0b\0\0", 6));
  key = SetupDiOpenClassRegKey(&disk, KEY_READ);
  char back[16] = {};
  DWORD size = sizeof back;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "UpperFilters", nullptr, &type, reinterpret_cast<BYTE*>(back), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof list);
  EXPECT_EQ(std::memcmp(back, list, sizeof list), 0);
  RegCloseKey(key);
  // A character that 932 lacks (e acute) comes back as '?'.
  EXPECT_EQ(hostreg::UnitsToAnsi(u"\u00E9x"), "?x");
}

TEST_F(Win32ServicesTest, RuntimeHelpers) {
  EXPECT_EQ(_mbsicmp(reinterpret_cast<const unsigned char*>("KorvFlt1"),
                     reinterpret_cast<const unsigned char*>("korvflt1")),
            0);
  EXPECT_LT(_mbsicmp(reinterpret_cast<const unsigned char*>("a"), reinterpret_cast<const unsigned char*>("B")), 0);
  char text[MAX_PATH];
  EXPECT_EQ(wsprintfA(text, "%s%d", "BusGuid", 12), 9);
  EXPECT_STREQ(text, "BusGuid12");
  hostwin32::SetTickCount(42);
  EXPECT_EQ(GetTickCount(), 42u);
}

}  // namespace
}  // namespace setup_test
