// Host side of the shim: the Win32 calls of one simulated user process,
// made against qelvard1 loaded into the simulated kernel, as the service
// control manager loads it on Windows.
#include <memory>
#include <type_traits>

#include "host_kernel/host_control.h"
#include "win32_shim.h"

// The driver's entry point, from the qelvard1_host library.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace shim {
namespace {

static_assert(std::is_same_v<HANDLE, ::HANDLE>, "the shim's HANDLE must be the kernel's");
static_assert(std::is_same_v<DWORD, hostk::DWORD>, "the shim's DWORD must be the kernel's");

constexpr ULONG kMonitorProcessId = 0x130;

PDRIVER_OBJECT LoadedDriver = nullptr;
std::unique_ptr<hostk::UserProcess> Process;

}  // namespace

HANDLE InvalidHandle() { return INVALID_HANDLE_VALUE; }

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE template_file) {
  return Process->CreateFileA(name, access, share, security, disposition, flags, template_file);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                     DWORD out_size, DWORD* returned, void* overlapped) {
  return Process->DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
}

BOOL CloseHandle(HANDLE handle) { return Process->CloseHandle(handle); }

DWORD GetLastError() { return hostk::UserProcess::GetLastError(); }

bool Setup(bool load_driver, std::string& why) {
  if (load_driver) {
    const NTSTATUS status = hostk::LoadDriver("qelvard1", DriverEntry, &LoadedDriver);
    if (!NT_SUCCESS(status)) {
      why = "DriverEntry failed with status " + std::to_string(static_cast<ULONG>(status));
      return false;
    }
  }
  Process = std::make_unique<hostk::UserProcess>(kMonitorProcessId);
  return true;
}

void Teardown() {
  // The process goes first, closing what it left open, as at process exit;
  // then the driver unloads as `sc stop` unloads it.
  Process.reset();
  if (LoadedDriver != nullptr) {
    hostk::UnloadDriver(LoadedDriver);
    LoadedDriver = nullptr;
  }
}

}  // namespace shim
