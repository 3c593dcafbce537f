// Puts one filter driver's service name into, or takes it out of, the
// UpperFilters or LowerFilters lists of a set of device classes: the class
// keys' values (ScopeClass, ScopeBusClass) or the registry properties of
// every present device of those classes (ScopeDevice).
#pragma once

#include <cstdint>

#include "platform/setup_services.h"
#include "setup/ansi_string.h"
#include "setup/filter_list.h"
#include "setup/ptr_array.h"

namespace korvset {

enum FilterScope : int32_t {
  ScopeClass = 0,
  ScopeBusClass = 1,  // the same as ScopeClass inside the installer
  ScopeDevice = 2,
};

class FilterItem {
 public:
  FilterItem() = default;
  FilterItem(const FilterItem&) = delete;
  FilterItem& operator=(const FilterItem&) = delete;
  virtual ~FilterItem() = default;

  AnsiString Name;   // display text
  int Install = 0;   // 1: the service name must be in the item's list
  int Index = -1;    // class position (class scopes) or device ordinal
};

class DeviceItem;

class ClassItem : public FilterItem {
 public:
  GUID Guid{};
  HDEVINFO DeviceSet = INVALID_HANDLE_VALUE;  // present devices; ScopeDevice only
  PtrArray<DeviceItem> Devices;                // owned, in enumeration order
};

class DeviceItem : public FilterItem {
 public:
  AnsiString Location;
  ClassItem* OwnerClass = nullptr;  // not owned
  SP_DEVINFO_DATA DeviceInfo{};
};

class ClassFilterInstaller {
 public:
  ClassFilterInstaller() = default;
  ClassFilterInstaller(const ClassFilterInstaller&) = delete;
  ClassFilterInstaller& operator=(const ClassFilterInstaller&) = delete;
  virtual ~ClassFilterInstaller();

  // 0 (and still uninitialized) without a service name.
  int Initialize(int scope, int useLowerFilters, const char* serviceName);
  void AddClass(const GUID* classGuid);

  int ItemCount() const;
  // Null for an index outside 0 .. ItemCount()-1.
  FilterItem* ItemAt(int index) const;
  FilterItem* SetInstall(int index, int install);
  // 1 when every item reached its state and every class and device of
  // the installer's scope was examined.
  int ApplyAll(int* written);

  // Forgets the device information sets without closing them, for a
  // teardown that must not call SetupAPI (the library's detach under the
  // loader lock).
  void AbandonDeviceSets();

  // Fields in this order; read by tests, changed only by the operations.
  PtrArray<ClassItem> Items;  // owned, in the order the classes were added
  FilterScope Scope = ScopeClass;
  int UseLowerFilters = 0;
  AnsiString ServiceName;
  int Initialized = 0;
  // Classes and devices that AddClass could not examine (a SetupAPI call
  // or memory failed): their lists keep whatever they hold. A class the
  // machine does not know is not one of them.
  int Unexamined = 0;

 private:
  enum DeviceFound { DeviceBuilt, DeviceEnd, DeviceNotEnumerated, DeviceNotBuilt };

  char* ReadCurrentList(int index, ReadOutcome* outcome) const;
  char* BuildNewList(const FilterItem* item, int install, int* failed) const;
  int ApplyClassItem(ClassItem* item, int install, int* written);
  int ApplyDeviceItem(DeviceItem* item, int install, int* written);
  void AddDevices(ClassItem* cls);
  DeviceFound EnumerateDevice(HDEVINFO set, DWORD member, DeviceItem** device) const;
  DeviceItem* FindDevice(int ordinal) const;
  const char* ListName() const { return UseLowerFilters ? "LowerFilters" : "UpperFilters"; }
  DWORD ListProperty() const { return UseLowerFilters ? SPDRP_LOWERFILTERS : SPDRP_UPPERFILTERS; }
};

}  // namespace korvset
