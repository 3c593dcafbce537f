#include "guest_devices.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <cstdio>
#include <cstring>

#include "driver/kv_control.h"
#include "guest_report.h"

namespace qelvnt {
namespace {

constexpr DWORD kChunk = 64 * 1024;
constexpr DWORD kReadBytes = 1024 * 1024;
constexpr std::int64_t kCdReadableBytes = 64LL * 1024 * 1024;  // the boot image is larger

struct DeviceFacts {
  bool opened = false;
  bool has_address = false;
  SCSI_ADDRESS address{};
  int bus_type = -1;
  std::int64_t size = 0;
};

DeviceFacts AskDevice(const std::string& path) {
  DeviceFacts facts;
  const HANDLE device = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return facts;
  facts.opened = true;
  DWORD returned = 0;
  facts.has_address = DeviceIoControl(device, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &facts.address,
                                      sizeof(facts.address), &returned, nullptr) != 0;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  unsigned char reply[512] = {};
  if (DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), reply, sizeof(reply), &returned,
                      nullptr) != 0) {
    facts.bus_type = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(reply)->BusType;
  }
  DISK_GEOMETRY geometry{};
  if (DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof(geometry), &returned,
                      nullptr) != 0) {
    facts.size = geometry.Cylinders.QuadPart * geometry.TracksPerCylinder * geometry.SectorsPerTrack *
                 geometry.BytesPerSector;
  }
  CloseHandle(device);
  return facts;
}

std::string Describe(const std::string& path, const DeviceFacts& facts) {
  std::string text = path + ": bus type " + std::to_string(facts.bus_type) + ", size " + std::to_string(facts.size);
  if (facts.has_address) {
    text += ", port " + std::to_string(facts.address.PortNumber) + " path " + std::to_string(facts.address.PathId) +
            " target " + std::to_string(facts.address.TargetId) + " lun " + std::to_string(facts.address.Lun);
  } else {
    text += ", no SCSI address";
  }
  return text;
}

void FindDisks(Devices& devices) {
  for (int n = 0; n < 8; ++n) {
    const std::string path = "\\\\.\\PhysicalDrive" + std::to_string(n);
    const DeviceFacts facts = AskDevice(path);
    if (!facts.opened) continue;
    devices.facts.push_back(Describe(path, facts));
    const bool usb = facts.bus_type == BusTypeUsb;
    Target& target = usb ? devices.stick_raw : devices.disk_raw;
    target.path = path;
    target.size = facts.size;
    target.bus = facts.has_address ? facts.address.PortNumber : -1;
    if (usb) devices.sticks.push_back(target);
    if (!usb) devices.disk_bus = target.bus;
  }
  const std::string cd = "\\\\.\\CdRom0";
  const DeviceFacts facts = AskDevice(cd);
  if (facts.opened) {
    devices.facts.push_back(Describe(cd, facts));
    devices.cd_raw.path = cd;
    devices.cd_raw.size = kCdReadableBytes;
    if (facts.has_address) devices.cd_bus = facts.address.PortNumber;
  }
}

// The volumes by their labels (the host gives them) and the CD by its type.
void FindFiles(Devices& devices) {
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const std::string root = std::string(1, letter) + ":\\";
    const UINT type = GetDriveTypeA(root.c_str());
    if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) continue;
    char label[64] = {};
    GetVolumeInformationA(root.c_str(), label, sizeof(label), nullptr, nullptr, nullptr, nullptr, 0);
    devices.facts.push_back(root + " type " + std::to_string(type) + " label \"" + label + "\"");
    Target* target = nullptr;
    if (std::strcmp(label, "QELVDISK") == 0) {
      target = &devices.disk_file;
      devices.work_folder = root;
    } else if (std::strcmp(label, "QELVSTICK") == 0) {
      target = &devices.stick_file;
    } else if (type == DRIVE_CDROM) {
      target = &devices.cd_file;
    }
    if (target == nullptr) continue;
    target->path = root + "DATA.BIN";
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(target->path.c_str(), GetFileExInfoStandard, &data)) {
      target->path.clear();
      continue;
    }
    target->size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
}

