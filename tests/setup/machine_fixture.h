// A simulated machine for the setup library's tests. Each test states the
// registry it starts from and the one it expects in regedit text, built
// from the small helpers below; the fixture resets the machine, the fault
// plan, the message boxes, the clock, the code page and the library's
// application object around every test, and checks that nothing was left
// open.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "host_common/faults.h"
#include "host_registry/registry.h"
#include "platform/setup_services.h"
#include "setup/setup_app.h"

namespace setup_test {

// Class GUIDs as the machine's class keys name them.
constexpr const char* kIde = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kScsi = "{4D36E97B-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kUsb = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr const char* kSbp2 = "{D48179BE-EC20-11D1-B6B8-00C04FA372A7}";
constexpr const char* kDisk = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kCdrom = "{4D36E965-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kTape = "{6D807884-7D21-11CF-801C-08002BE10318}";
constexpr const char* kImage = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr const char* kChanger = "{CE5939AE-EBDE-11D0-B181-0000F8753EC4}";

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n";

inline std::string ClassPath(const std::string& guid) {
  return "System\\CurrentControlSet\\Control\\Class\\" + guid;
}
inline std::string EnumPath(const std::string& instance) { return "System\\CurrentControlSet\\Enum\\" + instance; }
constexpr const char* kGuidsPath = "Software\\Orlenta Software\\Korvelware\\GUIDs";

// regedit lines.
inline std::string Key(const std::string& path) { return "\n[HKEY_LOCAL_MACHINE\\" + path + "]\n"; }
inline std::string Sz(const std::string& name, const std::string& text) {
  return (name == "@" ? std::string("@") : "\"" + name + "\"") + "=\"" + text + "\"\n";
}
inline std::string Dword(const std::string& name, uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", value);
  return "\"" + name + "\"=dword:" + buf + "\n";
}
// A REG_MULTI_SZ value exactly as regedit writes it (hex(7), wrapped).
inline std::string MultiSz(const std::string& name, const std::vector<std::string>& names) {
  hostreg::Registry scratch;
  scratch.Create("K")->SetValue(name, hostreg::kRegMultiSz, hostreg::EncodeMultiSz(names));
  std::string text = scratch.ExportText("K");
  size_t start = text.find("]\n") + 2;
  return text.substr(start, text.size() - 1 - start);
}

// A class key with its description (and class name).
inline std::string Class(const std::string& guid, const std::string& description) {
  return Key(ClassPath(guid)) + Sz("@", description);
}
// A device instance of a class; a present one has its Control subkey.
inline std::string Device(const std::string& instance, const std::string& classGuid, const std::string& friendlyName,
                          bool present = true, const std::string& values = "") {
  std::string text = Key(EnumPath(instance)) + Sz("ClassGUID", classGuid) + Sz("FriendlyName", friendlyName) + values;
  if (present) text += Key(EnumPath(instance) + "\\Control");
  return text;
}

// The machine starts as this regedit text (without its header).
inline void Given(const std::string& text) {
  std::string error;
  ASSERT_TRUE(hostreg::Registry::Machine().ImportText(kHeader + text, &error)) << error;
}

// The subtrees at these paths, in regedit text without the header.
inline std::string Now(std::initializer_list<std::string> paths) {
  std::string out;
  for (const std::string& path : paths) {
    std::string text = hostreg::Registry::Machine().ExportText(path);
    out += text.substr(std::string(kHeader).size(), text.size() - std::string(kHeader).size() - 1);
  }
  return out;
}

class MachineTest : public testing::Test {
 protected:
  void SetUp() override { Reset(); }

  void TearDown() override {
    korvset::ReleaseApplication(false);
    EXPECT_EQ(hostwin32::OpenKeyHandles(), 0) << "registry keys left open";
    EXPECT_EQ(hostwin32::OpenDeviceInfoSets(), 0) << "device information sets left open";
    Reset();
  }

  static void Reset() {
    korvset::ReleaseApplication(false);
    hostreg::Registry::Machine().Clear();
    hostfault::DisarmAll();
    hostwin32::ClearMessageBoxes();
    hostwin32::ResetTickCount();
    hostreg::SetAnsiCodePage(1252);
  }

  static GUID Guid(const char* text) {
    GUID guid{};
    EXPECT_TRUE(korvset::ParseGuidString(text, &guid)) << text;
    return guid;
  }
};

}  // namespace setup_test
