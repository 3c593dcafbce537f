// The kernel as strict as Windows 2000 where drivers most often rely on
// leniency: remove lock limits, the power manager's one IRP at a time,
// the APC that finishes a driver-built IRP, properties of PDOs only, and
// the test hooks that put an event at an exact point. Each rule fires on
// a driver that breaks it.
#include <atomic>
#include <thread>

#include "test_support.h"

namespace hostk_test {
namespace {

using Rule = hostk::verifier::Rule;
using RuleList = std::vector<Rule>;

constexpr ULONG kTag = hostk::MakeTag("Test");
constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class StrictKernelTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    ExpectViolations();
  }
  void TearDown() override {
    hostk::ClearHooks();
    hostk::UseRealClock();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) KeLowerIrql(PASSIVE_LEVEL);
    KernelTest::TearDown();
  }
};

// --- Remove locks

TEST_F(StrictKernelTest, RemoveLockCountAboveItsHighWatermarkIsReported) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, kTag, 0, 3);  // the initial count and two holders
  int tags[3];
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[0]), STATUS_SUCCESS);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[1]), STATUS_SUCCESS);
  EXPECT_EQ(Rules(), RuleList{});
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[2]), STATUS_SUCCESS);
  EXPECT_EQ(Rules(), RuleList{Rule::kRemoveLockHighWatermark});
  for (int& tag : tags) IoReleaseRemoveLock(&lock, &tag);
}

TEST_F(StrictKernelTest, RemoveLockHeldLongerThanItsMinutesIsReportedAtRelease) {
  hostk::UseVirtualClock();
  hostk::SetVirtualTicks(0);
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, kTag, 1, 0);
  int tag = 0;
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);
  hostk::AdvanceVirtualTicks(60 * hostk::PerformanceFrequency());  // exactly the minute: allowed
  IoReleaseRemoveLock(&lock, &tag);
  EXPECT_EQ(Rules(), RuleList{});

  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);
  hostk::AdvanceVirtualTicks(60 * hostk::PerformanceFrequency() + 1);
  IoReleaseRemoveLock(&lock, &tag);
  EXPECT_EQ(Rules(), RuleList{Rule::kRemoveLockHeldTooLong});
}

TEST_F(StrictKernelTest, RemoveLockWithoutLimitsTakesAnyNumberOfHoldersForAnyTime) {
  hostk::UseVirtualClock();
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, kTag, 0, 0);
  std::vector<int> tags(1000);
  for (int& tag : tags) EXPECT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);
  hostk::AdvanceVirtualTicks(24 * 3600 * hostk::PerformanceFrequency());
  for (int& tag : tags) IoReleaseRemoveLock(&lock, &tag);
  EXPECT_EQ(Rules(), RuleList{});
}

// --- The power manager

class PowerTest : public StrictKernelTest {
 protected:
  // A bottom device that keeps every power IRP pending and records the
  // IRQL it was called at; it never calls PoStartNextPowerIrp itself.
  PDEVICE_OBJECT AddPowerDevice(ULONG flags) {
    PDEVICE_OBJECT device = AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
      irqls_.push_back(KeGetCurrentIrql());
      IoMarkIrpPending(irp);
      held_.push_back(irp);
      return STATUS_PENDING;
    });
    device->Flags |= flags;
    return device;
  }
  PIRP SetPower(PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    EXPECT_EQ(PoCallDriver(device, irp), STATUS_PENDING);
    return irp;
  }
  static void CompleteAtDispatch(PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(irp, STATUS_SUCCESS);
    KeLowerIrql(old);
  }
  std::vector<KIRQL> irqls_;
  std::vector<PIRP> held_;
};

TEST_F(PowerTest, OnePowerIrpAtATimeUntilPoStartNextPowerIrp) {
  PDEVICE_OBJECT device = AddPowerDevice(DO_POWER_PAGABLE);
  PIRP first = SetPower(device);
  PIRP second = SetPower(device);
  ASSERT_EQ(held_.size(), 1u);  // the second waits

  PoStartNextPowerIrp(first);
  ASSERT_EQ(held_.size(), 2u);
  EXPECT_EQ(held_[1], second);
  PoStartNextPowerIrp(second);
  Complete(first, STATUS_SUCCESS);
  Complete(second, STATUS_SUCCESS);
  IoFreeIrp(first);
  IoFreeIrp(second);
  EXPECT_EQ(Rules(), RuleList{});
}

TEST_F(PowerTest, PowerIrpFinishedWithoutPoStartNextPowerIrpIsReportedAndTheNextGoesOn) {
  PDEVICE_OBJECT device = AddPowerDevice(DO_POWER_PAGABLE);
  PIRP first = SetPower(device);
  PIRP second = SetPower(device);
  Complete(first, STATUS_SUCCESS);
  EXPECT_EQ(Rules(), RuleList{Rule::kPowerIrpNotStarted});
  ASSERT_EQ(held_.size(), 2u);
  PoStartNextPowerIrp(second);
  Complete(second, STATUS_SUCCESS);
  IoFreeIrp(first);
  IoFreeIrp(second);
}

TEST_F(PowerTest, DevicesWithoutPowerPagableGetPowerIrpsAtDispatchLevel) {
  PDEVICE_OBJECT pagable = AddPowerDevice(DO_POWER_PAGABLE);
  PDEVICE_OBJECT resident = AddPowerDevice(0);
  PIRP first = SetPower(pagable);
  PIRP second = SetPower(resident);
  EXPECT_EQ(irqls_, (std::vector<KIRQL>{PASSIVE_LEVEL, DISPATCH_LEVEL}));
  for (PIRP irp : {first, second}) {
    PoStartNextPowerIrp(irp);
    CompleteAtDispatch(irp);
    IoFreeIrp(irp);
  }
  EXPECT_EQ(Rules(), RuleList{});
}

