// The five exports and the application object's lifetime.
//
// The application object starts on the first export call rather than at
// process attach: Startup calls SetupAPI, which must not run under the
// loader lock. Teardown at unload:
// - host: the library's destructor shuts down and deletes everything,
//   closing the device information sets;
// - Windows, FreeLibrary: Shutdown frees the GUID lists and the object's
//   memory is freed, but the device information sets are abandoned, not
//   destroyed: DllMain holds the loader lock, and SetupAPI is not to be
//   called under it. What they hold is released with the process;
// - Windows, process exit: nothing is freed; the process's memory goes
//   away as a whole.
#include "setup/korvset.h"

#include <new>

#include "setup/setup_app.h"

namespace korvset {
namespace {

constexpr const char* kCaption = "Korvel Setup Extension DLL";

SetupApp* g_app = nullptr;

void ShowResult(HWND owner, const char* format, int result) {
  char text[MAX_PATH];
  wsprintfA(text, format, result);
  MessageBoxA(owner, text, kCaption, MB_ICONINFORMATION);
}

int IdeFilter(const char* serviceName, int install) {
  ClassFilterInstaller installer;
  if (!installer.Initialize(ScopeBusClass, 0, serviceName)) return 0;
  installer.AddClass(&kIdeControllerClassGuid);
  // Without the IDE class there is nothing to bring into its state.
  if (installer.SetInstall(0, install) == nullptr) return 0;
  int written = 0;
  return installer.ApplyAll(&written);
}

}  // namespace

SetupApp* Application() {
  if (g_app == nullptr) {
    g_app = new (std::nothrow) SetupApp;
    if (g_app != nullptr) g_app->Startup();
  }
  return g_app;
}

void ReleaseApplication(bool abandonDeviceSets) {
  if (g_app == nullptr) return;
  g_app->Shutdown();
  if (abandonDeviceSets) {
    g_app->ClassInstaller.AbandonDeviceSets();
    g_app->BusClassInstaller.AbandonDeviceSets();
    g_app->DeviceInstaller.AbandonDeviceSets();
  }
  delete g_app;
  g_app = nullptr;
}

}  // namespace korvset

using korvset::Application;

extern "C" {

int WINAPI KV_InstallBusFilters(HWND owner, int showMessage) {
  korvset::SetupApp* app = Application();
  int result = app != nullptr ? app->InstallForScope(korvset::ScopeBusClass) : 0;
  if (showMessage) korvset::ShowResult(owner, "KV_InstallBusFilters called, return value:  %d", result);
  return result;
}

int WINAPI KV_UninstallBusFilters(HWND owner, int showMessage) {
  korvset::SetupApp* app = Application();
  int result = app != nullptr ? app->UninstallAll() : 0;
  if (showMessage) korvset::ShowResult(owner, "KV_UninstallBusFilters called, return value:  %d", result);
  return result;
}

int WINAPI IDE_InstallFilter(HWND owner, const char* serviceName, int showMessage) {
  Application();
  int result = korvset::IdeFilter(serviceName, 1);
  if (showMessage) korvset::ShowResult(owner, "IDE_InstallBusFilters called, return value:  %d", result);
  return result;
}

int WINAPI IDE_UninstallFilter(HWND owner, const char* serviceName, int showMessage) {
  Application();
  int result = korvset::IdeFilter(serviceName, 0);
  if (showMessage) korvset::ShowResult(owner, "IDE_UninstallBusFilters called, return value:  %d", result);
  return result;
}

int WINAPI KV_InitStartupInfo(HWND owner, const char* keyPath, int showMessage) {
  Application();
  int result = 0;
  // No path would put the values into HKEY_LOCAL_MACHINE itself.
  if (keyPath != nullptr && keyPath[0] != '\0') {
    korvset::StartupInfoRecord record;
    if (record.RegistryKey.Assign(keyPath)) {
      record.BootTime = static_cast<DWORD>(time(nullptr)) - GetTickCount() / 1000;
      result = record.WriteStartupValues(1, 0);
    }
  }
  if (showMessage) MessageBoxA(owner, keyPath != nullptr ? keyPath : "", korvset::kCaption, MB_ICONINFORMATION);
  return result;
}

}  // extern "C"

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    korvset::ReleaseApplication(true);  // FreeLibrary; at process exit nothing is freed
  }
  return TRUE;
}
#else
__attribute__((destructor)) static void UnloadLibrary() { korvset::ReleaseApplication(false); }
#endif
