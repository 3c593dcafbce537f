#include "host_pnp/pnp.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "host_kernel/host_control.h"

namespace hostpnp {
namespace {

constexpr ULONG kPnpTag = hostk::MakeTag("SmPp");

std::mutex g_images_mutex;
std::map<std::string, DriverEntryFn>& Images() {
  static std::map<std::string, DriverEntryFn> images;
  return images;
}

std::mutex g_current_mutex;
PnpManager* g_current = nullptr;

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) { return Upper(a) == Upper(b); }

std::string Narrow(const WCHAR* text) {
  std::string out;
  if (text == nullptr) return out;
  for (; *text != 0; ++text) out.push_back(*text < 0x100 ? static_cast<char>(*text) : '?');
  return out;
}

std::vector<std::string> NarrowMulti(const WCHAR* text) {
  std::vector<std::string> out;
  if (text == nullptr) return out;
  while (*text != 0) {
    out.push_back(Narrow(text));
    while (*text != 0) ++text;
    ++text;
  }
  return out;
}

std::string RegString(hostreg::RegKey* key, std::string_view name) {
  if (key == nullptr) return {};
  const hostreg::RegValue* value = key->Value(name);
  if (value == nullptr || (value->type != hostreg::kRegSz && value->type != hostreg::kRegExpandSz)) return {};
  return hostreg::DecodeSz(value->data);
}

std::vector<std::string> RegMulti(hostreg::RegKey* key, std::string_view name) {
  if (key == nullptr) return {};
  const hostreg::RegValue* value = key->Value(name);
  if (value == nullptr) return {};
  if (value->type == hostreg::kRegMultiSz) return hostreg::DecodeMultiSz(value->data);
  if (value->type == hostreg::kRegSz) {
    std::string one = hostreg::DecodeSz(value->data);
    if (!one.empty()) return {one};
  }
  return {};
}

NTSTATUS SignalCompletion(PDEVICE_OBJECT /*device*/, PIRP /*irp*/, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an IRP prepared in `parameters` to the top of the stack of `pdo`
// and waits for it.
NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, const IO_STACK_LOCATION* parameters,
                     ULONG_PTR* information) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (parameters != nullptr) next->Parameters = parameters->Parameters;
  next->MajorFunction = major;
  next->MinorFunction = minor;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = hostk::CallDriverAsPnpManager(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  status = irp->IoStatus.Status;
  if (information != nullptr) *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return status;
}

// --- The root bus driver ---------------------------------------------
// Reports the instances under Enum\Root as its children.

constexpr uint32_t kRootMagic = 0x544F4F52;  // "ROOT"

struct RootExtension {
  uint32_t magic;
  bool is_bus;
  bool present;
  char device_id[200];
  char instance_id[200];
  PDEVICE_OBJECT children[64];
  ULONG child_count;
};

PWCHAR PoolString(const std::vector<std::string>& parts, bool multi) {
  return hostk::PoolWideText(parts, multi, kPnpTag);
}

NTSTATUS RootDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<RootExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    status = STATUS_SUCCESS;
  } else if (stack->MajorFunction != IRP_MJ_PNP) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else {
    switch (stack->MinorFunction) {
      case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (ext->is_bus && stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
          PDEVICE_RELATIONS rel = hostk::PoolDeviceRelations(
              std::vector<PDEVICE_OBJECT>(ext->children, ext->children + ext->child_count), kPnpTag);
          if (rel == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
          }
          irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
          status = STATUS_SUCCESS;
        }
        break;
      case IRP_MN_QUERY_ID: {
        PWCHAR text = nullptr;
        switch (stack->Parameters.QueryId.IdType) {
          case BusQueryDeviceID:
            text = PoolString({ext->device_id}, false);
            break;
          case BusQueryInstanceID:
            text = PoolString({ext->instance_id}, false);
            break;
          case BusQueryHardwareIDs:
            text = PoolString({ext->device_id}, true);
            break;
          default:
            break;
        }
        if (text != nullptr) {
          irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
          status = STATUS_SUCCESS;
        }
        break;
      }
      case IRP_MN_START_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_REMOVE_DEVICE:
      case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        status = STATUS_SUCCESS;
        break;
      default:
        break;
    }
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID NTAPI RootUnload(PDRIVER_OBJECT /*driver*/) {}

NTSTATUS RootDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING /*registry_path*/) {
  driver->DriverUnload = RootUnload;
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = RootDispatch;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreateRootDevice(PDRIVER_OBJECT driver, bool is_bus, const std::string& device_id,
                                const std::string& instance_id) {
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(RootExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device))) {
    return nullptr;
  }
  auto* ext = static_cast<RootExtension*>(device->DeviceExtension);
  std::memset(ext, 0, sizeof *ext);
  ext->magic = kRootMagic;
  ext->is_bus = is_bus;
  ext->present = true;
  std::snprintf(ext->device_id, sizeof ext->device_id, "%s", device_id.c_str());
  std::snprintf(ext->instance_id, sizeof ext->instance_id, "%s", instance_id.c_str());
  device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  return device;
}

void SetTextProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const std::string& text) {
  if (text.empty()) return;
  hostk::SetDevicePropertyString(pdo, property, text);
}

void SetMultiProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const std::vector<std::string>& list) {
  if (list.empty()) return;
  hostk::SetDevicePropertyMultiString(pdo, property, list);
}

}  // namespace

void RegisterDriverImage(std::string_view service, DriverEntryFn entry) {
  std::lock_guard<std::mutex> lock(g_images_mutex);
  Images()[Upper(service)] = entry;
}

void UnregisterDriverImage(std::string_view service) {
  std::lock_guard<std::mutex> lock(g_images_mutex);
  Images().erase(Upper(service));
}

// --- PnpManager --------------------------------------------------------

PnpManager::PnpManager(hostreg::Registry& registry) : registry_(registry) {
  std::lock_guard<std::mutex> lock(g_current_mutex);
  g_current = this;
}

PnpManager::~PnpManager() {
  Shutdown();
  std::lock_guard<std::mutex> lock(g_current_mutex);
  if (g_current == this) g_current = nullptr;
}

PnpManager* PnpManager::Current() {
  std::lock_guard<std::mutex> lock(g_current_mutex);
  return g_current;
}

NTSTATUS PnpManager::Boot() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (running_) return STATUS_SUCCESS;
  NTSTATUS load = hostk::LoadDriver("PnpManager", RootDriverEntry, &root_driver_);
  if (!NT_SUCCESS(load)) return load;
  hostk::SetInvalidateRelationsHandler([](PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type) {
    PnpManager* pnp = PnpManager::Current();
    if (pnp == nullptr || type != BusRelations) return;
    {
      std::lock_guard<std::mutex> pending_lock(pnp->pending_mutex_);
      pnp->pending_.push_back(pdo);
    }
    if (pnp->wake_) pnp->wake_();
  });
  root_ = std::make_unique<DeviceNode>();
  root_->instance_path = "HTREE\\ROOT\\0";
  root_->enumerator = "HTREE";
  root_->state = NodeState::kStarted;
  root_->pdo = CreateRootDevice(root_driver_, true, "HTREE\\ROOT", "0");
  if (root_->pdo == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  hostk::MarkPhysicalDevice(root_->pdo);
  auto* root_ext = static_cast<RootExtension*>(root_->pdo->DeviceExtension);
  {
    std::lock_guard<std::recursive_mutex> reg_lock(registry_.Mutex());
    hostreg::RegKey* enum_root = registry_.Open("System\\CurrentControlSet\\Enum\\Root");
    if (enum_root != nullptr) {
      for (const auto& id : enum_root->Subkeys()) {
        for (const auto& instance : id->Subkeys()) {
          if (root_ext->child_count >= 64) break;
          PDEVICE_OBJECT child =
              CreateRootDevice(root_driver_, false, "Root\\" + id->Name(), instance->Name());
          if (child != nullptr) root_ext->children[root_ext->child_count++] = child;
        }
      }
    }
  }
  running_ = true;
  EnumerateChildren(root_.get());
  return STATUS_SUCCESS;
}

