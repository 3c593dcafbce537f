#include "tools/korvinst/library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace korvinst {
namespace {

void* Find(void* handle, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
  return dlsym(handle, name);
#endif
}

template <typename Proc>
bool Bind(void* handle, const char* name, Proc* proc, std::string* error) {
  void* address = Find(handle, name);
  if (address == nullptr) {
    *error = std::string("the library has no export ") + name;
    return false;
  }
  *proc = reinterpret_cast<Proc>(address);
  return true;
}

}  // namespace

SetupLibrary::~SetupLibrary() {
  if (handle_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

bool SetupLibrary::Load(const std::string& path, std::string* error) {
#if defined(_WIN32)
  handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  if (handle_ == nullptr) {
    *error = path + ": cannot load (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : path + ": cannot load";
    return false;
  }
#endif
  return Bind(handle_, "KV_InstallBusFilters", &InstallBusFilters, error) &&
         Bind(handle_, "KV_UninstallBusFilters", &UninstallBusFilters, error) &&
         Bind(handle_, "KV_InitStartupInfo", &InitStartupInfo, error) &&
         Bind(handle_, "IDE_InstallFilter", &IdeInstallFilter, error) &&
         Bind(handle_, "IDE_UninstallFilter", &IdeUninstallFilter, error);
}

std::string DefaultLibraryPath(const char* argv0) {
#if defined(_WIN32)
  (void)argv0;
  return "korvset.dll";  // LoadLibrary looks beside the program first
#else
  // The build puts programs in bin/ and libraries in lib/.
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv0);
  size_t slash = exe.rfind('/');
  std::string dir = slash == std::string::npos ? "." : exe.substr(0, slash);
  std::string beside_bin = dir + "/../lib/libkorvset.so";
  if (access(beside_bin.c_str(), R_OK) == 0) return beside_bin;
  std::string beside = dir + "/libkorvset.so";
  if (access(beside.c_str(), R_OK) == 0) return beside;
  return "libkorvset.so";
#endif
}

}  // namespace korvinst
