// The setup library over a registry whose filter lists, device names and
// GUID configuration values hold anything: any type, any bytes, missing
// terminators, embedded NULs, 8-bit names, units outside the code page,
// on the single-byte code page or the double-byte 932 (Shift-JIS).
// A run of exports (with faults armed on the Win32 side now and then, and
// lists changed by someone else between calls) is checked after every call,
// on the stored bytes (UTF-16 as the registry holds them), never on what
// the ANSI calls make of them:
//   - every list still holds, in order, every name other than the service
//     name that it held before the call (no other driver is lost);
//   - nothing outside the lists the call may edit has changed;
//   - a rewritten list is a well-formed REG_MULTI_SZ;
//   - a call that reports 1 left every list of its items in the desired
//     state, and with no fault armed every call reports 1 unless a list it
//     may change holds a name that the code page cannot represent;
//   - no registry handle stays open, and the device sets close with the
//     application object.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host_common/faults.h"
#include "host_registry/registry.h"
#include "setup/guid_config.h"
#include "setup/korvset.h"
#include "setup/setup_app.h"

namespace {

using hostreg::RegKey;
using hostreg::Registry;
using hostwin32::GuidText;

const char kClassRoot[] = "SYSTEM\\CURRENTCONTROLSET\\CONTROL\\CLASS\\";
const char kEnumRoot[] = "SYSTEM\\CURRENTCONTROLSET\\ENUM\\";
const char kGuidKey[] = "Software\\Orlenta Software\\Korvelware\\GUIDs";
const char kService[] = "korvflt1";

// Classes the configuration may name besides the built-in ones.
const GUID kExtraGuids[] = {
    {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}},
    {0xABCDEF01, 0x0203, 0x0405, {0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D}},
};

const char* const kNamePool[] = {
    "korvflt1", "KORVFLT1", "KorvFlt1", "korvflt", "korvflt12", "PartMgr", "redbook",
    "imapi",    "a",        "\xE9t\xE9",  "\x83\x41\x83\x5C",  "\x82\xA0\x82\x61",  " korvflt1",
    // On 932 the same two characters as above but one, whose trail byte
    // differs only in letter case: another name.
    "\x83\x61\x83\x5C",
};

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// A name as the registry stores it: UTF-16 units.
using Units = std::u16string;

Units FoldedUnits(Units units) {
  for (char16_t& unit : units) {
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
  }
  return units;
}

// The runtime's compare, on the stored form: only the ASCII letters fold
// (a double-byte character is one unit here, whatever its trail byte).
bool SameName(const Units& stored, const std::string& service) {
  return FoldedUnits(stored) == FoldedUnits(hostreg::AnsiToUnits(service));
}

bool DoubleByte() { return hostreg::AnsiCodePage() != 1252; }

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "setup fuzzer: %s\n", what.c_str());
  std::abort();
}

// ------------------------------------------------------------ generation

std::string AnyName(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
    case 1:
    case 2:
      return kNamePool[in.ConsumeIntegralInRange<size_t>(0, std::size(kNamePool) - 1)];
    case 3:
      return in.ConsumeRandomLengthString(20);  // any bytes, NULs included
    default:
      return std::string();  // an empty entry in the middle of the list
  }
}

// A name, text in the code page: on 932 a byte run that is none (a lead
// byte with no trail byte, as in the Latin-1 "\xE9t\xE9") compares in the
// runtime as the text before it, a form the stored units cannot show.
std::string PickName(FuzzedDataProvider& in) {
  std::string name = AnyName(in);
  if (DoubleByte() && hostreg::UnitsToAnsi(hostreg::AnsiToUnits(name)) != name) return kNamePool[0];
  return name;
}

void PutUnit(std::vector<uint8_t>& out, uint16_t unit) {
  out.push_back(static_cast<uint8_t>(unit));
  out.push_back(static_cast<uint8_t>(unit >> 8));
}