// --- The APC that finishes a driver-built IRP

class BuiltIrpTest : public StrictKernelTest {
 protected:
  void SetUp() override {
    StrictKernelTest::SetUp();
    device_ = AddHoldingDevice(&held_);
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
  }
  // Builds and sends a device control the device keeps pending.
  void SendHeld() {
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, device_, nullptr, 0, nullptr, 0, FALSE, &done_, &iosb_);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device_, irp), STATUS_PENDING);
  }
  // Completes the held IRP in another thread, as a port driver's DPC would.
  void CompleteElsewhere() {
    std::thread([irp = held_] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      Complete(irp, STATUS_SUCCESS);
      KeLowerIrql(old);
    }).join();
  }
  PDEVICE_OBJECT device_ = nullptr;
  PIRP held_ = nullptr;
  KEVENT done_;
  IO_STATUS_BLOCK iosb_{};
};

TEST_F(BuiltIrpTest, CompletionInAnotherThreadFinishesInTheBuilderWhileItWaits) {
  SendHeld();
  CompleteElsewhere();
  EXPECT_EQ(KeReadStateEvent(&done_), 0);  // the APC has not run yet
  EXPECT_EQ(KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
  EXPECT_EQ(Rules(), RuleList{});
}

TEST_F(BuiltIrpTest, CompletionAtDispatchLevelInTheBuilderFinishesWhenItLowersItsIrql) {
  SendHeld();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Complete(held_, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&done_), 0);
  KeLowerIrql(old);
  EXPECT_EQ(KeReadStateEvent(&done_), 1);
  EXPECT_EQ(Rules(), RuleList{});
}

TEST_F(BuiltIrpTest, WaitingAtApcLevelForABuiltIrpIsReportedAsADeadlock) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);  // what holding a fast mutex does
  SendHeld();
  CompleteElsewhere();
  KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
  KeLowerIrql(old);
  EXPECT_EQ(Rules(), RuleList{Rule::kApcDeadlock});
}

TEST_F(BuiltIrpTest, CriticalRegionDoesNotHoldBackTheCompletion) {
  KeEnterCriticalRegion();
  SendHeld();
  CompleteElsewhere();
  EXPECT_EQ(KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  KeLeaveCriticalRegion();
  EXPECT_EQ(Rules(), RuleList{});
}

TEST_F(BuiltIrpTest, FreeingABuiltIrpIsReportedAndLeavesItToTheIoManager) {
  PIRP irp = IoBuildDeviceIoControlRequest(kCode, device_, nullptr, 0, nullptr, 0, FALSE, &done_, &iosb_);
  ASSERT_NE(irp, nullptr);
  IoFreeIrp(irp);
  EXPECT_EQ(Rules(), RuleList{Rule::kFreeThreadedIrp});
  EXPECT_EQ(IoCallDriver(device_, irp), STATUS_PENDING);
  Complete(held_, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&done_), 1);
}

TEST_F(StrictKernelTest, LeavingACriticalRegionNotEnteredIsReported) {
  KeLeaveCriticalRegion();
  EXPECT_EQ(Rules(), RuleList{Rule::kApcIndexMismatch});
}

// --- Device properties

TEST_F(StrictKernelTest, PropertiesOfADeviceThatIsNotAPdoAreReported) {
  PDEVICE_OBJECT pdo = AddDevice(PassDown);
  hostk::SetDevicePropertyString(pdo, DevicePropertyDeviceDescription, "Disk");
  PDEVICE_OBJECT filter = AddDevice(PassDown, pdo);
  PDEVICE_OBJECT unknown = AddDevice(PassDown);
  WCHAR buffer[32];
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyDeviceDescription, sizeof buffer, buffer, &length),
            STATUS_SUCCESS);
  EXPECT_EQ(Rules(), RuleList{});
  IoGetDeviceProperty(filter, DevicePropertyDeviceDescription, sizeof buffer, buffer, &length);
  IoGetDeviceProperty(unknown, DevicePropertyDeviceDescription, sizeof buffer, buffer, &length);
  EXPECT_EQ(Rules(), (RuleList{Rule::kNotPhysicalDevice, Rule::kNotPhysicalDevice}));
}

// --- Hooks

TEST_F(StrictKernelTest, EachHookRunsAtItsPointWithItsObject) {
  std::vector<const void*> seen;
  auto record = [&seen](const void* object) { seen.push_back(object); };
  hostk::SetHook(hostk::HookPoint::kSpinLockAcquire, record);
  hostk::SetHook(hostk::HookPoint::kRemoveLockReleased, record);
  hostk::SetHook(hostk::HookPoint::kDeviceDelete, record);

  KSPIN_LOCK spin;
  KeInitializeSpinLock(&spin);
  KIRQL old;
  KeAcquireSpinLock(&spin, &old);
  KeReleaseSpinLock(&spin, old);
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, kTag, 0, 0);
  int tag = 0;
  (void)IoAcquireRemoveLock(&lock, &tag);
  IoReleaseRemoveLock(&lock, &tag);
  PDEVICE_OBJECT device = AddDevice(PassDown);
  Forget(device);
  IoDeleteDevice(device);
  hostk::ClearHooks();

  EXPECT_EQ(seen, (std::vector<const void*>{&spin, &lock, device}));
  EXPECT_EQ(Rules(), RuleList{});
}

}  // namespace
}  // namespace hostk_test
