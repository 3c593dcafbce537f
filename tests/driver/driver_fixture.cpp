#include "driver_fixture.h"

#include <cstring>

#include "platform/host_registry/registry.h"
#include "tests/common/verifier_reports.h"

namespace drivertest {
namespace {

constexpr const char* kServiceKey = "System\\CurrentControlSet\\Services\\qelvard1";

}  // namespace

// --- TestRequest

TestRequest::TestRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor)
    : target_(target), irp_(IoAllocateIrp(target->StackSize, FALSE)) {
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  irp_->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
}

TestRequest::~TestRequest() {
  EXPECT_TRUE(done_.load()) << "request destroyed before it completed";
  if (done_.load()) IoFreeIrp(irp_);
}

std::unique_ptr<TestRequest> TestRequest::Srb(PDEVICE_OBJECT target, UCHAR targetId) {
  std::unique_ptr<TestRequest> request(new TestRequest(target, IRP_MJ_SCSI, 0));
  request->srb_.Length = sizeof(SCSI_REQUEST_BLOCK);
  request->srb_.Function = SRB_FUNCTION_EXECUTE_SCSI;
  request->srb_.TargetId = targetId;
  request->srb_.OriginalRequest = request->irp_;
  request->Stack()->Parameters.Scsi.Srb = &request->srb_;
  return request;
}

std::unique_ptr<TestRequest> TestRequest::PassThrough(PDEVICE_OBJECT target, ULONG code, UCHAR targetId,
                                                      ULONG inputLength) {
  std::unique_ptr<TestRequest> request = DeviceControl(target, code);
  if (inputLength > 0) {
    request->buffer_.assign(std::max<size_t>(inputLength, sizeof(SCSI_PASS_THROUGH)), 0);
    SCSI_PASS_THROUGH header{};
    header.Length = sizeof(header);
    header.TargetId = targetId;
    std::memcpy(request->buffer_.data(), &header, sizeof(header));
    request->buffer_.resize(inputLength);  // a short buffer really is short
    request->buffer_.shrink_to_fit();
    request->irp_->AssociatedIrp.SystemBuffer = request->buffer_.data();
  }
  request->Stack()->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  request->Stack()->Parameters.DeviceIoControl.OutputBufferLength = inputLength;
  return request;
}

std::unique_ptr<TestRequest> TestRequest::DeviceControl(PDEVICE_OBJECT target, ULONG code) {
  std::unique_ptr<TestRequest> request(new TestRequest(target, IRP_MJ_DEVICE_CONTROL, 0));
  request->Stack()->Parameters.DeviceIoControl.IoControlCode = code;
  return request;
}

std::unique_ptr<TestRequest> TestRequest::Major(PDEVICE_OBJECT target, UCHAR major, UCHAR minor) {
  return std::unique_ptr<TestRequest>(new TestRequest(target, major, minor));
}

std::unique_ptr<TestRequest> TestRequest::Pnp(PDEVICE_OBJECT target, UCHAR minor) {
  return Major(target, IRP_MJ_PNP, minor);
}

// Power requests go the power manager's way.
NTSTATUS TestRequest::Send() {
  if (IoGetNextIrpStackLocation(irp_)->MajorFunction == IRP_MJ_POWER) return PoCallDriver(target_, irp_);
  return IoCallDriver(target_, irp_);
}

NTSTATUS NTAPI TestRequest::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<TestRequest*>(context);
  request->status_ = irp->IoStatus.Status;
  request->information_ = irp->IoStatus.Information;
  request->done_.store(true);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours again
}

// --- DriverTest

void DriverTest::SetUp() {
  testsupport::RecordVerifierReports();
  hostk::UseVirtualClock();
  hostk::SetVirtualTicks(0);
  ClearFlagsValue();
  lower_ = std::make_unique<testlower::LowerDriver>();
}

void DriverTest::TearDown() {
  lower_->BehaveNormally();
  lower_->CompleteAllHeld();
  kept_.clear();
  if (monitor_) {
    if (monitorHandle_ != INVALID_HANDLE_VALUE) monitor_->CloseHandle(monitorHandle_);
    monitor_.reset();
  }
  if (filterDriver_ != nullptr) {
    std::vector<FilterDeviceRecord*> records = ListedRecords();
    for (auto it = records.rbegin(); it != records.rend(); ++it) EXPECT_EQ(Remove((*it)->Self), STATUS_SUCCESS);
    UnloadFilterDriver();
  }
  while (!services_.empty()) services_.pop_back();  // the last attached goes first
  lower_.reset();
  testsupport::FailOnVerifierReports();
}

void DriverTest::SetFlagsValue(ULONG type, std::vector<uint8_t> data) {
  hostreg::Registry& registry = hostreg::Registry::Machine();
  std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
  registry.Create(kServiceKey)->SetValue("KVFlags", type, std::move(data));
}

