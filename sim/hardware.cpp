#include "sim/hardware.h"

#include <algorithm>
#include <cmath>

namespace sim {

void DescribeRequest(PIRP irp, uint64_t* lba, uint32_t* bytes) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR* cdb = nullptr;
  *lba = 0;
  *bytes = 0;
  if (stack->MajorFunction == IRP_MJ_SCSI) {
    const SCSI_REQUEST_BLOCK* srb = stack->Parameters.Scsi.Srb;
    if (srb == nullptr) return;
    cdb = srb->Cdb;
    *bytes = srb->DataTransferLength;
  } else {
    const auto* header = static_cast<const SCSI_PASS_THROUGH*>(irp->AssociatedIrp.SystemBuffer);
    if (header == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SCSI_PASS_THROUGH)) {
      return;
    }
    cdb = header->Cdb;
    *bytes = header->DataTransferLength;
  }
  if (cdb[0] == 0x28 || cdb[0] == 0x2A) {
    *lba = (static_cast<uint64_t>(cdb[2]) << 24) | (static_cast<uint64_t>(cdb[3]) << 16) |
           (static_cast<uint64_t>(cdb[4]) << 8) | cdb[5];
  }
}

StorageDevice::StorageDevice(std::string name, StorageKind kind, Bus* bus, UCHAR target_id, ServiceModel model,
                             uint64_t seed)
    : name_(std::move(name)), kind_(kind), bus_(bus), target_id_(target_id), model_(model), random_(seed) {}

int64_t StorageDevice::MechanicalNs(uint64_t lba, uint32_t bytes) {
  int64_t total = model_.command_ns;
  if (kind_ != StorageKind::kTape) {
    uint64_t distance = lba > head_lba_ ? lba - head_lba_ : head_lba_ - lba;
    if (distance > 0 && model_.capacity_blocks > 0) {
      double fraction = std::min(1.0, static_cast<double>(distance) / static_cast<double>(model_.capacity_blocks));
      total += model_.track_seek_ns +
               static_cast<int64_t>(static_cast<double>(model_.full_seek_ns - model_.track_seek_ns) * std::sqrt(fraction));
    }
    if (model_.revolution_ns > 0) total += static_cast<int64_t>(random_.Below(static_cast<uint64_t>(model_.revolution_ns)));
  }
  if (model_.media_rate > 0) total += static_cast<int64_t>(static_cast<uint64_t>(bytes) * 1000000000ull / static_cast<uint64_t>(model_.media_rate));
  head_lba_ = lba + bytes / 512;
  return total;
}

Bus::Bus(std::string name, int lane, bool exclusive, int64_t bus_rate, Scheduler* scheduler)
    : name_(std::move(name)), lane_(lane), exclusive_(exclusive), bus_rate_(bus_rate), scheduler_(scheduler) {}

Bus::~Bus() = default;

int64_t Bus::TransferNs(uint32_t bytes) const {
  if (bus_rate_ <= 0) return 0;
  return static_cast<int64_t>(static_cast<uint64_t>(bytes) * 1000000000ull / static_cast<uint64_t>(bus_rate_));
}

namespace {
Ticks NsToTicks(const Scheduler& scheduler, int64_t ns) {
  return static_cast<Ticks>(static_cast<__int128>(ns) * scheduler.Frequency() / 1000000000);
}
}  // namespace

NTSTATUS Bus::Submit(StorageDevice* device, PIRP irp) {
  IoMarkIrpPending(irp);
  std::vector<std::function<void()>> after;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Request request{next_id_++, device, irp, 0, 0, Request::kQueued};
    DescribeRequest(irp, &request.lba, &request.bytes);
    auto fixed = fixed_times_.find(irp);
    if (fixed != fixed_times_.end()) {
      Ticks at = fixed->second;
      fixed_times_.erase(fixed);
      recorded_.emplace(request.id, request);
      uint64_t id = request.id;
      scheduler_->At(lane_, at, [this, id] { OnRecordedDone(id); });
      return STATUS_PENDING;
    }
    requests_.push_back(request);
    StartNextLocked(&after);
  }
  for (auto& fn : after) fn();
  return STATUS_PENDING;
}

void Bus::StartDeviceLocked(StorageDevice* device, std::vector<std::function<void()>>* /*after*/) {
  for (const Request& r : requests_) {
    if (r.device == device && r.phase != Request::kQueued) return;  // the device is working
  }
  for (Request& r : requests_) {
    if (r.device != device || r.phase != Request::kQueued) continue;
    r.phase = Request::kMechanical;
    Ticks delay = NsToTicks(*scheduler_, device->MechanicalNs(r.lba, r.bytes));
    uint64_t id = r.id;
    scheduler_->At(lane_, scheduler_->Now() + delay, [this, id] { OnMechanicalDone(id); });
    return;
  }
}

