// The few Win32 calls the protocol suite makes, under their Win32 names and
// shapes: the real API in a Windows build, a simulated user process over
// the host kernel's I/O manager in a host build.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <windows.h>

namespace shim {

using ::BOOL;
using ::DWORD;
using ::HANDLE;
using ::CloseHandle;
using ::CreateFileA;
using ::DeviceIoControl;
using ::GetLastError;

inline HANDLE InvalidHandle() { return INVALID_HANDLE_VALUE; }
constexpr DWORD kGenericRead = GENERIC_READ;
constexpr DWORD kGenericWrite = GENERIC_WRITE;
constexpr DWORD kOpenExisting = OPEN_EXISTING;
constexpr DWORD kFileAttributeNormal = FILE_ATTRIBUTE_NORMAL;

// Wine marks its ntdll with an export of its own.
inline bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The driver is started as a service before the program runs.
inline bool Setup(bool /*load_driver*/, std::string& /*why*/) { return true; }
inline void Teardown() {}

}  // namespace shim

#else

namespace shim {

using BOOL = int;
using DWORD = std::uint32_t;
using HANDLE = void*;

HANDLE InvalidHandle();
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kOpenExisting = 3;
constexpr DWORD kFileAttributeNormal = 0x80;

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                     DWORD out_size, DWORD* returned, void* overlapped);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError();

inline bool RunningUnderWine() { return false; }

// Loads the driver into the simulated kernel (unless load_driver is false)
// and starts the simulated process the calls run in.
bool Setup(bool load_driver, std::string& why);
void Teardown();

}  // namespace shim

#endif
