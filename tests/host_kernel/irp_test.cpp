// How IRPs travel: stack building, completion routine order and invoke
// flags, STATUS_MORE_PROCESSING_REQUIRED, pending propagation, and device
// control requests built by the I/O manager.
#include <cstring>
#include <string>

#include "test_support.h"

namespace hostk_test {
namespace {

using Rule = hostk::verifier::Rule;

struct RoutineLog {
  std::vector<std::string> calls;
  std::vector<PDEVICE_OBJECT> devices;
  std::vector<BOOLEAN> pendingSeen;
  NTSTATUS result = STATUS_SUCCESS;
};

struct NamedRoutine {
  RoutineLog* log;
  std::string name;
};

NTSTATUS NTAPI LoggingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* routine = static_cast<NamedRoutine*>(context);
  routine->log->calls.push_back(routine->name);
  routine->log->devices.push_back(device);
  routine->log->pendingSeen.push_back(irp->PendingReturned);
  // A well-behaved routine of a driver (not the originator's) carries the
  // pending state up to its own location.
  if (device != nullptr && irp->PendingReturned) IoMarkIrpPending(irp);
  return routine->log->result;
}

// Forwards with a completion routine, as a filter does.
Dispatch ForwardWith(NamedRoutine* routine, bool success = true, bool error = true, bool cancel = true) {
  return [=](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LoggingRoutine, routine, success, error, cancel);
    return IoCallDriver(TestDeviceOf(device)->lower, irp);
  };
}

// Forwards without a completion routine.
NTSTATUS CopyDown(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  return IoCallDriver(TestDeviceOf(device)->lower, irp);
}

Dispatch CompleteWith(NTSTATUS status, ULONG_PTR information = 0) {
  return [=](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, status, information); };
}

class IrpTest : public KernelTest {
 protected:
  // An IRP for the top of a stack, as a driver would build one.
  PIRP NewIrp(PDEVICE_OBJECT top, UCHAR major = IRP_MJ_FLUSH_BUFFERS) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    irps_.push_back(irp);
    return irp;
  }
  void TearDown() override {
    for (PIRP irp : irps_) IoFreeIrp(irp);
    KernelTest::TearDown();
  }
  std::vector<PIRP> irps_;
  RoutineLog log_;
};

TEST_F(IrpTest, AttachingReturnsTheTopOfTheStackAndGrowsStackSize) {
  PDEVICE_OBJECT bottom = AddDevice(CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT middle = AddDevice(PassDown, bottom);
  PDEVICE_OBJECT top = AddDevice(PassDown, bottom);  // attaches above middle

  EXPECT_EQ(TestDeviceOf(top)->lower, middle);
  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(bottom->AttachedDevice, middle);
  EXPECT_EQ(middle->AttachedDevice, top);
  EXPECT_EQ(IoGetAttachedDevice(bottom), top);
  EXPECT_EQ(hostk::BottomOfStack(top), bottom);
}

TEST_F(IrpTest, AttachFailsWhenFaultInjected) {
  PDEVICE_OBJECT bottom = AddDevice(CompleteWith(STATUS_SUCCESS));
  hostfault::Arm("IoAttachDeviceToDeviceStack");
  PDEVICE_OBJECT filter = AddDevice(PassDown, bottom);

  EXPECT_EQ(TestDeviceOf(filter)->lower, nullptr);
  EXPECT_EQ(bottom->AttachedDevice, nullptr);
  EXPECT_EQ(filter->StackSize, 1);
}

TEST_F(IrpTest, CompletionRoutinesRunBottomUpWithTheirOwnDevices) {
  NamedRoutine upper{&log_, "upper"}, lower{&log_, "lower"};
  PDEVICE_OBJECT bottom = AddDevice(CompleteWith(STATUS_SUCCESS, 7));
  PDEVICE_OBJECT middle = AddDevice(ForwardWith(&lower), bottom);
  PDEVICE_OBJECT top = AddDevice(ForwardWith(&upper), middle);
  PIRP irp = NewIrp(top);

  EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);

  EXPECT_EQ(log_.calls, (std::vector<std::string>{"lower", "upper"}));
  EXPECT_EQ(log_.devices, (std::vector<PDEVICE_OBJECT>{middle, top}));
  EXPECT_EQ(irp->IoStatus.Information, 7u);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 2);  // past the top, as Windows leaves it
}

struct InvokeCase {
  const char* name;
  NTSTATUS status;
  bool cancel;
  bool onSuccess, onError, onCancel;
  bool invoked;
};

