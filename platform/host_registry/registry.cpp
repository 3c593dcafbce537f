#include "registry.h"

#include <iconv.h>

#include <algorithm>
#include <atomic>

namespace hostreg {
namespace {

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// Splits "A\B\C" into its components; empty components (doubled or
// trailing separators) are skipped.
std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

// ---------------------------------------------------------------- RegKey

RegKey::RegKey(std::string name, RegKey* parent) : name_(std::move(name)), parent_(parent) {}

std::string RegKey::Path() const {
  if (parent_ == nullptr) return std::string();
  std::string above = parent_->Path();
  return above.empty() ? name_ : above + "\\" + name_;
}

RegKey* RegKey::Subkey(std::string_view name) const {
  for (const auto& key : subkeys_) {
    if (SameName(key->Name(), name)) return key.get();
  }
  return nullptr;
}

RegKey* RegKey::CreateSubkey(std::string_view name) {
  if (RegKey* existing = Subkey(name)) return existing;
  subkeys_.push_back(std::make_unique<RegKey>(std::string(name), this));
  return subkeys_.back().get();
}

bool RegKey::DeleteSubkey(std::string_view name) {
  auto it = std::find_if(subkeys_.begin(), subkeys_.end(),
                         [name](const std::unique_ptr<RegKey>& key) { return SameName(key->Name(), name); });
  if (it == subkeys_.end()) return false;
  subkeys_.erase(it);
  return true;
}

const RegValue* RegKey::Value(std::string_view name) const {
  for (const auto& value : values_) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

void RegKey::SetValue(std::string_view name, uint32_t type, std::vector<uint8_t> data) {
  // An existing value keeps its place and the spelling it was created with.
  for (auto& value : values_) {
    if (SameName(value.name, name)) {
      value.type = type;
      value.data = std::move(data);
      return;
    }
  }
  values_.push_back(RegValue{std::string(name), type, std::move(data)});
}

bool RegKey::DeleteValue(std::string_view name) {
  auto it = std::find_if(values_.begin(), values_.end(),
                         [name](const RegValue& value) { return SameName(value.name, name); });
  if (it == values_.end()) return false;
  values_.erase(it);
  return true;
}

void RegKey::Clear() {
  subkeys_.clear();
  values_.clear();
}

// -------------------------------------------------------------- Registry

Registry::Registry() : root_("HKEY_LOCAL_MACHINE") {}

Registry& Registry::Machine() {
  static Registry machine;
  return machine;
}

RegKey* Registry::Open(std::string_view path) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  RegKey* key = &root_;
  for (std::string_view part : SplitPath(path)) {
    key = key->Subkey(part);
    if (key == nullptr) return nullptr;
  }
  return key;
}

RegKey* Registry::Create(std::string_view path) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  RegKey* key = &root_;
  for (std::string_view part : SplitPath(path)) key = key->CreateSubkey(part);
  return key;
}

bool Registry::Delete(std::string_view path) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  std::vector<std::string_view> parts = SplitPath(path);
  if (parts.empty()) return false;  // the root stays
  RegKey* parent = &root_;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    parent = parent->Subkey(parts[i]);
    if (parent == nullptr) return false;
  }
  return parent->DeleteSubkey(parts.back());
}

void Registry::Clear() {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  root_.Clear();
}

// ------------------------------------------------------------ code pages

namespace {

std::atomic<uint32_t> g_codePage{1252};

const char* IconvName(uint32_t codePage) {
  switch (codePage) {
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "CP950";
    default: return nullptr;
  }
}

// The two conversions of one double-byte code page, kept per thread (an
// iconv descriptor carries state and must not be shared).
class DoubleByteConverter {
 public:
  DoubleByteConverter() = default;
  DoubleByteConverter(const DoubleByteConverter&) = delete;
  DoubleByteConverter& operator=(const DoubleByteConverter&) = delete;
  ~DoubleByteConverter() { Close(); }

  static DoubleByteConverter& For(uint32_t codePage) {
    thread_local DoubleByteConverter converter;
    if (converter.codePage_ != codePage) converter.Open(codePage);
    return converter;
  }

  // One character of `size` ANSI bytes as a UTF-16 unit; false when the
  // bytes are no character of the code page (or not one unit).
  bool ToUnit(const char* bytes, size_t size, char16_t* unit) {
    char out[4];
    size_t got = 0;
    if (!Convert(toUnits_, bytes, size, out, sizeof out, &got) || got != 2) return false;
    *unit = static_cast<char16_t>(static_cast<uint8_t>(out[0]) | static_cast<uint8_t>(out[1]) << 8);
    return true;
  }

