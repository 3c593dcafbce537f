// The control device from simulated user processes: any sequence of opens,
// closes, reads and writes, and control codes with any input and output
// lengths and contents, while SRBs and pass-throughs on a few filter
// devices start and complete in virtual time. A model of the control
// device's state table and of the busy-time accounting predicts every
// status and every returned byte; output buffers are prefilled with a
// pattern, so bytes beyond Information must keep it, and a device attached
// above the control device checks that the driver zeroed the rest of the
// system buffer of every reply.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>

#include "driver_rig.h"
#include "platform/host_common/faults.h"

namespace {

using hostk::BOOL;
using hostk::DWORD;

constexpr uint8_t kPattern = 0x5A;
constexpr ULONG kPids[] = {1200, 1300};

// ------------------------------------------------------------ the spy

PDRIVER_OBJECT g_spyDriver = nullptr;
PDEVICE_OBJECT g_spyLower = nullptr;
std::string g_spyFinding;

NTSTATUS NTAPI SpyComplete(PDEVICE_OBJECT, PIRP irp, PVOID) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && NT_SUCCESS(irp->IoStatus.Status)) {
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_KV_GET_CONTROLLER_NAME || code == IOCTL_KV_READ_STATISTICS) {
      const auto* buffer = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
      for (ULONG i = static_cast<ULONG>(irp->IoStatus.Information); i < stack->Parameters.DeviceIoControl.OutputBufferLength; ++i) {
        if (buffer[i] != 0) {
          g_spyFinding = "system buffer byte " + std::to_string(i) + " beyond Information is not 0";
          break;
        }
      }
    }
  }
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SpyDispatch(PDEVICE_OBJECT, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SpyComplete, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(g_spyLower, irp);
}

VOID NTAPI SpyUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI SpyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = SpyDispatch;
  driver->DriverUnload = SpyUnload;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT AttachSpy() {
  if (g_spyDriver == nullptr && !NT_SUCCESS(hostk::LoadDriver("fzspy", SpyEntry, &g_spyDriver))) {
    rig::Fail("spy driver did not load");
  }
  PDEVICE_OBJECT spy = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(g_spyDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &spy))) rig::Fail("spy device");
  spy->Flags |= Driver.ControlDevice->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO);
  spy->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  g_spyLower = IoAttachDeviceToDeviceStack(spy, Driver.ControlDevice);
  if (g_spyLower == nullptr) rig::Fail("spy did not attach");
  g_spyFinding.clear();
  return spy;
}

void DetachSpy(PDEVICE_OBJECT spy) {
  IoDetachDevice(g_spyLower);
  IoDeleteDevice(spy);
}

// ------------------------------------------------------------ the model

struct Model {
  ULONG owner = 0;  // process id, 0 when closed
  bool capture = false;
  bool identified = false;
  int64_t intervalStart = 0;
  std::array<int64_t, 256> busyTime{};
  std::array<int32_t, 256> outstanding{};
  std::array<int64_t, 256> busyStart{};

  void Clear() { busyTime.fill(0); }
};

struct Held {
  rig::Request* request;
  bool counted;
  int bus;
};


ULONG PickLength(FuzzedDataProvider& in) {
  static const ULONG kLengths[] = {0, 1, 3, 4, 5, 255, 256, 257, 2063, 2064, 2065, 4096};
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return in.ConsumeIntegralInRange<ULONG>(0, 5000);
  return kLengths[in.ConsumeIntegralInRange<size_t>(0, std::size(kLengths) - 1)];
}

ULONG PickCode(FuzzedDataProvider& in) {
  static const ULONG kCodes[] = {IOCTL_KV_START_CAPTURE,       IOCTL_KV_STOP_CAPTURE,    IOCTL_KV_GET_CONTROLLER_NAME,
                                 IOCTL_KV_GET_CONTROLLER_NAME, IOCTL_KV_READ_STATISTICS, IOCTL_KV_READ_STATISTICS,
                                 IOCTL_KV_READ_STATISTICS,     IOCTL_SCSI_PASS_THROUGH,  0x222000,
                                 0x222014,                     0x222005,                 0x22200E};
  if (in.ConsumeIntegralInRange<int>(0, 9) == 0) return in.ConsumeIntegral<ULONG>();
  return kCodes[in.ConsumeIntegralInRange<size_t>(0, std::size(kCodes) - 1)];
}

void Expect(bool ok, const std::string& what) {
  if (!ok) rig::Fail(what);
}

DWORD ErrorOf(NTSTATUS status) { return hostk::NtStatusToWin32Error(status); }