class InvokeFlagsTest : public IrpTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(InvokeFlagsTest, RoutineRunsOnlyWhenItsFlagMatches) {
  const InvokeCase& c = GetParam();
  NamedRoutine routine{&log_, "filter"};
  PDEVICE_OBJECT bottom = AddDevice(CompleteWith(c.status));
  PDEVICE_OBJECT top = AddDevice(ForwardWith(&routine, c.onSuccess, c.onError, c.onCancel), bottom);
  PIRP irp = NewIrp(top);
  irp->Cancel = c.cancel;

  IoCallDriver(top, irp);

  EXPECT_EQ(log_.calls.size(), c.invoked ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, InvokeFlagsTest,
    // Warnings are not success: the error flag applies to them.
    ::testing::Values(
                      InvokeCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
                      InvokeCase{"SuccessWithoutSuccessFlag", STATUS_SUCCESS, false, false, true, true, false},
                      InvokeCase{"ErrorOnError", STATUS_UNSUCCESSFUL, false, false, true, false, true},
                      InvokeCase{"ErrorWithoutErrorFlag", STATUS_UNSUCCESSFUL, false, true, false, false, false},
                      InvokeCase{"WarningOnError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      InvokeCase{"WarningOnSuccessOnly", STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
                      InvokeCase{"CancelledOnCancel", STATUS_CANCELLED, true, false, false, true, true},
                      InvokeCase{"CancelFlagCoversSuccess", STATUS_SUCCESS, true, false, false, true, true},
                      InvokeCase{"CancelledWithoutFlags", STATUS_SUCCESS, true, false, false, false, false}),
    [](const ::testing::TestParamInfo<InvokeCase>& param) { return std::string(param.param.name); });

TEST_F(IrpTest, MoreProcessingRequiredStopsCompletionUntilTheIrpIsCompletedAgain) {
  NamedRoutine upper{&log_, "upper"};
  NamedRoutine lowerRoutine{&log_, "lower"};
  RoutineLog stopLog;
  stopLog.result = STATUS_MORE_PROCESSING_REQUIRED;
  NamedRoutine stopper{&stopLog, "stopper"};
  PDEVICE_OBJECT bottom = AddDevice(CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT middle = AddDevice(ForwardWith(&stopper), bottom);
  PDEVICE_OBJECT top = AddDevice(ForwardWith(&upper), middle);
  PIRP irp = NewIrp(top);

  IoCallDriver(top, irp);
  EXPECT_EQ(stopLog.calls.size(), 1u);
  EXPECT_TRUE(log_.calls.empty());
  // The IRP is back at the middle device's location, which owns it again.
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, middle);

  Complete(irp, STATUS_SUCCESS);
  EXPECT_EQ(log_.calls, (std::vector<std::string>{"upper"}));
}

TEST_F(IrpTest, PendingIsPropagatedThroughLocationsWithoutRoutine) {
  PIRP held = nullptr;
  PDEVICE_OBJECT bottom = AddHoldingDevice(&held);
  PDEVICE_OBJECT middle = AddDevice(CopyDown, bottom);
  NamedRoutine upper{&log_, "upper"};
  PDEVICE_OBJECT top = AddDevice(ForwardWith(&upper), middle);
  PIRP irp = NewIrp(top);

  EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
  Complete(held, STATUS_SUCCESS);

  ASSERT_EQ(log_.pendingSeen.size(), 1u);
  EXPECT_TRUE(log_.pendingSeen[0]);
  EXPECT_TRUE(Rules().empty());
}

NTSTATUS NTAPI PropagatingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

TEST_F(IrpTest, RoutineThatPropagatesPendingMarksItsOwnLocation) {
  PIRP held = nullptr;
  PDEVICE_OBJECT bottom = AddHoldingDevice(&held);
  PDEVICE_OBJECT filter = AddDevice([](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PropagatingRoutine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(TestDeviceOf(device)->lower, irp);
  }, bottom);
  NamedRoutine top{&log_, "originator"};
  PIRP irp = NewIrp(filter);
  IoSetCompletionRoutine(irp, LoggingRoutine, &top, TRUE, TRUE, TRUE);

  EXPECT_EQ(IoCallDriver(filter, irp), STATUS_PENDING);
  Complete(held, STATUS_SUCCESS);

  // The filter returned STATUS_PENDING unmarked; its routine made it
  // right, so the verifier is content and the originator sees pending.
  EXPECT_TRUE(Rules().empty());
  ASSERT_EQ(log_.pendingSeen.size(), 1u);
  EXPECT_TRUE(log_.pendingSeen[0]);
}

class DeviceControlTest : public IrpTest {
 protected:
  // A device answering every control request by writing 0x5A into the
  // whole system buffer and completing with status and information.
  PDEVICE_OBJECT Responder(NTSTATUS status, ULONG_PTR information) {
    return AddDevice([=](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      seenMajor_ = sp->MajorFunction;
      ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
      ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
      auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
      if (buffer != nullptr) {
        seenInput_.assign(buffer, buffer + in);
        std::memset(buffer, 0x5A, in > out ? in : out);
      }
      return Complete(irp, status, information);
    });
  }
  UCHAR seenMajor_ = 0xFF;
  std::vector<unsigned char> seenInput_;
};

TEST_F(DeviceControlTest, BufferedRequestCopiesInputDownAndInformationBytesBack) {
  PDEVICE_OBJECT device = Responder(STATUS_SUCCESS, 3);
  unsigned char input[4] = {1, 2, 3, 4};
  unsigned char output[8] = {};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           device, input, sizeof input, output, sizeof output, FALSE,
                                           &event, &iosb);
  ASSERT_NE(irp, nullptr);

  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);

