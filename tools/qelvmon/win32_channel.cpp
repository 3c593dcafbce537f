#include "qelvmon/win32_channel.h"

#include <windows.h>

#include "qelvmon/ioctl_channel.h"

namespace qelvmon {
namespace {

struct Win32Api {
  using Handle = HANDLE;
  static Handle InvalidHandle() { return INVALID_HANDLE_VALUE; }

  Handle OpenDevice(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  bool Ioctl(Handle handle, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
             std::uint32_t out_size, std::uint32_t* returned) {
    DWORD bytes = 0;
    const BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(in), in_size, out, out_size,
                                    &bytes, nullptr);
    *returned = bytes;
    return ok != FALSE;
  }

  void CloseDevice(Handle handle) { CloseHandle(handle); }
  Win32Error LastError() { return GetLastError(); }

  std::int64_t CounterFrequency() {
    LARGE_INTEGER frequency{};
    return QueryPerformanceFrequency(&frequency) ? frequency.QuadPart : 0;
  }
};

}  // namespace

std::unique_ptr<ControlChannel> MakeWin32Channel() {
  return std::make_unique<IoctlChannel<Win32Api>>(Win32Api{});
}

}  // namespace qelvmon
