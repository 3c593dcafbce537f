// The simulated machine's configuration registry: one tree under
// HKEY_LOCAL_MACHINE, shared by the simulated kernel (Zw* calls, the Plug
// and Play manager) and the simulated Win32 side (Reg*, SetupDi*).
//
// Key and value names are compared without regard to ASCII case. String
// data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is stored as the kernel stores
// it: UTF-16LE bytes with their terminators; the ANSI Win32 calls convert.
// The tree loads from and saves to the text format of regedit exports
// ("Windows Registry Editor Version 5.00").
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace hostreg {

// Value types, numbered as Windows numbers them.
enum : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

struct RegValue {
  std::string name;  // empty for the key's default value
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
};

class RegKey {
 public:
  explicit RegKey(std::string name, RegKey* parent = nullptr);
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  const std::string& Name() const { return name_; }
  RegKey* Parent() const { return parent_; }
  std::string Path() const;  // below HKEY_LOCAL_MACHINE, "\\"-separated

  RegKey* Subkey(std::string_view name) const;   // null when absent
  RegKey* CreateSubkey(std::string_view name);   // existing or new
  bool DeleteSubkey(std::string_view name);      // with everything below
  const std::vector<std::unique_ptr<RegKey>>& Subkeys() const { return subkeys_; }

  const RegValue* Value(std::string_view name) const;  // null when absent
  void SetValue(std::string_view name, uint32_t type, std::vector<uint8_t> data);
  bool DeleteValue(std::string_view name);
  const std::vector<RegValue>& Values() const { return values_; }
  void Clear();  // every value and subkey

 private:
  std::string name_;
  RegKey* parent_;
  std::vector<std::unique_ptr<RegKey>> subkeys_;  // in creation order
  std::vector<RegValue> values_;                  // in creation order
};

class Registry {
 public:
  Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The registry of the simulated machine this process runs.
  static Registry& Machine();

  // Every caller holds this lock while it reads or changes the tree or
  // keeps a RegKey pointer.
  std::recursive_mutex& Mutex() { return mutex_; }

  RegKey* Root() { return &root_; }                  // HKEY_LOCAL_MACHINE
  RegKey* Open(std::string_view path);               // null when absent
  RegKey* Create(std::string_view path);             // with every missing parent
  bool Delete(std::string_view path);                // key and subtree
  void Clear();

  // regedit text: "Windows Registry Editor Version 5.00", keys as
  // [HKEY_LOCAL_MACHINE\...], values as "name"="text", dword:, hex:,
  // hex(2): and hex(7): (UTF-16LE bytes), hex(N): for other types.
  // ExportText writes the subtree at path ("" for all of it), as UTF-8
  // with "\n" line ends; an absent path gives the header alone.
  // ImportText merges the text into the tree as regedit imports it
  // ([-key] and "name"=- delete); LoadFile replaces the whole tree with
  // the file's contents (UTF-8 or regedit's UTF-16LE). Both check all of
  // the text first: on an error (reported as "line N: why") the tree is
  // left exactly as it was.
  std::string ExportText(std::string_view path = "") const;
  bool ImportText(std::string_view text, std::string* error);
  bool LoadFile(const std::string& file, std::string* error);
  bool SaveFile(const std::string& file, std::string* error) const;  // ExportText's text

 private:
  mutable std::recursive_mutex mutex_;
  RegKey root_;
};

// The ANSI code page of the simulated process, which the ANSI Win32 calls
// and the string helpers below convert with: 1252 (the default; each byte
// stands for the code point of its value, U+0000-U+00FF) or one of the
// double-byte code pages 932, 936, 949 and 950, whose lead bytes start a
// two-byte character. A character without an ANSI form becomes '?', a
// byte sequence without a character U+003F as well.
bool SetAnsiCodePage(uint32_t codePage);  // false, and unchanged, for any other
uint32_t AnsiCodePage();
bool IsLeadByte(uint8_t byte);  // in the current code page
std::u16string AnsiToUnits(std::string_view text);  // every byte, NULs included
// False when some byte sequence is no character of the code page (a lone
// lead byte, an undefined pair), which AnsiToUnits turns into '?'.
bool AnsiIsText(std::string_view text);
std::string UnitsToAnsi(std::u16string_view units);  // every unit, NULs included

// String data helpers: ANSI text in the current code page to and from the
// stored UTF-16LE form.
std::vector<uint8_t> EncodeSz(std::string_view text);                // with NUL
std::vector<uint8_t> EncodeMultiSz(const std::vector<std::string>& names);
std::vector<uint8_t> EncodeDword(uint32_t value);
std::string DecodeSz(const std::vector<uint8_t>& data);              // up to the first NUL
std::vector<std::string> DecodeMultiSz(const std::vector<uint8_t>& data);
// The stored bytes as UTF-16 units; an odd last byte is left out.
std::u16string StoredUnits(const std::vector<uint8_t>& data);

}  // namespace hostreg
