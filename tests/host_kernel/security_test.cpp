// The security of device objects: the default IoCreateDevice gives, a
// DACL set as a driver sets it (run-time library, ObOpenObjectByPointer,
// ZwSetSecurityObject), and the I/O manager's access check at open and at
// each request, for processes of different tokens.
#include <cstring>

#include "test_support.h"

namespace hostk_test {
namespace {

using hostk::UserProcess;

constexpr ULONG kPid = 1500;
constexpr ULONG kAnyAccessCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kWriteAccessCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);

// A DACL that allows SYSTEM and Administrators `mask`, built in a buffer
// as a driver builds it.
struct AdminsOnlyDacl {
  explicit AdminsOnlyDacl(ACCESS_MASK mask, ULONG size = sizeof(buffer)) {
    EXPECT_EQ(RtlCreateAcl(Acl(), size, ACL_REVISION), STATUS_SUCCESS);
    first = RtlAddAccessAllowedAce(Acl(), ACL_REVISION, mask, SeExports->SeLocalSystemSid);
    second = RtlAddAccessAllowedAce(Acl(), ACL_REVISION, mask, SeExports->SeAliasAdminsSid);
  }
  PACL Acl() { return reinterpret_cast<PACL>(buffer); }
  ULONG buffer[32] = {};
  NTSTATUS first;
  NTSTATUS second;
};

class SecurityTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    device_ = AddUserDevice([this](PDEVICE_OBJECT, PIRP irp) { return Serve(irp); }, L"\\Device\\Guarded",
                            L"\\DosDevices\\Guarded");
  }

  NTSTATUS Serve(PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) ++creates_;
    return Complete(irp, STATUS_SUCCESS);
  }

  // What a driver does to restrict its device: open it by pointer for
  // WRITE_DAC and set the DACL.
  NTSTATUS SetDacl(PACL dacl, ACCESS_MASK handleAccess = WRITE_DAC) {
    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, dacl, FALSE), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    EXPECT_EQ(ObOpenObjectByPointer(device_, OBJ_KERNEL_HANDLE, nullptr, handleAccess, nullptr, KernelMode, &handle),
              STATUS_SUCCESS);
    const NTSTATUS status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &sd);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    return status;
  }
  void RestrictToAdministrators() {
    AdminsOnlyDacl dacl(GENERIC_ALL);
    ASSERT_EQ(SetDacl(dacl.Acl()), STATUS_SUCCESS);
  }

  NTSTATUS Open(const hostk::Token& token, const char* path, ACCESS_MASK access) {
    UserProcess process(kPid, token);
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS status = process.NtOpenFile(path, access, 0, &handle);
    if (NT_SUCCESS(status)) process.CloseHandle(handle);
    return status;
  }

  PDEVICE_OBJECT device_ = nullptr;
  int creates_ = 0;
};

