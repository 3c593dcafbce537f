// regedit text ("Windows Registry Editor Version 5.00") export and import.
//
// Export writes what regedit writes: subkeys in the order RegEnumKeyEx
// gives them (sorted, ignoring case), values in creation order, REG_SZ as
// a quoted string when its data is a well-formed terminated string,
// REG_DWORD of 4 bytes as dword:, everything else as hex bytes wrapped the
// way regedit wraps them. Anything that would not come back byte for byte
// from the quoted form goes out as hex(1): instead, so a round trip is
// exact. Text is UTF-8 with "\n" line ends; import also takes "\r\n",
// a UTF-8 byte order mark, and (LoadFile) UTF-16LE files as regedit saves
// them.
//
// Import parses the whole text first and changes the tree only when all
// of it is valid: a bad line is reported with its number and nothing of
// the text is applied.
#include "registry.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace hostreg {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
// regedit breaks a hex line once it reaches this many characters.
constexpr size_t kHexLineBreak = 77;

// ------------------------------------------------------------ UTF-8

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one code point at pos and advances; false on malformed input.
bool NextUtf8(std::string_view text, size_t& pos, uint32_t& cp) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(pos);
  size_t extra;
  uint32_t min;
  if (lead < 0x80) {
    cp = lead;
    ++pos;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
    min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
    min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
    min = 0x10000;
  } else {
    return false;
  }
  if (pos + extra >= text.size()) return false;
  for (size_t i = 1; i <= extra; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return false;
  pos += extra + 1;
  return true;
}

// ANSI (bytes = code points 0-255) to UTF-8 and back.
std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  for (char c : ansi) AppendUtf8(out, static_cast<uint8_t>(c));
  return out;
}

bool Utf8ToAnsi(std::string_view text, std::string* ansi, std::string* why) {
  ansi->clear();
  size_t pos = 0;
  while (pos < text.size()) {
    uint32_t cp = 0;
    if (!NextUtf8(text, pos, cp)) {
      *why = "invalid UTF-8";
      return false;
    }
    if (cp > 0xFF) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "character U+%04X has no ANSI form in a name", static_cast<unsigned>(cp));
      *why = buf;
      return false;
    }
    ansi->push_back(static_cast<char>(cp));
  }
  return true;
}

void PushUnit(std::vector<uint8_t>& data, uint32_t unit) {
  data.push_back(static_cast<uint8_t>(unit));
  data.push_back(static_cast<uint8_t>(unit >> 8));
}

bool Utf8ToUtf16Sz(std::string_view text, std::vector<uint8_t>* data) {
  data->clear();
  size_t pos = 0;
  while (pos < text.size()) {
    uint32_t cp = 0;
    if (!NextUtf8(text, pos, cp)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      PushUnit(*data, 0xD800 + (cp >> 10));
      PushUnit(*data, 0xDC00 + (cp & 0x3FF));
    } else {
      PushUnit(*data, cp);
    }
  }
  PushUnit(*data, 0);
  return true;
}

// The string a REG_SZ value holds, when its data is exactly one
// terminated string that the quoted form reproduces; false otherwise.
bool QuotableSz(const std::vector<uint8_t>& data, std::string* utf8) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  size_t units = data.size() / 2;
  auto unit = [&](size_t i) { return static_cast<uint32_t>(data[2 * i] | (data[2 * i + 1] << 8)); };
  if (unit(units - 1) != 0) return false;
  utf8->clear();
  for (size_t i = 0; i + 1 < units; ++i) {
    uint32_t u = unit(i);
    if (u == 0 || u == '\r' || u == '\n') return false;
    if (u >= 0xDC00 && u < 0xE000) return false;
    if (u >= 0xD800 && u < 0xDC00) {
      if (i + 2 >= units) return false;
      uint32_t low = unit(i + 1);
      if (low < 0xDC00 || low >= 0xE000) return false;
      u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    AppendUtf8(*utf8, u);
  }
  return true;
}

// ----------------------------------------------------------- export

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