void DriverTest::ClearFlagsValue() {
  hostreg::Registry& registry = hostreg::Registry::Machine();
  std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
  if (hostreg::RegKey* key = registry.Open(kServiceKey)) key->DeleteValue("KVFlags");
}

NTSTATUS DriverTest::LoadFilterDriver() {
  return hostk::LoadDriver("qelvard1", DriverEntry, &filterDriver_);
}

void DriverTest::UnloadFilterDriver() {
  EXPECT_EQ(hostk::UnloadDriver(filterDriver_), STATUS_SUCCESS);
  filterDriver_ = nullptr;
}

PDEVICE_OBJECT DriverTest::NewPdo(const char* description, DEVICE_TYPE type, ULONG flags) {
  PDEVICE_OBJECT pdo = lower_->CreateDevice(type, flags);
  hostk::MarkPhysicalDevice(pdo);
  if (description != nullptr) hostk::SetDevicePropertyString(pdo, DevicePropertyDeviceDescription, description);
  return pdo;
}

PDEVICE_OBJECT DriverTest::Attach(PDEVICE_OBJECT pdo, BOOLEAN isBusFilter, PDEVICE_OBJECT parent) {
  LockDeviceList();
  const NTSTATUS status = AttachFilterDevice(filterDriver_, pdo, isBusFilter, parent);
  UnlockDeviceList();
  EXPECT_EQ(status, STATUS_SUCCESS);
  return NT_SUCCESS(status) ? pdo->AttachedDevice : nullptr;
}

PDEVICE_OBJECT DriverTest::PlainFilter(UCHAR port, UCHAR target, PDEVICE_OBJECT parent) {
  PDEVICE_OBJECT pdo = NewPdo("Disk");
  lower_->Of(pdo).portNumber = port;
  lower_->Of(pdo).targetId = target;
  return Attach(pdo, FALSE, parent);
}

PDEVICE_OBJECT DriverTest::AddService(PDEVICE_OBJECT pdo, const std::string& service) {
  services_.push_back(std::make_unique<testlower::ServiceDriver>(service));
  return services_.back()->AttachAbove(pdo);
}

std::vector<FilterDeviceRecord*> DriverTest::ListedRecords() {
  std::vector<FilterDeviceRecord*> records;
  for (PLIST_ENTRY entry = Driver.FilterDeviceList.Flink; entry != &Driver.FilterDeviceList; entry = entry->Flink) {
    records.push_back(CONTAINING_RECORD(entry, FilterDeviceRecord, Link));
  }
  return records;
}

NTSTATUS DriverTest::Remove(PDEVICE_OBJECT filter) {
  auto request = TestRequest::Pnp(filter, IRP_MN_REMOVE_DEVICE);
  request->Send();
  EXPECT_TRUE(request->Done());
  return request->Status();
}

DWORD DriverTest::OpenMonitor() {
  if (!monitor_) monitor_ = std::make_unique<hostk::UserProcess>(kMonitorPid);
  monitorHandle_ = monitor_->CreateFileA("\\\\.\\QELVARD1");
  return monitorHandle_ == INVALID_HANDLE_VALUE ? hostk::UserProcess::GetLastError() : 0;
}

DWORD DriverTest::Ioctl(ULONG code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
  DWORD ignored = 0;
  if (returned == nullptr) returned = &ignored;
  const BOOL ok = monitor_->DeviceIoControl(monitorHandle_, code, in, inSize, out, outSize, returned, nullptr);
  return ok ? 0 : hostk::UserProcess::GetLastError();
}

BusStatisticsBlock DriverTest::ReadStatistics() {
  BusStatisticsBlock block{};
  DWORD returned = 0;
  EXPECT_EQ(Ioctl(IOCTL_KV_READ_STATISTICS, nullptr, 0, &block, sizeof(block), &returned), 0u);
  EXPECT_EQ(returned, static_cast<DWORD>(KV_STATISTICS_SIZE));
  return block;
}

TestRequest* DriverTest::StartSrb(PDEVICE_OBJECT filter, UCHAR targetId) {
  TestRequest* request = Keep(TestRequest::Srb(filter, targetId));
  request->Send();
  return request;
}

TestRequest* DriverTest::Keep(std::unique_ptr<TestRequest> request) {
  kept_.push_back(std::move(request));
  return kept_.back().get();
}

void DriverTest::CompleteOldest(PDEVICE_OBJECT pdo) {
  PIRP irp = lower_->TakeHeld(pdo);
  ASSERT_NE(irp, nullptr);
  testlower::LowerDriver::Complete(irp);
}

}  // namespace drivertest
