// SRBs and SCSI pass-through requests on plain and bus filters, with any
// target id, any system buffer (none, short, long) and any lengths, held
// or completed at once with any status, during and outside a capture.
// Every request reaches the device below exactly once; the driver's
// outstanding count per bus follows a model of the attribution rule at
// every step (a pass-through without a readable TargetId byte is never
// counted); at the end every count is back to 0 and the busy time read
// equals the model's.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstring>
#include <deque>

#include "driver_rig.h"
#include "platform/host_common/faults.h"

namespace {

struct Target {
  sim::PortDevice* lower;
  PDEVICE_OBJECT filter;
  bool held;
};

struct Sent {
  rig::Request* request;
  int bus;  // -1: not counted
};

void Expect(bool ok, const std::string& what) {
  if (!ok) rig::Fail(what);
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  hostfault::DisarmAll();
  rig::SetFlags(std::nullopt);
  PDRIVER_OBJECT driver = rig::Load();
  {
    sim::PortDriver port("fzport");
    std::vector<Target> targets;
    for (int i = in.ConsumeIntegralInRange<int>(1, 2); i > 0; --i) {
      sim::PortDevice& pdo = port.CreateDevice();
      pdo.SetScsiAddress({in.ConsumeIntegralInRange<UCHAR>(0, 4), 0, in.ConsumeIntegralInRange<UCHAR>(0, 3), 0});
      targets.push_back({&pdo, rig::AttachFilter(driver, pdo.Object(), false), in.ConsumeBool()});
    }
    sim::PortDevice& controller = port.CreateDevice({FILE_DEVICE_CONTROLLER});
    PDEVICE_OBJECT busFilter = rig::AttachFilter(driver, controller.Object(), true);
    targets.push_back({&controller, busFilter, in.ConsumeBool()});
    for (int c = in.ConsumeIntegralInRange<int>(0, 3); c > 0; --c) {
      sim::PortDevice& child = port.CreateDevice();
      if (in.ConsumeBool()) {
        child.SetScsiAddress({in.ConsumeIntegralInRange<UCHAR>(0, 4), 0, in.ConsumeIntegralInRange<UCHAR>(0, 3), 0});
      } else {
        child.FailScsiAddress(STATUS_INVALID_DEVICE_REQUEST);
      }
      targets.push_back({&child, rig::AttachFilter(driver, child.Object(), false, busFilter), in.ConsumeBool()});
    }
    for (Target& target : targets) target.lower->HoldRequests(target.held);

    hostk::UserProcess monitor(1200);
    HANDLE handle = monitor.CreateFileA(KV_CONTROL_DEVICE_USER_PATH);
    Expect(handle != INVALID_HANDLE_VALUE, "open failed");
    hostk::DWORD returned = 0;
    auto control = [&](ULONG code, void* out, hostk::DWORD outSize) {
      return monitor.DeviceIoControl(handle, code, nullptr, 0, out, outSize, &returned, nullptr) != 0;
    };

    bool capture = false;
    std::array<int32_t, 256> outstanding{};
    std::array<int64_t, 256> busyStart{};
    std::array<int64_t, 256> busyTime{};
    std::vector<std::deque<Sent>> held(targets.size());
    std::vector<size_t> sent(targets.size(), 0);

    auto finish = [&](const Sent& done) {
      Expect(done.request->Done(), "a completed request did not come back up");
      rig::Request::Release(done.request);
      if (done.bus >= 0 && --outstanding[done.bus] == 0 && capture) {
        busyTime[done.bus] += hostk::PerformanceCounter() - busyStart[done.bus];
      }
    };

    for (int step = 0; step < 96 && in.remaining_bytes() > 0; ++step) {
      switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:  // start or stop the capture
          if (!capture) {
            Expect(control(IOCTL_KV_START_CAPTURE, nullptr, 0), "start failed");
            capture = true;
            busyTime.fill(0);
            for (int b = 0; b < 256; ++b) {
              if (outstanding[b] != 0) busyStart[b] = hostk::PerformanceCounter();
            }
          } else if (in.ConsumeBool()) {
            Expect(control(IOCTL_KV_STOP_CAPTURE, nullptr, 0), "stop failed");
            capture = false;
            busyTime.fill(0);
          }
          break;
        case 1:
        case 2:
        case 3:
        case 4:
        case 5: {  // a request from above
          size_t t = in.ConsumeIntegralInRange<size_t>(0, targets.size() - 1);
          UCHAR targetId = in.ConsumeIntegralInRange<UCHAR>(0, 4);
          rig::Request* request;
          bool readable = true;
          if (in.ConsumeBool()) {
            request = rig::Request::Srb(targets[t].filter, targetId, in.ConsumeIntegral<UCHAR>());
          } else {
            ULONG code = in.ConsumeBool() ? IOCTL_SCSI_PASS_THROUGH : IOCTL_SCSI_PASS_THROUGH_DIRECT;
            ULONG inLength = in.ConsumeIntegralInRange<ULONG>(0, 80);
            ULONG outLength = in.ConsumeIntegralInRange<ULONG>(0, 80);
            std::optional<std::vector<uint8_t>> buffer;
            switch (in.ConsumeIntegralInRange<int>(0, 3)) {
              case 0:  // none, whatever the lengths say
                break;
              case 1:  // none, and lengths to match
                inLength = outLength = 0;
                break;
              default: {  // as the I/O manager makes it: room for both
                std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(std::max(inLength, outLength));
                bytes.resize(std::max(inLength, outLength), 0);
                if (bytes.size() > offsetof(SCSI_PASS_THROUGH, TargetId)) bytes[offsetof(SCSI_PASS_THROUGH, TargetId)] = targetId;
                buffer = bytes;
              }
            }
            readable = buffer.has_value() && inLength > offsetof(SCSI_PASS_THROUGH, TargetId);
            request = rig::Request::DeviceControl(targets[t].filter, code, buffer, inLength, outLength);
          }
          int bus = capture && readable ? rig::Attribute(RecordOf(targets[t].filter), targetId) : -1;
          if (bus >= 0 && outstanding[bus]++ == 0) busyStart[bus] = hostk::PerformanceCounter();
          targets[t].lower->SetRequestStatus(in.ConsumeBool() ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR);
          request->Send();
          ++sent[t];
          if (targets[t].held) {
            Expect(!request->Done(), "a held request completed");
            held[t].push_back({request, bus});
          } else {
            finish({request, bus});
          }
          break;
        }
        case 6:
        case 7: {  // completion by the port driver, in any order
          size_t t = in.ConsumeIntegralInRange<size_t>(0, targets.size() - 1);
          if (held[t].empty()) break;
          size_t index = in.ConsumeIntegralInRange<size_t>(0, held[t].size() - 1);
          Sent done = held[t][index];
          held[t].erase(held[t].begin() + static_cast<std::ptrdiff_t>(index));
          targets[t].lower->CompleteAt(index, in.ConsumeBool() ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR);
          finish(done);
          break;
        }
        case 8: {  // another device control passes down untouched
          size_t t = in.ConsumeIntegralInRange<size_t>(0, targets.size() - 1);
          ULONG code = in.ConsumeBool() ? IOCTL_SCSI_GET_ADDRESS : in.ConsumeIntegral<ULONG>();
          if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) break;
          std::vector<uint8_t> buffer(64, 0);
          rig::Request* request = rig::Request::DeviceControl(targets[t].filter, code, buffer, 64, 64);
          size_t before = targets[t].lower->CountIoctl(code);
          request->Send();
          if (!request->Done()) {  // a pass-through the port driver holds
            held[t].push_back({request, -1});
          } else {
            rig::Request::Release(request);
          }
          ++sent[t];
          Expect(targets[t].lower->CountIoctl(code) == before + 1, "a device control did not reach the device below");
          break;
        }
        default:
          hostk::AdvanceVirtualTicks(in.ConsumeIntegralInRange<int64_t>(1, 5000));
      }
      for (int b = 0; b < 256; ++b) {
        Expect(Driver.BusActivity[b].Outstanding == outstanding[b], "Outstanding of bus " + std::to_string(b) +
                                                                        " is " + std::to_string(Driver.BusActivity[b].Outstanding) +
                                                                        ", model " + std::to_string(outstanding[b]));
      }
    }

    for (size_t t = 0; t < targets.size(); ++t) {
      Expect(targets[t].lower->Seen().size() >= sent[t], "a request never reached the device below");
      targets[t].lower->CompleteAll();
      for (const Sent& done : held[t]) finish(done);
    }
    if (capture) {
      BusStatisticsBlock block{};
      Expect(control(IOCTL_KV_READ_STATISTICS, &block, sizeof block), "read failed");
      for (int b = 0; b < 256; ++b) {
        Expect(block.BusyTime[b] == busyTime[b], "busy time of bus " + std::to_string(b) + " is " +
                                                     std::to_string(block.BusyTime[b]) + ", model " +
                                                     std::to_string(busyTime[b]));
        Expect(block.BusyTime[b] <= block.IntervalEnd - block.IntervalStart, "busy time longer than its interval");
      }
    }
    monitor.CloseHandle(handle);
    rig::RemoveAllAndUnload(driver);
  }
  return 0;
}
