// Each verifier rule fires on the mistake it names, through a recording
// handler, and the kernel goes on in a defined way afterwards.
#include "test_support.h"

namespace hostk_test {
namespace {

using Rule = hostk::verifier::Rule;
using RuleList = std::vector<Rule>;

constexpr ULONG kTag = hostk::MakeTag("Test");

class VerifierTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    ExpectViolations();
  }
  void TearDown() override {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) KeLowerIrql(PASSIVE_LEVEL);
    KernelTest::TearDown();
  }
  void RaiseToDispatch() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
  }
};

TEST_F(VerifierTest, WaitWithoutTimeoutAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  RaiseToDispatch();
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(Rules(), RuleList{Rule::kWaitAtDispatchLevel});
}

TEST_F(VerifierTest, PollingWaitAtDispatchLevelIsAllowed) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  RaiseToDispatch();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(Rules(), RuleList{});
}

TEST_F(VerifierTest, PagedPoolAtDispatchLevel) {
  RaiseToDispatch();
  void* block = ExAllocatePoolWithTag(PagedPool, 16, kTag);
  KeLowerIrql(PASSIVE_LEVEL);
  ExFreePoolWithTag(block, kTag);
  EXPECT_EQ(Rules(), RuleList{Rule::kPagedPoolAtDispatchLevel});
}

TEST_F(VerifierTest, FreeingPagedPoolAtDispatchLevel) {
  void* block = ExAllocatePoolWithTag(PagedPool, 16, kTag);
  RaiseToDispatch();
  ExFreePoolWithTag(block, kTag);
  EXPECT_EQ(Rules(), RuleList{Rule::kPagedPoolAtDispatchLevel});
}

TEST_F(VerifierTest, PagedCodeAtDispatchLevel) {
  RaiseToDispatch();
  PAGED_CODE();
  EXPECT_EQ(Rules(), RuleList{Rule::kPagedCodeAtDispatchLevel});
}

TEST_F(VerifierTest, SpinLockReleasedAtTheWrongIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeLowerIrql(PASSIVE_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(Rules(), RuleList{Rule::kSpinLockReleaseIrql});
}

TEST_F(VerifierTest, SpinLockReleasedWithoutBeingHeld) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  RaiseToDispatch();
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  EXPECT_EQ(Rules(), RuleList{Rule::kSpinLockNotHeld});
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(VerifierTest, IrpCompletedTwice) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  Complete(irp, STATUS_SUCCESS);
  Complete(irp, STATUS_SUCCESS);
  IoFreeIrp(irp);
  EXPECT_EQ(Rules(), RuleList{Rule::kIrpCompletedTwice});
}

// --- An IRP completed twice, whoever built it

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
  if (context != nullptr) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The mistake: a synchronous forwarder whose routine lets completion go on.
NTSTATUS NTAPI LetIrpGoOn(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

// Sends a new IRP of major/minor to target and frees it.
void SendOwnIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
  IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(target, irp);
  IoFreeIrp(irp);
}

enum class Origin { kDriver, kPnpManager, kBuiltDeviceControl, kUserProcess };

struct ForwarderCase {
  const char* name;
  Origin origin;
  bool faulty;
};

class DoubleCompletionTest : public VerifierTest, public ::testing::WithParamInterface<ForwarderCase> {};