void PnpManager::Shutdown() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!running_) return;
  if (root_) {
    std::vector<DeviceNode*> children = root_->children;
    for (auto it = children.rbegin(); it != children.rend(); ++it) RemoveSubtree(*it, false);
    auto* root_ext = static_cast<RootExtension*>(root_->pdo->DeviceExtension);
    for (ULONG i = 0; i < root_ext->child_count; ++i) IoDeleteDevice(root_ext->children[i]);
    IoDeleteDevice(root_->pdo);
    root_.reset();
  }
  nodes_.clear();
  for (auto it = loaded_.rbegin(); it != loaded_.rend(); ++it) hostk::UnloadDriver(it->driver);
  loaded_.clear();
  if (root_driver_ != nullptr) hostk::UnloadDriver(root_driver_);
  root_driver_ = nullptr;
  hostk::SetInvalidateRelationsHandler(nullptr);
  {
    std::lock_guard<std::mutex> pending_lock(pending_mutex_);
    pending_.clear();
  }
  running_ = false;
}

void PnpManager::SetInvalidationSink(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(pending_mutex_);
  wake_ = std::move(wake);
}

size_t PnpManager::ProcessPending() {
  size_t done = 0;
  while (true) {
    PDEVICE_OBJECT pdo = nullptr;
    {
      std::lock_guard<std::mutex> lock(pending_mutex_);
      if (pending_.empty()) break;
      pdo = pending_.front();
      pending_.erase(pending_.begin());
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    DeviceNode* node = FindByPdo(pdo);
    if (node != nullptr && node->state == NodeState::kStarted) Reenumerate(node);
    ++done;
  }
  return done;
}

PDRIVER_OBJECT PnpManager::LoadDriver(const std::string& service) {
  for (const auto& image : loaded_) {
    if (EqualNoCase(image.service, service)) return image.driver;
  }
  DriverEntryFn entry = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_images_mutex);
    auto it = Images().find(Upper(service));
    if (it != Images().end()) entry = it->second;
  }
  if (entry == nullptr) return nullptr;
  {
    // A driver reads its service key at load: make sure it exists.
    std::lock_guard<std::recursive_mutex> reg_lock(registry_.Mutex());
    registry_.Create("System\\CurrentControlSet\\Services\\" + service);
  }
  PDRIVER_OBJECT driver = nullptr;
  if (!NT_SUCCESS(hostk::LoadDriver(service, entry, &driver)) || driver == nullptr) return nullptr;
  loaded_.push_back({service, driver});
  return driver;
}

PDRIVER_OBJECT PnpManager::LoadedDriver(std::string_view service) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (const auto& image : loaded_) {
    if (EqualNoCase(image.service, service)) return image.driver;
  }
  return nullptr;
}

NTSTATUS PnpManager::LoadAndAdd(DeviceNode* node, const std::string& service) {
  PDRIVER_OBJECT driver = LoadDriver(service);
  if (driver == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr) {
    return STATUS_SUCCESS;  // a legacy driver has nothing to add
  }
  NTSTATUS status = hostk::CallAddDevice(driver, node->pdo);
  if (NT_SUCCESS(status)) node->load_order.push_back(service);
  return status;
}