void ExportHex(std::string& out, size_t line_len, uint32_t type, const std::vector<uint8_t>& data) {
  char prefix[24];
  if (type == kRegBinary) {
    std::snprintf(prefix, sizeof prefix, "hex:");
  } else {
    std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
  }
  out += prefix;
  line_len += std::string_view(prefix).size();
  for (size_t i = 0; i < data.size(); ++i) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned>(data[i]));
    out += byte;
    if (i + 1 == data.size()) break;
    out += ',';
    line_len += 3;
    if (line_len >= kHexLineBreak) {
      out += "\\\n  ";
      line_len = 2;
    }
  }
}

void ExportValue(std::string& out, const RegValue& value) {
  size_t line_len;
  if (value.name.empty()) {
    out += "@=";
    line_len = 2;
  } else {
    std::string escaped = Escape(value.name);
    out += '"';
    out += AnsiToUtf8(escaped);
    out += "\"=";
    line_len = escaped.size() + 3;
  }
  std::string text;
  if (value.type == kRegSz && QuotableSz(value.data, &text)) {
    out += '"';
    out += Escape(text);
    out += '"';
  } else if (value.type == kRegDword && value.data.size() == 4) {
    char buf[16];
    uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                 (static_cast<uint32_t>(value.data[3]) << 24);
    std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v));
    out += buf;
  } else {
    ExportHex(out, line_len, value.type, value.data);
  }
  out += '\n';
}

std::string UpperAscii(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

void ExportKey(std::string& out, const RegKey& key) {
  std::string path = key.Path();
  out += '\n';
  out += '[';
  out += kRootName;
  if (!path.empty()) {
    out += '\\';
    out += AnsiToUtf8(path);
  }
  out += "]\n";
  for (const RegValue& value : key.Values()) ExportValue(out, value);

  std::vector<const RegKey*> children;
  for (const auto& sub : key.Subkeys()) children.push_back(sub.get());
  std::stable_sort(children.begin(), children.end(), [](const RegKey* a, const RegKey* b) {
    return UpperAscii(a->Name()) < UpperAscii(b->Name());
  });
  for (const RegKey* child : children) ExportKey(out, *child);
}

const RegKey* FindKey(const RegKey* root, std::string_view path) {
  const RegKey* key = root;
  size_t start = 0;
  while (key != nullptr && start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) key = key->Subkey(path.substr(start, end - start));
    start = end + 1;
  }
  return key;
}

// ----------------------------------------------------------- import

struct Op {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
  std::string path;
  std::string name;
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
};

std::string_view TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

std::string_view TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) --n;
  return s.substr(0, n);
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 8 hex digits, nothing else.
bool ParseHex32(std::string_view s, uint32_t* value) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

