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
