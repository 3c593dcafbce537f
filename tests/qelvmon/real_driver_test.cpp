// The monitor against the real qelvard1 driver on the simulated kernel: a
// tiny port driver with one disk on port 3 and a virtual clock at 10 MHz,
// so every busy tick is known in advance.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

#include "host_kernel/host_control.h"
#include "qelvmon/host_channel.h"
#include "qelvmon/monitor.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr std::int64_t kFrequency = 10'000'000;

PDEVICE_OBJECT g_disk = nullptr;     // the disk's PDO, created by the tiny port
std::deque<PIRP> g_outstanding;      // SCSI requests the "disk" is working on

// Answers the address query (port 3, target 1) and nothing else.
NTSTATUS NTAPI PortDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  ULONG_PTR information = 0;
  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_GET_ADDRESS &&
      stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(SCSI_ADDRESS)) {
    auto* address = static_cast<SCSI_ADDRESS*>(irp->AssociatedIrp.SystemBuffer);
    address->Length = sizeof(SCSI_ADDRESS);
    address->PortNumber = 3;
    address->PathId = 0;
    address->TargetId = 1;
    address->Lun = 0;
    status = STATUS_SUCCESS;
    information = sizeof(SCSI_ADDRESS);
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// SCSI requests stay outstanding until the test completes them.
NTSTATUS NTAPI PortScsi(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  g_outstanding.push_back(irp);
  return STATUS_PENDING;
}

NTSTATUS NTAPI TinyPortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PortDeviceControl;
  driver->MajorFunction[IRP_MJ_SCSI] = PortScsi;
  return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &g_disk);
}

NTSTATUS NTAPI FreeSentIrp(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

SCSI_REQUEST_BLOCK g_srb{};

// A class driver's read: one SRB sent to the top of the disk's stack.
void SendRequest() {
  PDEVICE_OBJECT top = IoGetAttachedDevice(g_disk);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  g_srb.Length = sizeof g_srb;
  g_srb.TargetId = 1;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_SCSI;
  next->Parameters.Scsi.Srb = &g_srb;
  IoSetCompletionRoutine(irp, FreeSentIrp, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
}

void CompleteRequest() {
  ASSERT_FALSE(g_outstanding.empty());
  PIRP irp = g_outstanding.front();
  g_outstanding.pop_front();
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

class RealDriverTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    hostk::UseVirtualClock(kFrequency);
    hostk::SetVirtualTicks(1'000'000);
  }

  // The driver and the disk, loaded once for the rest of the suite.
  static void LoadDriverAndDisk() {
    if (g_disk != nullptr) return;
    PDRIVER_OBJECT port = nullptr;
    ASSERT_EQ(hostk::LoadDriver("tinyport", TinyPortEntry, &port), STATUS_SUCCESS);
    // A disk of the disk class whose PDO the SCSI enumerator made: a plain
    // device filter, with no controller above it to name.
    hostk::SetDevicePropertyString(g_disk, DevicePropertyClassGuid,
                                   "{4D36E967-E325-11CE-BFC1-08002BE10318}");
    hostk::SetDevicePropertyString(g_disk, DevicePropertyEnumeratorName, "SCSI");
    hostk::SetDevicePropertyString(g_disk, DevicePropertyDeviceDescription, "Tiny Disk");
    PDRIVER_OBJECT qelvard1 = nullptr;
    ASSERT_EQ(hostk::LoadDriver("qelvard1", DriverEntry, &qelvard1), STATUS_SUCCESS);
    ASSERT_EQ(hostk::CallAddDevice(qelvard1, g_disk), STATUS_SUCCESS);
  }

  int Run(const std::vector<std::string>& args, const qelvmon::MonitorHooks& hooks,
          hostk::UserProcess& process) {
    const auto channel = qelvmon::MakeHostChannel(process);
    return qelvmon::RunCommandLine(args, *channel, hooks, out, err);
  }

  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(RealDriverTest, BeforeTheDriverLoadsTheMonitorSaysItIsNotLoaded) {
  hostk::UserProcess process(500);
  EXPECT_EQ(Run({"--count", "1"}, {}, process), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "qelvmon: cannot open \\\\.\\QELVARD1: the qelvard1 driver is not loaded\n");
}

// Three half-second intervals: busy 0.25 s, busy throughout (a request
// running across the read), busy 0.1 s as that request ends.
TEST_F(RealDriverTest, BusyTimeOfTheDiskArrivesIntervalByInterval) {
  LoadDriverAndDisk();
  hostk::UserProcess process(501);
  qelvmon::MonitorHooks hooks;
  hooks.wait_for_interval = [](std::uint64_t index, std::chrono::nanoseconds) {
    switch (index) {
      case 1:
        hostk::AdvanceVirtualTicks(1'000'000);
        SendRequest();
        hostk::AdvanceVirtualTicks(2'500'000);
        CompleteRequest();
        hostk::AdvanceVirtualTicks(1'500'000);
        break;
      case 2:
        SendRequest();
        hostk::AdvanceVirtualTicks(5'000'000);
        break;
      default:
        hostk::AdvanceVirtualTicks(1'000'000);
        CompleteRequest();
        hostk::AdvanceVirtualTicks(4'000'000);
        break;
    }
    return true;
  };
  EXPECT_EQ(Run({"--interval", "0.5", "--count", "3", "--format", "json"}, hooks, process), 0);
  EXPECT_EQ(err.str(), "");

  const auto records = nlohmann::json::parse(out.str());
  ASSERT_EQ(records.size(), 3u);
  const std::int64_t busy[] = {2'500'000, 5'000'000, 1'000'000};
  const double percent[] = {50.0, 100.0, 20.0};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i]["bus"], 3);
    EXPECT_EQ(records[i]["device"], true);
    EXPECT_EQ(records[i]["controller"], "");
    EXPECT_EQ(records[i]["interval_ticks"], 5'000'000);
    EXPECT_EQ(records[i]["interval_s"], 0.5);
    EXPECT_EQ(records[i]["busy_ticks"], busy[i]);
    EXPECT_EQ(records[i]["busy_pct"], percent[i]);
  }
  EXPECT_EQ(records[2]["elapsed_s"], 1.5);
}

