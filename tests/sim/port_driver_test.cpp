// The test port driver: what tests configure is what the stack above
// sees, and held requests complete when and how the test says.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tests/common/verifier_reports.h"
#include "host_kernel/host_control.h"
#include "sim/port_driver.h"

namespace {

class PortDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::RecordVerifierReports();
  }
  void TearDown() override {
    port_.reset();
    EXPECT_EQ(hostk::PoolUsageOfTag(hostk::MakeTag("SmPt")).allocations, 0u);
    testsupport::FailOnVerifierReports();
  }

  NTSTATUS Ioctl(PDEVICE_OBJECT device, ULONG code, void* in, ULONG in_size, void* out, ULONG out_size,
                 ULONG_PTR* information) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io_status;
    std::memset(&io_status, 0, sizeof io_status);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, in_size, out, out_size, FALSE, &done, &io_status);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = io_status.Status;
    }
    *information = io_status.Information;
    return status;
  }

  std::unique_ptr<sim::PortDriver> port_ = std::make_unique<sim::PortDriver>("simport");
};

TEST_F(PortDriverTest, HeldRequestsPendUntilCompletedInTheChosenOrder) {
  sim::PortDevice& pdo = port_->CreateDevice({FILE_DEVICE_DISK});
  pdo.HoldRequests(true);
  PIRP first = nullptr;
  PIRP second = nullptr;
  PIRP third = nullptr;
  EXPECT_EQ(sim::SendSrb(pdo.Object(), 1, &first), STATUS_PENDING);
  EXPECT_EQ(sim::SendPassThrough(pdo.Object(), 2, false, &second), STATUS_PENDING);
  EXPECT_EQ(sim::SendSrb(pdo.Object(), 3, &third), STATUS_PENDING);
  ASSERT_EQ(pdo.PendingCount(), 3u);

  std::vector<sim::SeenRequest> seen = pdo.Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].target_id, 1);
  EXPECT_EQ(seen[1].ioctl, static_cast<ULONG>(IOCTL_SCSI_PASS_THROUGH));
  EXPECT_EQ(seen[1].target_id, 2);

  EXPECT_TRUE(pdo.CompleteAt(1));  // the pass-through first
  EXPECT_EQ(pdo.PendingCount(), 2u);
  EXPECT_TRUE(pdo.CompleteNext(STATUS_IO_DEVICE_ERROR));
  EXPECT_EQ(pdo.PendingCount(), 1u);
  EXPECT_EQ(pdo.CompleteAll(), 1u);
  EXPECT_FALSE(pdo.CompleteNext());
  EXPECT_EQ(pdo.CountSeen(IRP_MJ_SCSI), 2u);
  EXPECT_EQ(pdo.CountIoctl(IOCTL_SCSI_PASS_THROUGH), 1u);
}

TEST_F(PortDriverTest, RequestsThroughAFunctionDeviceReachThePdoExactlyOnce) {
  sim::PortDevice& pdo = port_->CreateDevice({FILE_DEVICE_DISK});
  sim::PortDriver atapi("atapi");
  PDEVICE_OBJECT fdo = atapi.AttachFunctionDevice(pdo.Object());
  PIRP irp = nullptr;
  pdo.HoldRequests(true);
  EXPECT_EQ(sim::SendSrb(pdo.Object(), 0, &irp), STATUS_PENDING);
  EXPECT_EQ(pdo.TimesSeen(irp), 1u);
  pdo.CompleteAll();
  pdo.ClearSeen();  // a freed IRP's address may come back
  EXPECT_EQ(sim::SendPassThrough(pdo.Object(), 0, true, &irp), STATUS_PENDING);
  EXPECT_EQ(pdo.TimesSeen(irp), 1u);
  EXPECT_EQ(pdo.CountIoctl(IOCTL_SCSI_PASS_THROUGH_DIRECT), 1u);
  pdo.CompleteAll();
  atapi.RemoveFunctionDevice(fdo);
}

