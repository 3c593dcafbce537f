// The simulated Plug and Play manager, as Windows 2000 builds device
// stacks: a bus driver reports its children through BusRelations and names
// them through IRP_MN_QUERY_ID; the device's Enum key and its class key in
// the registry say which drivers to load, in the order lower filters
// (device, then class), function driver, upper filters (device, then
// class); each driver is loaded once, from a table of built-in images, with
// its service key as registry path, and its AddDevice is called. The stack
// is then started, the instance gets its "Control" subkey, and the started
// device's own bus relations are enumerated in turn.
//
// Root-enumerated devices are the instances under Enum\Root; the manager's
// own root bus driver reports them.
//
// All operations are serialised; they run on the calling thread, which must
// be allowed to wait (PASSIVE_LEVEL).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_services.h"
#include "host_registry/registry.h"

namespace hostpnp {

using DriverEntryFn = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

// The table of built-in driver images, by service name (any case).
void RegisterDriverImage(std::string_view service, DriverEntryFn entry);
void UnregisterDriverImage(std::string_view service);

enum class NodeState {
  kStarted,
  kNoDriver,        // no Service in the Enum key
  kFailed,          // a driver was missing or failed AddDevice or start
  kRemoved,         // removed; the node is about to go
};

struct DeviceNode {
  std::string instance_path;        // "IDE\DiskVEN_1\5&1a2b3c&0&0.0.0"
  std::string enumerator;           // "IDE"
  std::string service;              // function driver
  std::string class_guid;           // braced, as the Enum key has it
  PDEVICE_OBJECT pdo = nullptr;
  DeviceNode* parent = nullptr;
  std::vector<DeviceNode*> children;
  NodeState state = NodeState::kNoDriver;
  std::vector<std::string> load_order;  // services whose AddDevice ran, in order
  NTSTATUS problem = STATUS_SUCCESS;
};

class PnpManager {
 public:
  explicit PnpManager(hostreg::Registry& registry);
  ~PnpManager();  // shuts down if still running
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  // The manager that IoInvalidateDeviceRelations reaches, if any.
  static PnpManager* Current();

  // Enumerates Enum\Root and builds every device below it.
  NTSTATUS Boot();
  // Removes every device, children first, and unloads every driver.
  void Shutdown();

  // Asks a device's stack for its bus relations again: new children are
  // built, children no longer reported are surprise-removed and removed.
  void Reenumerate(DeviceNode* node);
  // IoInvalidateDeviceRelations queues here; the owner runs the queue
  // (a simulation event, or a wait of its own) with ProcessPending.
  void SetInvalidationSink(std::function<void()> wake);
  size_t ProcessPending();

  // Called with a device's PDO before the first removal request (surprise
  // removal, query-remove or removal) goes to its stack. On Windows no new
  // request reaches a stack once its handles are closed and it is being
  // removed; whoever sends requests into the stacks closes its door here.
  void SetRemovalHook(std::function<void(PDEVICE_OBJECT pdo)> closing);

  // Orderly removal of a device and everything below it: query-remove,
  // then remove, children first.
  NTSTATUS RemoveDevice(DeviceNode* node);
  // Surprise removal (the hardware has gone), then removal.
  void SurpriseRemoveDevice(DeviceNode* node);

  // IRP_MN_DEVICE_USAGE_NOTIFICATION to the device's stack.
  NTSTATUS NotifyUsage(DeviceNode* node, DEVICE_USAGE_NOTIFICATION_TYPE type, bool in_path);
  // IRP_MJ_POWER / IRP_MN_SET_POWER (device power state) to the stack.
  NTSTATUS SetDevicePower(DeviceNode* node, DEVICE_POWER_STATE state);
  // IRP_MJ_POWER / IRP_MN_SET_POWER (system power state) to every stack,
  // children first.
  NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);

  // Sends one PnP request to the top of the device's stack and waits.
  NTSTATUS SendPnp(DeviceNode* node, UCHAR minor, const IO_STACK_LOCATION* parameters = nullptr,
                   ULONG_PTR* information = nullptr);

  DeviceNode* Root() { return root_.get(); }
  DeviceNode* Find(std::string_view instance_path);
  DeviceNode* FindByPdo(PDEVICE_OBJECT pdo);
  std::vector<DeviceNode*> AllNodes();
  // Service names of the device objects in the stack, bottom (PDO) first.
  std::vector<std::string> StackServices(DeviceNode* node);
  PDRIVER_OBJECT LoadedDriver(std::string_view service);

 private:
  void BuildNode(DeviceNode* node);
  bool IdentifyNode(DeviceNode* node);
  void FillProperties(DeviceNode* node, hostreg::RegKey* enum_key);
  NTSTATUS LoadAndAdd(DeviceNode* node, const std::string& service);
  PDRIVER_OBJECT LoadDriver(const std::string& service);
  void EnumerateChildren(DeviceNode* node);
  void RemoveSubtree(DeviceNode* node, bool surprise);
  void SendRemoveTo(DeviceNode* node, UCHAR minor);
  void ForgetNode(DeviceNode* node);
  void CollectNodes(DeviceNode* node, std::vector<DeviceNode*>* out);
  NTSTATUS SendPower(DeviceNode* node, POWER_STATE_TYPE type, POWER_STATE state);
  void SetPresent(DeviceNode* node, bool present);

  hostreg::Registry& registry_;
  std::recursive_mutex mutex_;
  std::unique_ptr<DeviceNode> root_;
  std::vector<std::unique_ptr<DeviceNode>> nodes_;
  struct LoadedImage {
    std::string service;
    PDRIVER_OBJECT driver;
  };
  std::vector<LoadedImage> loaded_;
  std::mutex pending_mutex_;
  std::vector<PDEVICE_OBJECT> pending_;
  std::function<void()> wake_;
  std::function<void(PDEVICE_OBJECT)> closing_;
  PDRIVER_OBJECT root_driver_ = nullptr;
  bool running_ = false;
};

}  // namespace hostpnp