bool PnpManager::IdentifyNode(DeviceNode* node) {
  IO_STACK_LOCATION query;
  std::memset(&query, 0, sizeof query);
  auto query_text = [&](BUS_QUERY_ID_TYPE type, bool multi) {
    query.Parameters.QueryId.IdType = type;
    ULONG_PTR info = 0;
    std::vector<std::string> out;
    if (NT_SUCCESS(SendAndWait(node->pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID, &query, &info)) && info != 0) {
      auto* text = reinterpret_cast<PWCHAR>(info);
      if (multi) {
        out = NarrowMulti(text);
      } else {
        out.push_back(Narrow(text));
      }
      ExFreePool(text);
    }
    return out;
  };
  std::vector<std::string> device_id = query_text(BusQueryDeviceID, false);
  std::vector<std::string> instance_id = query_text(BusQueryInstanceID, false);
  if (device_id.empty() || device_id[0].empty()) return false;
  std::vector<std::string> hardware_ids = query_text(BusQueryHardwareIDs, true);
  std::vector<std::string> compatible_ids = query_text(BusQueryCompatibleIDs, true);

  auto query_device_text = [&](DEVICE_TEXT_TYPE type) {
    IO_STACK_LOCATION text_query;
    std::memset(&text_query, 0, sizeof text_query);
    text_query.Parameters.QueryDeviceText.DeviceTextType = type;
    ULONG_PTR info = 0;
    std::string out;
    if (NT_SUCCESS(SendAndWait(node->pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, &text_query, &info)) && info != 0) {
      out = Narrow(reinterpret_cast<PWCHAR>(info));
      ExFreePool(reinterpret_cast<PVOID>(info));
    }
    return out;
  };
  std::string bus_description = query_device_text(DeviceTextDescription);
  std::string bus_location = query_device_text(DeviceTextLocationInformation);

  node->instance_path = device_id[0] + "\\" + (instance_id.empty() ? std::string("0") : instance_id[0]);
  node->enumerator = device_id[0].substr(0, device_id[0].find('\\'));

  std::lock_guard<std::recursive_mutex> reg_lock(registry_.Mutex());
  hostreg::RegKey* key = registry_.Create("System\\CurrentControlSet\\Enum\\" + node->instance_path);
  if (key->Value("HardwareID") == nullptr && !hardware_ids.empty()) {
    key->SetValue("HardwareID", hostreg::kRegMultiSz, hostreg::EncodeMultiSz(hardware_ids));
  }
  if (key->Value("CompatibleIDs") == nullptr && !compatible_ids.empty()) {
    key->SetValue("CompatibleIDs", hostreg::kRegMultiSz, hostreg::EncodeMultiSz(compatible_ids));
  }
  if (key->Value("DeviceDesc") == nullptr && !bus_description.empty()) {
    key->SetValue("DeviceDesc", hostreg::kRegSz, hostreg::EncodeSz(bus_description));
  }
  if (key->Value("LocationInformation") == nullptr && !bus_location.empty()) {
    key->SetValue("LocationInformation", hostreg::kRegSz, hostreg::EncodeSz(bus_location));
  }
  node->service = RegString(key, "Service");
  node->class_guid = RegString(key, "ClassGUID");
  FillProperties(node, key);
  return true;
}

void PnpManager::FillProperties(DeviceNode* node, hostreg::RegKey* key) {
  PDEVICE_OBJECT pdo = node->pdo;
  SetTextProperty(pdo, DevicePropertyDeviceDescription, RegString(key, "DeviceDesc"));
  SetMultiProperty(pdo, DevicePropertyHardwareID, RegMulti(key, "HardwareID"));
  SetMultiProperty(pdo, DevicePropertyCompatibleIDs, RegMulti(key, "CompatibleIDs"));
  SetTextProperty(pdo, DevicePropertyClassName, RegString(key, "Class"));
  SetTextProperty(pdo, DevicePropertyClassGuid, RegString(key, "ClassGUID"));
  SetTextProperty(pdo, DevicePropertyDriverKeyName, RegString(key, "Driver"));
  SetTextProperty(pdo, DevicePropertyManufacturer, RegString(key, "Mfg"));
  SetTextProperty(pdo, DevicePropertyFriendlyName, RegString(key, "FriendlyName"));
  SetTextProperty(pdo, DevicePropertyLocationInformation, RegString(key, "LocationInformation"));
  SetTextProperty(pdo, DevicePropertyEnumeratorName, node->enumerator);
}

void PnpManager::SetPresent(DeviceNode* node, bool present) {
  std::lock_guard<std::recursive_mutex> reg_lock(registry_.Mutex());
  hostreg::RegKey* key = registry_.Open("System\\CurrentControlSet\\Enum\\" + node->instance_path);
  if (key == nullptr) return;
  if (present) {
    hostreg::RegKey* control = key->CreateSubkey("Control");
    if (!node->service.empty()) {
      control->SetValue("ActiveService", hostreg::kRegSz, hostreg::EncodeSz(node->service));
    }
  } else {
    key->DeleteSubkey("Control");
  }
}

