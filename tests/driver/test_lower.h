// A small lower driver for the driver tests, written against the same
// kernel API: its devices stand for the PDOs (and port devices) that
// qelvard1 attaches above. Each device answers the address and storage
// property queries or fails them, completes SRBs and pass-throughs at
// once or holds them for the test to complete later (from any thread, in
// any order), and answers Plug and Play requests as told. It records
// everything it receives.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace testlower {

struct Behaviour {
  NTSTATUS addressStatus = STATUS_SUCCESS;  // IOCTL_SCSI_GET_ADDRESS
  UCHAR portNumber = 0;
  UCHAR pathId = 0;
  UCHAR targetId = 0;
  NTSTATUS busTypeStatus = STATUS_SUCCESS;  // IOCTL_STORAGE_QUERY_PROPERTY
  STORAGE_BUS_TYPE busType = BusTypeAta;
  bool holdRequests = false;                // SRBs and pass-throughs pend
  bool holdQueries = false;                 // other device controls pend
  NTSTATUS requestStatus = STATUS_SUCCESS;
  NTSTATUS pnpStatus = STATUS_SUCCESS;
  bool holdPnp = false;                     // Plug and Play requests pend
  bool answerBusRelations = false;          // reply with `children`
  std::vector<PDEVICE_OBJECT> children;
  std::function<void(PIRP)> onArrival;      // runs first, outside the driver's lock
};

// One request as the device saw it arrive.
struct Received {
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG code = 0;            // device control code
  PIRP irp = nullptr;        // identity only; may be gone
  bool counted = false;      // qelvard1's accounting completion routine is set
  ULONG relationType = 0;
  BOOLEAN inPath = FALSE;    // usage notifications
  ULONG filterFlagsSeen = 0; // Flags of the device above, at arrival
};

class LowerDriver {
 public:
  explicit LowerDriver(const char* service = "testlower");
  ~LowerDriver();
  LowerDriver(const LowerDriver&) = delete;
  LowerDriver& operator=(const LowerDriver&) = delete;

  PDRIVER_OBJECT Object() const { return driver_; }

  // A device of this driver with its behaviour; null on failure.
  PDEVICE_OBJECT CreateDevice(DEVICE_TYPE type = FILE_DEVICE_DISK, ULONG flags = 0);
  void DeleteDevice(PDEVICE_OBJECT device);

  // Changes take effect for the next request.
  Behaviour& Of(PDEVICE_OBJECT device);
  std::vector<Received> ReceivedBy(PDEVICE_OBJECT device);
  size_t ReceivedCount(PDEVICE_OBJECT device, UCHAR major);

  size_t HeldCount(PDEVICE_OBJECT device);
  // Takes the held request at `index` (oldest first) out of the queue.
  PIRP TakeHeld(PDEVICE_OBJECT device, size_t index = 0);
  // Completes a request taken from the queue, at DISPATCH_LEVEL as a
  // port driver's DPC would.
  static void Complete(PIRP irp, NTSTATUS status = STATUS_SUCCESS);
  // Completes every held request of every device, oldest first.
  void CompleteAllHeld();
  // Every device completes at once and with success from now on.
  void BehaveNormally();

  // The dispatch routine shared by all major functions.
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);

 private:
  struct DeviceState {
    Behaviour behaviour;
    std::vector<Received> received;
    std::deque<PIRP> held;
  };

  NTSTATUS Handle(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information);
  NTSTATUS AnswerDeviceControl(PIRP irp, const Behaviour& behaviour);
  NTSTATUS AnswerPnp(PIRP irp, const Behaviour& behaviour);

  PDRIVER_OBJECT driver_ = nullptr;
  std::mutex mutex_;
  std::map<PDEVICE_OBJECT, DeviceState> devices_;
};

// A driver that only passes everything down: stands for function drivers
// and lower filters of a given service name above a PDO.
class ServiceDriver {
 public:
  explicit ServiceDriver(const std::string& service);
  ~ServiceDriver();
  ServiceDriver(const ServiceDriver&) = delete;
  ServiceDriver& operator=(const ServiceDriver&) = delete;

  // Attaches a new device of this driver at the top of pdo's stack.
  PDEVICE_OBJECT AttachAbove(PDEVICE_OBJECT pdo);

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> devices_;
};

}  // namespace testlower
