// The kernel's synchronisation under real threads: remove-lock drains
// that block, events across threads, spin locks that exclude, requests
// completed on other threads, several processes opening one device.
#include <atomic>
#include <thread>

#include "test_support.h"

namespace hostk_test {
namespace {

constexpr ULONG kTag = hostk::MakeTag("Conc");

using ConcurrencyTest = KernelTest;

TEST_F(ConcurrencyTest, ReleaseAndWaitBlocksUntilTheLastHolderReleases) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, kTag, 1, 100);
  int holderTag, removerTag, lateTag;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &holderTag), STATUS_SUCCESS);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &removerTag), STATUS_SUCCESS);

  std::atomic<bool> drained{false};
  std::thread remover([&] {
    IoReleaseRemoveLockAndWait(&lock, &removerTag);
    drained = true;
  });
  // Once removal has begun, acquisitions fail; until then they may pass.
  while (IoAcquireRemoveLock(&lock, &lateTag) == STATUS_SUCCESS) IoReleaseRemoveLock(&lock, &lateTag);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &lateTag), STATUS_DELETE_PENDING);
  EXPECT_FALSE(drained);  // the holder has not let go

  IoReleaseRemoveLock(&lock, &holderTag);
  remover.join();
  EXPECT_TRUE(drained);
  EXPECT_EQ(lock.Common.IoCount, 0);
}

TEST_F(ConcurrencyTest, EventWakesAWaiterOnAnotherThread) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  NTSTATUS waited = STATUS_UNSUCCESSFUL;
  std::thread waiter([&] { waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  waiter.join();
  EXPECT_EQ(waited, STATUS_SUCCESS);
}

TEST_F(ConcurrencyTest, WaitWithTimeoutEndsWithStatusTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10'000;  // 1 ms
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
}

TEST_F(ConcurrencyTest, SpinLockExcludesAcrossThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        ++counter;
        KeReleaseSpinLock(&lock, old);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 8000);
}

TEST_F(ConcurrencyTest, RequestCompletedOnAnotherThreadReachesTheWaitingCaller) {
  std::thread worker;
  PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    worker = std::thread([irp] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);  // completions come at DISPATCH_LEVEL
      Complete(irp, STATUS_SUCCESS, 4);
      KeLowerIrql(old);
    });
    return STATUS_PENDING;
  });
  unsigned char out[4] = {};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           device, nullptr, 0, out, sizeof out, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);

  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  worker.join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 4u);
}

TEST_F(ConcurrencyTest, SeveralProcessesOpenOneDeviceAtOnce) {
  std::atomic<int> creates{0};
  std::atomic<int> wrongProcess{0};
  std::thread::id none;
  PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_CREATE) {
      ++creates;
      auto pid = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
      if (pid < 100 || pid > 103) ++wrongProcess;
    }
    return Complete(irp, STATUS_SUCCESS);
  }, nullptr, L"\\Device\\Shared");
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\Shared");
  RtlInitUnicodeString(&link, L"\\DosDevices\\Shared");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);

  std::vector<std::thread> threads;
  for (ULONG pid = 100; pid < 104; ++pid) {
    threads.emplace_back([pid] {
      hostk::UserProcess process(pid);
      for (int i = 0; i < 25; ++i) {
        HANDLE handle = process.CreateFileA("\\\\.\\Shared");
        if (handle != INVALID_HANDLE_VALUE) process.CloseHandle(handle);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  IoDeleteSymbolicLink(&link);

  EXPECT_EQ(creates, 100);
  EXPECT_EQ(wrongProcess, 0);
  EXPECT_EQ(device->ReferenceCount, 0);
  (void)none;
}

}  // namespace
}  // namespace hostk_test