TEST_F(SecurityTest, NewDevicesLetEveryoneReadWriteAndExecute) {
  const hostk::ObjectSecurity security = hostk::DeviceSecurity(device_);
  EXPECT_EQ(security.owner, hostk::kSidAdministrators);
  const std::vector<hostk::AccessEntry> expected = {
      {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, hostk::kSidSystem},
      {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, hostk::kSidAdministrators},
      {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE, hostk::kSidEveryone}};
  EXPECT_EQ(security.dacl, expected);
  EXPECT_EQ(Open(hostk::StandardUserToken(), "\\??\\Guarded", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
}

TEST_F(SecurityTest, ADaclSetByADriverKeepsItsEntriesWithGenericRightsMapped) {
  RestrictToAdministrators();
  const hostk::ObjectSecurity security = hostk::DeviceSecurity(device_);
  const std::vector<hostk::AccessEntry> expected = {
      {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, hostk::kSidSystem},
      {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, hostk::kSidAdministrators}};
  EXPECT_EQ(security.dacl, expected);
  EXPECT_EQ(security.owner, hostk::kSidAdministrators);  // only the DACL was set
}

struct OpenCase {
  const char* name;
  bool administrator;
  const char* path;
  ACCESS_MASK access;
  bool secureOpen;
  NTSTATUS expected;
};

class OpenAccessTest : public SecurityTest, public ::testing::WithParamInterface<OpenCase> {};

// A refused open never reaches the driver.
TEST_P(OpenAccessTest, TheDaclDecidesBeforeTheDriverSeesTheCreate) {
  const OpenCase& c = GetParam();
  if (c.secureOpen) device_->Characteristics |= FILE_DEVICE_SECURE_OPEN;
  RestrictToAdministrators();
  const hostk::Token token = c.administrator ? hostk::AdministratorToken() : hostk::StandardUserToken();
  EXPECT_EQ(Open(token, c.path, c.access), c.expected);
  EXPECT_EQ(creates_, NT_SUCCESS(c.expected) ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenAccessTest,
    ::testing::Values(
        OpenCase{"AdministratorReadWrite", true, "\\??\\Guarded", GENERIC_READ | GENERIC_WRITE, false, STATUS_SUCCESS},
        OpenCase{"AdministratorMaximum", true, "\\Device\\Guarded", MAXIMUM_ALLOWED, false, STATUS_SUCCESS},
        OpenCase{"AdministratorNothing", true, "\\??\\Guarded", 0, false, STATUS_ACCESS_DENIED},
        OpenCase{"UserRead", false, "\\??\\Guarded", GENERIC_READ, false, STATUS_ACCESS_DENIED},
        OpenCase{"UserWhatCreateFileAddsToNothing", false, "\\??\\Guarded", SYNCHRONIZE | FILE_READ_ATTRIBUTES, false,
                 STATUS_ACCESS_DENIED},
        OpenCase{"UserNothing", false, "\\??\\Guarded", 0, false, STATUS_ACCESS_DENIED},
        OpenCase{"UserMaximum", false, "\\??\\Guarded", MAXIMUM_ALLOWED, false, STATUS_ACCESS_DENIED},
        OpenCase{"UserBelowTheDevice", false, "\\??\\Guarded\\x", GENERIC_READ, false, STATUS_SUCCESS},
        OpenCase{"UserBelowASecureDevice", false, "\\??\\Guarded\\x", GENERIC_READ, true, STATUS_ACCESS_DENIED}),
    [](const ::testing::TestParamInfo<OpenCase>& param) { return std::string(param.param.name); });

TEST_F(SecurityTest, CreateFileReportsTheRefusalAsAccessDenied) {
  RestrictToAdministrators();
  UserProcess user(kPid, hostk::StandardUserToken());
  EXPECT_EQ(user.CreateFileA("\\\\.\\Guarded", 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(UserProcess::GetLastError(), static_cast<hostk::DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(device_->ReferenceCount, 0);
}

// The I/O manager checks a control code's required access against the
// handle; FILE_ANY_ACCESS needs none.
TEST_F(SecurityTest, ControlCodesNeedTheAccessTheyName) {
  UserProcess process(kPid);
  HANDLE handle = process.CreateFileA("\\\\.\\Guarded", GENERIC_READ);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(process.DeviceIoControl(handle, kAnyAccessCode, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(process.DeviceIoControl(handle, kWriteAccessCode, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(UserProcess::GetLastError(), static_cast<hostk::DWORD>(ERROR_ACCESS_DENIED));
  char byte = 0;
  EXPECT_FALSE(process.WriteFile(handle, &byte, 1, nullptr, nullptr));
  EXPECT_TRUE(process.CloseHandle(handle));
}

TEST_F(SecurityTest, RunTimeLibraryAndObjectManagerRefuseWhatWindowsRefuses) {
  AdminsOnlyDacl tooSmall(GENERIC_ALL, sizeof(ACL) + 20);  // room for SYSTEM's ACE only
  EXPECT_EQ(tooSmall.first, STATUS_SUCCESS);
  EXPECT_EQ(tooSmall.second, STATUS_ALLOTTED_SPACE_EXCEEDED);
  AdminsOnlyDacl dacl(GENERIC_ALL);
  EXPECT_EQ(SetDacl(dacl.Acl(), READ_CONTROL), STATUS_ACCESS_DENIED);  // no WRITE_DAC
  dacl.Acl()->AclSize = 12;                                             // shorter than its ACEs
  EXPECT_EQ(SetDacl(dacl.Acl()), STATUS_INVALID_ACL);
  EXPECT_EQ(hostk::DeviceSecurity(device_).dacl.size(), 3u);  // the default stands
  EXPECT_EQ(RtlLengthSid(SeExports->SeAliasAdminsSid), 16u);
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0xC0000FFC)), STATUS_INVALID_HANDLE);
}

}  // namespace
}  // namespace hostk_test
