// A small machine for benchmarks: qelvard1 over a port driver whose
// devices complete every request at once and answer the address and
// storage property queries, a monitor process with the control device
// open, and plain and bus filters made by the driver's own creation
// operation.
#pragma once

#include <memory>
#include <vector>

#include "driver/driver.h"
#include "platform/host_kernel/host_control.h"

namespace benchrig {

struct PortAnswer {
  bool answersAddress = true;
  UCHAR port = 0;
  UCHAR target = 0;
  STORAGE_BUS_TYPE busType = BusTypeAta;
};

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  PDEVICE_OBJECT Filter(const PortAnswer& answer, BOOLEAN isBus = FALSE, PDEVICE_OBJECT parent = nullptr);
  void Control(ULONG code);  // aborts on failure
  // A statistics read through the I/O manager, as the monitor makes it.
  void ReadStatistics(BusStatisticsBlock* block);

 private:
  PDRIVER_OBJECT port_ = nullptr;
  PDRIVER_OBJECT filter_ = nullptr;
  std::unique_ptr<hostk::UserProcess> monitor_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::vector<PDEVICE_OBJECT> pdos_;
  std::vector<PDEVICE_OBJECT> filters_;
};

// One SRB to `target` and back, with an IRP the caller reuses.
class SrbSender {
 public:
  SrbSender(PDEVICE_OBJECT target, UCHAR targetId);
  ~SrbSender();
  SrbSender(const SrbSender&) = delete;
  SrbSender& operator=(const SrbSender&) = delete;
  NTSTATUS SendOne();

 private:
  PDEVICE_OBJECT target_;
  SCSI_REQUEST_BLOCK srb_{};
  PIRP irp_;
};

void Check(bool ok, const char* what);

}  // namespace benchrig
