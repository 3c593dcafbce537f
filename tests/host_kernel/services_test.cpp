// Kernel services the driver leans on: pool accounting, spin locks and
// IRQL, events, the clock, driver loading, device names and properties,
// the Zw registry calls and counted strings.
#include <cstring>
#include <string>

#include "host_registry/registry.h"
#include "test_support.h"

namespace hostk_test {
namespace {

constexpr ULONG kTag = hostk::MakeTag("Svct");

using ServicesTest = KernelTest;

TEST_F(ServicesTest, PoolIsCountedPerTag) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 10, kTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 20, kTag);
  EXPECT_EQ(hostk::PoolUsageOfTag(kTag).allocations, 2u);
  EXPECT_EQ(hostk::PoolUsageOfTag(kTag).bytes, 30u);

  ExFreePoolWithTag(a, kTag);
  EXPECT_EQ(hostk::PoolUsageOfTag(kTag).allocations, 1u);
  EXPECT_EQ(hostk::PoolUsageOfTag(kTag).bytes, 20u);
  ExFreePool(b);
  EXPECT_EQ(hostk::PoolUsageOfTag(kTag).bytes, 0u);
}

TEST_F(ServicesTest, PoolAllocationFailsWhenFaultInjected) {
  hostfault::Arm("ExAllocatePoolWithTag");
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTag), nullptr);
  EXPECT_EQ(hostk::PoolUsageOfTag(kTag).allocations, 0u);
}

TEST_F(ServicesTest, SpinLockRaisesToDispatchAndRestoresTheCallersIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

TEST_F(ServicesTest, SynchronizationEventResetsWhenAWaitIsSatisfied) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(ServicesTest, NotificationEventStaysSignalledUntilCleared) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(ServicesTest, VirtualClockMovesOnlyWhenTold) {
  hostk::UseVirtualClock(3'000'000);
  hostk::SetVirtualTicks(1000);
  LARGE_INTEGER frequency;
  EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 1000);
  EXPECT_EQ(frequency.QuadPart, 3'000'000);
  hostk::AdvanceVirtualTicks(250);
  EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 1250);
  hostk::UseRealClock();
  EXPECT_EQ(hostk::PerformanceFrequency(), 10'000'000);
}

// --- Driver loading

std::string g_seenPathText;

VOID NTAPI NamedUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\DosDevices\\Named");
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI NamedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  g_seenPathText.assign(registryPath->Buffer, registryPath->Buffer + registryPath->Length / 2);
  driver->DriverUnload = NamedUnload;
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\Named");
  RtlInitUnicodeString(&link, L"\\DosDevices\\Named");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  EXPECT_NE(device->Flags & DO_DEVICE_INITIALIZING, 0u);
  return IoCreateSymbolicLink(&link, &name);
}

TEST_F(ServicesTest, LoadingBuildsTheDriverObjectAndFinishesDevicesCreatedInDriverEntry) {
  PDRIVER_OBJECT driver;
  ASSERT_EQ(hostk::LoadDriver("named", NamedEntry, &driver), STATUS_SUCCESS);

  EXPECT_EQ(g_seenPathText, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\named");
  const UNICODE_STRING& service = driver->DriverExtension->ServiceKeyName;
  EXPECT_EQ(std::string(service.Buffer, service.Buffer + service.Length / 2), "named");
  PDEVICE_OBJECT device = hostk::FindDevice("\\Device\\NAMED");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
  EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(device->DeviceExtension, nullptr);
  EXPECT_EQ(hostk::SymbolicLinkTarget("\\??\\named"), "\\Device\\Named");
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ] != nullptr, true);

  EXPECT_EQ(hostk::UnloadDriver(driver), STATUS_SUCCESS);
  EXPECT_EQ(hostk::FindDevice("\\Device\\Named"), nullptr);
  // The same driver loads again.
  ASSERT_EQ(hostk::LoadDriver("named", NamedEntry, &driver), STATUS_SUCCESS);
  EXPECT_EQ(hostk::UnloadDriver(driver), STATUS_SUCCESS);
}

TEST_F(ServicesTest, SecondDeviceOrLinkOfTheSameNameCollides) {
  PDRIVER_OBJECT driver;
  ASSERT_EQ(hostk::LoadDriver("named", NamedEntry, &driver), STATUS_SUCCESS);
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\Named");
  RtlInitUnicodeString(&link, L"\\??\\NAMED");
  PDEVICE_OBJECT device;
  EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
  hostk::UnloadDriver(driver);
}

