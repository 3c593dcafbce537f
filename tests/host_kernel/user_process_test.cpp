// A user process opening a device through its symbolic link and talking
// to it as Win32 does: buffered device control with copy-back on success,
// errors through GetLastError, reads and writes, cleanup and close.
#include <atomic>
#include <cstring>
#include <thread>

#include "test_support.h"

namespace hostk_test {
namespace {

using hostk::UserProcess;

constexpr ULONG kPid = 1234;
constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class UserProcessTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    device_ = AddUserDevice([this](PDEVICE_OBJECT, PIRP irp) { return Serve(irp); }, L"\\Device\\UserTest",
                            L"\\DosDevices\\UserTest");
  }

  // The device: records what arrives; device control fills the system
  // buffer with 0x5A and completes with reply_ and replyInformation_.
  NTSTATUS Serve(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    majors_.push_back(sp->MajorFunction);
    pids_.push_back(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())));
    files_.push_back(sp->FileObject);
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL && leaveCriticalRegionEntered_) KeEnterCriticalRegion();
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL && holdControls_) {
      IoMarkIrpPending(irp);
      held_.store(irp);
      return STATUS_PENDING;
    }
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
      ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
      if (irp->AssociatedIrp.SystemBuffer != nullptr) std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, out);
      return Complete(irp, reply_, replyInformation_);
    }
    if (sp->MajorFunction == IRP_MJ_CREATE) return Complete(irp, createStatus_);
    return Complete(irp, STATUS_SUCCESS);
  }

  HANDLE Open(UserProcess& process) { return process.CreateFileA("\\\\.\\UserTest"); }
  // Opens the device and sends it one buffered device control, no input.
  bool OpenAndControl(UserProcess& process, void* out, hostk::DWORD outSize, hostk::DWORD* returned) {
    return process.DeviceIoControl(Open(process), kCode, nullptr, 0, out, outSize, returned, nullptr);
  }

  PDEVICE_OBJECT device_ = nullptr;
  bool holdControls_ = false;
  bool leaveCriticalRegionEntered_ = false;  // a driver that forgets KeLeaveCriticalRegion
  std::atomic<PIRP> held_{nullptr};
  NTSTATUS createStatus_ = STATUS_SUCCESS;
  NTSTATUS reply_ = STATUS_SUCCESS;
  ULONG_PTR replyInformation_ = 0;
  std::vector<UCHAR> majors_;
  std::vector<ULONG> pids_;
  std::vector<PFILE_OBJECT> files_;
};

TEST_F(UserProcessTest, OpenSendsCreateWithAFileObjectInTheCallersProcess) {
  UserProcess process(kPid);
  HANDLE handle = process.CreateFileA("\\\\.\\usertest");  // names ignore case
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);

  EXPECT_EQ(majors_, std::vector<UCHAR>{IRP_MJ_CREATE});
  EXPECT_EQ(pids_, std::vector<ULONG>{kPid});
  ASSERT_NE(files_[0], nullptr);
  EXPECT_EQ(files_[0]->DeviceObject, device_);
  EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(hostk::kSystemProcessId)));
  EXPECT_TRUE(process.CloseHandle(handle));
}