  EXPECT_EQ(seenMajor_, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(seenInput_, (std::vector<unsigned char>{1, 2, 3, 4}));
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  const unsigned char expected[8] = {0x5A, 0x5A, 0x5A, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(output, expected, sizeof output), 0);
}

TEST_F(DeviceControlTest, FailedRequestCopiesNothingBackButFillsTheStatusBlock) {
  PDEVICE_OBJECT device = Responder(STATUS_INVALID_DEVICE_REQUEST, 0);
  unsigned char output[4] = {};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SCSI_GET_ADDRESS, device, nullptr, 0, output,
                                           sizeof output, FALSE, &event, &iosb);

  EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);

  EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  const unsigned char untouched[4] = {};
  EXPECT_EQ(std::memcmp(output, untouched, sizeof output), 0);
}

TEST_F(DeviceControlTest, InternalRequestGoesAsInternalDeviceControl) {
  PDEVICE_OBJECT device = Responder(STATUS_SUCCESS, 0);
  IO_STATUS_BLOCK iosb{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SCSI_GET_ADDRESS, device, nullptr, 0, nullptr, 0, TRUE,
                                           &event, &iosb);

  IoCallDriver(device, irp);

  EXPECT_EQ(seenMajor_, IRP_MJ_INTERNAL_DEVICE_CONTROL);
}

TEST_F(DeviceControlTest, BuildingFailsWhenFaultInjected) {
  PDEVICE_OBJECT device = Responder(STATUS_SUCCESS, 0);
  IO_STATUS_BLOCK iosb{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  hostfault::Arm("IoBuildDeviceIoControlRequest");

  EXPECT_EQ(IoBuildDeviceIoControlRequest(IOCTL_SCSI_GET_ADDRESS, device, nullptr, 0, nullptr, 0, FALSE,
                                          &event, &iosb),
            nullptr);
}

TEST_F(DeviceControlTest, InformationBeyondTheOutputBufferIsCutAndReported) {
  PDEVICE_OBJECT device = Responder(STATUS_SUCCESS, 16);
  unsigned char output[4] = {};
  unsigned char input[16] = {};
  IO_STATUS_BLOCK iosb{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           device, input, sizeof input, output, sizeof output, FALSE,
                                           &event, &iosb);
  ExpectViolations();

  IoCallDriver(device, irp);

  EXPECT_EQ(Rules(), std::vector<Rule>{Rule::kInformationTooLarge});
  const unsigned char expected[4] = {0x5A, 0x5A, 0x5A, 0x5A};
  EXPECT_EQ(std::memcmp(output, expected, sizeof output), 0);
}

}  // namespace
}  // namespace hostk_test

namespace hostk_test {
namespace {

TEST_F(IrpTest, SynchronousPnpIrpKeepsNotSupportedWhenNobodyHandlesIt) {
  DEVICE_RELATION_TYPE seen = TransportRelations;
  // Leaves the status untouched, as a bus driver does for what it does
  // not handle.
  PDEVICE_OBJECT bottom = AddDevice([&seen](PDEVICE_OBJECT, PIRP irp) {
    seen = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type;
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  });
  PDEVICE_OBJECT filter = AddDevice(PassDown, bottom);

  ULONG_PTR information = 1;
  NTSTATUS status = hostk::SendSynchronousIrp(
      filter, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
      [](IO_STACK_LOCATION& sp) { sp.Parameters.QueryDeviceRelations.Type = BusRelations; }, &information);

  EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(seen, BusRelations);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(filter->ReferenceCount, 0);
}

}  // namespace
}  // namespace hostk_test
