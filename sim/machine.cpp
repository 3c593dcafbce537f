#include "sim/machine.h"

#include <cstring>
#include <map>
#include <mutex>

#include "host_kernel/host_control.h"

namespace sim {
namespace {

constexpr ULONG kWorkloadTag = hostk::MakeTag("SmWl");

std::mutex g_current_mutex;
Machine* g_current = nullptr;

// One device of the default machine, as the bus reports it and as the
// registry describes it.
struct DeviceSpec {
  std::string name;
  std::string parent;  // "" for the root bus
  std::string device_id;
  std::string instance_id;
  std::string compatible_id;
  std::string description;
  std::string friendly_name;
  std::string location;
  std::string service;
  std::string class_guid;
  std::string mfg;
  DEVICE_TYPE type;
  NodeRole role;
};

const std::vector<DeviceSpec>& DefaultDevices() {
  static const std::vector<DeviceSpec> devices = {
      {"pci", "", "Root\\PCI_HAL", "0000", "", "PCI bus", "", "", "pci", kClassSystem, "(Standard system devices)",
       FILE_DEVICE_BUS_EXTENDER, NodeRole::kBus},
      // IDE: a dual-channel controller, its channels under the ATAPI port driver.
      {"ide", "pci", "PCI\\VEN_8086&DEV_7111&SUBSYS_00000000&REV_01", "3&61AAA01&0&39", "PCI\\CC_0101",
       "Standard Dual Channel PCI IDE Controller", "", "PCI bus 0, device 7, function 1", "pciide", kClassHdc,
       "(Standard IDE ATA/ATAPI controllers)", FILE_DEVICE_CONTROLLER, NodeRole::kBus},
      {"ide0", "ide", "PCIIDE\\IDEChannel", "4&2F6E9B2E&0&0", "", "Primary IDE Channel", "", "Primary Channel", "atapi",
       kClassHdc, "(Standard IDE ATA/ATAPI controllers)", FILE_DEVICE_CONTROLLER, NodeRole::kPort},
      {"ide0.master", "ide0", "IDE\\DiskQELV_HD20A_______________________________3.29____", "5&1C4A2E2&0&0.0.0",
       "GenDisk", "Disk drive", "QELV HD20A", "0", "disk", kClassDisk, "(Standard disk drives)",
       FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
      {"ide0.slave", "ide0", "IDE\\CdRomQELV_CD-52X_______________________________1.10____", "5&1C4A2E2&0&0.1.0",
       "GenCdRom", "CD-ROM Drive", "QELV CD-52X", "1", "cdrom", kClassCdRom, "(Standard CD-ROM drives)",
       FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
      {"ide1", "ide", "PCIIDE\\IDEChannel", "4&2F6E9B2E&0&1", "", "Secondary IDE Channel", "", "Secondary Channel",
       "atapi", kClassHdc, "(Standard IDE ATA/ATAPI controllers)", FILE_DEVICE_CONTROLLER, NodeRole::kPort},
      {"ide1.master", "ide1", "IDE\\DiskQELV_HD30B_______________________________4.01____", "5&33D1C5B&0&1.0.0",
       "GenDisk", "Disk drive", "QELV HD30B", "0", "disk", kClassDisk, "(Standard disk drives)",
       FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
      {"ide1.slave", "ide1", "IDE\\CdRomQELV_DVD-16X______________________________2.00____", "5&33D1C5B&0&1.1.0",
       "GenCdRom", "CD-ROM Drive", "QELV DVD-16X", "1", "cdrom", kClassCdRom, "(Standard CD-ROM drives)",
       FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
      // SCSI: one adapter, two disks and a DDS tape drive.
      {"scsi", "pci", "PCI\\VEN_9005&DEV_001F&SUBSYS_00000000&REV_00", "3&61AAA01&0&60", "PCI\\CC_0100",
       "Ultra2 SCSI Host Adapter", "", "PCI bus 0, device 12, function 0", "aic78u2", kClassScsiAdapter,
       "(Standard SCSI host adapters)", FILE_DEVICE_CONTROLLER, NodeRole::kPort},
      {"scsi.disk0", "scsi", "SCSI\\DiskQELV____SD9100__________0001", "4&3B7C1F0&0&000", "GenDisk", "Disk drive",
       "QELV SD9100 SCSI Disk Device", "Bus Number 0, Target ID 0, LUN 0", "disk", kClassDisk,
       "(Standard disk drives)", FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
      {"scsi.disk1", "scsi", "SCSI\\DiskQELV____SD9100__________0001", "4&3B7C1F0&0&010", "GenDisk", "Disk drive",
       "QELV SD9100 SCSI Disk Device", "Bus Number 0, Target ID 1, LUN 0", "disk", kClassDisk,
       "(Standard disk drives)", FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
      {"scsi.tape", "scsi", "SCSI\\SequentialQELV____TD4000__________0002", "4&3B7C1F0&0&040", "GenSequential",
       "4mm DDS Tape Drive", "QELV TD4000 SCSI Sequential Device", "Bus Number 0, Target ID 4, LUN 0", "4mmdat",
       kClassTape, "(Standard tape drives)", FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
      // USB: host controller, root hub, a portable disk and a stick.
      {"usb", "pci", "PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01", "3&61AAA01&0&3A", "PCI\\CC_0C0300",
       "Standard Universal PCI to USB Host Controller", "", "PCI bus 0, device 7, function 2", "usbuhci", kClassUsb,
       "(Standard USB Host Controller)", FILE_DEVICE_CONTROLLER, NodeRole::kBus},
      {"usb.hub", "usb", "USB\\ROOT_HUB", "4&1E3F8A1&0", "", "USB Root Hub", "", "", "usbhub", kClassUsb,
       "(Standard USB Host Controller)", FILE_DEVICE_CONTROLLER, NodeRole::kBus},
      {"usb.port1", "usb.hub", "USB\\Vid_0A5C&Pid_2001", "5&2A8B3C1&0&1", "USB\\Class_08&SubClass_06&Prot_50",
       "USB Mass Storage Device", "", "USB port 1", "USBSTOR", kClassUsb, "Compatible USB storage device",
       FILE_DEVICE_UNKNOWN, NodeRole::kPort},
      {"usb.disk", "usb.port1", "USBSTOR\\Disk&Ven_QELV&Prod_PORTABLE_HDD&Rev_1.00", "5&2A8B3C1&0&1&0",
       "GenDisk", "Disk drive", "QELV PORTABLE HDD USB Device", "", "disk", kClassDisk, "(Standard disk drives)",
       FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
      {"usb.port2", "usb.hub", "USB\\Vid_0781&Pid_5150", "0001A2B3C4D5", "USB\\Class_08&SubClass_06&Prot_50",
       "USB Mass Storage Device", "", "USB port 2", "USBSTOR", kClassUsb, "Compatible USB storage device",
       FILE_DEVICE_UNKNOWN, NodeRole::kPort},
      {"usb.stick", "usb.port2", "USBSTOR\\Disk&Ven_QELV&Prod_FLASH_STICK&Rev_2.00", "0001A2B3C4D5&0", "GenDisk",
       "Disk drive", "QELV FLASH STICK USB Device", "", "disk", kClassDisk, "(Standard disk drives)",
       FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
      // IEEE 1394: an OHCI controller and an SBP-2 disk.
      {"1394", "pci", "PCI\\VEN_104C&DEV_8009&SUBSYS_00000000&REV_00", "3&61AAA01&0&50", "PCI\\CC_0C0010",
       "OHCI Compliant IEEE 1394 Host Controller", "", "PCI bus 0, device 10, function 0", "ohci1394", kClass1394,
       "1394 OHCI Compliant Host Controller", FILE_DEVICE_CONTROLLER, NodeRole::kBus},
      {"1394.sbp2", "1394", "1394\\QELV&EXTDISK", "0800460102A3B4C5", "1394\\609E&10483", "SBP2 Compliant IEEE 1394 Device",
       "", "", "sbp2port", kClassSbp2, "(Standard SBP2 IEEE 1394 devices)", FILE_DEVICE_UNKNOWN, NodeRole::kPort},
      {"1394.disk", "1394.sbp2", "SBP2\\QELV&EXTDISK&LUN0", "1&0800460102A3B4C5&0", "GenDisk", "Disk drive",
       "QELV EXTDISK IEEE 1394 SBP2 Device", "", "disk", kClassDisk, "(Standard disk drives)",
       FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage},
  };
  return devices;
}

// The recorded machine: the PCI bus, and per disk a SCSI adapter with the
// disk as target 0.
std::vector<DeviceSpec> RecordedDevices(const std::vector<std::string>& disks) {
  std::vector<DeviceSpec> devices = {DefaultDevices().front()};
  for (size_t i = 0; i < disks.size(); ++i) {
    const std::string adapter = "rec" + std::to_string(i);
    const std::string text = "Recorded " + disks[i];
    char instance[32];
    std::snprintf(instance, sizeof instance, "3&61AAA01&0&%02zX", i);
    devices.push_back({adapter, "pci", "PCI\\VEN_9005&DEV_001F&SUBSYS_00000000&REV_00", instance, "PCI\\CC_0100", text,
                       "", "PCI bus 1, device " + std::to_string(i) + ", function 0", "aic78u2", kClassScsiAdapter,
                       "(Standard SCSI host adapters)", FILE_DEVICE_CONTROLLER, NodeRole::kPort});
    std::snprintf(instance, sizeof instance, "4&%zX&0&000", 0x5EC0000 + i);
    devices.push_back({adapter + ".disk", adapter, "SCSI\\DiskQELV____RECORDED________0001", instance, "GenDisk",
                       "Disk drive", text, "Bus Number 0, Target ID 0, LUN 0", "disk", kClassDisk,
                       "(Standard disk drives)", FILE_DEVICE_MASS_STORAGE, NodeRole::kStorage});
  }
  return devices;
}

struct ClassSpec {
  const char* guid;
  const char* description;
  const char* name;
  std::vector<std::string> upper_filters;
  bool monitor;  // qelvard1 is an upper filter in the demo machine
};

std::vector<ClassSpec> DefaultClasses() {
  return {
      {kClassHdc, "IDE ATA/ATAPI controllers", "hdc", {}, true},
      {kClassScsiAdapter, "SCSI and RAID controllers", "SCSIAdapter", {}, true},
      {kClassUsb, "Universal Serial Bus controllers", "USB", {}, true},
      {kClassSbp2, "SBP2 IEEE 1394 Devices", "SBP2", {}, true},
      {kClassDisk, "Disk drives", "DiskDrive", {"PartMgr"}, true},
      {kClassCdRom, "DVD/CD-ROM drives", "CDROM", {}, true},
      {kClassTape, "Tape drives", "TapeDrive", {}, false},
      {kClass1394, "IEEE 1394 Bus host controllers", "1394", {}, false},
      {kClassMediumChanger, "Medium Changers", "MediumChanger", {}, false},
      {kClassSystem, "System devices", "System", {}, false},
  };
}

struct ServiceSpec {
  const char* name;
  const char* display;
  uint32_t start;
  const char* group;
};

std::vector<ServiceSpec> DefaultServices() {
  return {
      {"pci", "PCI Bus Driver", 0, "Boot Bus Extender"},
      {"pciide", "PCI IDE Bus Driver", 0, "Boot Bus Extender"},
      {"atapi", "Standard IDE/ESDI Hard Disk Controller", 0, "SCSI miniport"},
      {"aic78u2", "Ultra2 SCSI Host Adapter", 0, "SCSI miniport"},
      {"usbuhci", "Microsoft USB Universal Host Controller Miniport Driver", 3, "Base"},
      {"usbhub", "USB2 Enabled Hub", 3, "Base"},
      {"USBSTOR", "USB Mass Storage Driver", 3, "Base"},
      {"ohci1394", "1394 OHCI Compliant Host Controller Driver", 3, "Base"},
      {"sbp2port", "SBP-2 Transport/Protocol Bus Driver", 3, "SCSI miniport"},
      {"disk", "Disk Driver", 0, "SCSI Class"},
      {"cdrom", "CD-ROM Driver", 1, "SCSI CDROM Class"},
      {"4mmdat", "4mm DAT/DDS Tape Drive Driver", 3, "SCSI Class"},
      {"PartMgr", "Partition Manager", 0, "Filter"},
      {"qelvard1", "Storage Bus Activity Filter", 3, "Filter"},
  };
}

void SetSz(hostreg::RegKey* key, const char* name, const std::string& value) {
  key->SetValue(name, hostreg::kRegSz, hostreg::EncodeSz(value));
}

}  // namespace

namespace {

// Perflib as lodctr finds it: the last indexes given out (those of a fresh
// Windows 2000) and, standing for the system's, three names and help texts.
void WritePerflib(hostreg::Registry& registry) {
  hostreg::RegKey* perflib = registry.Create("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib");
  perflib->SetValue("Last Counter", hostreg::kRegDword, hostreg::EncodeDword(1846));
  perflib->SetValue("Last Help", hostreg::kRegDword, hostreg::EncodeDword(1847));
  hostreg::RegKey* english = perflib->CreateSubkey("009");
  english->SetValue("Counter", hostreg::kRegMultiSz,
                    hostreg::EncodeMultiSz({"2", "System", "4", "Memory", "6", "% Processor Time"}));
  english->SetValue("Help", hostreg::kRegMultiSz,
                    hostreg::EncodeMultiSz({"3", "Counters of the computer as a whole.", "5",
                                            "Counters of physical and virtual memory.", "7",
                                            "Share of time the processor runs a thread other than the idle one."}));
}

void WriteMachineRegistry(hostreg::Registry& registry, const std::vector<DeviceSpec>& devices,
                          bool with_monitor_filter) {
  std::lock_guard<std::recursive_mutex> lock(registry.Mutex());
  const std::string control = "System\\CurrentControlSet\\Control\\Class\\";
  for (const ClassSpec& entry : DefaultClasses()) {
    hostreg::RegKey* key = registry.Create(control + entry.guid);
    SetSz(key, "", entry.description);
    SetSz(key, "Class", entry.name);
    std::vector<std::string> upper = entry.upper_filters;
    if (with_monitor_filter && entry.monitor) upper.push_back("qelvard1");
    if (!upper.empty()) key->SetValue("UpperFilters", hostreg::kRegMultiSz, hostreg::EncodeMultiSz(upper));
  }
  std::map<std::string, int> driver_numbers;
  for (const DeviceSpec& entry : devices) {
    hostreg::RegKey* key =
        registry.Create(std::string("System\\CurrentControlSet\\Enum\\") + entry.device_id + "\\" + entry.instance_id);
    SetSz(key, "DeviceDesc", entry.description);
    if (!entry.friendly_name.empty()) SetSz(key, "FriendlyName", entry.friendly_name);
    if (!entry.location.empty()) SetSz(key, "LocationInformation", entry.location);
    key->SetValue("HardwareID", hostreg::kRegMultiSz, hostreg::EncodeMultiSz({entry.device_id}));
    if (!entry.compatible_id.empty()) {
      key->SetValue("CompatibleIDs", hostreg::kRegMultiSz, hostreg::EncodeMultiSz({entry.compatible_id}));
    }
    SetSz(key, "Service", entry.service);
    SetSz(key, "ClassGUID", entry.class_guid);
    for (const ClassSpec& c : DefaultClasses()) {
      if (entry.class_guid == c.guid) SetSz(key, "Class", c.name);
    }
    char driver[64];
    std::snprintf(driver, sizeof driver, "%s\\%04d", entry.class_guid.c_str(), driver_numbers[entry.class_guid]++);
    SetSz(key, "Driver", driver);
    SetSz(key, "Mfg", entry.mfg);
    key->SetValue("ConfigFlags", hostreg::kRegDword, hostreg::EncodeDword(0));
  }
  for (const ServiceSpec& entry : DefaultServices()) {
    hostreg::RegKey* key = registry.Create(std::string("System\\CurrentControlSet\\Services\\") + entry.name);
    key->SetValue("Type", hostreg::kRegDword, hostreg::EncodeDword(1));
    key->SetValue("Start", hostreg::kRegDword, hostreg::EncodeDword(entry.start));
    key->SetValue("ErrorControl", hostreg::kRegDword, hostreg::EncodeDword(1));
    SetSz(key, "ImagePath", std::string("System32\\DRIVERS\\") + entry.name + ".sys");
    SetSz(key, "DisplayName", entry.display);
    SetSz(key, "Group", entry.group);
  }
  WritePerflib(registry);
}

}  // namespace

void WriteDefaultMachineRegistry(hostreg::Registry& registry, bool with_monitor_filter) {
  WriteMachineRegistry(registry, DefaultDevices(), with_monitor_filter);
}

void WriteRecordedMachineRegistry(hostreg::Registry& registry, const std::vector<std::string>& disks) {
  WriteMachineRegistry(registry, RecordedDevices(disks), /*with_monitor_filter=*/true);
}

namespace {

struct StorageSetup {
  std::string name;
  StorageKind kind;
  Bus* bus;
  UCHAR target;
  std::optional<UCHAR> port;
  STORAGE_BUS_TYPE bus_type;
  ServiceModel model;
};

// The node tree of `devices` (parents first), with the storage hardware
// of `storage` at its leaves.
std::unique_ptr<HwNode> BuildTree(const std::vector<DeviceSpec>& devices, const std::vector<StorageSetup>& storage,
                                  uint64_t seed, std::vector<std::unique_ptr<StorageDevice>>* storage_out,
                                  std::map<std::string, HwNode*>* by_name) {
  std::unique_ptr<HwNode> root;
  for (const DeviceSpec& entry : devices) {
    auto node = std::make_unique<HwNode>();
    node->name = entry.name;
    node->device_id = entry.device_id;
    node->instance_id = entry.instance_id;
    node->hardware_ids = {entry.device_id};
    if (!entry.compatible_id.empty()) node->compatible_ids = {entry.compatible_id};
    node->description = entry.description;
    node->location = entry.location;
    node->pdo_type = entry.type;
    node->role = entry.role;
    HwNode* raw = node.get();
    (*by_name)[entry.name] = raw;
    if (entry.parent.empty()) {
      root = std::move(node);
    } else {
      HwNode* parent = by_name->at(entry.parent);
      raw->parent = parent;
      parent->children.push_back(std::move(node));
    }
    for (const StorageSetup& s : storage) {
      if (s.name != raw->name) continue;
      storage_out->push_back(
          std::make_unique<StorageDevice>(s.name, s.kind, s.bus, s.target, s.model, seed * 7919 + storage_out->size()));
      StorageDevice* device = storage_out->back().get();
      device->port_number = s.port;
      device->bus_type = s.bus_type;
      device->SetNode(raw);
      raw->storage = device;
    }
  }
  return root;
}

}  // namespace

// --- Machine ---------------------------------------------------------------

Machine::Machine(const MachineOptions& options) : options_(options) {
  constexpr int64_t kFrequency = 10'000'000;
  if (options.time == TimeMode::kVirtual) {
    hostk::UseVirtualClock(kFrequency);
  } else {
    hostk::UseRealClock();
  }
  scheduler_ = std::make_unique<Scheduler>(
      options.time, 6, hostk::PerformanceFrequency(), [] { return hostk::PerformanceCounter(); },
      [](Ticks ticks) { hostk::SetVirtualTicks(ticks); });
  if (options.recorded_disks.empty()) {
    BuildHardware();
  } else {
    BuildRecordedHardware();
  }
  std::lock_guard<std::mutex> lock(g_current_mutex);
  g_current = this;
}

Machine::~Machine() {
  Shutdown();
  scheduler_->Stop();
  std::lock_guard<std::mutex> lock(g_current_mutex);
  if (g_current == this) g_current = nullptr;
}

Machine* Machine::Current() {
  std::lock_guard<std::mutex> lock(g_current_mutex);
  return g_current;
}

Bus* Machine::AddBus(const std::string& name, bool exclusive, int64_t rate) {
  int lane = static_cast<int>(buses_.size()) + 1;
  buses_.push_back(std::make_unique<Bus>(name, lane, exclusive, rate, scheduler_.get()));
  return buses_.back().get();
}

void Machine::BuildHardware() {
  Bus* ide0 = AddBus("Primary IDE Channel", true, 66000000);
  Bus* ide1 = AddBus("Secondary IDE Channel", true, 66000000);
  Bus* scsi = AddBus("SCSI bus", false, 80000000);
  Bus* usb = AddBus("USB", true, 1000000);
  Bus* ieee1394 = AddBus("IEEE 1394 bus", true, 40000000);

  ServiceModel ata;  // 7200 rpm
  ServiceModel atapi_cd;
  atapi_cd.command_ns = 500000;
  atapi_cd.track_seek_ns = 5000000;
  atapi_cd.full_seek_ns = 80000000;
  atapi_cd.revolution_ns = 0;
  atapi_cd.media_rate = 7800000;
  atapi_cd.capacity_blocks = 1300000;
  ServiceModel scsi_disk;  // 10000 rpm
  scsi_disk.track_seek_ns = 600000;
  scsi_disk.full_seek_ns = 11000000;
  scsi_disk.revolution_ns = 6000000;
  scsi_disk.media_rate = 40000000;
  ServiceModel tape;
  tape.command_ns = 2000000;
  tape.revolution_ns = 0;
  tape.media_rate = 3000000;
  ServiceModel usb_disk = ata;
  usb_disk.revolution_ns = 11111111;  // 5400 rpm
  usb_disk.media_rate = 20000000;
  ServiceModel flash;
  flash.command_ns = 300000;
  flash.track_seek_ns = 0;
  flash.full_seek_ns = 0;
  flash.revolution_ns = 0;
  flash.media_rate = 8000000;
  ServiceModel sbp2_disk = ata;

  const std::vector<StorageSetup> storage = {
      {"ide0.master", StorageKind::kDisk, ide0, 0, 0, BusTypeAta, ata},
      {"ide0.slave", StorageKind::kCdRom, ide0, 1, 0, BusTypeAtapi, atapi_cd},
      {"ide1.master", StorageKind::kDisk, ide1, 0, 1, BusTypeAta, ata},
      {"ide1.slave", StorageKind::kCdRom, ide1, 1, 1, BusTypeAtapi, atapi_cd},
      {"scsi.disk0", StorageKind::kDisk, scsi, 0, 2, BusTypeScsi, scsi_disk},
      {"scsi.disk1", StorageKind::kDisk, scsi, 1, 2, BusTypeScsi, scsi_disk},
      {"scsi.tape", StorageKind::kTape, scsi, 4, 2, BusTypeScsi, tape},
      {"usb.disk", StorageKind::kDisk, usb, 0, std::nullopt, BusTypeUsb, usb_disk},
      {"usb.stick", StorageKind::kDisk, usb, 0, std::nullopt, BusTypeUsb, flash},
      {"1394.disk", StorageKind::kDisk, ieee1394, 0, std::nullopt, BusType1394, sbp2_disk},
  };

  std::map<std::string, HwNode*> by_name;
  root_ = BuildTree(DefaultDevices(), storage, options_.seed, &devices_, &by_name);
  by_name.at("usb.port2")->present = options_.usb_stick_plugged;
}

void Machine::BuildRecordedHardware() {
  ServiceModel unused;  // a recording says when each request ends
  std::vector<StorageSetup> storage;
  for (size_t i = 0; i < options_.recorded_disks.size(); ++i) {
    Bus* bus = AddBus("Recorded " + options_.recorded_disks[i], true, 80000000);
    storage.push_back({"rec" + std::to_string(i) + ".disk", StorageKind::kDisk, bus, 0, static_cast<UCHAR>(i),
                       BusTypeScsi, unused});
  }
  std::map<std::string, HwNode*> by_name;
  root_ = BuildTree(RecordedDevices(options_.recorded_disks), storage, options_.seed, &devices_, &by_name);
}

HwNode* Machine::FindNode(const std::string& name) {
  std::vector<HwNode*> stack = {root_.get()};
  while (!stack.empty()) {
    HwNode* node = stack.back();
    stack.pop_back();
    if (node->name == name) return node;
    for (auto& child : node->children) stack.push_back(child.get());
  }
  return nullptr;
}

StorageDevice* Machine::FindDevice(const std::string& name) {
  for (auto& device : devices_) {
    if (device->Name() == name) return device.get();
  }
  return nullptr;
}

Bus* Machine::FindBus(const std::string& name) {
  for (auto& bus : buses_) {
    if (bus->Name() == name) return bus.get();
  }
  return nullptr;
}

std::vector<StorageDevice*> Machine::Devices() const {
  std::vector<StorageDevice*> out;
  for (const auto& device : devices_) out.push_back(device.get());
  return out;
}

namespace {

HwNode* FindNodeOfPdo(HwNode* node, PDEVICE_OBJECT pdo) {
  if (node->pdo.load() == pdo) return node;
  for (const auto& child : node->children) {
    if (HwNode* found = FindNodeOfPdo(child.get(), pdo)) return found;
  }
  return nullptr;
}

}  // namespace

NTSTATUS Machine::Boot(hostreg::Registry& registry) {
  if (booted_) return STATUS_SUCCESS;
  RegisterMachineDrivers();
  pnp_ = std::make_unique<hostpnp::PnpManager>(registry);
  pnp_->SetRemovalHook([this](PDEVICE_OBJECT pdo) {
    HwNode* node = FindNodeOfPdo(root_.get(), pdo);
    if (node == nullptr) return;
    // Waits for the requests being sent into any stack right now.
    std::unique_lock<std::shared_mutex> hold(io_gate_);
    node->closing = true;
  });
  pnp_->SetInvalidationSink([this] {
    scheduler_->At(kSystemLane, scheduler_->Now(), [this] {
      if (pnp_) pnp_->ProcessPending();
    });
  });
  NTSTATUS status = pnp_->Boot();
  booted_ = NT_SUCCESS(status);
  return status;
}

void Machine::Shutdown() {
  if (!pnp_) return;
  pnp_->Shutdown();
  pnp_.reset();
  booted_ = false;
}

bool Machine::IsReady(StorageDevice* device) const {
  HwNode* node = device->Node();
  return node != nullptr && node->present.load() && node->fdo != nullptr && node->pdo != nullptr;
}

void Machine::SetPresent(const std::string& node_name, bool present) {
  HwNode* node = FindNode(node_name);
  if (node == nullptr || node->parent == nullptr) return;
  node->present = present;
  if (node->parent->pdo != nullptr) IoInvalidateDeviceRelations(node->parent->pdo, BusRelations);
}

namespace {

struct SubmitContext {
  std::function<void(const IoResult&)> done;
  Ticks start = 0;
  SCSI_PASS_THROUGH* header = nullptr;
  Bus* fixed_on = nullptr;  // the bus told when the request ends
};

NTSTATUS NTAPI SubmitCompletion(PDEVICE_OBJECT /*device*/, PIRP irp, PVOID context) {
  auto* ctx = static_cast<SubmitContext*>(context);
  IoResult result;
  result.status = irp->IoStatus.Status;
  result.start = ctx->start;
  result.end = hostk::PerformanceCounter();
  if (ctx->header != nullptr) ExFreePoolWithTag(ctx->header, kWorkloadTag);
  // A request that failed on its way down never used its completion time.
  if (ctx->fixed_on != nullptr) ctx->fixed_on->ForgetCompletionTime(irp);
  IoFreeIrp(irp);
  auto done = std::move(ctx->done);
  delete ctx;
  if (done) done(result);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

bool Machine::Submit(StorageDevice* device, const IoRequest& request, std::function<void(const IoResult&)> done) {
  std::shared_lock<std::shared_mutex> gate(io_gate_);
  if (!IsReady(device)) return false;
  HwNode* node = device->Node();
  HwNode* entry = request.pass_through && node->parent != nullptr ? node->parent : node;
  if (node->closing.load() || entry->closing.load()) return false;
  PDEVICE_OBJECT target = entry->pdo;
  if (target == nullptr) return false;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return false;
  }
  auto* ctx = new SubmitContext;
  ctx->done = std::move(done);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (request.pass_through) {
    auto* header = static_cast<SCSI_PASS_THROUGH*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(SCSI_PASS_THROUGH), kWorkloadTag));
    if (header == nullptr) {
      IoFreeIrp(irp);
      ObDereferenceObject(top);
      delete ctx;
      return false;
    }
    std::memset(header, 0, sizeof *header);
    header->Length = sizeof(SCSI_PASS_THROUGH);
    header->TargetId = device->TargetId();
    header->CdbLength = 10;
    header->DataIn = request.write ? 0 : 1;
    header->DataTransferLength = request.bytes;
    uint32_t blocks = request.bytes / 512;
    header->Cdb[0] = request.write ? 0x2A : 0x28;
    header->Cdb[2] = static_cast<UCHAR>(request.lba >> 24);
    header->Cdb[3] = static_cast<UCHAR>(request.lba >> 16);
    header->Cdb[4] = static_cast<UCHAR>(request.lba >> 8);
    header->Cdb[5] = static_cast<UCHAR>(request.lba);
    header->Cdb[7] = static_cast<UCHAR>(blocks >> 8);
    header->Cdb[8] = static_cast<UCHAR>(blocks);
    ctx->header = header;
    irp->AssociatedIrp.SystemBuffer = header;
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SCSI_PASS_THROUGH;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(SCSI_PASS_THROUGH);
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(SCSI_PASS_THROUGH);
  } else if (request.flush) {
    next->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  } else if (request.write) {
    next->MajorFunction = IRP_MJ_WRITE;
    next->Parameters.Write.Length = request.bytes;
    next->Parameters.Write.ByteOffset.QuadPart = static_cast<LONGLONG>(request.lba * 512);
  } else {
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = request.bytes;
    next->Parameters.Read.ByteOffset.QuadPart = static_cast<LONGLONG>(request.lba * 512);
  }
  IoSetCompletionRoutine(irp, SubmitCompletion, ctx, TRUE, TRUE, TRUE);
  ctx->start = hostk::PerformanceCounter();
  if (request.complete_at) {
    ctx->fixed_on = device->GetBus();
    ctx->fixed_on->FixCompletionTime(irp, *request.complete_at);
  }
  IoCallDriver(top, irp);
  ObDereferenceObject(top);
  return true;
}

}  // namespace sim