TEST_F(UserProcessTest, CloseSendsCleanupThenClose) {
  UserProcess process(kPid);
  HANDLE handle = Open(process);
  EXPECT_TRUE(process.CloseHandle(handle));
  EXPECT_EQ(majors_, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(files_[1], files_[0]);
  EXPECT_EQ(files_[2], files_[0]);
  EXPECT_FALSE(process.CloseHandle(handle));
  EXPECT_EQ(UserProcess::GetLastError(), static_cast<hostk::DWORD>(ERROR_INVALID_HANDLE));
}

// The I/O manager holds the file object for every request on it: closing
// the handle sends the cleanup at once, the close only after the last
// request has completed.
TEST_F(UserProcessTest, CloseWaitsForTheLastRequestOnTheFile) {
  UserProcess process(kPid);
  HANDLE handle = Open(process);
  holdControls_ = true;
  std::thread request([&] { process.DeviceIoControl(handle, kCode, nullptr, 0, nullptr, 0, nullptr, nullptr); });
  while (held_.load() == nullptr) std::this_thread::yield();
  EXPECT_TRUE(process.CloseHandle(handle));
  EXPECT_EQ(majors_, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP}));
  Complete(held_.load(), STATUS_SUCCESS);
  request.join();
  EXPECT_EQ(majors_, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

// Windows stops with APC_INDEX_MISMATCH when a system call returns to
// user mode inside a critical region a driver entered.
TEST_F(UserProcessTest, RequestReturningInsideACriticalRegionIsReported) {
  ExpectViolations();
  leaveCriticalRegionEntered_ = true;
  UserProcess process(kPid);
  OpenAndControl(process, nullptr, 0, nullptr);
  KeLeaveCriticalRegion();  // what the driver owed
  EXPECT_EQ(Rules(), std::vector<hostk::verifier::Rule>{hostk::verifier::Rule::kApcIndexMismatch});
}

TEST_F(UserProcessTest, UnknownNameIsFileNotFound) {
  UserProcess process(kPid);
  EXPECT_EQ(process.CreateFileA("\\\\.\\Nowhere"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(UserProcess::GetLastError(), static_cast<hostk::DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(majors_.empty());
}

TEST_F(UserProcessTest, RefusedCreateGivesNoHandle) {
  createStatus_ = static_cast<NTSTATUS>(0xE0008108);
  UserProcess process(kPid);
  EXPECT_EQ(Open(process), INVALID_HANDLE_VALUE);
  EXPECT_EQ(UserProcess::GetLastError(), 0xE0008108u);
  EXPECT_EQ(device_->ReferenceCount, 0);
}

TEST_F(UserProcessTest, SuccessCopiesInformationBytesBack) {
  replyInformation_ = 3;
  UserProcess process(kPid);
  unsigned char out[6] = {};
  hostk::DWORD returned = 99;
  EXPECT_TRUE(OpenAndControl(process, out, sizeof out, &returned));
  EXPECT_EQ(returned, 3u);
  const unsigned char expected[6] = {0x5A, 0x5A, 0x5A, 0, 0, 0};
  EXPECT_EQ(std::memcmp(out, expected, sizeof out), 0);
  EXPECT_EQ(pids_.back(), kPid);
}

TEST_F(UserProcessTest, ErrorCopiesNothingAndLeavesTheCountAlone) {
  reply_ = STATUS_INVALID_DEVICE_REQUEST;
  replyInformation_ = 0;
  UserProcess process(kPid);
  unsigned char out[4] = {};
  hostk::DWORD returned = 99;
  EXPECT_FALSE(OpenAndControl(process, out, sizeof out, &returned));
  EXPECT_EQ(UserProcess::GetLastError(), static_cast<hostk::DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(returned, 99u);
  EXPECT_EQ(out[0], 0);
}

TEST_F(UserProcessTest, CustomerStatusPassesThroughUnchanged) {
  reply_ = static_cast<NTSTATUS>(0xE0008103);
  UserProcess process(kPid);
  EXPECT_FALSE(OpenAndControl(process, nullptr, 0, nullptr));
  EXPECT_EQ(UserProcess::GetLastError(), 0xE0008103u);
}

TEST_F(UserProcessTest, WarningCopiesBackAndFailsWithMoreData) {
  reply_ = STATUS_BUFFER_OVERFLOW;
  replyInformation_ = 2;
  UserProcess process(kPid);
  unsigned char out[4] = {};
  hostk::DWORD returned = 0;
  EXPECT_FALSE(OpenAndControl(process, out, sizeof out, &returned));
  EXPECT_EQ(UserProcess::GetLastError(), static_cast<hostk::DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(returned, 2u);
  EXPECT_EQ(out[1], 0x5A);
  EXPECT_EQ(out[2], 0);
}

TEST_F(UserProcessTest, DestroyingTheProcessClosesItsHandles) {
  {
    UserProcess process(kPid);
    Open(process);
    Open(process);
  }
  EXPECT_EQ(std::count(majors_.begin(), majors_.end(), IRP_MJ_CLOSE), 2);
  EXPECT_EQ(device_->ReferenceCount, 0);
}

TEST_F(UserProcessTest, StatusesMapToWin32Errors) {
  EXPECT_EQ(hostk::NtStatusToWin32Error(STATUS_INSUFFICIENT_RESOURCES), 1450u);
  EXPECT_EQ(hostk::NtStatusToWin32Error(STATUS_BUFFER_TOO_SMALL), 122u);
  EXPECT_EQ(hostk::NtStatusToWin32Error(STATUS_DELETE_PENDING), 5u);
  EXPECT_EQ(hostk::NtStatusToWin32Error(static_cast<NTSTATUS>(0xE0008001)), 0xE0008001u);
  EXPECT_EQ(hostk::NtStatusToWin32Error(static_cast<NTSTATUS>(0xC0001234)), 317u);
}

}  // namespace
}  // namespace hostk_test
