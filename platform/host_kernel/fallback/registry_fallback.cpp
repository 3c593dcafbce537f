// A minimal stand-in for the shared registry library (host_registry),
// built only while that library is absent: the tree operations the
// kernel's Zw* calls need; no text import or export.
#include <cctype>

#include "host_registry/registry.h"

namespace hostreg {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    size_t cut = path.find('\\');
    std::string_view part = path.substr(0, cut);
    if (!part.empty()) parts.push_back(part);
    if (cut == std::string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  return parts;
}

}  // namespace

RegKey::RegKey(std::string name, RegKey* parent) : name_(std::move(name)), parent_(parent) {}

std::string RegKey::Path() const {
  if (parent_ == nullptr) return "";
  std::string above = parent_->Path();
  return above.empty() ? name_ : above + "\\" + name_;
}

RegKey* RegKey::Subkey(std::string_view name) const {
  for (const auto& key : subkeys_)
    if (SameName(key->Name(), name)) return key.get();
  return nullptr;
}

RegKey* RegKey::CreateSubkey(std::string_view name) {
  if (RegKey* key = Subkey(name)) return key;
  subkeys_.push_back(std::make_unique<RegKey>(std::string(name), this));
  return subkeys_.back().get();
}

bool RegKey::DeleteSubkey(std::string_view name) {
  for (auto it = subkeys_.begin(); it != subkeys_.end(); ++it) {
    if (SameName((*it)->Name(), name)) {
      subkeys_.erase(it);
      return true;
    }
  }
  return false;
}

const RegValue* RegKey::Value(std::string_view name) const {
  for (const auto& value : values_)
    if (SameName(value.name, name)) return &value;
  return nullptr;
}

void RegKey::SetValue(std::string_view name, uint32_t type, std::vector<uint8_t> data) {
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
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (SameName(it->name, name)) {
      values_.erase(it);
      return true;
    }
  }
  return false;
}

Registry::Registry() : root_("HKEY_LOCAL_MACHINE") {}

Registry& Registry::Machine() {
  static Registry machine;
  return machine;
}

RegKey* Registry::Open(std::string_view path) {
  RegKey* key = &root_;
  for (std::string_view part : SplitPath(path)) {
    key = key->Subkey(part);
    if (key == nullptr) return nullptr;
  }
  return key;
}

RegKey* Registry::Create(std::string_view path) {
  RegKey* key = &root_;
  for (std::string_view part : SplitPath(path)) key = key->CreateSubkey(part);
  return key;
}

bool Registry::Delete(std::string_view path) {
  auto parts = SplitPath(path);
  if (parts.empty()) return false;
  RegKey* key = &root_;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    key = key->Subkey(parts[i]);
    if (key == nullptr) return false;
  }
  return key->DeleteSubkey(parts.back());
}

void Registry::Clear() {
  while (!root_.Subkeys().empty()) root_.DeleteSubkey(root_.Subkeys().front()->Name());
  while (!root_.Values().empty()) root_.DeleteValue(root_.Values().front().name);
}

std::string Registry::ExportText(std::string_view) const { return {}; }

bool Registry::ImportText(std::string_view, std::string* error) {
  if (error != nullptr) *error = "text import is not available";
  return false;
}

bool Registry::LoadFile(const std::string&, std::string* error) {
  if (error != nullptr) *error = "text import is not available";
  return false;
}

bool Registry::SaveFile(const std::string&, std::string* error) const {
  if (error != nullptr) *error = "text export is not available";
  return false;
}

std::vector<uint8_t> EncodeSz(std::string_view text) {
  std::vector<uint8_t> data;
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
  for (const auto& name : names) {
    auto one = EncodeSz(name);
    data.insert(data.end(), one.begin(), one.end());
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::vector<uint8_t> EncodeDword(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

std::string DecodeSz(const std::vector<uint8_t>& data) {
  std::string text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    unsigned unit = data[i] | (data[i + 1] << 8);
    if (unit == 0) break;
    text.push_back(unit < 0x100 ? static_cast<char>(unit) : '?');
  }
  return text;
}

std::vector<std::string> DecodeMultiSz(const std::vector<uint8_t>& data) {
  std::vector<std::string> names;
  std::string current;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    unsigned unit = data[i] | (data[i + 1] << 8);
    if (unit == 0) {
      if (current.empty()) break;
      names.push_back(current);
      current.clear();
    } else {
      current.push_back(unit < 0x100 ? static_cast<char>(unit) : '?');
    }
  }
  return names;
}

}  // namespace hostreg