TEST_F(ServicesTest, CreateDeviceZeroFillsTheExtensionAndFailsWhenFaultInjected) {
  PDEVICE_OBJECT device;
  ASSERT_EQ(IoCreateDevice(driver_, 64, nullptr, FILE_DEVICE_DISK, 0, FALSE, &device), STATUS_SUCCESS);
  unsigned char zeros[64] = {};
  EXPECT_EQ(std::memcmp(device->DeviceExtension, zeros, sizeof zeros), 0);
  EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK));
  EXPECT_EQ(device->StackSize, 1);
  IoDeleteDevice(device);

  hostfault::Arm("IoCreateDevice");
  EXPECT_EQ(IoCreateDevice(driver_, 64, nullptr, FILE_DEVICE_DISK, 0, FALSE, &device), STATUS_INSUFFICIENT_RESOURCES);
}

// --- Device properties

class PropertyTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    pdo_ = AddDevice(PassDown);
    hostk::MarkPhysicalDevice(pdo_);
  }
  NTSTATUS Query(ULONG length, ULONG* result) {
    return IoGetDeviceProperty(pdo_, DevicePropertyDeviceDescription, length, buffer_, result);
  }
  PDEVICE_OBJECT pdo_ = nullptr;
  WCHAR buffer_[64] = {};
};

TEST_F(PropertyTest, StringPropertyComesBackWithItsTerminator) {
  hostk::SetDevicePropertyString(pdo_, DevicePropertyDeviceDescription, "Disk");
  ULONG result = 0;
  EXPECT_EQ(Query(sizeof buffer_, &result), STATUS_SUCCESS);
  EXPECT_EQ(result, 10u);
  EXPECT_EQ(_wcsicmp(buffer_, L"disk"), 0);
}

TEST_F(PropertyTest, ShortBufferReportsTheSizeNeeded) {
  hostk::SetDevicePropertyString(pdo_, DevicePropertyDeviceDescription, "Disk");
  ULONG result = 0;
  EXPECT_EQ(Query(9, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 10u);
  EXPECT_EQ(buffer_[0], 0);
}

TEST_F(PropertyTest, AbsentOrFailingPropertyFails) {
  ULONG result = 7;
  EXPECT_EQ(Query(sizeof buffer_, &result), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(result, 0u);
  hostk::SetDevicePropertyFailure(pdo_, DevicePropertyDeviceDescription, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Query(sizeof buffer_, &result), STATUS_NO_SUCH_DEVICE);
}

// --- Registry

class ZwRegistryTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    hostreg::Registry& registry = hostreg::Registry::Machine();
    std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
    registry.Delete("System\\CurrentControlSet\\Services\\zwtest");
    hostreg::RegKey* key = registry.Create("System\\CurrentControlSet\\Services\\zwtest");
    key->SetValue("Flags", hostreg::kRegDword, hostreg::EncodeDword(0x0D));
    key->SetValue("Long", hostreg::kRegBinary, std::vector<uint8_t>(12, 0x11));
  }
  void TearDown() override {
    if (key_ != nullptr) ZwClose(key_);
    hostreg::Registry& registry = hostreg::Registry::Machine();
    std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
    registry.Delete("System\\CurrentControlSet\\Services\\zwtest");
    KernelTest::TearDown();
  }
  NTSTATUS Open(const WCHAR* path) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwOpenKey(&key_, KEY_READ, &attributes);
  }
  NTSTATUS QueryPartial(const WCHAR* value, ULONG length, ULONG* result) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value);
    std::memset(buffer_, 0, sizeof buffer_);
    return ZwQueryValueKey(key_, &name, KeyValuePartialInformation, buffer_, length, result);
  }
  const KEY_VALUE_PARTIAL_INFORMATION* Partial() const {
    return reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer_);
  }
  static constexpr const WCHAR* kPath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zwtest";
  HANDLE key_ = nullptr;
  alignas(8) unsigned char buffer_[64];
};