// Stored bytes of a filter list value: mostly a multi-string of names as
// the ANSI calls store them, terminated or not; or raw bytes.
std::vector<uint8_t> ListBytes(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 48));
  }
  std::vector<uint16_t> units;
  int names = in.ConsumeIntegralInRange<int>(0, 5);
  for (int i = 0; i < names; ++i) {
    for (char16_t unit : hostreg::AnsiToUnits(PickName(in))) units.push_back(unit);
    units.push_back(0);
  }
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:  // no final empty string
      break;
    case 1:
      units.push_back(0);
      units.push_back(0);
      break;
    case 2:
      units.resize(in.ConsumeIntegralInRange<size_t>(0, units.size()));
      break;
    default:
      units.push_back(0);
  }
  if (!units.empty() && in.ConsumeIntegralInRange<int>(0, 5) == 0) {
    units[in.ConsumeIntegralInRange<size_t>(0, units.size() - 1)] = in.ConsumeIntegral<uint16_t>();
  }
  std::vector<uint8_t> bytes;
  for (uint16_t unit : units) PutUnit(bytes, unit);
  if (!bytes.empty() && in.ConsumeIntegralInRange<int>(0, 7) == 0) bytes.pop_back();  // odd length
  return bytes;
}

uint32_t ListType(FuzzedDataProvider& in) {
  static const uint32_t kTypes[] = {hostreg::kRegMultiSz, hostreg::kRegMultiSz, hostreg::kRegMultiSz,
                                    hostreg::kRegSz,      hostreg::kRegExpandSz, hostreg::kRegBinary,
                                    hostreg::kRegDword,   hostreg::kRegNone,     hostreg::kRegQword};
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) return in.ConsumeIntegral<uint32_t>();
  return kTypes[in.ConsumeIntegralInRange<size_t>(0, std::size(kTypes) - 1)];
}

void MaybeSetList(FuzzedDataProvider& in, RegKey* key, const char* valueName) {
  if (in.ConsumeBool()) key->SetValue(valueName, ListType(in), ListBytes(in));
}

GUID PickClass(FuzzedDataProvider& in) {
  size_t n = korvset::kBuiltinClassGuidCount + korvset::kBuiltinBusGuidCount + std::size(kExtraGuids);
  size_t i = in.ConsumeIntegralInRange<size_t>(0, n - 1);
  if (i < korvset::kBuiltinClassGuidCount) return korvset::kBuiltinClassGuids[i];
  i -= korvset::kBuiltinClassGuidCount;
  if (i < korvset::kBuiltinBusGuidCount) return korvset::kBuiltinBusGuids[i];
  return kExtraGuids[i - korvset::kBuiltinBusGuidCount];
}

// A GUID text as a configuration value might hold it: well-formed, in
// another case, with spaces or h's in a field, one character changed,
// anything at all, or just around the 260-byte read buffer.
std::string GuidValueText(FuzzedDataProvider& in) {
  std::string text = GuidText(PickClass(in));
  switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
      for (char& c : text) {
        if (c >= 'A' && c <= 'F' && in.ConsumeBool()) c = static_cast<char>(c - 'A' + 'a');
      }
      break;
    case 1:
      text[in.ConsumeIntegralInRange<size_t>(0, text.size() - 1)] = in.ConsumeIntegral<char>();
      break;
    case 2: {
      // "{0000001h-...": trailing h or spaces, leading spaces.
      static const char kFill[] = {' ', 'h', ' '};
      size_t field = in.ConsumeIntegralInRange<size_t>(1, 8);
      for (size_t i = 1; i <= field; ++i) text[i] = kFill[in.ConsumeIntegralInRange<size_t>(0, 2)];
      break;
    }
    case 3:
      return in.ConsumeRandomLengthString(64);
    case 4:
      return std::string(in.ConsumeIntegralInRange<size_t>(255, 265), 'A');
    default:
      break;
  }
  return text;
}

void BuildGuidConfiguration(FuzzedDataProvider& in) {
  if (!in.ConsumeBool()) return;
  RegKey* key = Registry::Machine().Create(kGuidKey);
  for (const char* stem : {"BusGuid", "ClassGuid"}) {
    int count = in.ConsumeIntegralInRange<int>(0, 4);
    for (int n = 0; n < count; ++n) {
      std::string name = stem + std::to_string(n);
      if (in.ConsumeIntegralInRange<int>(0, 9) == 0) continue;  // a gap ends the list
      std::string text = GuidValueText(in);
      uint32_t type = in.ConsumeIntegralInRange<int>(0, 5) == 0 ? ListType(in) : hostreg::kRegSz;
      std::vector<uint8_t> data;
      if (in.ConsumeIntegralInRange<int>(0, 5) == 0) {
        data.assign(text.begin(), text.end());  // bytes as stored, no terminator
      } else {
        for (char c : text) PutUnit(data, static_cast<uint8_t>(c));
        PutUnit(data, 0);
      }
      key->SetValue(name, type, std::move(data));
    }
  }
}

