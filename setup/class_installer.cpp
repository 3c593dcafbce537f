#include "setup/class_installer.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace korvset {

ClassFilterInstaller::~ClassFilterInstaller() {
  for (int i = 0; i < Items.Count(); ++i) {
    ClassItem* cls = Items.At(i);
    for (int d = 0; d < cls->Devices.Count(); ++d) delete cls->Devices.At(d);
    cls->Devices.Clear();
    if (cls->DeviceSet != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(cls->DeviceSet);
    delete cls;
  }
  ServiceName.Clear();
  Items.Clear();
}

void ClassFilterInstaller::AbandonDeviceSets() {
  for (int i = 0; i < Items.Count(); ++i) Items.At(i)->DeviceSet = INVALID_HANDLE_VALUE;
}

int ClassFilterInstaller::Initialize(int scope, int useLowerFilters, const char* serviceName) {
  // An empty name would be prepended as the empty string that ends the
  // list, and writing that back would drop every other name.
  if (serviceName == nullptr || serviceName[0] == '\0' || !IsCodePageText(serviceName) ||
      !ServiceName.Assign(serviceName)) {
    return 0;
  }
  Scope = static_cast<FilterScope>(scope);
  UseLowerFilters = useLowerFilters;
  Initialized = 1;
  return 1;
}

namespace {

enum ClassKind { ClassKnown, ClassUnknown, ClassUnreadable };

// A class the machine does not know fails with ERROR_INVALID_CLASS on
// Windows, and on Wine with the ERROR_FILE_NOT_FOUND of the class key it
// could not open. A description too long for the buffer still belongs to
// a class the machine has; the item goes without it.
ClassKind DescribeClass(const GUID* classGuid, char* description, DWORD size) {
  std::memset(description, 0, size);
  if (SetupDiGetClassDescriptionA(classGuid, description, size, nullptr)) {
    description[size - 1] = '\0';
    return ClassKnown;
  }
  description[0] = '\0';
  DWORD error = GetLastError();
  if (error == ERROR_INVALID_CLASS || error == ERROR_FILE_NOT_FOUND) return ClassUnknown;
  return error == ERROR_INSUFFICIENT_BUFFER ? ClassKnown : ClassUnreadable;
}

}  // namespace

void ClassFilterInstaller::AddClass(const GUID* classGuid) {
  if (!Initialized || classGuid == nullptr) return;
  char description[MAX_PATH];
  ClassKind kind = DescribeClass(classGuid, description, sizeof description);
  if (kind == ClassUnknown) return;  // it has no list to manage

  auto* cls = kind == ClassKnown ? new (std::nothrow) ClassItem : nullptr;
  if (cls == nullptr || !cls->Name.Assign(description) || !Items.Append(cls)) {
    delete cls;
    ++Unexamined;
    return;
  }
  cls->Guid = *classGuid;

  if (Scope != ScopeDevice) {
    cls->Index = ItemCount() - 1;
    char* list = ReadCurrentList(cls->Index, nullptr);
    if (list != nullptr) {
      cls->Install = FilterListContains(list, ServiceName.Text());
      FilterListFree(list);
    }
    return;
  }

  cls->DeviceSet = SetupDiGetClassDevsA(classGuid, nullptr, nullptr, DIGCF_PRESENT);
  if (cls->DeviceSet == INVALID_HANDLE_VALUE) {
    ++Unexamined;
    return;
  }
  AddDevices(cls);
}

void ClassFilterInstaller::AddDevices(ClassItem* cls) {
  for (DWORD member = 0;; ++member) {
    DeviceItem* device = nullptr;
    DeviceFound found = EnumerateDevice(cls->DeviceSet, member, &device);
    if (found == DeviceEnd) return;
    if (found == DeviceNotEnumerated) {
      ++Unexamined;  // neither it nor the devices after it can be had
      return;
    }
    if (found == DeviceNotBuilt) {
      ++Unexamined;
      continue;
    }
    device->OwnerClass = cls;
    device->Index = ItemCount();
    if (!cls->Devices.Append(device)) {
      delete device;
      ++Unexamined;
      continue;
    }
    char* list = ReadCurrentList(device->Index, nullptr);
    if (list != nullptr) {
      device->Install = FilterListContains(list, ServiceName.Text());
      FilterListFree(list);
    }
  }
}

ClassFilterInstaller::DeviceFound ClassFilterInstaller::EnumerateDevice(HDEVINFO set, DWORD member,
                                                                        DeviceItem** device) const {
  SP_DEVINFO_DATA info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  if (!SetupDiEnumDeviceInfo(set, member, &info)) {
    return GetLastError() == ERROR_NO_MORE_ITEMS ? DeviceEnd : DeviceNotEnumerated;
  }

  DWORD type = 0;
  ReadOutcome friendly = ReadOk;
  ReadOutcome described = ReadOk;
  char* name = ReadDeviceProperty(set, &info, SPDRP_FRIENDLYNAME, &type, &friendly);
  if (name == nullptr) name = ReadDeviceProperty(set, &info, SPDRP_DEVICEDESC, &type, &described);
  // A device that has neither name ends its class's enumeration. One whose
  // names could not be read is still examined: they are display text only.
  if (name == nullptr && friendly == ReadAbsent && described == ReadAbsent) return DeviceEnd;
  char* location = ReadDeviceProperty(set, &info, SPDRP_LOCATION_INFORMATION, &type);

  auto* item = new (std::nothrow) DeviceItem;
  bool built = item != nullptr && item->Name.Assign(name) && item->Location.Assign(location);
  std::free(name);
  std::free(location);
  if (!built) {
    delete item;
    return DeviceNotBuilt;
  }
  item->DeviceInfo = info;
  *device = item;
  return DeviceBuilt;
}

int ClassFilterInstaller::ItemCount() const {
  if (Scope != ScopeDevice) return Items.Count();
  int count = 0;
  for (int i = 0; i < Items.Count(); ++i) count += Items.At(i)->Devices.Count();
  return count;
}

DeviceItem* ClassFilterInstaller::FindDevice(int ordinal) const {
  for (int i = 0; i < Items.Count(); ++i) {
    const ClassItem* cls = Items.At(i);
    for (int d = 0; d < cls->Devices.Count(); ++d) {
      if (cls->Devices.At(d)->Index == ordinal) return cls->Devices.At(d);
    }
  }
  return nullptr;
}

FilterItem* ClassFilterInstaller::ItemAt(int index) const {
  if (index < 0 || index >= ItemCount()) return nullptr;
  if (Scope == ScopeDevice) return FindDevice(index);
  return Items.At(index);
}

FilterItem* ClassFilterInstaller::SetInstall(int index, int install) {
  FilterItem* item = ItemAt(index);
  if (item != nullptr) item->Install = install;
  return item;
}

char* ClassFilterInstaller::ReadCurrentList(int index, ReadOutcome* outcome) const {
  if (Scope == ScopeDevice) {
    DeviceItem* device = FindDevice(index);
    if (device == nullptr) {
      if (outcome != nullptr) *outcome = ReadFailed;
      return nullptr;
    }
    return ReadDeviceFilterList(device->OwnerClass->DeviceSet, &device->DeviceInfo, ListProperty(), outcome);
  }
  const ClassItem* cls = Items.At(index);
  HKEY key = cls == nullptr ? static_cast<HKEY>(INVALID_HANDLE_VALUE) : SetupDiOpenClassRegKey(&cls->Guid, KEY_READ);
  if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) {
    // A class whose key is gone has no list left (ERROR_INVALID_CLASS on
    // Windows, ERROR_FILE_NOT_FOUND on Wine); a key that exists but cannot
    // be opened tells nothing about the list in it.
    DWORD error = cls == nullptr ? ERROR_SUCCESS : GetLastError();
    bool gone = error == ERROR_INVALID_CLASS || error == ERROR_FILE_NOT_FOUND;
    if (outcome != nullptr) *outcome = gone ? ReadGone : ReadFailed;
    return nullptr;
  }
  char* list = ReadFilterValue(key, ListName(), outcome);
  RegCloseKey(key);
  return list;
}

