#include "registry.h"

#include <algorithm>

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

// ------------------------------------------------------- string helpers

std::vector<uint8_t> EncodeSz(std::string_view text) {
  std::vector<uint8_t> data;
  data.reserve(text.size() * 2 + 2);
  for (char c : text) {
    data.push_back(static_cast<uint8_t>(c));
    data.push_back(0);
  }
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

namespace {

// One ANSI byte for a UTF-16 unit: the host code page maps bytes to the
// code points 0-255 one to one; anything else has no ANSI form.
char UnitToAnsi(uint16_t unit) { return unit <= 0xFF ? static_cast<char>(unit) : '?'; }

}  // namespace

std::string DecodeSz(const std::vector<uint8_t>& data) {
  std::string text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    uint16_t unit = static_cast<uint16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    text.push_back(UnitToAnsi(unit));
  }
  return text;
}

std::vector<std::string> DecodeMultiSz(const std::vector<uint8_t>& data) {
  std::vector<std::string> names;
  std::string current;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    uint16_t unit = static_cast<uint16_t>(data[i] | (data[i + 1] << 8));
    if (unit != 0) {
      current.push_back(UnitToAnsi(unit));
      continue;
    }
    if (current.empty()) return names;  // the empty string ends the list
    names.push_back(current);
    current.clear();
  }
  if (!current.empty()) names.push_back(current);  // stored without its terminator
  return names;
}

}  // namespace hostreg
