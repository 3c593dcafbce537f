// "KVFlags" of every type and length, then one AddDevice over a device of
// any class, enumerator and stack: the driver loads, takes the first four
// data bytes (zero-padded; over 8 bytes counts as absent), attaches or
// skips exactly as the attachment table says, and unloads clean.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <memory>

#include "driver_rig.h"
#include "platform/host_common/faults.h"

namespace {

const char16_t kUsbClass[] = u"{36FC9E60-C465-11CF-8056-444553540000}";
const char16_t kHdcClass[] = u"{4D36E96A-E325-11CE-BFC1-08002BE10318}";
const char16_t kDiskClass[] = u"{4D36E967-E325-11CE-BFC1-08002BE10318}";
const char16_t* const kEnumerators[] = {u"IDE", u"ide", u"SCSI", u"USBSTOR", u"SBP2", u"ScMmSd",
                                        u"USB", u"PCI", u"",    u"IDEX",    u"SBP"};
const char* const kServices[] = {"USBSTOR", "usbstor2", "HPUATA", "UPATC", "upatcx", "UPAT",
                                 "ATAPI",   "atapix",   "ATAP",   "disk",  "cdrom"};

char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool SameText(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

bool StartsWith(const std::string& service, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (service.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (Fold(static_cast<char16_t>(static_cast<unsigned char>(service[i]))) != Fold(static_cast<char16_t>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

std::u16string MixCase(FuzzedDataProvider& in, std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z' && in.ConsumeBool()) c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

// A device property as the PDO reports it: readable or failing; a text of
// 128 characters or more does not fit the driver's 256-byte buffer.
struct Property {
  bool readable = false;
  std::u16string text;
};

Property PickClass(FuzzedDataProvider& in) {
  Property property;
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: property = {true, MixCase(in, kUsbClass)}; break;
    case 1: property = {true, MixCase(in, kHdcClass)}; break;
    case 2: property = {true, kDiskClass}; break;
    case 3: property = {true, std::u16string(in.ConsumeIntegralInRange<size_t>(126, 130), u'A')}; break;
    case 4: property = {true, std::u16string(kUsbClass) + u"X"}; break;
    default: break;  // unreadable
  }
  return property;
}

Property PickEnumerator(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 6) == 0) return {};
  if (in.ConsumeIntegralInRange<int>(0, 6) == 0) return {true, std::u16string(in.ConsumeIntegralInRange<size_t>(126, 130), u'I')};
  return {true, kEnumerators[in.ConsumeIntegralInRange<size_t>(0, std::size(kEnumerators) - 1)]};
}

bool Fits(const Property& property) { return property.readable && (property.text.size() + 1) * 2 <= 256; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  hostfault::DisarmAll();

  // The value: absent, or any type with 0 to 16 bytes of data.
  std::optional<rig::FlagsValue> flags;
  if (in.ConsumeIntegralInRange<int>(0, 7) != 0) {
    rig::FlagsValue value;
    value.type = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegralInRange<uint32_t>(0, 11);
    value.data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 16));
    flags = value;
  }
  bool failOpen = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  Property cls = PickClass(in);
  Property enumerator = PickEnumerator(in);
  std::vector<std::string> services;
  for (int n = in.ConsumeIntegralInRange<int>(0, 2); n > 0; --n) {
    services.push_back(kServices[in.ConsumeIntegralInRange<size_t>(0, std::size(kServices) - 1)]);
  }

  ULONG expected = 0;
  if (flags && !failOpen && flags->data.size() <= 8) {
    for (size_t i = 0; i < 4 && i < flags->data.size(); ++i) expected |= static_cast<ULONG>(flags->data[i]) << (8 * i);
  }

  rig::SetFlags(flags);
  if (failOpen) hostfault::Arm("ZwOpenKey");
  PDRIVER_OBJECT driver = rig::Load();
  hostfault::DisarmAll();
  if (Driver.DriverFlags != expected) {
    rig::Fail("DriverFlags " + std::to_string(Driver.DriverFlags) + ", expected " + std::to_string(expected));
  }

  {
    sim::PortDriver port("fzport");
    sim::PortDevice& pdo = port.CreateDevice();
    if (cls.readable) pdo.SetProperty(DevicePropertyClassGuid, cls.text);
    else pdo.FailProperty(DevicePropertyClassGuid, STATUS_OBJECT_NAME_NOT_FOUND);
    if (enumerator.readable) pdo.SetProperty(DevicePropertyEnumeratorName, enumerator.text);
    else pdo.FailProperty(DevicePropertyEnumeratorName, STATUS_OBJECT_NAME_NOT_FOUND);
    std::map<std::string, std::unique_ptr<sim::PortDriver>> above;
    for (const std::string& service : services) {
      auto& owner = above[service];
      if (!owner) owner = std::make_unique<sim::PortDriver>(service.c_str());
      owner->AttachFunctionDevice(pdo.Object());
    }

    // The attachment table.
    ULONG mode = expected & 7;
    bool attach = true;
    bool bus = false;
    if (mode != 2 && mode != 4 && mode != 6) {
      auto anyService = [&](std::initializer_list<const char*> prefixes) {
        for (const std::string& service : services) {
          for (const char* prefix : prefixes) {
            if (StartsWith(service, prefix)) return true;
          }
        }
        return false;
      };
      if (Fits(cls) && SameText(cls.text, kUsbClass)) {
        attach = anyService({"USBSTOR", "HPUATA", "UPATC"});
      } else if (Fits(cls) && SameText(cls.text, kHdcClass)) {
        attach = anyService({"ATAPI"});
      }
      bool storageEnumerator = false;
      if (Fits(enumerator)) {
        for (const char16_t* name : {u"IDE", u"SCSI", u"USBSTOR", u"SBP2", u"SCMMSD"}) {
          storageEnumerator = storageEnumerator || SameText(enumerator.text, name);
        }
      }
      bus = mode == 1 || !storageEnumerator;
    }

    NTSTATUS status = hostk::CallAddDevice(driver, pdo.Object());
    if (status != STATUS_SUCCESS) rig::Fail("AddDevice failed");
    std::vector<FilterDeviceRecord*> records = rig::Records();
    if (records.size() != (attach ? 1u : 0u)) {
      rig::Fail(std::string("mode ") + std::to_string(mode) + (attach ? ": not attached" : ": attached"));
    }
    if (attach && (records[0]->IsBusFilter != 0) != bus) {
      rig::Fail("mode " + std::to_string(mode) + ": IsBusFilter " + std::to_string(records[0]->IsBusFilter));
    }
    if (attach && records[0]->ParentDevice != nullptr) rig::Fail("AddDevice gave a filter a parent");
    // A second AddDevice for the same PDO never makes a second filter.
    if (hostk::CallAddDevice(driver, pdo.Object()) != STATUS_SUCCESS || rig::Records().size() != records.size()) {
      rig::Fail("a second AddDevice changed something");
    }
    rig::RemoveAllAndUnload(driver);
  }
  return 0;
}
