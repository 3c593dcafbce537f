#include "machine_fixture.h"
#include "tests/common/verifier_reports.h"

#include <cstring>

namespace machine_test {
namespace {

std::mutex g_log_mutex;
std::vector<std::string> g_log;

void Append(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_log.push_back(line);
}

std::string ServiceOf(PDRIVER_OBJECT driver) {
  std::string name;
  const UNICODE_STRING& key = driver->DriverExtension->ServiceKeyName;
  for (USHORT i = 0; i < key.Length / sizeof(WCHAR); ++i) name.push_back(static_cast<char>(key.Buffer[i]));
  return name;
}

struct RecordingExtension {
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
};

NTSTATUS NTAPI RecordingDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<RecordingExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
  }
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    hostpnp::PnpManager* pnp = hostpnp::PnpManager::Current();
    hostpnp::DeviceNode* node = pnp != nullptr ? pnp->FindByPdo(ext->pdo) : nullptr;
    Append("Remove " + ServiceOf(device->DriverObject) + " " + (node != nullptr ? node->instance_path : "?"));
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    IoDetachDevice(ext->lower);
    IoDeleteDevice(device);
    return status;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI RecordingAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(RecordingExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<RecordingExtension*>(device->DeviceExtension);
  ext->pdo = pdo;
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  Append("AddDevice " + ServiceOf(driver));
  return STATUS_SUCCESS;
}

VOID NTAPI RecordingUnload(PDRIVER_OBJECT /*driver*/) {}

NTSTATUS NTAPI RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING /*path*/) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = RecordingDispatch;
  driver->DriverExtension->AddDevice = RecordingAddDevice;
  driver->DriverUnload = RecordingUnload;
  return STATUS_SUCCESS;
}

}  // namespace

std::vector<std::string> Log() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  return g_log;
}

void ClearLog() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_log.clear();
}

void RegisterRecordingFilter(const std::string& service) { hostpnp::RegisterDriverImage(service, RecordingEntry); }

std::string EnumPath(const std::string& instance_path) { return "System\\CurrentControlSet\\Enum\\" + instance_path; }

std::string ClassPath(const char* guid) { return std::string("System\\CurrentControlSet\\Control\\Class\\") + guid; }

void SetMulti(const std::string& key_path, const char* value, const std::vector<std::string>& names) {
  hostreg::Registry& registry = hostreg::Registry::Machine();
  std::lock_guard<std::recursive_mutex> lock(registry.Mutex());
  registry.Create(key_path)->SetValue(value, hostreg::kRegMultiSz, hostreg::EncodeMultiSz(names));
}

std::string PropertyText(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, NTSTATUS* status_out) {
  WCHAR buffer[1024];
  std::memset(buffer, 0, sizeof buffer);
  ULONG length = 0;
  NTSTATUS status = IoGetDeviceProperty(pdo, property, sizeof buffer, buffer, &length);
  if (status_out != nullptr) *status_out = status;
  std::string text;
  if (!NT_SUCCESS(status)) return text;
  for (size_t i = 0; i < 1024 && buffer[i] != 0; ++i) text.push_back(static_cast<char>(buffer[i]));
  return text;
}

void MachineTest::SetUp() {
  testsupport::RecordVerifierReports();
  registry_.Clear();
  sim::WriteDefaultMachineRegistry(registry_, /*with_monitor_filter=*/false);
  ClearLog();
}

void MachineTest::TearDown() {
  machine_.reset();
  testsupport::FailOnVerifierReports();
  registry_.Clear();
}

void MachineTest::Boot(const sim::MachineOptions& options) {
  machine_ = std::make_unique<sim::Machine>(options);
  ASSERT_EQ(machine_->Boot(registry_), STATUS_SUCCESS);
  machine_->GetScheduler().Drain();
}

hostpnp::DeviceNode* MachineTest::Node(const std::string& hw_name) {
  sim::HwNode* hw = machine_->FindNode(hw_name);
  if (hw == nullptr || hw->pdo == nullptr) return nullptr;
  return machine_->Pnp()->FindByPdo(hw->pdo);
}

hostreg::RegKey* MachineTest::Key(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(registry_.Mutex());
  return registry_.Open(path);
}

}  // namespace machine_test