struct Machine {
  sim::PortDriver port{"fzport"};
  std::vector<sim::PortDevice*> lower;      // per filter: the port device below it
  std::vector<PDEVICE_OBJECT> filters;
  std::vector<std::deque<Held>> held;       // per filter's port device, in arrival order
};

void Build(FuzzedDataProvider& in, PDRIVER_OBJECT driver, Machine& machine) {
  auto describe = [&](sim::PortDevice& device, const char16_t* text) {
    if (in.ConsumeIntegralInRange<int>(0, 4) == 0) {
      device.FailProperty(DevicePropertyDeviceDescription, STATUS_OBJECT_NAME_NOT_FOUND);
    } else {
      device.SetProperty(DevicePropertyDeviceDescription, text);
    }
  };
  auto address = [&](sim::PortDevice& device) {
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
      device.FailScsiAddress(STATUS_INVALID_DEVICE_REQUEST);
    } else {
      device.SetScsiAddress({in.ConsumeIntegralInRange<UCHAR>(0, 3), 0, in.ConsumeIntegralInRange<UCHAR>(0, 2), 0});
    }
    static const STORAGE_BUS_TYPE kTypes[] = {BusTypeAta, BusTypeScsi, BusType1394, BusTypeUsb};
    device.SetBusType(kTypes[in.ConsumeIntegralInRange<size_t>(0, 3)]);
  };
  int plain = in.ConsumeIntegralInRange<int>(1, 3);
  for (int i = 0; i < plain; ++i) {
    sim::PortDevice& pdo = machine.port.CreateDevice();
    describe(pdo, u"Disk");
    address(pdo);
    pdo.HoldRequests(true);
    machine.lower.push_back(&pdo);
    machine.filters.push_back(rig::AttachFilter(driver, pdo.Object(), false));
  }
  if (in.ConsumeBool()) {
    sim::PortDevice& controller = machine.port.CreateDevice({FILE_DEVICE_CONTROLLER});
    describe(controller, u"Primary IDE Channel \u00e9\u4e2d");
    controller.HoldRequests(true);
    machine.lower.push_back(&controller);
    PDEVICE_OBJECT bus = rig::AttachFilter(driver, controller.Object(), true);
    machine.filters.push_back(bus);
    for (int c = in.ConsumeIntegralInRange<int>(0, 2); c > 0; --c) {
      sim::PortDevice& child = machine.port.CreateDevice();
      describe(child, u"Child disk");
      address(child);
      child.HoldRequests(true);
      machine.lower.push_back(&child);
      machine.filters.push_back(rig::AttachFilter(driver, child.Object(), false, bus));
    }
  }
  machine.held.resize(machine.filters.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  hostfault::DisarmAll();
  rig::SetFlags(std::nullopt);
  PDRIVER_OBJECT driver = rig::Load();
  PDEVICE_OBJECT spy = AttachSpy();
  Model model;
  {
    Machine machine;
    Build(in, driver, machine);
    std::array<std::unique_ptr<hostk::UserProcess>, 2> processes{std::make_unique<hostk::UserProcess>(kPids[0]),
                                                                std::make_unique<hostk::UserProcess>(kPids[1])};
    int openBy = -1;  // the process whose handle is open
    HANDLE handle = INVALID_HANDLE_VALUE;

    // Every input begins with an open and a capture start, so that the
    // fuzzer spends its time where requests are counted.
    std::deque<int> prologue = {0, 2};
    for (int step = 0; step < 64 && (in.remaining_bytes() > 0 || !prologue.empty()); ++step) {
      bool forced = !prologue.empty();
      // Operation kinds weighted so that captures live long enough to see
      // requests start, complete and be read.
      static const int kKinds[] = {0, 1, 2, 2, 2, 2, 3, 3, 4, 4, 5, 6, 6, 6, 6, 7, 7, 7,
                                   8, 8, 8, 8, 8, 9, 9, 9, 2, 3, 4, 6, 7, 8};
      int kind = forced ? prologue.front() : kKinds[in.ConsumeIntegralInRange<size_t>(0, std::size(kKinds) - 1)];
      if (forced) prologue.pop_front();
      if (std::getenv("QELV_FUZZ_TRACE") != nullptr) std::fprintf(stderr, "step %d kind %d\n", step, kind);
      switch (kind) {
        case 0: {  // open
          int p = forced ? 0 : in.ConsumeIntegralInRange<int>(0, 1);
          HANDLE opened = processes[p]->CreateFileA(KV_CONTROL_DEVICE_USER_PATH);
          if (model.owner == 0) {
            Expect(opened != INVALID_HANDLE_VALUE, "open of a closed control device failed");
            model.owner = kPids[p];
            openBy = p;
            handle = opened;
          } else {
            Expect(opened == INVALID_HANDLE_VALUE, "second open succeeded");
            Expect(hostk::UserProcess::GetLastError() == ErrorOf(KV_STATUS_ALREADY_OPEN), "second open: wrong error");
          }
          break;
        }
        case 1:  // close (ends a capture, keeps the block)
          if (openBy >= 0) {
            Expect(processes[openBy]->CloseHandle(handle) != 0, "close failed");
            openBy = -1;
            model.owner = 0;
            model.capture = false;
          }
          break;
        case 2:
        case 3:
        case 4: {  // a control code
          if (openBy < 0) break;
          ULONG code = forced ? IOCTL_KV_START_CAPTURE : PickCode(in);
          ULONG inLength = forced ? 0 : PickLength(in);
          ULONG outLength = forced ? 0 : PickLength(in);
          if (code == IOCTL_KV_READ_STATISTICS && in.ConsumeBool()) outLength = KV_STATISTICS_SIZE;
          // Only the first bytes of an input mean anything; the rest is
          // filler, so that long inputs do not eat the fuzzer's data.
          std::vector<uint8_t> input = in.ConsumeBytes<uint8_t>(std::min<ULONG>(inLength, 4));
          input.resize(inLength, 0xEE);
          std::vector<uint8_t> output(outLength, kPattern);
          DWORD returned = 0xFFFFFFFF;
          BOOL ok = processes[openBy]->DeviceIoControl(handle, code, input.empty() ? nullptr : input.data(), inLength,
                                                       output.empty() ? nullptr : output.data(), outLength, &returned,
                                                       nullptr);
          DWORD error = ok ? 0 : hostk::UserProcess::GetLastError();
          std::vector<uint8_t> expected;  // the reply bytes
          NTSTATUS status = STATUS_SUCCESS;
          int64_t now = hostk::PerformanceCounter();
          switch (code) {
            case IOCTL_KV_START_CAPTURE:
              if (model.capture) {
                status = KV_STATUS_CAPTURE_ACTIVE;
              } else {
                model.identified = true;
                model.Clear();
                model.intervalStart = now;
                model.capture = true;
                // A bus still busy from before begins the interval busy:
                // its busy time never reaches back before the interval.
                for (int b = 0; b < 256; ++b) {
                  if (model.outstanding[b] != 0) model.busyStart[b] = now;
                }
              }
              break;
            case IOCTL_KV_STOP_CAPTURE:
              if (!model.capture) {
                status = KV_STATUS_CAPTURE_INACTIVE;
              } else {
                model.capture = false;
                model.Clear();
              }
              break;
            case IOCTL_KV_GET_CONTROLLER_NAME: {
              if (outLength < 256 || inLength < 4) {
                status = KV_STATUS_BAD_BUFFER_SIZE;
              } else if (!model.capture) {
                status = KV_STATUS_CAPTURE_INACTIVE;
              } else {
                status = KV_STATUS_BUS_NOT_FOUND;
                for (FilterDeviceRecord* record : rig::Records()) {
                  if (!record->IsBusFilter && record->BusIndex == input[0]) {
                    size_t length = strnlen(record->ControllerDescription, sizeof record->ControllerDescription);
                    Expect(length < sizeof record->ControllerDescription, "controller description without its NUL");
                    expected.assign(record->ControllerDescription, record->ControllerDescription + length + 1);
                    status = STATUS_SUCCESS;
                    break;
                  }
                }
              }
              break;
            }
            case IOCTL_KV_READ_STATISTICS:
              if (outLength < KV_STATISTICS_SIZE) {
                status = KV_STATUS_BAD_BUFFER_SIZE;
              } else if (!model.capture) {
                status = KV_STATUS_CAPTURE_INACTIVE;
              } else {
                BusStatisticsBlock reply{};
                reply.IntervalStart = model.intervalStart;
                reply.IntervalEnd = now;
                for (int b = 0; b < 256; ++b) {
                  reply.BusyTime[b] = model.busyTime[b];
                  if (model.outstanding[b] != 0) {
                    reply.BusyTime[b] += now - model.busyStart[b];
                    model.busyStart[b] = now;
                  }
                }
                model.Clear();
                model.intervalStart = now;
                const auto* bytes = reinterpret_cast<const uint8_t*>(&reply);
                expected.assign(bytes, bytes + sizeof reply);
              }
              break;
            default:
              status = STATUS_INVALID_DEVICE_REQUEST;
          }
          std::string what = "code " + std::to_string(code) + " in " + std::to_string(inLength) + " out " +
                             std::to_string(outLength) + ": ";
          if (std::getenv("QELV_FUZZ_TRACE") != nullptr) {
            std::fprintf(stderr, "  code %x in %u out %u status %x\n", code, inLength, outLength, static_cast<unsigned>(status));
          }
          if (NT_SUCCESS(status)) {
            Expect(ok != 0, what + "failed with " + std::to_string(error));
            Expect(returned == expected.size(), what + "returned " + std::to_string(returned) + " bytes, expected " +
                                                    std::to_string(expected.size()));
            Expect(expected.empty() || std::memcmp(output.data(), expected.data(), expected.size()) == 0, what + "reply differs from the model");
          } else {
            Expect(ok == 0 && error == ErrorOf(status), what + "expected error " + std::to_string(ErrorOf(status)) +
                                                            ", got " + std::to_string(error));
            expected.clear();
          }
          for (size_t i = expected.size(); i < output.size(); ++i) {
            Expect(output[i] == kPattern, what + "byte " + std::to_string(i) + " beyond the reply was written");
          }
          Expect(g_spyFinding.empty(), what + g_spyFinding);
          break;
        }
        case 5: {  // read or write on the control device: refused
          if (openBy < 0) break;
          uint8_t buffer[16] = {};
          DWORD moved = 0;
          BOOL ok = in.ConsumeBool() ? processes[openBy]->ReadFile(handle, buffer, sizeof buffer, &moved, nullptr)
                                     : processes[openBy]->WriteFile(handle, buffer, sizeof buffer, &moved, nullptr);
          Expect(ok == 0, "a read or write on the control device succeeded");
          break;
        }
        case 6:
        case 7: {  // a storage request on a filter, held below
          size_t f = in.ConsumeIntegralInRange<size_t>(0, machine.filters.size() - 1);
          UCHAR targetId = in.ConsumeIntegralInRange<UCHAR>(0, 3);
          rig::Request* request;
          if (in.ConsumeBool()) {
            request = rig::Request::Srb(machine.filters[f], targetId);
          } else {
            std::vector<uint8_t> header(sizeof(SCSI_PASS_THROUGH), 0);
            header[offsetof(SCSI_PASS_THROUGH, TargetId)] = targetId;
            request = rig::Request::DeviceControl(machine.filters[f], IOCTL_SCSI_PASS_THROUGH, header,
                                                  sizeof(SCSI_PASS_THROUGH), sizeof(SCSI_PASS_THROUGH));
          }
          int bus = model.capture ? rig::Attribute(RecordOf(machine.filters[f]), targetId) : -1;
          if (bus >= 0) {
            if (model.outstanding[bus]++ == 0) model.busyStart[bus] = hostk::PerformanceCounter();
          }
          machine.held[f].push_back(Held{request, bus >= 0, bus});
          request->Send();
          Expect(!request->Done(), "a held request completed at once");
          break;
        }
        case 8: {  // the port driver completes one of them
          size_t f = in.ConsumeIntegralInRange<size_t>(0, machine.filters.size() - 1);
          if (machine.held[f].empty()) break;
          size_t index = in.ConsumeIntegralInRange<size_t>(0, machine.held[f].size() - 1);
          Held held = machine.held[f][index];
          machine.held[f].erase(machine.held[f].begin() + static_cast<std::ptrdiff_t>(index));
          machine.lower[f]->CompleteAt(index, in.ConsumeBool() ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR);
          Expect(held.request->Done(), "completed request did not reach its sender");
          rig::Request::Release(held.request);
          if (std::getenv("QELV_FUZZ_TRACE") != nullptr) {
            std::fprintf(stderr, "  completed counted %d bus %d outstanding %d capture %d\n", held.counted ? 1 : 0,
                         held.bus, held.counted ? model.outstanding[held.bus] : -1, model.capture ? 1 : 0);
          }
          if (held.counted && --model.outstanding[held.bus] == 0 && model.capture) {
            model.busyTime[held.bus] += hostk::PerformanceCounter() - model.busyStart[held.bus];
          }
          break;
        }
        default:
          hostk::AdvanceVirtualTicks(in.ConsumeIntegralInRange<int64_t>(1, 100000));
      }
      for (int b = 0; b < 256; ++b) {
        Expect(Driver.BusActivity[b].Outstanding == model.outstanding[b], "Outstanding of bus " + std::to_string(b));
      }
    }

    for (size_t f = 0; f < machine.filters.size(); ++f) {
      machine.lower[f]->CompleteAll();
      for (Held& held : machine.held[f]) rig::Request::Release(held.request);
    }
    if (openBy >= 0) processes[openBy]->CloseHandle(handle);
    processes = {};
    DetachSpy(spy);
    rig::RemoveAllAndUnload(driver);
  }
  return 0;
}
