// The library's application object: the class GUID lists and the three
// installers that manage "korvflt1", and the start-up record.
#pragma once

#include "platform/setup_services.h"
#include "setup/ansi_string.h"
#include "setup/class_installer.h"
#include "setup/guid_config.h"
#include "setup/ptr_array.h"

namespace korvset {

constexpr const char* kBusFilterService = "korvflt1";

class SetupApp {
 public:
  SetupApp() = default;
  SetupApp(const SetupApp&) = delete;
  SetupApp& operator=(const SetupApp&) = delete;
  ~SetupApp();

  // Fills the GUID lists (built-ins, then the configured ones) and the
  // installers: reads every class description, the present devices of the
  // storage classes and the state of every list. Never fails.
  int Startup();
  // Frees the GUID lists; the installers stay.
  void Shutdown();

  // The installer whose scope is `scope` installs the filter, the other
  // two remove it. 1 when every list ended in its desired state.
  int InstallForScope(int scope);
  int UninstallAll();

  void LoadGuidList(PtrArray<GUID>& list, const char* stem);

  ClassFilterInstaller ClassInstaller;     // LowerFilters of the storage classes
  ClassFilterInstaller BusClassInstaller;  // UpperFilters of the bus classes
  ClassFilterInstaller DeviceInstaller;    // LowerFilters of every present storage device
  PtrArray<GUID> BusGuids;                 // owned
  PtrArray<GUID> ClassGuids;               // owned
  // GUIDs that could not be kept for want of memory: classes that no
  // installer examines, so no install or uninstall can report success.
  int LostGuids = 0;

 private:
  static void FreeGuids(PtrArray<GUID>& list);
  void KeepGuid(PtrArray<GUID>& list, const GUID& guid);
};

struct StartupInfoRecord {
  AnsiString RegistryKey;  // below HKEY_LOCAL_MACHINE
  DWORD BootTime = 0;      // seconds since 1970-01-01 00:00 UTC

  // 1 only when all three values were stored; each is tried regardless.
  int WriteStartupValues(int rebootNeeded, int updateNotify);
  int WriteDwordValue(const char* valueName, DWORD value);
};

// The one application object. It is built and started on the first call
// of an export (never from the loader's attach notification, where
// SetupAPI must not be called) and torn down when the library goes away.
SetupApp* Application();
// Tears the application object down; the next Application() builds and
// starts a fresh one. For the library's unload and for tests; not
// exported. abandonDeviceSets: free only memory, call no SetupAPI.
void ReleaseApplication(bool abandonDeviceSets);

}  // namespace korvset