void PnpManager::BuildNode(DeviceNode* node) {
  if (!IdentifyNode(node)) {
    node->state = NodeState::kFailed;
    node->problem = STATUS_UNSUCCESSFUL;
    return;
  }
  if (node->service.empty()) {
    node->state = NodeState::kNoDriver;
    return;
  }
  std::vector<std::string> order;
  {
    std::lock_guard<std::recursive_mutex> reg_lock(registry_.Mutex());
    hostreg::RegKey* key = registry_.Open("System\\CurrentControlSet\\Enum\\" + node->instance_path);
    hostreg::RegKey* class_key =
        node->class_guid.empty()
            ? nullptr
            : registry_.Open("System\\CurrentControlSet\\Control\\Class\\" + node->class_guid);
    for (const auto& s : RegMulti(key, "LowerFilters")) order.push_back(s);
    for (const auto& s : RegMulti(class_key, "LowerFilters")) order.push_back(s);
    order.push_back(node->service);
    for (const auto& s : RegMulti(key, "UpperFilters")) order.push_back(s);
    for (const auto& s : RegMulti(class_key, "UpperFilters")) order.push_back(s);
  }
  for (const auto& service : order) {
    NTSTATUS status = LoadAndAdd(node, service);
    if (!NT_SUCCESS(status)) {
      node->problem = status;
      node->state = NodeState::kFailed;
      // Whatever attached already leaves the stack again.
      SendRemoveTo(node, IRP_MN_REMOVE_DEVICE);
      return;
    }
  }
  NTSTATUS status = SendAndWait(node->pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr, nullptr);
  if (!NT_SUCCESS(status)) {
    node->problem = status;
    node->state = NodeState::kFailed;
    SendRemoveTo(node, IRP_MN_REMOVE_DEVICE);
    return;
  }
  node->state = NodeState::kStarted;
  SetPresent(node, true);
  EnumerateChildren(node);
}

void PnpManager::EnumerateChildren(DeviceNode* node) {
  IO_STACK_LOCATION query;
  std::memset(&query, 0, sizeof query);
  query.Parameters.QueryDeviceRelations.Type = BusRelations;
  ULONG_PTR info = 0;
  NTSTATUS status = SendAndWait(node->pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, &query, &info);
  std::vector<PDEVICE_OBJECT> reported;
  if (NT_SUCCESS(status) && info != 0) {
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
    for (ULONG i = 0; i < relations->Count; ++i) reported.push_back(relations->Objects[i]);
    ExFreePool(relations);
  }
  if (!NT_SUCCESS(status)) {
    // A failed query leaves the children as they were.
    for (PDEVICE_OBJECT pdo : reported) ObDereferenceObject(pdo);
    return;
  }
  // Children no longer reported have gone.
  std::vector<DeviceNode*> gone;
  for (DeviceNode* child : node->children) {
    if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end()) gone.push_back(child);
  }
  for (DeviceNode* child : gone) RemoveSubtree(child, true);
  for (PDEVICE_OBJECT pdo : reported) {
    bool known = std::any_of(node->children.begin(), node->children.end(),
                             [&](DeviceNode* c) { return c->pdo == pdo; });
    if (!known) {
      auto child = std::make_unique<DeviceNode>();
      child->pdo = pdo;
      hostk::MarkPhysicalDevice(pdo);
      child->parent = node;
      DeviceNode* raw = child.get();
      nodes_.push_back(std::move(child));
      node->children.push_back(raw);
      BuildNode(raw);
    }
    ObDereferenceObject(pdo);
  }
}

void PnpManager::Reenumerate(DeviceNode* node) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (node == nullptr || node->state != NodeState::kStarted) return;
  EnumerateChildren(node);
}

void PnpManager::SetRemovalHook(std::function<void(PDEVICE_OBJECT pdo)> closing) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  closing_ = std::move(closing);
}

void PnpManager::SendRemoveTo(DeviceNode* node, UCHAR minor) {
  if (node->pdo == nullptr) return;
  if (closing_) closing_(node->pdo);
  SendAndWait(node->pdo, IRP_MJ_PNP, minor, nullptr, nullptr);
}

void PnpManager::RemoveSubtree(DeviceNode* node, bool surprise) {
  // Children first, from the last reported.
  std::vector<DeviceNode*> children = node->children;
  for (auto it = children.rbegin(); it != children.rend(); ++it) RemoveSubtree(*it, surprise);
  if (node->state == NodeState::kStarted) {
    SendRemoveTo(node, surprise ? IRP_MN_SURPRISE_REMOVAL : IRP_MN_QUERY_REMOVE_DEVICE);
  }
  if (node->state != NodeState::kRemoved) SendRemoveTo(node, IRP_MN_REMOVE_DEVICE);
  node->state = NodeState::kRemoved;
  SetPresent(node, false);
  ForgetNode(node);
}

