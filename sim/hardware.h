// The simulated hardware: a tree of devices as the buses report them, the
// storage devices at its leaves with a service-time model each, and the
// buses they share. The drivers of sim/drivers.cpp present this tree to
// the Plug and Play manager and hand storage requests to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernel_services.h"
#include "sim/scheduler.h"

namespace sim {

class Bus;
class StorageDevice;

// What a driver does with a node's device stack.
enum class NodeRole {
  kBus,      // its function driver enumerates the node's children
  kPort,     // like kBus, and takes pass-through requests for its storage children
  kStorage,  // a storage device: its PDO executes SRBs
};

struct HwNode {
  std::string name;                 // the machine's own name: "ide0", "ide0.master"
  std::string device_id;            // "IDE\DiskQELV..."
  std::string instance_id;
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
  std::string description;          // the bus's device text
  std::string location;
  DEVICE_TYPE pdo_type = FILE_DEVICE_UNKNOWN;
  NodeRole role = NodeRole::kBus;
  std::atomic<bool> present{true};
  HwNode* parent = nullptr;
  std::vector<std::unique_ptr<HwNode>> children;
  StorageDevice* storage = nullptr;  // kStorage
  // Written by Plug and Play work, read by workload threads.
  std::atomic<PDEVICE_OBJECT> pdo{nullptr};  // made by the parent's driver
  std::atomic<PDEVICE_OBJECT> fdo{nullptr};  // made by the node's function driver
  // Set when the Plug and Play manager begins to remove the node's stack,
  // cleared when the stack starts again: no workload request enters it
  // meanwhile, as none enters a Windows stack whose handles are closed.
  std::atomic<bool> closing{false};
};

// Times in nanoseconds, rates in bytes per second.
struct ServiceModel {
  int64_t command_ns = 100000;          // controller and firmware overhead
  int64_t track_seek_ns = 1000000;      // shortest seek
  int64_t full_seek_ns = 15000000;      // end-to-end seek
  int64_t revolution_ns = 8333333;      // 7200 rpm; 0 for no rotation
  int64_t media_rate = 30000000;
  uint64_t capacity_blocks = 40000000;  // 512-byte blocks
};

enum class StorageKind { kDisk, kCdRom, kTape };

// One piece of storage hardware on a bus.
class StorageDevice {
 public:
  StorageDevice(std::string name, StorageKind kind, Bus* bus, UCHAR target_id, ServiceModel model,
                uint64_t seed);

  const std::string& Name() const { return name_; }
  StorageKind Kind() const { return kind_; }
  Bus* GetBus() const { return bus_; }
  UCHAR TargetId() const { return target_id_; }
  const ServiceModel& Model() const { return model_; }
  HwNode* Node() const { return node_; }
  void SetNode(HwNode* node) { node_ = node; }

  // IOCTL_SCSI_GET_ADDRESS: the port number, or none (the request fails).
  std::optional<UCHAR> port_number;
  STORAGE_BUS_TYPE bus_type = BusTypeScsi;

  // Service time of one request, deterministic for a given history.
  int64_t MechanicalNs(uint64_t lba, uint32_t bytes);

 private:
  std::string name_;
  StorageKind kind_;
  Bus* bus_;
  UCHAR target_id_;
  ServiceModel model_;
  HwNode* node_ = nullptr;
  uint64_t head_lba_ = 0;
  Random random_;
};

// A shared path to storage devices. On an exclusive bus (an IDE channel, a
// USB or 1394 link to one device) a request holds the bus from its start
// to its end, so the devices on it are served one request at a time; on a
// SCSI bus the devices seek on their own and queue only for the data
// transfer.
class Bus {
 public:
  Bus(std::string name, int lane, bool exclusive, int64_t bus_rate, Scheduler* scheduler);
  ~Bus();

  const std::string& Name() const { return name_; }
  int Lane() const { return lane_; }
  bool Exclusive() const { return exclusive_; }

  // Takes a storage request (IRP_MJ_SCSI or a pass-through) for `device`:
  // marks it pending and completes it when the hardware is done. Returns
  // STATUS_PENDING.
  NTSTATUS Submit(StorageDevice* device, PIRP irp);
  // A recording fixes when the request of `irp` ends: when it reaches the
  // device it completes at `at` on the counter, whatever the service model
  // would say and however many others are outstanding. Set before the IRP
  // is sent down; Forget drops a time the request never used.
  void FixCompletionTime(PIRP irp, Ticks at);
  void ForgetCompletionTime(PIRP irp);
  // Completes every request of `device` at once with `status` (the device
  // has gone).
  void FlushDevice(StorageDevice* device, NTSTATUS status);
  size_t Outstanding() const;
  uint64_t Completed() const { return completed_.load(); }

 private:
  struct Request {
    uint64_t id;
    StorageDevice* device;
    PIRP irp;
    uint64_t lba;
    uint32_t bytes;
    enum Phase { kQueued, kMechanical, kWaitingBus, kTransfer } phase;
  };

  void StartNextLocked(std::vector<std::function<void()>>* after);
  void StartDeviceLocked(StorageDevice* device, std::vector<std::function<void()>>* after);
  void OnMechanicalDone(uint64_t id);
  void OnDone(uint64_t id);
  void OnRecordedDone(uint64_t id);
  void CompleteIrp(PIRP irp, NTSTATUS status, uint32_t bytes);
  int64_t TransferNs(uint32_t bytes) const;

  std::string name_;
  int lane_;
  bool exclusive_;
  int64_t bus_rate_;
  Scheduler* scheduler_;
  mutable std::mutex mutex_;
  std::deque<Request> requests_;  // in arrival order
  // Requests that end when a recording says, by IRP before they arrive and
  // by id once the device has them.
  std::unordered_map<PIRP, Ticks> fixed_times_;
  std::unordered_map<uint64_t, Request> recorded_;
  uint64_t next_id_ = 1;
  bool bus_busy_ = false;
  std::atomic<uint64_t> completed_{0};
};

// Reads the request's block address and length: READ(10)/WRITE(10) CDBs,
// else the data transfer length at block 0.
void DescribeRequest(PIRP irp, uint64_t* lba, uint32_t* bytes);

}  // namespace sim