// A built-in class always has a description, one too long for the
// library's buffer now and then; a configured one may have none, and then
// the machine does not know it.
void BuildClass(FuzzedDataProvider& in, const GUID& guid, bool builtin) {
  if (!builtin && in.ConsumeBool()) return;
  RegKey* key = Registry::Machine().Create(std::string(kClassRoot) + GuidText(guid));
  if (builtin || in.ConsumeBool()) {
    bool tooLong = in.ConsumeIntegralInRange<int>(0, 9) == 0;
    std::string description = tooLong ? std::string(270, 'D') : "Class";
    key->SetValue("", hostreg::kRegSz, hostreg::EncodeSz(description));
  }
  MaybeSetList(in, key, "UpperFilters");
  MaybeSetList(in, key, "LowerFilters");
}

void BuildDevices(FuzzedDataProvider& in) {
  static const char* const kEnumerators[] = {"IDE", "SCSI", "USBSTOR", "Root"};
  int count = in.ConsumeIntegralInRange<int>(0, 5);
  for (int d = 0; d < count; ++d) {
    std::string path = std::string(kEnumRoot) + kEnumerators[in.ConsumeIntegralInRange<size_t>(0, 3)] +
                       "\\Dev" + std::to_string(in.ConsumeIntegralInRange<int>(0, 2)) + "\\" + std::to_string(d);
    RegKey* key = Registry::Machine().Create(path);
    std::string classText = GuidText(PickClass(in));
    if (in.ConsumeIntegralInRange<int>(0, 5) == 0) classText = Upper(classText) == classText ? "{junk}" : classText;
    key->SetValue("ClassGUID", hostreg::kRegSz, hostreg::EncodeSz(classText));
    if (in.ConsumeIntegralInRange<int>(0, 4) != 0) key->CreateSubkey("Control");
    for (const char* name : {"FriendlyName", "DeviceDesc", "LocationInformation"}) {
      switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
          break;
        case 1:
          key->SetValue(name, hostreg::kRegSz, {});
          break;
        default:
          key->SetValue(name, hostreg::kRegSz, hostreg::EncodeSz(in.ConsumeRandomLengthString(16)));
      }
    }
    MaybeSetList(in, key, "LowerFilters");
    MaybeSetList(in, key, "UpperFilters");
  }
}

const char* const kFaultOps[] = {
    "RegQueryValueExA",          "RegSetValueExA",
    "RegDeleteValueA",           "RegOpenKeyA",
    "RegCreateKeyExA",           "SetupDiOpenClassRegKey",
    "SetupDiGetClassDescriptionA", "SetupDiGetClassDevsA",
    "SetupDiEnumDeviceInfo",     "SetupDiGetDeviceRegistryPropertyA",
    "SetupDiSetDeviceRegistryPropertyA", "RegQueryValueExW",
    "SetupDiGetDeviceRegistryPropertyW",
};

// ---------------------------------------------------------------- model

struct Stored {
  uint32_t type;
  std::vector<uint8_t> data;
};
// "KEY PATH", NUL, "VALUE NAME", in upper case: neither part can hold a
// NUL, so the split is unambiguous.
using Snapshot = std::map<std::string, Stored>;
const char kSplit = '\0';

std::string Entry(const std::string& path, const std::string& value) { return Upper(path) + kSplit + Upper(value); }

std::string Shown(std::string entry) {
  entry[entry.find(kSplit)] = '|';
  return entry;
}

void Collect(const RegKey* key, Snapshot* out) {
  for (const auto& value : key->Values()) (*out)[Entry(key->Path(), value.name)] = Stored{value.type, value.data};
  for (const auto& sub : key->Subkeys()) Collect(sub.get(), out);
}

