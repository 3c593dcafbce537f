#include "qelvmon/host_channel.h"

#include "host_kernel/host_control.h"
#include "qelvmon/ioctl_channel.h"

namespace qelvmon {
namespace {

struct HostApi {
  using Handle = HANDLE;
  static Handle InvalidHandle() { return INVALID_HANDLE_VALUE; }

  hostk::UserProcess* process;

  Handle OpenDevice(const char* path) {
    return process->CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
  }

  bool Ioctl(Handle handle, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
             std::uint32_t out_size, std::uint32_t* returned) {
    hostk::DWORD bytes = 0;
    const hostk::BOOL ok = process->DeviceIoControl(handle, code, const_cast<void*>(in), in_size,
                                                    out, out_size, &bytes, nullptr);
    *returned = bytes;
    return ok != 0;
  }

  void CloseDevice(Handle handle) { process->CloseHandle(handle); }
  Win32Error LastError() { return hostk::UserProcess::GetLastError(); }

  std::int64_t CounterFrequency() {
    LARGE_INTEGER frequency{};
    return process->QueryPerformanceFrequency(&frequency) ? frequency.QuadPart : 0;
  }
};

}  // namespace

std::unique_ptr<ControlChannel> MakeHostChannel(hostk::UserProcess& process) {
  return std::make_unique<IoctlChannel<HostApi>>(HostApi{&process});
}

}  // namespace qelvmon