char* ClassFilterInstaller::BuildNewList(const FilterItem* item, int install, int* failed) const {
  *failed = 0;
  ReadOutcome outcome = ReadOk;
  char* list = ReadCurrentList(item->Index, &outcome);
  // A device or class that no longer exists has no list to bring into any
  // state, and none can be written for it.
  if (list == nullptr && outcome == ReadGone) return nullptr;
  if (list == nullptr && outcome == ReadFailed) {
    // Writing now would replace names that could not be read.
    *failed = 1;
    return nullptr;
  }
  int present = FilterListContains(list, ServiceName.Text());
  if (present && install == 0) {
    int newSize = 0;
    FilterListRemoveAll(ServiceName.Text(), list, &newSize);
    return list;
  }
  if (!present && install == 1) {
    if (list == nullptr) {
      list = static_cast<char*>(std::calloc(4, 1));  // the empty list
      if (list == nullptr) {
        *failed = 1;
        return nullptr;
      }
    }
    if (!FilterListPrepend(ServiceName.Text(), &list)) {
      FilterListFree(list);
      *failed = 1;
      return nullptr;
    }
    return list;
  }
  FilterListFree(list);
  return nullptr;
}

int ClassFilterInstaller::ApplyClassItem(ClassItem* item, int install, int* written) {
  *written = 0;
  int failed = 0;
  char* list = BuildNewList(item, install, &failed);
  if (list == nullptr) return failed ? 0 : 1;

  int result = 0;
  HKEY key = SetupDiOpenClassRegKey(&item->Guid, KEY_WRITE);
  if (key != static_cast<HKEY>(INVALID_HANDLE_VALUE)) {
    result = WriteFilterValue(key, ListName(), list);
    RegCloseKey(key);
  }
  FilterListFree(list);
  *written = 1;
  return result;
}

int ClassFilterInstaller::ApplyDeviceItem(DeviceItem* item, int install, int* written) {
  *written = 0;
  int failed = 0;
  char* list = BuildNewList(item, install, &failed);
  if (list == nullptr) return failed ? 0 : 1;

  uint32_t size = FilterListSize(list);
  // A list below 3 bytes is the empty list: the property goes away.
  BOOL ok = size >= 3 ? SetupDiSetDeviceRegistryPropertyA(item->OwnerClass->DeviceSet, &item->DeviceInfo,
                                                          ListProperty(), reinterpret_cast<const BYTE*>(list), size)
                      : SetupDiSetDeviceRegistryPropertyA(item->OwnerClass->DeviceSet, &item->DeviceInfo,
                                                          ListProperty(), nullptr, 0);
  FilterListFree(list);
  *written = 1;
  return ok ? 1 : 0;
}

int ClassFilterInstaller::ApplyAll(int* written) {
  *written = 0;
  int result = 1;
  int count = ItemCount();
  for (int i = 0; i < count; ++i) {
    int itemWritten = 0;
    int itemResult;
    if (Scope == ScopeDevice) {
      DeviceItem* device = FindDevice(i);
      itemResult = device == nullptr ? 0 : ApplyDeviceItem(device, device->Install, &itemWritten);
    } else {
      ClassItem* cls = Items.At(i);
      itemResult = ApplyClassItem(cls, cls->Install, &itemWritten);
    }
    *written |= itemWritten;
    result &= itemResult;
  }
  return Unexamined == 0 ? result : 0;
}

}  // namespace korvset