Snapshot Take() {
  std::lock_guard<std::recursive_mutex> hold(Registry::Machine().Mutex());
  Snapshot snapshot;
  Collect(Registry::Machine().Root(), &snapshot);
  return snapshot;
}

bool IsText(const Stored& value) {
  return value.type == hostreg::kRegSz || value.type == hostreg::kRegExpandSz || value.type == hostreg::kRegMultiSz;
}

// The stored units of a list: string data as it is stored; the bytes of a
// value of another type are ANSI text to the library, and what it writes
// back of them is their conversion.
Units StoredForm(const Stored& value) {
  if (IsText(value)) return hostreg::StoredUnits(value.data);
  return hostreg::AnsiToUnits(std::string(value.data.begin(), value.data.end()));
}

// The names of a list as the library reads it: names up to the first
// empty one, whatever the value's type.
std::vector<Units> Names(const Stored* value) {
  std::vector<Units> names;
  if (value == nullptr) return names;
  Units units = StoredForm(*value);
  size_t pos = 0;
  while (pos < units.size() && units[pos] != 0) {
    size_t end = units.find(u'\0', pos);
    if (end == Units::npos) end = units.size();
    names.push_back(units.substr(pos, end - pos));
    pos = end + 1;
  }
  return names;
}

// Whether every character of a string value has a form in the code page,
// so that the ANSI calls give the library the names as they are stored.
bool Representable(const Stored& value) {
  if (!IsText(value)) return true;
  Units units = hostreg::StoredUnits(value.data);
  return hostreg::AnsiToUnits(hostreg::UnitsToAnsi(units)) == units;
}

std::vector<Units> Without(std::vector<Units> names, const std::string& service) {
  std::vector<Units> kept;
  for (auto& name : names) {
    if (!SameName(name, service)) kept.push_back(std::move(name));
  }
  return kept;
}

bool Contains(const std::vector<Units>& names, const std::string& service) {
  for (const auto& name : names) {
    if (SameName(name, service)) return true;
  }
  return false;
}

std::string Printable(const std::vector<Units>& names) {
  std::string text;
  for (const auto& name : names) {
    text += "[";
    for (char16_t unit : name) {
      char hex[12];
      std::snprintf(hex, sizeof hex, unit >= 0x20 && unit < 0x7F ? "%c" : "\\u%04X", static_cast<unsigned>(unit));
      text += hex;
    }
    text += "]";
  }
  return text;
}

enum class Op { kInstall, kUninstall, kIdeInstall, kIdeUninstall, kStartupInfo, kEditList, kReload, kCount };

bool IsClassList(const std::string& entry, const char* value) {
  size_t bar = entry.find(kSplit);
  std::string path = entry.substr(0, bar);
  return path.rfind(kClassRoot, 0) == 0 && path.find('\\', sizeof kClassRoot - 1) == std::string::npos &&
         entry.substr(bar + 1) == value;
}

bool IsDeviceList(const std::string& entry, const char* value) {
  size_t bar = entry.find(kSplit);
  std::string path = entry.substr(0, bar);
  if (path.rfind(kEnumRoot, 0) != 0) return false;
  size_t separators = 0;
  for (size_t i = sizeof kEnumRoot - 1; i < path.size(); ++i) separators += path[i] == '\\';
  return separators == 2 && entry.substr(bar + 1) == value;
}

bool IsList(const std::string& entry) {
  return IsClassList(entry, "UPPERFILTERS") || IsClassList(entry, "LOWERFILTERS") ||
         IsDeviceList(entry, "UPPERFILTERS") || IsDeviceList(entry, "LOWERFILTERS");
}

// Whether `op` may change the value `entry` at all.
bool MayChange(Op op, const std::string& entry) {
  switch (op) {
    case Op::kInstall:
    case Op::kUninstall:
      return IsClassList(entry, "UPPERFILTERS") || IsClassList(entry, "LOWERFILTERS") ||
             IsDeviceList(entry, "LOWERFILTERS");
    case Op::kIdeInstall:
    case Op::kIdeUninstall:
      return entry == Entry(std::string(kClassRoot) + GuidText(korvset::kIdeControllerClassGuid), "UpperFilters");
    case Op::kStartupInfo: {
      std::string value = entry.substr(entry.find(kSplit) + 1);
      return value == "OSSTARTTIME" || value == "REBOOTNEEDED" || value == "UPDATENOTIFY";
    }
    default:
      return false;
  }
}