  // One UTF-16 unit as ANSI bytes; false when the code page has no form.
  bool ToAnsi(char16_t unit, std::string* out) {
    const char in[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    char bytes[4];
    size_t got = 0;
    if (!Convert(toAnsi_, in, sizeof in, bytes, sizeof bytes, &got)) return false;
    out->append(bytes, got);
    return true;
  }

 private:
  void Open(uint32_t codePage) {
    Close();
    toUnits_ = iconv_open("UTF-16LE", IconvName(codePage));
    toAnsi_ = iconv_open(IconvName(codePage), "UTF-16LE");
    codePage_ = codePage;
  }

  void Close() {
    if (toUnits_ != kNone) iconv_close(toUnits_);
    if (toAnsi_ != kNone) iconv_close(toAnsi_);
    toUnits_ = toAnsi_ = kNone;
    codePage_ = 0;
  }

  static bool Convert(iconv_t cd, const char* in, size_t inSize, char* out, size_t outSize, size_t* got) {
    if (cd == kNone) return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    char* inPos = const_cast<char*>(in);
    size_t inLeft = inSize;
    char* outPos = out;
    size_t outLeft = outSize;
    if (iconv(cd, &inPos, &inLeft, &outPos, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) return false;
    *got = outSize - outLeft;
    return true;
  }

  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
  uint32_t codePage_ = 0;
  iconv_t toUnits_ = kNone;
  iconv_t toAnsi_ = kNone;
};

bool DoubleByte(uint32_t codePage) { return IconvName(codePage) != nullptr; }

}  // namespace

bool SetAnsiCodePage(uint32_t codePage) {
  if (codePage != 1252 && !DoubleByte(codePage)) return false;
  g_codePage = codePage;
  return true;
}

uint32_t AnsiCodePage() { return g_codePage; }

bool IsLeadByte(uint8_t byte) {
  switch (AnsiCodePage()) {
    case 932: return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:
    case 949:
    case 950: return byte >= 0x81 && byte <= 0xFE;
    default: return false;
  }
}

namespace {

// Converts text, counting the sequences that are no character.
std::u16string ConvertAnsi(std::string_view text, size_t* invalid) {
  uint32_t codePage = AnsiCodePage();
  std::u16string units;
  units.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x80 || !DoubleByte(codePage)) {
      units.push_back(byte);
      continue;
    }
    size_t length = IsLeadByte(byte) && i + 1 < text.size() && text[i + 1] != '\0' ? 2 : 1;
    char16_t unit = u'?';
    if (!DoubleByteConverter::For(codePage).ToUnit(&text[i], length, &unit)) {
      unit = u'?';
      ++*invalid;
    }
    units.push_back(unit);
    i += length - 1;
  }
  return units;
}

}  // namespace

std::u16string AnsiToUnits(std::string_view text) {
  size_t invalid = 0;
  return ConvertAnsi(text, &invalid);
}

bool AnsiIsText(std::string_view text) {
  size_t invalid = 0;
  ConvertAnsi(text, &invalid);
  return invalid == 0;
}

std::string UnitsToAnsi(std::u16string_view units) {
  uint32_t codePage = AnsiCodePage();
  std::string text;
  text.reserve(units.size());
  for (char16_t unit : units) {
    if (unit < 0x80 || (!DoubleByte(codePage) && unit <= 0xFF)) {
      text.push_back(static_cast<char>(unit));
    } else if (!DoubleByte(codePage) || !DoubleByteConverter::For(codePage).ToAnsi(unit, &text)) {
      text.push_back('?');
    }
  }
  return text;
}

// ------------------------------------------------------- string helpers

std::u16string StoredUnits(const std::vector<uint8_t>& data) {
  std::u16string units;
  units.reserve(data.size() / 2);
  for (size_t i = 0; i + 1 < data.size(); i += 2) units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  return units;
}

namespace {

void AppendUnits(std::vector<uint8_t>& data, std::u16string_view units) {
  for (char16_t unit : units) {
    data.push_back(static_cast<uint8_t>(unit & 0xFF));
    data.push_back(static_cast<uint8_t>(unit >> 8));
  }
}

}  // namespace

std::vector<uint8_t> EncodeSz(std::string_view text) {
  std::vector<uint8_t> data;
  data.reserve(text.size() * 2 + 2);
  AppendUnits(data, AnsiToUnits(text));
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::vector<uint8_t> EncodeMultiSz(const std::vector<std::string>& names) {
  std::vector<uint8_t> data;
  for (const std::string& name : names) {
    std::vector<uint8_t> one = EncodeSz(name);
    data.insert(data.end(), one.begin(), one.end());
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::vector<uint8_t> EncodeDword(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

std::string DecodeSz(const std::vector<uint8_t>& data) {
  std::u16string units = StoredUnits(data);
  return UnitsToAnsi(std::u16string_view(units).substr(0, units.find(u'\0')));
}

std::vector<std::string> DecodeMultiSz(const std::vector<uint8_t>& data) {
  std::vector<std::string> names;
  std::u16string units = StoredUnits(data);
  size_t start = 0;
  while (start < units.size()) {
    size_t end = units.find(u'\0', start);
    if (end == start) break;  // the empty string ends the list
    if (end == std::u16string::npos) end = units.size();  // stored without its terminator
    names.push_back(UnitsToAnsi(std::u16string_view(units).substr(start, end - start)));
    start = end + 1;
  }
  return names;
}

}  // namespace hostreg
