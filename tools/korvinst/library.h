// Loads the setup library by name and finds its exports, as an installer
// program does: dlopen/dlsym on the host, LoadLibrary/GetProcAddress on
// Windows.
#pragma once

#include <string>

#include "setup/korvset.h"

namespace korvinst {

class SetupLibrary {
 public:
  SetupLibrary() = default;
  SetupLibrary(const SetupLibrary&) = delete;
  SetupLibrary& operator=(const SetupLibrary&) = delete;
  ~SetupLibrary();

  // false with *error set when the library or one of its exports is missing.
  bool Load(const std::string& path, std::string* error);

  KV_BusFiltersProc InstallBusFilters = nullptr;
  KV_BusFiltersProc UninstallBusFilters = nullptr;
  KV_KeyPathProc InitStartupInfo = nullptr;
  KV_KeyPathProc IdeInstallFilter = nullptr;
  KV_KeyPathProc IdeUninstallFilter = nullptr;

 private:
  void* handle_ = nullptr;
};

// Where the library is looked for when no --library is given.
std::string DefaultLibraryPath(const char* argv0);

}  // namespace korvinst