void CheckWellFormed(const std::string& entry, const Stored& value) {
  Units units = hostreg::StoredUnits(value.data);
  bool ok = value.type == hostreg::kRegMultiSz && value.data.size() % 2 == 0 && units.size() >= 3 &&
            units[0] != 0 && units[units.size() - 1] == 0 && units[units.size() - 2] == 0;
  for (size_t i = 0; ok && i + 2 < units.size(); ++i) ok = !(units[i] == 0 && units[i + 1] == 0);
  if (!ok) Fail("malformed list written to " + Shown(entry));
}

// Whether a list that `op` may change holds a name that the code page
// cannot represent: the library then leaves it and reports 0.
bool MayMeetUnrepresentable(Op op, const Snapshot& before) {
  for (const auto& [entry, value] : before) {
    if (IsList(entry) && MayChange(op, entry) && !Representable(value)) return true;
  }
  return false;
}

void CheckCall(Op op, const std::string& service, const Snapshot& before, const Snapshot& after) {
  std::map<std::string, int> entries;
  for (const auto& [entry, value] : before) entries[entry] |= 1;
  for (const auto& [entry, value] : after) entries[entry] |= 2;
  for (const auto& [entry, where] : entries) {
    const Stored* old = where & 1 ? &before.at(entry) : nullptr;
    const Stored* now = where & 2 ? &after.at(entry) : nullptr;
    bool same = old != nullptr && now != nullptr && old->type == now->type && old->data == now->data;
    if (same || (old == nullptr && now == nullptr)) continue;
    if (!MayChange(op, entry)) Fail("call changed " + Shown(entry) + ", which it must leave alone");
    if (!IsList(entry)) continue;
    if (now != nullptr) CheckWellFormed(entry, *now);
    std::vector<Units> kept = Without(Names(old), service);
    std::vector<Units> left = Without(Names(now), service);
    if (kept != left) Fail("list " + Shown(entry) + " went from " + Printable(Names(old)) + " to " + Printable(Names(now)));
  }
}

const Stored* Find(const Snapshot& snapshot, const std::string& path, const char* value) {
  auto it = snapshot.find(Entry(path, value));
  return it == snapshot.end() ? nullptr : &it->second;
}

// After a call that reported 1: every item of the installer reached the
// desired state. Class lists are read from the registry directly; device
// lists through SetupAPI, so only when no fault can be in the way.
void CheckInstallerState(const korvset::ClassFilterInstaller& installer, const Snapshot& after, bool faultsArmed) {
  for (int i = 0; i < installer.Items.Count(); ++i) {
    const korvset::ClassItem* cls = installer.Items.At(i);
    if (installer.Scope != korvset::ScopeDevice) {
      const char* value = installer.UseLowerFilters ? "LowerFilters" : "UpperFilters";
      bool present = Contains(Names(Find(after, std::string(kClassRoot) + GuidText(cls->Guid), value)),
                              installer.ServiceName.Text());
      if (present != (cls->Install != 0)) {
        Fail(std::string("reported success, but ") + GuidText(cls->Guid) + " " + value + " is not as desired");
      }
      continue;
    }
    if (faultsArmed) continue;
    for (int d = 0; d < cls->Devices.Count(); ++d) {
      const korvset::DeviceItem* device = cls->Devices.At(d);
      SP_DEVINFO_DATA info = device->DeviceInfo;
      DWORD type = 0;
      char* list = korvset::ReadDeviceProperty(cls->DeviceSet, &info, SPDRP_LOWERFILTERS, &type);
      bool present = korvset::FilterListContains(list, installer.ServiceName.Text()) != 0;
      korvset::FilterListFree(list);
      if (present != (device->Install != 0)) Fail("reported success, but a device list is not as desired");
    }
  }
}