class Parser {
 public:
  explicit Parser(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);  // no line after the last
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      lines_.push_back(TrimRight(text.substr(start, end - start)));
      start = end + 1;
    }
  }

  bool Parse(std::vector<Op>* ops, std::string* error) {
    size_t i = 0;
    while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
    if (i == lines_.size() || Trim(lines_[i]) != kHeader) {
      return Fail(i < lines_.size() ? i : 0, "expected the header \"" + std::string(kHeader) + "\"", error);
    }
    bool have_key = false;
    bool key_deleted = false;
    std::string key_path;
    for (++i; i < lines_.size(); ++i) {
      std::string_view line = TrimLeft(lines_[i]);
      if (line.empty() || line[0] == ';') continue;
      std::string why;
      if (line[0] == '[') {
        Op op{Op::kCreateKey, {}, {}, kRegNone, {}};
        if (!ParseKeyLine(line, &op, &why)) return Fail(i, why, error);
        have_key = true;
        key_deleted = op.kind == Op::kDeleteKey;
        key_path = op.path;
        ops->push_back(std::move(op));
        continue;
      }
      if (line[0] != '"' && line[0] != '@') return Fail(i, "expected a [key] or a value line", error);
      if (!have_key) return Fail(i, "value before the first [key] line", error);
      if (key_deleted) return Fail(i, "value under a key that this text deletes", error);
      size_t first = i;
      std::string joined;
      if (!JoinContinuations(&i, &joined)) return Fail(first, "line continuation runs past the end", error);
      Op op{Op::kSetValue, key_path, {}, kRegNone, {}};
      if (!ParseValueLine(joined, &op, &why)) return Fail(first, why, error);
      ops->push_back(std::move(op));
    }
    return true;
  }

 private:
  bool Fail(size_t index, const std::string& why, std::string* error) const {
    if (error != nullptr) *error = "line " + std::to_string(index + 1) + ": " + why;
    return false;
  }

  // A value's line and the lines that continue it: hex data that ends in
  // "\" goes on on the next line (a quoted string ends in its quote).
  bool JoinContinuations(size_t* index, std::string* joined) const {
    joined->assign(TrimLeft(lines_[*index]));
    size_t pos = 0;
    std::string name;
    std::string ignored;
    if ((*joined)[0] == '"' && !ParseQuoted(*joined, &pos, &name, &ignored)) return true;
    if ((*joined)[0] == '@') pos = 1;
    std::string_view data = TrimLeft(std::string_view(*joined).substr(pos));
    if (data.empty() || data[0] != '=' || TrimLeft(data.substr(1)).substr(0, 3) != "hex") return true;
    while (!joined->empty() && joined->back() == '\\') {
      joined->pop_back();
      if (++*index >= lines_.size()) return false;
      *joined += Trim(lines_[*index]);
    }
    return true;
  }

  static bool ParseKeyLine(std::string_view line, Op* op, std::string* why) {
    if (line.back() != ']') {
      *why = "key line without its closing ]";
      return false;
    }
    std::string_view inner = line.substr(1, line.size() - 2);
    op->kind = Op::kCreateKey;
    if (!inner.empty() && inner[0] == '-') {
      op->kind = Op::kDeleteKey;
      inner.remove_prefix(1);
    }
    size_t sep = inner.find('\\');
    std::string_view root = inner.substr(0, sep);
    if (UpperAscii(root) != kRootName) {
      *why = "only keys below " + std::string(kRootName) + " are supported, not \"" + std::string(root) + "\"";
      return false;
    }
    std::string_view rest = sep == std::string_view::npos ? std::string_view() : inner.substr(sep + 1);
    if (!Utf8ToAnsi(rest, &op->path, why)) return false;
    bool empty_path = std::all_of(op->path.begin(), op->path.end(), [](char c) { return c == '\\'; });
    if (op->kind == Op::kDeleteKey && empty_path) {
      *why = "the root key cannot be deleted";
      return false;
    }
    return true;
  }

  // A quoted name or string from pos (at the opening quote) with the
  // escapes \\ and \"; pos ends behind the closing quote.
  static bool ParseQuoted(std::string_view s, size_t* pos, std::string* out, std::string* why) {
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); ++i) {
      char c = s[i];
      if (c == '"') {
        *pos = i + 1;
        return true;
      }
      if (c == '\\') {
        if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
          *why = "unknown escape in a quoted string (only \\\\ and \\\" are allowed)";
          return false;
        }
        c = s[++i];
      }
      out->push_back(c);
    }
    *why = "quoted string without its closing quote";
    return false;
  }

  static bool ParseValueLine(std::string_view line, Op* op, std::string* why) {
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else {
      std::string name;
      if (!ParseQuoted(line, &pos, &name, why)) return false;
      if (!Utf8ToAnsi(name, &op->name, why)) return false;
      if (op->name.empty()) {
        *why = "empty value name (the default value is written @)";
        return false;
      }
    }
    std::string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest[0] != '=') {
      *why = "expected = after the value name";
      return false;
    }
    std::string_view data = Trim(rest.substr(1));
    if (data == "-") {
      op->kind = Op::kDeleteValue;
      return true;
    }
    if (!data.empty() && data[0] == '"') {
      size_t end = 0;
      std::string text;
      if (!ParseQuoted(data, &end, &text, why)) return false;
      if (!Trim(data.substr(end)).empty()) {
        *why = "text after the closing quote";
        return false;
      }
      op->type = kRegSz;
      if (!Utf8ToUtf16Sz(text, &op->data)) {
        *why = "invalid UTF-8 in string data";
        return false;
      }
      return true;
    }
    if (data.substr(0, 6) == "dword:") {
      uint32_t v = 0;
      if (!ParseHex32(data.substr(6), &v)) {
        *why = "dword: needs 1 to 8 hex digits";
        return false;
      }
      op->type = kRegDword;
      op->data = EncodeDword(v);
      return true;
    }
    if (data.substr(0, 4) == "hex:") {
      op->type = kRegBinary;
      return ParseBytes(data.substr(4), &op->data, why);
    }
    if (data.substr(0, 4) == "hex(") {
      size_t close = data.find("):");
      if (close == std::string_view::npos || !ParseHex32(data.substr(4, close - 4), &op->type)) {
        *why = "hex(N): needs a hex type number";
        return false;
      }
      return ParseBytes(data.substr(close + 2), &op->data, why);
    }
    *why = "unknown data form (expected \"text\", dword:, hex:, hex(N): or -)";
    return false;
  }

  static bool ParseBytes(std::string_view list, std::vector<uint8_t>* data, std::string* why) {
    data->clear();
    list = Trim(list);
    if (list.empty()) return true;
    if (list.back() == ',') list.remove_suffix(1);  // regedit tolerates one trailing comma
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(',', start);
      if (end == std::string_view::npos) end = list.size();
      std::string_view token = Trim(list.substr(start, end - start));
      uint32_t byte = 0;
      if (token.size() > 2 || !ParseHex32(token, &byte)) {
        *why = "bad byte \"" + std::string(token) + "\" in hex data";
        return false;
      }
      data->push_back(static_cast<uint8_t>(byte));
      start = end + 1;
    }
    return true;
  }

  std::vector<std::string_view> lines_;
};