std::string SidText(PSID sid) {
  const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  unsigned long long value = 0;
  for (BYTE byte : authority->Value) value = value << 8 | byte;
  std::string text = "S-1-" + std::to_string(value);
  for (UCHAR i = 0; i < *GetSidSubAuthorityCount(sid); ++i) text += "-" + std::to_string(*GetSidSubAuthority(sid, i));
  return text;
}

std::string AceText(const ACE_HEADER* header) {
  const char* type = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                     : header->AceType == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                                 : "type";
  if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
    return std::string(type) + " " + std::to_string(header->AceType);
  }
  const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  std::string text = std::string(type) + " " + SidText(const_cast<DWORD*>(&ace->SidStart)) + " " + Hex(ace->Mask);
  if (header->AceFlags != 0) text += " flags " + std::to_string(header->AceFlags);
  return text;
}

// Why `token` still counts as SYSTEM or Administrators, or "": a SID that
// CreateRestrictedToken disabled stays in the token as deny-only.
std::string StillPrivileged(HANDLE token, PSID administrators) {
  BYTE user[256];
  BYTE groups[4096];
  DWORD length = 0;
  if (!GetTokenInformation(token, TokenUser, user, sizeof(user), &length) ||
      !GetTokenInformation(token, TokenGroups, groups, sizeof(groups), &length)) {
    return "GetTokenInformation: " + Hex(GetLastError());
  }
  const SID_AND_ATTRIBUTES& self = reinterpret_cast<const TOKEN_USER*>(user)->User;
  if (!(self.Attributes & SE_GROUP_USE_FOR_DENY_ONLY)) {
    return "its user " + SidText(self.Sid) + " is not deny-only (attributes " + Hex(self.Attributes) + ")";
  }
  const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups);
  for (DWORD i = 0; i < list->GroupCount; ++i) {
    const SID_AND_ATTRIBUTES& group = list->Groups[i];
    if (EqualSid(group.Sid, administrators) && !(group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY)) {
      return "its group " + SidText(group.Sid) + " is not deny-only (attributes " + Hex(group.Attributes) + ")";
    }
  }
  return "";
}

}  // namespace

std::string ControlDeviceDacl() {
  const HANDLE device = CreateFileA(KV_CONTROL_DEVICE_USER_PATH, READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return "error: open for READ_CONTROL: " + Hex(GetLastError());
  std::vector<BYTE> buffer(4096);
  DWORD needed = 0;
  const BOOL read = GetKernelObjectSecurity(device, DACL_SECURITY_INFORMATION, buffer.data(),
                                            static_cast<DWORD>(buffer.size()), &needed);
  const DWORD error = GetLastError();
  CloseHandle(device);
  if (!read) return "error: GetKernelObjectSecurity: " + Hex(error);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted)) {
    return "error: GetSecurityDescriptorDacl: " + Hex(GetLastError());
  }
  if (!present || dacl == nullptr) return "no DACL";
  std::string text;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return "error: GetAce: " + Hex(GetLastError());
    text += (i > 0 ? "," : "") + AceText(static_cast<const ACE_HEADER*>(ace));
  }
  return text.empty() ? "empty" : text;
}

std::string OpenWithoutAdministrators() {
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_IMPERSONATE,
                        &own)) {
    return "not tried: OpenProcessToken: " + Hex(GetLastError());
  }
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID system = nullptr;
  PSID administrators = nullptr;
  AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
  AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                           &administrators);
  SID_AND_ATTRIBUTES disabled[2] = {{system, 0}, {administrators, 0}};
  HANDLE restricted = nullptr;
  std::string result;
  std::string privileged;
  if (!CreateRestrictedToken(own, 0, 2, disabled, 0, nullptr, 0, nullptr, &restricted)) {
    result = "not tried: CreateRestrictedToken: " + Hex(GetLastError());
  } else if (!(privileged = StillPrivileged(restricted, administrators)).empty()) {
    result = "not tried: the restricted token " + privileged;
  } else if (!ImpersonateLoggedOnUser(restricted)) {
    result = "not tried: ImpersonateLoggedOnUser: " + Hex(GetLastError());
  } else {
    const HANDLE device = CreateFileA(KV_CONTROL_DEVICE_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    result = device != INVALID_HANDLE_VALUE ? "opened" : "error " + Hex(GetLastError());
    RevertToSelf();
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  }
  if (restricted != nullptr) CloseHandle(restricted);
  FreeSid(system);
  FreeSid(administrators);
  CloseHandle(own);
  return result;
}