// Whether the simulated SetupAPI knows the class: its key holds a text
// description or, failing that, a text class name.
bool ClassKnown(const Snapshot& snapshot, const GUID& guid) {
  std::string path = std::string(kClassRoot) + GuidText(guid);
  const Stored* description = Find(snapshot, path, "");
  if (description != nullptr && IsText(*description)) return true;
  const Stored* name = Find(snapshot, path, "Class");
  return name != nullptr && IsText(*name);
}

// After a call that reported 1: every class of the list that the machine
// knows has an item, so no list of the installer's scope went unseen.
void CheckCoverage(const korvset::ClassFilterInstaller& installer, const korvset::PtrArray<GUID>& guids,
                   const Snapshot& before) {
  int known = 0;
  for (int i = 0; i < guids.Count(); ++i) known += ClassKnown(before, *guids.At(i)) ? 1 : 0;
  if (installer.Items.Count() != known) Fail("reported success, but a class the machine knows has no item");
}

// On a double-byte code page: a name that differs from one in the IDE
// class list only in the letter case of a trail byte, which makes it
// another name (a compare that folds byte by byte takes it for the same);
// `fallback` when the list holds no name with such a twin.
std::string TwinInIdeList(const std::string& fallback) {
  std::string ide = std::string(kClassRoot) + GuidText(korvset::kIdeControllerClassGuid);
  Snapshot now = Take();
  for (const Units& name : Names(Find(now, ide, "UpperFilters"))) {
    std::string text = hostreg::UnitsToAnsi(name);
    bool flipped = false;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
      if (!hostreg::IsLeadByte(static_cast<uint8_t>(text[i]))) continue;
      char& trail = text[++i];
      if ((trail >= 'a' && trail <= 'z') || (trail >= 'A' && trail <= 'Z')) {
        trail = static_cast<char>(trail ^ 0x20);
        flipped = true;
      }
    }
    // Only a twin that is text in the code page: 0x82 0x41, say, is none.
    if (flipped && hostreg::UnitsToAnsi(hostreg::AnsiToUnits(text)) == text) return text;
  }
  return fallback;
}