void Bus::StartNextLocked(std::vector<std::function<void()>>* after) {
  if (exclusive_) {
    if (bus_busy_) return;
    for (Request& r : requests_) {
      if (r.phase != Request::kQueued) continue;
      r.phase = Request::kTransfer;
      bus_busy_ = true;
      int64_t ns = r.device->MechanicalNs(r.lba, r.bytes) + TransferNs(r.bytes);
      uint64_t id = r.id;
      scheduler_->At(lane_, scheduler_->Now() + NsToTicks(*scheduler_, ns), [this, id] { OnDone(id); });
      return;
    }
    return;
  }
  std::vector<StorageDevice*> devices;
  for (const Request& r : requests_) {
    if (std::find(devices.begin(), devices.end(), r.device) == devices.end()) devices.push_back(r.device);
  }
  for (StorageDevice* device : devices) StartDeviceLocked(device, after);
  if (bus_busy_) return;
  for (Request& r : requests_) {
    if (r.phase != Request::kWaitingBus) continue;
    r.phase = Request::kTransfer;
    bus_busy_ = true;
    uint64_t id = r.id;
    scheduler_->At(lane_, scheduler_->Now() + NsToTicks(*scheduler_, TransferNs(r.bytes)), [this, id] { OnDone(id); });
    return;
  }
}

void Bus::FixCompletionTime(PIRP irp, Ticks at) {
  std::lock_guard<std::mutex> lock(mutex_);
  fixed_times_[irp] = at;
}

void Bus::ForgetCompletionTime(PIRP irp) {
  std::lock_guard<std::mutex> lock(mutex_);
  fixed_times_.erase(irp);
}

void Bus::OnRecordedDone(uint64_t id) {
  Request request{};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = recorded_.find(id);
    if (it == recorded_.end()) return;  // flushed meanwhile
    request = it->second;
    recorded_.erase(it);
  }
  CompleteIrp(request.irp, STATUS_SUCCESS, request.bytes);
}

void Bus::OnMechanicalDone(uint64_t id) {
  std::vector<std::function<void()>> after;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Request& r : requests_) {
      if (r.id == id && r.phase == Request::kMechanical) {
        r.phase = Request::kWaitingBus;
        break;
      }
    }
    StartNextLocked(&after);
  }
  for (auto& fn : after) fn();
}

void Bus::OnDone(uint64_t id) {
  PIRP irp = nullptr;
  uint32_t bytes = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(requests_.begin(), requests_.end(), [&](const Request& r) { return r.id == id; });
    if (it == requests_.end() || it->phase != Request::kTransfer) return;  // flushed meanwhile
    irp = it->irp;
    bytes = it->bytes;
    requests_.erase(it);
    bus_busy_ = false;
  }
  // The request completes before the next one starts, as a controller
  // interrupt would have it.
  CompleteIrp(irp, STATUS_SUCCESS, bytes);
  std::vector<std::function<void()>> after;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    StartNextLocked(&after);
  }
  for (auto& fn : after) fn();
}

void Bus::FlushDevice(StorageDevice* device, NTSTATUS status) {
  std::vector<PIRP> flushed;
  std::vector<std::function<void()>> after;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = requests_.begin(); it != requests_.end();) {
      if (it->device != device) {
        ++it;
        continue;
      }
      if (it->phase == Request::kTransfer) bus_busy_ = false;
      flushed.push_back(it->irp);
      it = requests_.erase(it);
    }
    for (auto it = recorded_.begin(); it != recorded_.end();) {
      if (it->second.device != device) {
        ++it;
        continue;
      }
      flushed.push_back(it->second.irp);
      it = recorded_.erase(it);
    }
    StartNextLocked(&after);
  }
  for (PIRP irp : flushed) CompleteIrp(irp, status, 0);
  for (auto& fn : after) fn();
}

size_t Bus::Outstanding() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size() + recorded_.size();
}

void Bus::CompleteIrp(PIRP irp, NTSTATUS status, uint32_t bytes) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_SCSI && stack->Parameters.Scsi.Srb != nullptr) {
    SCSI_REQUEST_BLOCK* srb = stack->Parameters.Scsi.Srb;
    srb->SrbStatus = NT_SUCCESS(status) ? SRB_STATUS_SUCCESS : SRB_STATUS_ERROR;
    if (!NT_SUCCESS(status)) srb->DataTransferLength = 0;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  if (NT_SUCCESS(status)) {
    // A pass-through returns its header; an SRB its data.
    irp->IoStatus.Information =
        stack->MajorFunction == IRP_MJ_SCSI
            ? bytes
            : std::min<ULONG_PTR>(stack->Parameters.DeviceIoControl.OutputBufferLength, sizeof(SCSI_PASS_THROUGH));
  }
  completed_.fetch_add(1);
  KIRQL old_irql;
  KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old_irql);
}

}  // namespace sim