TEST_P(DoubleCompletionTest, ForwarderCompletingAfterItsRoutineIsReportedOnlyWhenTheRoutineLetItGo) {
  const ForwarderCase& c = GetParam();
  PDEVICE_OBJECT bottom = AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  const bool faulty = c.faulty;
  AddDevice([faulty](PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL &&
        IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_PNP) {
      return PassDown(device, irp);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, faulty ? LetIrpGoOn : KeepIrp, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(TestDeviceOf(device)->lower, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // the IRP may be gone: nothing else of it is touched
    return status;
  }, bottom, L"\\Device\\Forwarder");
  PDEVICE_OBJECT forwarder = devices_.back();
  constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

  switch (c.origin) {
    case Origin::kDriver:
      SendOwnIrp(forwarder, IRP_MJ_DEVICE_CONTROL);
      break;
    case Origin::kPnpManager:
      hostk::SendSynchronousIrp(forwarder, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
      break;
    case Origin::kBuiltDeviceControl: {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IO_STATUS_BLOCK ioStatus{};
      PIRP irp = IoBuildDeviceIoControlRequest(kCode, forwarder, nullptr, 0, nullptr, 0, FALSE, &event, &ioStatus);
      if (IoCallDriver(forwarder, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      break;
    }
    case Origin::kUserProcess: {
      UNICODE_STRING name, link;
      RtlInitUnicodeString(&name, L"\\Device\\Forwarder");
      RtlInitUnicodeString(&link, L"\\DosDevices\\Forwarder");
      ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
      {
        hostk::UserProcess process(1300);
        HANDLE handle = process.CreateFileA("\\\\.\\Forwarder");
        hostk::DWORD returned = 0;
        process.DeviceIoControl(handle, kCode, nullptr, 0, nullptr, 0, &returned, nullptr);
        process.CloseHandle(handle);
      }
      IoDeleteSymbolicLink(&link);
      break;
    }
  }
  EXPECT_EQ(Rules(), c.faulty ? RuleList{Rule::kIrpCompletedTwice} : RuleList{});
}

INSTANTIATE_TEST_SUITE_P(
    Origins, DoubleCompletionTest,
    ::testing::Values(ForwarderCase{"DriverIrpFaulty", Origin::kDriver, true},
                      ForwarderCase{"DriverIrp", Origin::kDriver, false},
                      ForwarderCase{"PnpManagerFaulty", Origin::kPnpManager, true},
                      ForwarderCase{"PnpManager", Origin::kPnpManager, false},
                      ForwarderCase{"BuiltDeviceControlFaulty", Origin::kBuiltDeviceControl, true},
                      ForwarderCase{"BuiltDeviceControl", Origin::kBuiltDeviceControl, false},
                      ForwarderCase{"UserProcessFaulty", Origin::kUserProcess, true},
                      ForwarderCase{"UserProcess", Origin::kUserProcess, false}),
    [](const ::testing::TestParamInfo<ForwarderCase>& param) { return std::string(param.param.name); });

// --- IRPs sent to a removed device

// A filter that passes the removal down and then still sends a request
// of its own below.
TEST_F(VerifierTest, RequestSentBelowAfterTheRemovalWentDownIsReported) {
  PDEVICE_OBJECT pdo = AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  AddDevice([](PDEVICE_OBJECT device, PIRP irp) {
    const NTSTATUS status = PassDown(device, irp);
    SendOwnIrp(TestDeviceOf(device)->lower, IRP_MJ_FLUSH_BUFFERS);
    return status;
  }, pdo);
  EXPECT_EQ(hostk::SendSynchronousIrp(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Rules(), RuleList{Rule::kIrpToRemovedDevice});
}

TEST_F(VerifierTest, RequestToADeletedDeviceIsReported) {
  PDEVICE_OBJECT bottom = AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  AddDevice(PassDown, bottom);
  IoDeleteDevice(bottom);  // lives on until the device above detaches
  Forget(bottom);
  SendOwnIrp(bottom, IRP_MJ_FLUSH_BUFFERS);
  EXPECT_EQ(Rules(), RuleList{Rule::kIrpToRemovedDevice});
}

// A PDO that stays present after its removal may be removed again by the
// Plug and Play manager, started anew, or given a new stack.
TEST_F(VerifierTest, PdoKeptAfterItsRemovalMayBeBroughtBack) {
  auto completeAll = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  PDEVICE_OBJECT rebuilt = AddDevice(completeAll);
  PDEVICE_OBJECT restarted = AddDevice(completeAll);
  for (PDEVICE_OBJECT pdo : {rebuilt, restarted}) {
    hostk::SendSynchronousIrp(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    hostk::SendSynchronousIrp(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  }
  SendOwnIrp(AddDevice(PassDown, rebuilt), IRP_MJ_FLUSH_BUFFERS);
  hostk::SendSynchronousIrp(restarted, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  SendOwnIrp(restarted, IRP_MJ_FLUSH_BUFFERS);
  EXPECT_EQ(Rules(), RuleList{});
}

TEST_F(VerifierTest, IrpCompletedWithStatusPending) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  Complete(irp, STATUS_PENDING);
  IoFreeIrp(irp);
  EXPECT_EQ(Rules(), RuleList{Rule::kIrpCompletedPending});
}

TEST_F(VerifierTest, IrpPassedDownTwiceFromTheSameLocation) {
  PIRP held = nullptr;
  PDEVICE_OBJECT bottom = AddHoldingDevice(&held);
  PDEVICE_OBJECT top = AddDevice([](PDEVICE_OBJECT device, PIRP irp) {
    PassDown(device, irp);
    PassDown(device, irp);  // the lower driver still has it
    return STATUS_PENDING;
  }, bottom);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;

  IoCallDriver(top, irp);
  EXPECT_EQ(Rules(), RuleList{Rule::kIrpPassedDownTwice});
  Complete(held, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

TEST_F(VerifierTest, IrpSentWithNoStackLocationLeft) {
  PDEVICE_OBJECT bottom = AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  PDEVICE_OBJECT top = AddDevice([](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = IoCallDriver(TestDeviceOf(device)->lower, irp);
    if (status == STATUS_INVALID_DEVICE_STATE) Complete(irp, status);
    return status;
  }, bottom);
  PIRP irp = IoAllocateIrp(1, FALSE);  // one location short
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;

  IoCallDriver(top, irp);
  IoFreeIrp(irp);
  EXPECT_EQ(Rules(), RuleList{Rule::kIrpStackOverrun});
}

TEST_F(VerifierTest, PendingReturnedWithoutMarkingTheIrp) {
  PIRP held = nullptr;
  PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;
  });
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;

  IoCallDriver(device, irp);
  Complete(held, STATUS_SUCCESS);
  IoFreeIrp(irp);
  EXPECT_EQ(Rules(), RuleList{Rule::kPendingNotMarked});
}

TEST_F(VerifierTest, DispatchRoutineReturnsAtAnotherIrql) {
  PDEVICE_OBJECT device = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return Complete(irp, STATUS_SUCCESS);
  });
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;

  IoCallDriver(device, irp);
  KeLowerIrql(PASSIVE_LEVEL);
  IoFreeIrp(irp);
  EXPECT_EQ(Rules(), RuleList{Rule::kIrqlNotRestored});
}

TEST_F(VerifierTest, DeletingADeviceThatIsStillAttachedBelow) {
  PDEVICE_OBJECT bottom = AddDevice(PassDown);
  PDEVICE_OBJECT filter = AddDevice(PassDown, bottom);
  IoDeleteDevice(filter);  // without IoDetachDevice first
  Forget(filter);
  EXPECT_EQ(Rules(), RuleList{Rule::kDeleteAttachedDevice});
  EXPECT_EQ(bottom->AttachedDevice, nullptr);
}

TEST_F(VerifierTest, LowerDeviceDeletedBeforeTheUpperDetachesIsTheRemovalOrder) {
  PDEVICE_OBJECT bottom = AddDevice(PassDown);
  PDEVICE_OBJECT filter = AddDevice(PassDown, bottom);
  IoDeleteDevice(bottom);  // as a function driver does while handling the removal
  Forget(bottom);
  EXPECT_EQ(Rules(), RuleList{});
  EXPECT_EQ(hostk::LowerDeviceOf(filter), bottom);  // still there until the filter detaches
}

TEST_F(VerifierTest, DeletingADeviceWhoseRemoveLockIsHeld) {
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, sizeof(IO_REMOVE_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  auto* lock = static_cast<PIO_REMOVE_LOCK>(device->DeviceExtension);
  IoInitializeRemoveLock(lock, kTag, 1, 100);
  int tag;
  IoAcquireRemoveLock(lock, &tag);
  IoDeleteDevice(device);
  EXPECT_EQ(Rules(), RuleList{Rule::kRemoveLockHeldAtDelete});
}

TEST_F(VerifierTest, RemoveLockReleasedWithATagThatDoesNotHoldIt) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, kTag, 1, 100);
  int held, other;
  IoAcquireRemoveLock(&lock, &held);
  IoReleaseRemoveLock(&lock, &other);
  EXPECT_EQ(Rules(), RuleList{Rule::kRemoveLockBadRelease});
}

TEST_F(VerifierTest, PoolFreedWithAnotherTag) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  ExFreePoolWithTag(block, hostk::MakeTag("Othr"));
  EXPECT_EQ(Rules(), RuleList{Rule::kPoolTagMismatch});
  EXPECT_EQ(hostk::PoolUsageOfTag(kTag).allocations, 0u);
}

TEST_F(VerifierTest, FreeingMemoryThatIsNotPool) {
  int notPool = 0;
  ExFreePool(&notPool);
  EXPECT_EQ(Rules(), RuleList{Rule::kPoolBadFree});
}

// A driver that leaves pool, a device, a symbolic link and two kernel
// handles (its device's and its service key's) behind at unload.
PVOID g_leakedBlock;

VOID NTAPI LeakyUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = LeakyUnload;
  g_leakedBlock = ExAllocatePoolWithTag(PagedPool, 24, hostk::MakeTag("Leak"));
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\Leaky");
  RtlInitUnicodeString(&link, L"\\DosDevices\\Leaky");
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  HANDLE handle;
  ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, READ_CONTROL, nullptr, KernelMode, &handle);
  UNICODE_STRING machine;
  RtlInitUnicodeString(&machine, L"\\Registry\\Machine");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &machine, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  ZwOpenKey(&handle, KEY_READ, &attributes);
  return IoCreateSymbolicLink(&link, &name);
}

constexpr Rule kLeakRules[] = {Rule::kHandleLeak, Rule::kHandleLeak, Rule::kDeviceLeak, Rule::kSymbolicLinkLeak,
                               Rule::kPoolLeak};

TEST_F(VerifierTest, UnloadFindsLeftHandlesPoolDevicesAndLinks) {
  PDRIVER_OBJECT leaky;
  ASSERT_EQ(hostk::LoadDriver("leaky", LeakyEntry, &leaky), STATUS_SUCCESS);
  hostk::UnloadDriver(leaky);
  EXPECT_EQ(Rules(), RuleList(std::begin(kLeakRules), std::end(kLeakRules)));
  EXPECT_EQ(hostk::PoolUsageOfTag(hostk::MakeTag("Leak")).allocations, 0u);
  EXPECT_EQ(hostk::FindDevice("\\Device\\Leaky"), nullptr);
  EXPECT_EQ(hostk::SymbolicLinkTarget("\\??\\Leaky"), "");
}

NTSTATUS NTAPI FailingLeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  LeakyEntry(driver, path);
  return STATUS_INSUFFICIENT_RESOURCES;
}

TEST_F(VerifierTest, FailedLoadMustLeaveNothingBehind) {
  PDRIVER_OBJECT leaky;
  EXPECT_EQ(hostk::LoadDriver("leaky", FailingLeakyEntry, &leaky), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(leaky, nullptr);
  EXPECT_EQ(Rules(), RuleList(std::begin(kLeakRules), std::end(kLeakRules)));
}

}  // namespace
}  // namespace hostk_test