void ResetMachine() {
  korvset::ReleaseApplication(false);
  hostfault::DisarmAll();
  hostwin32::ClearMessageBoxes();
  Registry::Machine().Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  ResetMachine();
  hostreg::SetAnsiCodePage(in.ConsumeBool() ? 932 : 1252);

  // The script and the faults first, so that short inputs still make
  // calls; the machine takes the rest.
  struct Step {
    Op op;
    int showMessage;
    std::string text;  // IDE service name or start-up key path
    bool twin = false;  // IDE: the twin of a name in the IDE class list instead
  };
  std::vector<Step> script(in.ConsumeIntegralInRange<size_t>(1, 6));
  for (Step& step : script) {
    step.op = static_cast<Op>(in.ConsumeIntegralInRange<int>(0, static_cast<int>(Op::kCount) - 1));
    step.showMessage = in.ConsumeBool() ? 1 : 0;
    if (step.op == Op::kIdeInstall || step.op == Op::kIdeUninstall) {
      step.twin = DoubleByte() && in.ConsumeBool();
      step.text = PickName(in).c_str();  // what the export sees of it
    } else if (step.op == Op::kStartupInfo) {
      step.text = in.ConsumeBool() ? "Software\\Orlenta Software\\Korvelware" : in.ConsumeRandomLengthString(40);
    }
  }
  bool faultsArmed = false;
  if (in.ConsumeIntegralInRange<int>(0, 3) == 3) {
    int faults = in.ConsumeIntegralInRange<int>(1, 3);
    for (int f = 0; f < faults; ++f) {
      const char* operation = kFaultOps[in.ConsumeIntegralInRange<size_t>(0, std::size(kFaultOps) - 1)];
      int count = in.ConsumeIntegralInRange<int>(-1, 3);
      int after = in.ConsumeIntegralInRange<int>(0, 12);
      hostfault::Arm(operation, count, after);
      if (std::getenv("QELV_FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "fault %s count %d after %d\n", operation, count, after);
      }
    }
    faultsArmed = true;
  }

  for (const GUID& guid : korvset::kBuiltinBusGuids) BuildClass(in, guid, true);
  for (const GUID& guid : korvset::kBuiltinClassGuids) BuildClass(in, guid, true);
  for (const GUID& guid : kExtraGuids) BuildClass(in, guid, false);
  BuildDevices(in);
  BuildGuidConfiguration(in);

  for (const Step& step : script) {
    Op op = step.op;
    int showMessage = step.showMessage;
    std::string service = kService;
    Snapshot before = Take();
    hostwin32::ClearMessageBoxes();
    int result = 1;
    bool exported = true;
    switch (op) {
      case Op::kInstall:
        result = KV_InstallBusFilters(nullptr, showMessage);
        break;
      case Op::kUninstall:
        result = KV_UninstallBusFilters(nullptr, showMessage);
        break;
      case Op::kIdeInstall:
      case Op::kIdeUninstall:
        service = step.twin ? TwinInIdeList(step.text) : step.text;
        result = op == Op::kIdeInstall ? IDE_InstallFilter(nullptr, service.c_str(), showMessage)
                                       : IDE_UninstallFilter(nullptr, service.c_str(), showMessage);
        break;
      case Op::kStartupInfo: {
        KV_InitStartupInfo(nullptr, step.text.c_str(), showMessage);
        break;
      }
      case Op::kEditList: {
        // Someone else rewrites a list between two calls.
        std::lock_guard<std::recursive_mutex> hold(Registry::Machine().Mutex());
        std::string path = std::string(kClassRoot) + GuidText(PickClass(in));
        if (RegKey* key = Registry::Machine().Open(path)) MaybeSetList(in, key, in.ConsumeBool() ? "UpperFilters" : "LowerFilters");
        exported = false;
        break;
      }
      case Op::kReload:
        korvset::ReleaseApplication(false);
        if (hostwin32::OpenDeviceInfoSets() != 0) Fail("device information sets left open after release");
        exported = false;
        break;
      default:
        exported = false;
    }
    if (!exported) continue;
    if (std::getenv("QELV_FUZZ_TRACE") != nullptr) {
      std::fprintf(stderr, "op %d service %s result %d faults %d code page %u\n", static_cast<int>(op),
                   Printable({hostreg::AnsiToUnits(service)}).c_str(), result, faultsArmed ? 1 : 0,
                   hostreg::AnsiCodePage());
    }

    Snapshot after = Take();
    CheckCall(op, service, before, after);
    if (hostwin32::OpenKeyHandles() != 0) Fail("registry key handles left open after a call");
    if (showMessage && hostwin32::MessageBoxes().size() != 1) Fail("no message box, or more than one");
    if (!showMessage && !hostwin32::MessageBoxes().empty()) Fail("message box shown without being asked for");
    if (op == Op::kStartupInfo) continue;
    if (result != 0 && result != 1) Fail("result neither 0 nor 1");
    bool expectSuccess = (op == Op::kInstall || op == Op::kUninstall || !service.empty()) &&
                         !MayMeetUnrepresentable(op, before);
    if (!faultsArmed && expectSuccess && result != 1) Fail("call failed with no fault armed");
    if (result != 1) continue;
    korvset::SetupApp* app = korvset::Application();
    if (op == Op::kInstall || op == Op::kUninstall) {
      CheckCoverage(app->BusClassInstaller, app->BusGuids, before);
      CheckCoverage(app->ClassInstaller, app->ClassGuids, before);
      CheckCoverage(app->DeviceInstaller, app->ClassGuids, before);
      CheckInstallerState(app->BusClassInstaller, after, faultsArmed);
      CheckInstallerState(app->ClassInstaller, after, faultsArmed);
      CheckInstallerState(app->DeviceInstaller, after, faultsArmed);
    } else {
      std::string ide = std::string(kClassRoot) + GuidText(korvset::kIdeControllerClassGuid);
      bool present = Contains(Names(Find(after, ide, "UpperFilters")), service);
      if (present != (op == Op::kIdeInstall)) Fail("IDE call reported success, but the IDE class list is not as desired");
    }
  }

  korvset::ReleaseApplication(false);
  hostfault::DisarmAll();
  if (hostwin32::OpenDeviceInfoSets() != 0) Fail("device information sets left open at the end");
  if (hostwin32::OpenKeyHandles() != 0) Fail("registry key handles left open at the end");
  return 0;
}
