// Security reference monitor and the object manager's side of security:
// SIDs, ACLs and security descriptors as the run-time library builds and
// checks them, the well-known SIDs of SeExports, process tokens, the
// access check, and kernel handles to device objects whose security a
// driver sets.
#include <cstring>

#include "host_common/faults.h"
#include "internal.h"

namespace hostk {
namespace {

using internal::DataOf;
using internal::ObjectLock;
using internal::Report;
using verifier::Rule;

constexpr size_t kSidHeaderSize = 8;  // revision, count, authority
constexpr size_t kAceHeaderAndMaskSize = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);

size_t SidLength(const SID* sid) { return kSidHeaderSize + sizeof(ULONG) * sid->SubAuthorityCount; }

bool SidIsValid(const SID* sid) {
  return sid != nullptr && sid->Revision == SID_REVISION && sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

std::string SidText(const SID* sid) {
  uint64_t authority = 0;
  for (UCHAR byte : sid->IdentifierAuthority.Value) authority = authority << 8 | byte;
  std::string text = "S-" + std::to_string(sid->Revision) + "-" + std::to_string(authority);
  for (UCHAR i = 0; i < sid->SubAuthorityCount; ++i) text += "-" + std::to_string(sid->SubAuthority[i]);
  return text;
}

// The binary SID of "S-1-<authority>-<sub>...", ULONG-aligned.
std::vector<ULONG> SidFromText(std::string_view text) {
  std::vector<uint64_t> parts;
  size_t at = 2;  // after "S-"
  while (at <= text.size()) {
    size_t end = text.find('-', at);
    if (end == std::string_view::npos) end = text.size();
    parts.push_back(std::stoull(std::string(text.substr(at, end - at))));
    at = end + 1;
  }
  const size_t subAuthorities = parts.size() - 2;
  std::vector<ULONG> words(2 + subAuthorities, 0);
  auto* sid = reinterpret_cast<SID*>(words.data());
  sid->Revision = static_cast<UCHAR>(parts[0]);
  sid->SubAuthorityCount = static_cast<UCHAR>(subAuthorities);
  for (int i = 0; i < 6; ++i) sid->IdentifierAuthority.Value[5 - i] = static_cast<UCHAR>(parts[1] >> (8 * i));
  for (size_t i = 2; i < parts.size(); ++i) sid->SubAuthority[i - 2] = static_cast<ULONG>(parts[i]);
  return words;
}

// --- SeExports

struct WellKnown {
  std::vector<std::vector<ULONG>> sids;  // owns what the PSIDs point at
  SE_EXPORTS exports{};

  PSID Sid(const char* text) {
    sids.push_back(SidFromText(text));
    return sids.back().data();
  }
  static LUID Privilege(ULONG value) { return LUID{value, 0}; }

  WellKnown() {
    sids.reserve(32);
    SE_EXPORTS& e = exports;
    e.SeCreateTokenPrivilege = Privilege(2);
    e.SeAssignPrimaryTokenPrivilege = Privilege(3);
    e.SeLockMemoryPrivilege = Privilege(4);
    e.SeIncreaseQuotaPrivilege = Privilege(5);
    e.SeUnsolicitedInputPrivilege = Privilege(6);
    e.SeTcbPrivilege = Privilege(7);
    e.SeSecurityPrivilege = Privilege(8);
    e.SeTakeOwnershipPrivilege = Privilege(9);
    e.SeLoadDriverPrivilege = Privilege(10);
    e.SeSystemProfilePrivilege = Privilege(11);
    e.SeSystemtimePrivilege = Privilege(12);
    e.SeProfileSingleProcessPrivilege = Privilege(13);
    e.SeIncreaseBasePriorityPrivilege = Privilege(14);
    e.SeCreatePagefilePrivilege = Privilege(15);
    e.SeCreatePermanentPrivilege = Privilege(16);
    e.SeBackupPrivilege = Privilege(17);
    e.SeRestorePrivilege = Privilege(18);
    e.SeShutdownPrivilege = Privilege(19);
    e.SeDebugPrivilege = Privilege(20);
    e.SeAuditPrivilege = Privilege(21);
    e.SeSystemEnvironmentPrivilege = Privilege(22);
    e.SeChangeNotifyPrivilege = Privilege(23);
    e.SeRemoteShutdownPrivilege = Privilege(24);
    e.SeUndockPrivilege = Privilege(25);
    e.SeSyncAgentPrivilege = Privilege(26);
    e.SeEnableDelegationPrivilege = Privilege(27);
    e.SeNullSid = Sid("S-1-0-0");
    e.SeWorldSid = Sid(kSidEveryone);
    e.SeLocalSid = Sid("S-1-2-0");
    e.SeCreatorOwnerSid = Sid("S-1-3-0");
    e.SeCreatorGroupSid = Sid("S-1-3-1");
    e.SeNtAuthoritySid = Sid("S-1-5");
    e.SeDialupSid = Sid("S-1-5-1");
    e.SeNetworkSid = Sid("S-1-5-2");
    e.SeBatchSid = Sid("S-1-5-3");
    e.SeInteractiveSid = Sid(kSidInteractive);
    e.SeLocalSystemSid = Sid(kSidSystem);
    e.SeAliasAdminsSid = Sid(kSidAdministrators);
    e.SeAliasUsersSid = Sid(kSidUsers);
    e.SeAliasGuestsSid = Sid("S-1-5-32-546");
    e.SeAliasPowerUsersSid = Sid("S-1-5-32-547");
    e.SeAliasAccountOpsSid = Sid("S-1-5-32-548");
    e.SeAliasSystemOpsSid = Sid("S-1-5-32-549");
    e.SeAliasPrintOpsSid = Sid("S-1-5-32-550");
    e.SeAliasBackupOpsSid = Sid("S-1-5-32-551");
    e.SeAuthenticatedUsersSid = Sid(kSidAuthenticatedUsers);
    e.SeRestrictedSid = Sid("S-1-5-12");
    e.SeAnonymousLogonSid = Sid("S-1-5-7");
  }
};

WellKnown& WellKnownSids() {
  static WellKnown wellKnown;
  return wellKnown;
}

// --- ACLs and security descriptors as callers hand them in

// The entries of acl, or why it is not a valid ACL. The simulation knows
// allowed and denied ACEs only.
NTSTATUS ReadAcl(const ACL* acl, std::vector<AccessEntry>* entries) {
  if (acl->AclRevision < MIN_ACL_REVISION || acl->AclRevision > MAX_ACL_REVISION || acl->AclSize < sizeof(ACL) ||
      acl->AclSize % sizeof(ULONG) != 0)
    return STATUS_INVALID_ACL;
  const auto* bytes = reinterpret_cast<const UCHAR*>(acl);
  size_t at = sizeof(ACL);
  for (USHORT i = 0; i < acl->AceCount; ++i) {
    if (at + sizeof(ACE_HEADER) > acl->AclSize) return STATUS_INVALID_ACL;
    const auto* header = reinterpret_cast<const ACE_HEADER*>(bytes + at);
    if (header->AceSize < kAceHeaderAndMaskSize + kSidHeaderSize || header->AceSize % sizeof(ULONG) != 0 ||
        at + header->AceSize > acl->AclSize)
      return STATUS_INVALID_ACL;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
      return STATUS_INVALID_ACL;
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    const auto* sid = reinterpret_cast<const SID*>(&ace->SidStart);
    if (!SidIsValid(sid) || kAceHeaderAndMaskSize + SidLength(sid) > header->AceSize) return STATUS_INVALID_ACL;
    entries->push_back(AccessEntry{header->AceType, header->AceFlags, ace->Mask, SidText(sid)});
    at += header->AceSize;
  }
  return STATUS_SUCCESS;
}

// One part of a security descriptor in either form, or null.
template <typename Part>
const Part* PartOf(const SECURITY_DESCRIPTOR* sd, PVOID absolute, ULONG relative) {
  if (sd->Control & SE_SELF_RELATIVE) {
    return relative == 0 ? nullptr : reinterpret_cast<const Part*>(reinterpret_cast<const UCHAR*>(sd) + relative);
  }
  return static_cast<const Part*>(absolute);
}

struct CapturedDescriptor {
  const SID* owner = nullptr;
  const SID* group = nullptr;
  bool daclPresent = false;
  const ACL* dacl = nullptr;  // null with daclPresent: a null DACL
};

NTSTATUS Capture(PSECURITY_DESCRIPTOR descriptor, CapturedDescriptor* captured) {
  const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  const auto* relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
  const bool selfRelative = (sd->Control & SE_SELF_RELATIVE) != 0;
  captured->owner = PartOf<SID>(sd, sd->Owner, selfRelative ? relative->Owner : 0);
  captured->group = PartOf<SID>(sd, sd->Group, selfRelative ? relative->Group : 0);
  captured->daclPresent = (sd->Control & SE_DACL_PRESENT) != 0;
  captured->dacl = PartOf<ACL>(sd, sd->Dacl, selfRelative ? relative->Dacl : 0);
  if ((captured->owner != nullptr && !SidIsValid(captured->owner)) ||
      (captured->group != nullptr && !SidIsValid(captured->group)))
    return STATUS_INVALID_SID;
  return STATUS_SUCCESS;
}

// What setting the parts named by information from captured makes of
// security; generic rights in the new ACEs are mapped, as Windows does.
NTSTATUS Apply(const CapturedDescriptor& captured, SECURITY_INFORMATION information, ObjectSecurity* security) {
  ObjectSecurity updated = *security;
  if (information & OWNER_SECURITY_INFORMATION) {
    if (captured.owner == nullptr) return STATUS_INVALID_OWNER;
    updated.owner = SidText(captured.owner);
  }
  if ((information & GROUP_SECURITY_INFORMATION) && captured.group != nullptr) updated.group = SidText(captured.group);
  if (information & DACL_SECURITY_INFORMATION) {
    updated.dacl.clear();
    updated.hasDacl = captured.daclPresent && captured.dacl != nullptr;
    if (updated.hasDacl) {
      NTSTATUS status = ReadAcl(captured.dacl, &updated.dacl);
      if (!NT_SUCCESS(status)) return status;
      for (AccessEntry& entry : updated.dacl) entry.mask = internal::MapFileGenericRights(entry.mask);
    }
  }
  *security = std::move(updated);
  return STATUS_SUCCESS;
}

bool TokenHolds(const Token& token, const std::string& sid) {
  if (token.user == sid) return true;
  for (const std::string& group : token.groups)
    if (group == sid) return true;
  return false;
}

// --- process tokens

std::mutex g_tokensMutex;
std::map<ULONG, Token> g_processTokens;

// --- kernel handles to device objects

struct ObjectHandle {
  PDEVICE_OBJECT device;
  ACCESS_MASK granted;
  PDRIVER_OBJECT opener;
};

std::mutex g_handlesMutex;
std::map<ULONG_PTR, ObjectHandle> g_objectHandles;
ULONG_PTR g_nextHandle = 0xC0000004;  // apart from the registry's key handles

}  // namespace

Token SystemToken() { return Token{kSidSystem, {kSidAdministrators, kSidEveryone, kSidAuthenticatedUsers}}; }

Token AdministratorToken() {
  return Token{"S-1-5-21-1004336348-1177238915-682003330-500",
               {kSidAdministrators, kSidUsers, kSidEveryone, kSidAuthenticatedUsers, kSidInteractive}};
}

Token StandardUserToken() {
  return Token{"S-1-5-21-1004336348-1177238915-682003330-1003",
               {kSidUsers, kSidEveryone, kSidAuthenticatedUsers, kSidInteractive}};
}

ObjectSecurity DeviceSecurity(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  return DataOf(device)->security;
}

namespace internal {

ObjectSecurity DefaultDeviceSecurity() {
  constexpr ACCESS_MASK kReadWriteExecute = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE;
  return ObjectSecurity{kSidAdministrators,
                        kSidSystem,
                        true,
                        {{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, kSidSystem},
                         {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, kSidAdministrators},
                         {ACCESS_ALLOWED_ACE_TYPE, 0, kReadWriteExecute, kSidEveryone}}};
}

ACCESS_MASK MapFileGenericRights(ACCESS_MASK access) {
  ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
  if (access & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
  if (access & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
  return mapped;
}

// ACEs apply in order: a right is granted by the first ACE of the token's
// SIDs that names it, allowed or denied. The owner may always read and
// change the DACL. Asking for nothing gets nothing: the check fails.
NTSTATUS AccessCheck(const ObjectSecurity& security, const Token& token, ACCESS_MASK desired, ACCESS_MASK* granted) {
  *granted = 0;
  const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
  desired &= ~MAXIMUM_ALLOWED;
  if (desired == 0 && !maximum) return STATUS_ACCESS_DENIED;
  if (desired & ACCESS_SYSTEM_SECURITY) return STATUS_PRIVILEGE_NOT_HELD;
  if (!security.hasDacl) {
    *granted = maximum ? (desired | FILE_ALL_ACCESS) : desired;
    return STATUS_SUCCESS;
  }
  ACCESS_MASK allowed = TokenHolds(token, security.owner) ? (READ_CONTROL | WRITE_DAC) : 0;
  ACCESS_MASK denied = 0;
  for (const AccessEntry& entry : security.dacl) {
    if ((entry.flags & INHERIT_ONLY_ACE) || !TokenHolds(token, entry.sid)) continue;
    if (entry.type == ACCESS_ALLOWED_ACE_TYPE) allowed |= entry.mask & ~denied;
    if (entry.type == ACCESS_DENIED_ACE_TYPE) denied |= entry.mask & ~allowed;
  }
  if ((desired & ~allowed) != 0) return STATUS_ACCESS_DENIED;
  *granted = maximum ? allowed : desired;
  return *granted != 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

void SetProcessToken(ULONG pid, const Token& token) {
  std::lock_guard<std::mutex> hold(g_tokensMutex);
  g_processTokens[pid] = token;
}

void ClearProcessToken(ULONG pid) {
  std::lock_guard<std::mutex> hold(g_tokensMutex);
  g_processTokens.erase(pid);
}

Token TokenOfProcess(HANDLE pid) {
  std::lock_guard<std::mutex> hold(g_tokensMutex);
  auto it = g_processTokens.find(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(pid)));
  return it != g_processTokens.end() ? it->second : SystemToken();
}

NTSTATUS CloseObjectHandle(HANDLE handle) {
  PDEVICE_OBJECT device;
  {
    std::lock_guard<std::mutex> hold(g_handlesMutex);
    auto it = g_objectHandles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == g_objectHandles.end()) return STATUS_INVALID_HANDLE;
    device = it->second.device;
    g_objectHandles.erase(it);
  }
  internal::RemoveKernelHandle(device);
  return STATUS_SUCCESS;
}

void CheckObjectHandlesOfDriver(PDRIVER_OBJECT driver, const char* when) {
  std::vector<ULONG_PTR> leaked;
  {
    std::lock_guard<std::mutex> hold(g_handlesMutex);
    for (const auto& [handle, object] : g_objectHandles)
      if (object.opener == driver) leaked.push_back(handle);
  }
  if (leaked.empty()) return;
  Report(Rule::kHandleLeak, "%s: %zu handle(s) to device objects left open, first %#lx", when, leaked.size(),
         static_cast<unsigned long>(leaked.front()));
  for (ULONG_PTR handle : leaked) CloseObjectHandle(reinterpret_cast<HANDLE>(handle));
}

}  // namespace internal
}  // namespace hostk

using hostk::internal::DataOf;
using hostk::internal::ObjectLock;

PSE_EXPORTS SeExports = &hostk::WellKnownSids().exports;

// --- Run-time library

extern "C" ULONG NTAPI RtlLengthSid(PSID Sid) { return static_cast<ULONG>(hostk::SidLength(static_cast<SID*>(Sid))); }

extern "C" BOOLEAN NTAPI RtlValidSid(PSID Sid) { return hostk::SidIsValid(static_cast<SID*>(Sid)); }

extern "C" NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision) {
  if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  std::memset(sd, 0, sizeof(*sd));
  sd->Revision = SECURITY_DESCRIPTOR_REVISION;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                                       PACL Dacl, BOOLEAN DaclDefaulted) {
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  if (sd->Control & SE_SELF_RELATIVE) return STATUS_INVALID_SECURITY_DESCR;
  sd->Control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (!DaclPresent) return STATUS_SUCCESS;
  sd->Control |= SE_DACL_PRESENT;
  if (DaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
  sd->Dacl = Dacl;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
  if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
  if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION || AclLength > MAXUSHORT)
    return STATUS_INVALID_PARAMETER;
  std::memset(Acl, 0, sizeof(ACL));
  Acl->AclRevision = static_cast<UCHAR>(AclRevision);
  Acl->AclSize = static_cast<USHORT>(AclLength & ~(sizeof(ULONG) - 1));  // whole ULONGs only
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid) {
  auto* sid = static_cast<SID*>(Sid);
  if (!hostk::SidIsValid(sid)) return STATUS_INVALID_SID;
  if (AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION) return STATUS_REVISION_MISMATCH;
  std::vector<hostk::AccessEntry> entries;
  if (!NT_SUCCESS(hostk::ReadAcl(Acl, &entries))) return STATUS_INVALID_ACL;
  auto* bytes = reinterpret_cast<UCHAR*>(Acl);
  size_t end = sizeof(ACL);
  for (USHORT i = 0; i < Acl->AceCount; ++i) end += reinterpret_cast<ACE_HEADER*>(bytes + end)->AceSize;
  const size_t size = hostk::kAceHeaderAndMaskSize + hostk::SidLength(sid);
  if (end + size > Acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
  auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(bytes + end);
  ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
  ace->Header.AceFlags = 0;
  ace->Header.AceSize = static_cast<USHORT>(size);
  ace->Mask = AccessMask;
  std::memcpy(&ace->SidStart, sid, hostk::SidLength(sid));
  ++Acl->AceCount;
  if (AceRevision > Acl->AclRevision) Acl->AclRevision = static_cast<UCHAR>(AceRevision);
  return STATUS_SUCCESS;
}

// --- Object manager

extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                                ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode, PHANDLE Handle) {
  hostk::internal::CheckIrql("ObOpenObjectByPointer", PASSIVE_LEVEL);
  (void)PassedAccessState;
  *Handle = nullptr;
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  if (ObjectType != nullptr || device->Type != IO_TYPE_DEVICE) return STATUS_OBJECT_TYPE_MISMATCH;
  if (hostfault::ShouldFail("ObOpenObjectByPointer")) return STATUS_INSUFFICIENT_RESOURCES;
  ACCESS_MASK granted = hostk::internal::MapFileGenericRights(DesiredAccess);
  if (AccessMode != KernelMode || (HandleAttributes & OBJ_FORCE_ACCESS_CHECK)) {
    const hostk::Token token = hostk::internal::TokenOfProcess(PsGetCurrentProcessId());
    std::lock_guard<std::recursive_mutex> hold(ObjectLock());
    NTSTATUS status = hostk::internal::AccessCheck(DataOf(device)->security, token, granted, &granted);
    if (!NT_SUCCESS(status)) return status;
  } else if (granted & MAXIMUM_ALLOWED) {
    granted = (granted & ~MAXIMUM_ALLOWED) | FILE_ALL_ACCESS;
  }
  hostk::internal::AddKernelHandle(device);
  std::lock_guard<std::mutex> hold(hostk::g_handlesMutex);
  const ULONG_PTR value = hostk::g_nextHandle;
  hostk::g_nextHandle += 4;
  hostk::g_objectHandles[value] = hostk::ObjectHandle{device, granted, hostk::internal::CurrentDriver()};
  *Handle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor) {
  hostk::internal::CheckIrql("ZwSetSecurityObject", PASSIVE_LEVEL);
  if (hostfault::ShouldFail("ZwSetSecurityObject")) return STATUS_INSUFFICIENT_RESOURCES;
  hostk::ObjectHandle object;
  {
    std::lock_guard<std::mutex> hold(hostk::g_handlesMutex);
    auto it = hostk::g_objectHandles.find(reinterpret_cast<ULONG_PTR>(Handle));
    if (it == hostk::g_objectHandles.end()) return STATUS_INVALID_HANDLE;
    object = it->second;
  }
  ACCESS_MASK needed = 0;
  if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) needed |= WRITE_OWNER;
  if (SecurityInformation & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
  if (SecurityInformation & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
  if ((object.granted & needed) != needed) return STATUS_ACCESS_DENIED;
  if (SecurityDescriptor == nullptr) return STATUS_ACCESS_VIOLATION;
  hostk::CapturedDescriptor captured;
  NTSTATUS status = hostk::Capture(SecurityDescriptor, &captured);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::recursive_mutex> hold(ObjectLock());
  return hostk::Apply(captured, SecurityInformation, &DataOf(object.device)->security);
}