std::string Hex(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", value);
  return text;
}

// Reads kReadBytes from one target, starting further on at each call so
// that no cache can answer.
bool ReadTarget(const Target& target, std::string& why) {
  const HANDLE file = CreateFileA(target.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    why = "open " + target.path + ": error " + std::to_string(GetLastError());
    return false;
  }
  static DWORD round = 0;
  const LONGLONG span = target.size > 2 * kReadBytes ? target.size - kReadBytes : 0;
  LARGE_INTEGER offset;
  offset.QuadPart = span > 0 ? (static_cast<LONGLONG>(round++) * kReadBytes) % span : 0;
  offset.QuadPart -= offset.QuadPart % 2048;
  void* buffer = VirtualAlloc(nullptr, kChunk, MEM_COMMIT, PAGE_READWRITE);
  bool ok = SetFilePointerEx(file, offset, nullptr, FILE_BEGIN) != 0;
  for (DWORD done = 0; ok && done < kReadBytes; done += kChunk) {
    DWORD got = 0;
    ok = ReadFile(file, buffer, kChunk, &got, nullptr) != 0 && got == kChunk;
  }
  if (!ok) why = "read " + target.path + ": error " + std::to_string(GetLastError());
  VirtualFree(buffer, 0, MEM_RELEASE);
  CloseHandle(file);
  return ok;
}

Devices FindDevices() {
  Devices devices;
  FindDisks(devices);
  FindFiles(devices);
  return devices;
}

void ReportDevices(const Devices& devices) {
  for (const std::string& fact : devices.facts) Info("device", fact);
  Info("buses", "IDE disk " + std::to_string(devices.disk_bus) + ", CD-ROM " + std::to_string(devices.cd_bus));
}

int Statistics::BusyBuses() const {
  int count = 0;
  for (std::int64_t value : busy) count += value != 0 ? 1 : 0;
  return count;
}

bool Monitor::Open(std::string& why) {
  Close();
  device_ = CreateFileA(KV_CONTROL_DEVICE_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device_ == INVALID_HANDLE_VALUE) why = "open \\\\.\\QELVARD1: error " + Hex(GetLastError());
  return device_ != INVALID_HANDLE_VALUE;
}

void Monitor::Close() {
  if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
  device_ = INVALID_HANDLE_VALUE;
}

bool Monitor::Control(DWORD code, const char* what, std::string& why) {
  DWORD returned = 0;
  if (DeviceIoControl(device_, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0) return true;
  why = std::string(what) + ": error " + Hex(GetLastError());
  return false;
}

bool Monitor::Read(Statistics& stats, std::string& why) {
  unsigned char reply[KV_STATISTICS_SIZE] = {};
  DWORD returned = 0;
  if (DeviceIoControl(device_, IOCTL_KV_READ_STATISTICS, nullptr, 0, reply, sizeof(reply), &returned, nullptr) == 0) {
    why = "read statistics: error " + Hex(GetLastError());
    return false;
  }
  if (returned != sizeof(reply)) {
    why = "read statistics returned " + std::to_string(returned) + " bytes";
    return false;
  }
  std::memcpy(&stats.start, reply, 8);
  std::memcpy(&stats.end, reply + 8, 8);
  std::memcpy(stats.busy, reply + KV_STATISTICS_BUSY_TIME_OFFSET, sizeof(stats.busy));
  replies_.push_back(stats);
  return true;
}

bool Monitor::Name(unsigned char bus, std::string& name, std::string& why) {
  unsigned char request[KV_NAME_QUERY_INPUT_SIZE] = {bus, 0, 0, 0};
  char reply[KV_NAME_QUERY_OUTPUT_SIZE] = {};
  DWORD returned = 0;
  if (DeviceIoControl(device_, IOCTL_KV_GET_CONTROLLER_NAME, request, sizeof(request), reply, sizeof(reply), &returned, nullptr) == 0) {
    why = "name of bus " + std::to_string(bus) + ": error " + Hex(GetLastError());
    return false;
  }
  reply[sizeof(reply) - 1] = '\0';
  name = reply;
  return true;
}

}  // namespace qelvnt