TEST_F(ZwRegistryTest, PartialInformationCarriesTypeLengthAndData) {
  ASSERT_EQ(Open(kPath), STATUS_SUCCESS);
  ULONG result = 0;
  EXPECT_EQ(QueryPartial(L"FLAGS", 20, &result), STATUS_SUCCESS);
  EXPECT_EQ(result, 16u);
  EXPECT_EQ(Partial()->Type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(Partial()->DataLength, 4u);
  ULONG data;
  std::memcpy(&data, Partial()->Data, sizeof data);
  EXPECT_EQ(data, 0x0Du);
}

TEST_F(ZwRegistryTest, DataTooLongForTheBufferOverflowsWithHeaderOnly) {
  ASSERT_EQ(Open(kPath), STATUS_SUCCESS);
  ULONG result = 0;
  EXPECT_EQ(QueryPartial(L"Long", 20, &result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 24u);
  EXPECT_EQ(Partial()->DataLength, 12u);
  EXPECT_EQ(Partial()->Data[0], 0);
}

TEST_F(ZwRegistryTest, BufferShorterThanTheHeaderIsTooSmall) {
  ASSERT_EQ(Open(kPath), STATUS_SUCCESS);
  ULONG result = 0;
  EXPECT_EQ(QueryPartial(L"Flags", 11, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 16u);
  EXPECT_EQ(Partial()->Type, 0u);
}

TEST_F(ZwRegistryTest, FullInformationPlacesTheDataAfterTheName) {
  ASSERT_EQ(Open(kPath), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Flags");
  ULONG result = 0;
  ASSERT_EQ(ZwQueryValueKey(key_, &name, KeyValueFullInformation, buffer_, sizeof buffer_, &result), STATUS_SUCCESS);
  const auto* full = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer_);
  EXPECT_EQ(full->NameLength, 10u);
  EXPECT_EQ(full->DataOffset, 32u);  // 20-byte header + 10 bytes of name, aligned to 4
  EXPECT_EQ(full->DataLength, 4u);
  EXPECT_EQ(result, 36u);
  EXPECT_EQ(buffer_[full->DataOffset], 0x0D);
}

TEST_F(ZwRegistryTest, MissingKeyValueOrFaultFails) {
  EXPECT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\absent"), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Open(kPath), STATUS_SUCCESS);
  ULONG result = 0;
  EXPECT_EQ(QueryPartial(L"Absent", 20, &result), STATUS_OBJECT_NAME_NOT_FOUND);
  hostfault::Arm("ZwQueryValueKey");
  EXPECT_EQ(QueryPartial(L"Flags", 20, &result), STATUS_INSUFFICIENT_RESOURCES);
  HANDLE first = key_;
  hostfault::Arm("ZwOpenKey");
  EXPECT_EQ(Open(kPath), STATUS_INSUFFICIENT_RESOURCES);
  key_ = first;
}

TEST_F(ZwRegistryTest, SetValueWritesTheMachineRegistry) {
  ASSERT_EQ(Open(kPath), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"New");
  ULONG value = 7;
  ASSERT_EQ(ZwSetValueKey(key_, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
  hostreg::Registry& registry = hostreg::Registry::Machine();
  std::lock_guard<std::recursive_mutex> hold(registry.Mutex());
  const hostreg::RegValue* stored = registry.Open("System\\CurrentControlSet\\Services\\zwtest")->Value("new");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->data, hostreg::EncodeDword(7));
}

// --- Counted strings

TEST_F(ServicesTest, CopyUnicodeStringTerminatesWhenThereIsRoom) {
  WCHAR storage[8];
  UNICODE_STRING target{0, sizeof storage, storage};
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, L"abc");
  RtlCopyUnicodeString(&target, &source);
  EXPECT_EQ(target.Length, 6);
  EXPECT_EQ(storage[3], 0);
}

TEST_F(ServicesTest, UnicodeToAnsiIntoAShortBufferCutsAndOverflows) {
  std::vector<WCHAR> text(300, L'x');
  UNICODE_STRING source{600, 600, text.data()};
  char field[256];
  ANSI_STRING target{0, 255, field};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&target, &source, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(target.Length, 254);
  EXPECT_EQ(std::strlen(field), 254u);
}

TEST_F(ServicesTest, UnicodeToAnsiAllocatingNeedsFreeing) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, L"Controller");
  ANSI_STRING target;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&target, &source, TRUE), STATUS_SUCCESS);
  EXPECT_STREQ(target.Buffer, "Controller");
  EXPECT_EQ(target.MaximumLength, 11);
  RtlFreeAnsiString(&target);
  EXPECT_EQ(target.Buffer, nullptr);
}

TEST_F(ServicesTest, WideComparisonsIgnoreAsciiCaseOnlyWhenAsked) {
  EXPECT_EQ(wcslen(L"abcd"), 4u);
  EXPECT_EQ(_wcsicmp(L"UsbStor", L"USBSTOR"), 0);
  EXPECT_EQ(_wcsnicmp(L"IDE\\Disk", L"ide\\cdrom", 4), 0);
  EXPECT_NE(wcscmp(L"UsbStor", L"USBSTOR"), 0);
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, L"Disk");
  RtlInitUnicodeString(&b, L"DISK");
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_EQ(RtlCompareMemory("abcd", "abxd", 4), 2u);
}

}  // namespace
}  // namespace hostk_test
