#include "setup/setup_app.h"

#include <new>

namespace korvset {

SetupApp::~SetupApp() { Shutdown(); }

void SetupApp::FreeGuids(PtrArray<GUID>& list) {
  for (int i = 0; i < list.Count(); ++i) delete list.At(i);
  list.Clear();
}

namespace {

int Contains(const PtrArray<GUID>& list, const GUID& guid) {
  for (int i = 0; i < list.Count(); ++i) {
    if (SameGuid(*list.At(i), guid)) return 1;
  }
  return 0;
}

int AppendCopy(PtrArray<GUID>& list, const GUID& guid) {
  GUID* copy = new (std::nothrow) GUID(guid);
  if (copy != nullptr && list.Append(copy)) return 1;
  delete copy;
  return 0;
}

void SetAll(ClassFilterInstaller& installer, int install) {
  for (int i = 0; i < installer.ItemCount(); ++i) installer.SetInstall(i, install);
}

}  // namespace

void SetupApp::KeepGuid(PtrArray<GUID>& list, const GUID& guid) {
  if (!AppendCopy(list, guid)) ++LostGuids;
}

void SetupApp::LoadGuidList(PtrArray<GUID>& list, const char* stem) {
  HKEY key = nullptr;
  if (!OpenGuidKey(&key)) return;
  for (int n = 0;; ++n) {
    GUID guid;
    GuidValue got = ReadConfiguredGuid(key, stem, n, &guid);
    if (got == GuidValueEnd) break;
    if (got == GuidValueRead && !Contains(list, guid)) KeepGuid(list, guid);
  }
  RegCloseKey(key);
}

int SetupApp::Startup() {
  for (const GUID& guid : kBuiltinBusGuids) KeepGuid(BusGuids, guid);
  LoadGuidList(BusGuids, "BusGuid");
  for (const GUID& guid : kBuiltinClassGuids) KeepGuid(ClassGuids, guid);
  LoadGuidList(ClassGuids, "ClassGuid");

  BusClassInstaller.Initialize(ScopeBusClass, 0, kBusFilterService);
  ClassInstaller.Initialize(ScopeClass, 1, kBusFilterService);
  DeviceInstaller.Initialize(ScopeDevice, 1, kBusFilterService);
  for (int i = 0; i < ClassGuids.Count(); ++i) {
    ClassInstaller.AddClass(ClassGuids.At(i));
    DeviceInstaller.AddClass(ClassGuids.At(i));
  }
  for (int i = 0; i < BusGuids.Count(); ++i) BusClassInstaller.AddClass(BusGuids.At(i));
  return 1;
}

void SetupApp::Shutdown() {
  FreeGuids(BusGuids);
  FreeGuids(ClassGuids);
}

int SetupApp::InstallForScope(int scope) {
  SetAll(BusClassInstaller, scope == ScopeBusClass ? 1 : 0);
  SetAll(ClassInstaller, scope == ScopeClass ? 1 : 0);
  SetAll(DeviceInstaller, scope == ScopeDevice ? 1 : 0);
  int written = 0;
  int bus = BusClassInstaller.ApplyAll(&written);
  int cls = ClassInstaller.ApplyAll(&written);
  int dev = DeviceInstaller.ApplyAll(&written);
  return bus & cls & dev & (LostGuids == 0 ? 1 : 0);
}

int SetupApp::UninstallAll() {
  SetAll(BusClassInstaller, 0);
  SetAll(ClassInstaller, 0);
  SetAll(DeviceInstaller, 0);
  int written = 0;
  int bus = BusClassInstaller.ApplyAll(&written);
  int cls = ClassInstaller.ApplyAll(&written);
  int dev = DeviceInstaller.ApplyAll(&written);
  return bus & cls & dev & (LostGuids == 0 ? 1 : 0);
}

int StartupInfoRecord::WriteDwordValue(const char* valueName, DWORD value) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, RegistryKey.Text(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return 0;
  }
  LONG status = RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? 1 : 0;
}

int StartupInfoRecord::WriteStartupValues(int rebootNeeded, int updateNotify) {
  int start = WriteDwordValue("OSStartTime", BootTime);
  int reboot = WriteDwordValue("RebootNeeded", static_cast<DWORD>(rebootNeeded));
  int notify = WriteDwordValue("UpdateNotify", static_cast<DWORD>(updateNotify));
  return start & reboot & notify;
}

}  // namespace korvset