void PnpManager::ForgetNode(DeviceNode* node) {
  if (node->parent != nullptr) {
    auto& siblings = node->parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
  }
  nodes_.erase(std::remove_if(nodes_.begin(), nodes_.end(),
                              [&](const std::unique_ptr<DeviceNode>& n) { return n.get() == node; }),
               nodes_.end());
}

NTSTATUS PnpManager::RemoveDevice(DeviceNode* node) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (node == nullptr || node == root_.get()) return STATUS_INVALID_PARAMETER;
  RemoveSubtree(node, false);
  return STATUS_SUCCESS;
}

void PnpManager::SurpriseRemoveDevice(DeviceNode* node) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (node == nullptr || node == root_.get()) return;
  RemoveSubtree(node, true);
}

NTSTATUS PnpManager::SendPnp(DeviceNode* node, UCHAR minor, const IO_STACK_LOCATION* parameters,
                             ULONG_PTR* information) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return SendAndWait(node->pdo, IRP_MJ_PNP, minor, parameters, information);
}

NTSTATUS PnpManager::NotifyUsage(DeviceNode* node, DEVICE_USAGE_NOTIFICATION_TYPE type, bool in_path) {
  IO_STACK_LOCATION parameters;
  std::memset(&parameters, 0, sizeof parameters);
  parameters.Parameters.UsageNotification.InPath = in_path ? TRUE : FALSE;
  parameters.Parameters.UsageNotification.Type = type;
  return SendPnp(node, IRP_MN_DEVICE_USAGE_NOTIFICATION, &parameters, nullptr);
}

NTSTATUS PnpManager::SendPower(DeviceNode* node, POWER_STATE_TYPE type, POWER_STATE state) {
  IO_STACK_LOCATION parameters;
  std::memset(&parameters, 0, sizeof parameters);
  parameters.Parameters.Power.Type = type;
  parameters.Parameters.Power.State = state;
  return SendAndWait(node->pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, &parameters, nullptr);
}

NTSTATUS PnpManager::SetDevicePower(DeviceNode* node, DEVICE_POWER_STATE state) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  POWER_STATE power;
  power.DeviceState = state;
  return SendPower(node, DevicePowerState, power);
}

NTSTATUS PnpManager::SetSystemPower(SYSTEM_POWER_STATE state) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<DeviceNode*> nodes;
  if (root_) {
    for (DeviceNode* child : root_->children) CollectNodes(child, &nodes);
  }
  NTSTATUS result = STATUS_SUCCESS;
  POWER_STATE power;
  power.SystemState = state;
  // Children were collected after their parents: power them first.
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    if ((*it)->state != NodeState::kStarted) continue;
    NTSTATUS status = SendPower(*it, SystemPowerState, power);
    if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
  }
  return result;
}

void PnpManager::CollectNodes(DeviceNode* node, std::vector<DeviceNode*>* out) {
  out->push_back(node);
  for (DeviceNode* child : node->children) CollectNodes(child, out);
}

DeviceNode* PnpManager::Find(std::string_view instance_path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (const auto& node : nodes_) {
    if (EqualNoCase(node->instance_path, instance_path)) return node.get();
  }
  return nullptr;
}

DeviceNode* PnpManager::FindByPdo(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (root_ && root_->pdo == pdo) return root_.get();
  for (const auto& node : nodes_) {
    if (node->pdo == pdo) return node.get();
  }
  return nullptr;
}

std::vector<DeviceNode*> PnpManager::AllNodes() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<DeviceNode*> out;
  if (root_) {
    for (DeviceNode* child : root_->children) CollectNodes(child, &out);
  }
  return out;
}

std::vector<std::string> PnpManager::StackServices(DeviceNode* node) {
  std::vector<std::string> out;
  for (PDEVICE_OBJECT device = node->pdo; device != nullptr; device = device->AttachedDevice) {
    PDRIVER_OBJECT driver = device->DriverObject;
    std::string name;
    if (driver != nullptr && driver->DriverExtension != nullptr) {
      const UNICODE_STRING& key = driver->DriverExtension->ServiceKeyName;
      for (USHORT i = 0; i < key.Length / sizeof(WCHAR); ++i) {
        name.push_back(static_cast<char>(key.Buffer[i]));
      }
    }
    out.push_back(name);
  }
  return out;
}

}  // namespace hostpnp