// The same three intervals drawn with --svg: 50 %, 100 % and 20 % of a
// plot 300 high from y = 40, as the CSV printed them.
TEST_F(RealDriverTest, SvgTimelineDrawsTheFiguresPrinted) {
  LoadDriverAndDisk();
  hostk::UserProcess process(505);
  qelvmon::MonitorHooks hooks;
  hooks.wait_for_interval = [](std::uint64_t index, std::chrono::nanoseconds) {
    if (index == 1) {
      hostk::AdvanceVirtualTicks(1'000'000);
      SendRequest();
      hostk::AdvanceVirtualTicks(2'500'000);
      CompleteRequest();
      hostk::AdvanceVirtualTicks(1'500'000);
    } else if (index == 2) {
      SendRequest();
      hostk::AdvanceVirtualTicks(5'000'000);
    } else {
      hostk::AdvanceVirtualTicks(1'000'000);
      CompleteRequest();
      hostk::AdvanceVirtualTicks(4'000'000);
    }
    return true;
  };
  const std::string svg_path = testing::TempDir() + "qelvmon-real-driver-" + std::to_string(getpid()) + ".svg";
  EXPECT_EQ(Run({"--interval", "0.5", "--count", "3", "--format", "csv", "--svg", svg_path}, hooks, process), 0);
  EXPECT_EQ(err.str(), "");
  EXPECT_NE(out.str().find(",3,1,,2500000,5000000,50.0\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find(",3,1,,1000000,5000000,20.0\n"), std::string::npos) << out.str();

  std::ifstream in(svg_path);
  std::stringstream svg;
  svg << in.rdbuf();
  EXPECT_NE(svg.str().find("points=\"60.00,190.00 260.00,190.00 260.00,40.00 460.00,40.00 460.00,280.00 "
                           "660.00,280.00 \"><title>bus 3</title>"),
            std::string::npos)
      << svg.str();
}

TEST_F(RealDriverTest, SecondMonitorIsTurnedAwayWhileTheFirstHoldsTheDevice) {
  LoadDriverAndDisk();
  hostk::UserProcess first(502);
  const auto holder = qelvmon::MakeHostChannel(first);
  ASSERT_EQ(holder->Open(), qelvmon::kSuccess);

  hostk::UserProcess second(503);
  EXPECT_EQ(Run({"--count", "1"}, {}, second), 1);
  EXPECT_EQ(err.str(),
            "qelvmon: cannot open \\\\.\\QELVARD1: another monitor holds the device, and only one can "
            "hold it at a time (Performance Monitor and counter logs showing qelvard1's counters are "
            "monitors too)\n");
  holder->Close();
}

TEST_F(RealDriverTest, ChannelPassesTheDriverStatusesThrough) {
  LoadDriverAndDisk();
  hostk::UserProcess process(504);
  const auto channel = qelvmon::MakeHostChannel(process);
  ASSERT_EQ(channel->Open(), qelvmon::kSuccess);
  ASSERT_EQ(channel->StartCapture(), qelvmon::kSuccess);
  EXPECT_EQ(channel->StartCapture(), qelvmon::kStatusCaptureActive);
  qelvmon::StatisticsBytes bytes{};
  EXPECT_EQ(channel->StopCapture(), qelvmon::kSuccess);
  EXPECT_EQ(channel->ReadStatistics(bytes), qelvmon::kStatusCaptureInactive);
  EXPECT_EQ(channel->StopCapture(), qelvmon::kStatusCaptureInactive);
  channel->Close();
}

}  // namespace