TEST_F(PortDriverTest, ImmediateRequestsCompleteWithTheConfiguredStatus) {
  sim::PortDevice& pdo = port_->CreateDevice();
  EXPECT_EQ(sim::SendSrb(pdo.Object(), 0), STATUS_SUCCESS);
  pdo.SetRequestStatus(STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(sim::SendSrb(pdo.Object(), 0), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(pdo.PendingCount(), 0u);
}

TEST_F(PortDriverTest, HeldRequestsCompleteFromAnotherThread) {
  sim::PortDevice& pdo = port_->CreateDevice();
  pdo.HoldRequests(true);
  for (UCHAR i = 0; i < 16; ++i) sim::SendSrb(pdo.Object(), i);
  size_t done = 0;
  std::thread completer([&] { done = pdo.CompleteAll(); });
  completer.join();
  EXPECT_EQ(done, 16u);
  EXPECT_EQ(pdo.PendingCount(), 0u);
}

TEST_F(PortDriverTest, AnswersScsiAddressAndBusTypeOrFailsAsConfigured) {
  sim::PortDevice& pdo = port_->CreateDevice();
  SCSI_ADDRESS address;
  std::memset(&address, 0xCC, sizeof address);
  ULONG_PTR information = 0;
  EXPECT_EQ(Ioctl(pdo.Object(), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &information),
            STATUS_INVALID_DEVICE_REQUEST);

  pdo.SetScsiAddress({3, 0, 5, 0});
  ASSERT_EQ(Ioctl(pdo.Object(), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, sizeof(SCSI_ADDRESS));
  EXPECT_EQ(address.PortNumber, 3);
  EXPECT_EQ(address.TargetId, 5);

  STORAGE_PROPERTY_QUERY query;
  std::memset(&query, 0, sizeof query);
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  UCHAR reply[2048];
  EXPECT_EQ(Ioctl(pdo.Object(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, reply, sizeof reply, &information),
            STATUS_INVALID_DEVICE_REQUEST);
  pdo.SetBusType(BusTypeUsb);
  ASSERT_EQ(Ioctl(pdo.Object(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, reply, sizeof reply, &information),
            STATUS_SUCCESS);
  STORAGE_DEVICE_DESCRIPTOR descriptor;
  std::memcpy(&descriptor, reply, sizeof descriptor);
  EXPECT_EQ(descriptor.BusType, BusTypeUsb);
  pdo.FailQueryProperty(STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Ioctl(pdo.Object(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, reply, sizeof reply, &information),
            STATUS_NOT_SUPPORTED);
}

TEST_F(PortDriverTest, PropertiesAreReturnedAsConfiguredIncludingOverlongAndFailing) {
  sim::PortDevice& pdo = port_->CreateDevice();
  pdo.SetProperty(DevicePropertyClassGuid, u"{4D36E967-E325-11CE-BFC1-08002BE10318}");
  pdo.SetProperty(DevicePropertyDeviceDescription, std::u16string(300, u'D'));
  pdo.FailProperty(DevicePropertyEnumeratorName, STATUS_OBJECT_NAME_NOT_FOUND);
  WCHAR buffer[1024];
  ULONG length = 0;
  ASSERT_EQ(IoGetDeviceProperty(pdo.Object(), DevicePropertyClassGuid, sizeof buffer, buffer, &length),
            STATUS_SUCCESS);
  EXPECT_EQ(length, 39u * sizeof(WCHAR));
  ASSERT_EQ(IoGetDeviceProperty(pdo.Object(), DevicePropertyDeviceDescription, sizeof buffer, buffer, &length),
            STATUS_SUCCESS);
  EXPECT_EQ(length, 301u * sizeof(WCHAR));
  EXPECT_EQ(IoGetDeviceProperty(pdo.Object(), DevicePropertyEnumeratorName, sizeof buffer, buffer, &length),
            STATUS_OBJECT_NAME_NOT_FOUND);

  pdo.SetProperty(DevicePropertyDeviceDescription, std::u16string(1100, u'L'));  // 2202 bytes
  EXPECT_FALSE(NT_SUCCESS(IoGetDeviceProperty(pdo.Object(), DevicePropertyDeviceDescription, 2048, buffer, &length)));
}

TEST_F(PortDriverTest, BusRelationsAnswerChildrenEmptyFailureOrNothing) {
  sim::PortDevice& bus = port_->CreateDevice({FILE_DEVICE_CONTROLLER});
  sim::PortDevice& a = port_->CreateDevice();
  sim::PortDevice& b = port_->CreateDevice();
  auto query = [&](ULONG_PTR preset, NTSTATUS* status) {
    PIRP irp = IoAllocateIrp(bus.Object()->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = preset;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
    next->Parameters.QueryDeviceRelations.Type = BusRelations;
    IoCallDriver(bus.Object(), irp);
    *status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return information;
  };
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(query(0, &status), 0u);
  EXPECT_EQ(status, STATUS_NOT_SUPPORTED);  // no answer: as it came

  bus.SetBusRelations(sim::RelationsAnswer::kChildren, {a.Object(), b.Object()});
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(query(0, &status));
  ASSERT_NE(relations, nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(relations->Count, 2u);
  EXPECT_EQ(relations->Objects[0], a.Object());
  EXPECT_EQ(relations->Objects[1], b.Object());
  ObDereferenceObject(relations->Objects[0]);
  ObDereferenceObject(relations->Objects[1]);
  ExFreePool(relations);

  bus.SetBusRelations(sim::RelationsAnswer::kEmpty);
  relations = reinterpret_cast<PDEVICE_RELATIONS>(query(0, &status));
  ASSERT_NE(relations, nullptr);
  EXPECT_EQ(relations->Count, 0u);
  ExFreePool(relations);

  bus.SetBusRelations(sim::RelationsAnswer::kFail, {}, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(query(0, &status), 0u);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bus.CountSeen(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS), 4u);
}

}  // namespace