bool Utf16FileToUtf8(const std::string& bytes, std::string* text) {
  text->clear();
  if (bytes.size() % 2 != 0) return false;
  for (size_t i = 2; i < bytes.size(); i += 2) {
    uint32_t u = static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
    if (u >= 0xD800 && u < 0xDC00) {
      if (i + 3 >= bytes.size()) return false;
      uint32_t low = static_cast<uint8_t>(bytes[i + 2]) | (static_cast<uint8_t>(bytes[i + 3]) << 8);
      if (low < 0xDC00 || low >= 0xE000) return false;
      u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (u >= 0xDC00 && u < 0xE000) {
      return false;
    }
    AppendUtf8(*text, u);
  }
  return true;
}

}  // namespace

std::string Registry::ExportText(std::string_view path) const {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  std::string out(kHeader);
  out += '\n';
  if (const RegKey* key = FindKey(&root_, path)) ExportKey(out, *key);
  out += '\n';
  return out;
}

namespace {

void Apply(Registry& registry, const std::vector<Op>& ops) {
  for (const Op& op : ops) {
    switch (op.kind) {
      case Op::kCreateKey:
        registry.Create(op.path);
        break;
      case Op::kDeleteKey:
        registry.Delete(op.path);
        break;
      case Op::kSetValue:
        registry.Create(op.path)->SetValue(op.name, op.type, op.data);
        break;
      case Op::kDeleteValue:
        if (RegKey* key = registry.Open(op.path)) key->DeleteValue(op.name);
        break;
    }
  }
}

}  // namespace

bool Registry::ImportText(std::string_view text, std::string* error) {
  std::vector<Op> ops;
  if (!Parser(text).Parse(&ops, error)) return false;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  Apply(*this, ops);
  return true;
}

bool Registry::LoadFile(const std::string& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (error != nullptr) *error = file + ": cannot open";
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  std::string bytes = buffer.str();
  std::string text;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    if (!Utf16FileToUtf8(bytes, &text)) {
      if (error != nullptr) *error = file + ": malformed UTF-16 text";
      return false;
    }
  } else {
    text = std::move(bytes);
  }
  std::vector<Op> ops;
  std::string why;
  if (!Parser(text).Parse(&ops, &why)) {
    if (error != nullptr) *error = file + ": " + why;
    return false;
  }
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  Clear();
  Apply(*this, ops);
  return true;
}

bool Registry::SaveFile(const std::string& file, std::string* error) const {
  std::string text = ExportText();
  // Written beside the target and renamed over it, so a failed write never
  // leaves a half-written machine behind.
  std::string temp = file + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) {
      if (error != nullptr) *error = temp + ": cannot write";
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), file.c_str()) != 0) {
    if (error != nullptr) *error = file + ": cannot replace";
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace hostreg
