#include "host_registry/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

using hostreg::EncodeDword;
using hostreg::EncodeMultiSz;
using hostreg::EncodeSz;
using hostreg::Registry;

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST(RegistryNames, KeyAndValueNamesIgnoreCaseAndKeepTheirFirstSpelling) {
  Registry reg;
  reg.Create("System\\CurrentControlSet")->SetValue("UpperFilters", hostreg::kRegMultiSz, EncodeMultiSz({"a"}));

  hostreg::RegKey* key = reg.Open("SYSTEM\\currentcontrolset");
  ASSERT_NE(key, nullptr);
  key->SetValue("upperfilters", hostreg::kRegMultiSz, EncodeMultiSz({"b"}));

  ASSERT_EQ(key->Values().size(), 1u);
  EXPECT_EQ(key->Values()[0].name, "UpperFilters");
  EXPECT_EQ(hostreg::DecodeMultiSz(key->Values()[0].data), std::vector<std::string>{"b"});
  EXPECT_EQ(key->Path(), "System\\CurrentControlSet");
  EXPECT_EQ(reg.Create("system\\CURRENTCONTROLSET"), key);
}

TEST(RegistryNames, DeleteRemovesTheSubtreeButNeverTheRoot) {
  Registry reg;
  reg.Create("A\\B\\C");
  EXPECT_TRUE(reg.Delete("a\\b"));
  EXPECT_EQ(reg.Open("A\\B\\C"), nullptr);
  EXPECT_NE(reg.Open("A"), nullptr);
  EXPECT_FALSE(reg.Delete(""));
  EXPECT_FALSE(reg.Delete("A\\missing"));
}

TEST(RegistryStrings, MultiSzDecodingStopsAtTheEmptyStringAndKeepsAnUnterminatedLastName) {
  EXPECT_EQ(EncodeMultiSz({"ab"}), Bytes({'a', 0, 'b', 0, 0, 0, 0, 0}));
  EXPECT_EQ(hostreg::DecodeMultiSz(Bytes({'a', 0, 0, 0, 0, 0, 'x', 0, 0, 0})), std::vector<std::string>{"a"});
  EXPECT_EQ(hostreg::DecodeMultiSz(Bytes({'a', 0, 0, 0, 'b', 0})), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(hostreg::DecodeSz(EncodeSz("\xE9t\xE9")), "\xE9t\xE9");
}

// Every value type, and data that only a hex form reproduces, comes back
// byte for byte.
// Strings convert with the code page the process is set to: on 932 a
// lead byte and its trail byte are one character, 0xA1-0xDF are
// single-byte characters, and a character the code page lacks is '?'.
TEST(RegistryStrings, ConvertWithTheDoubleByteCodePage) {
  ASSERT_FALSE(hostreg::SetAnsiCodePage(65001));
  EXPECT_EQ(hostreg::AnsiCodePage(), 1252u);
  EXPECT_EQ(hostreg::UnitsToAnsi(u"\u00E9\u0100"), "\xE9?");
  ASSERT_TRUE(hostreg::SetAnsiCodePage(932));

  std::vector<uint8_t> stored = hostreg::EncodeMultiSz({"\x83\x41" "b", "\xB1"});
  EXPECT_EQ(hostreg::StoredUnits(stored), std::u16string(u"\u30A2b\0\uFF71\0\0", 6));
  EXPECT_EQ(hostreg::DecodeMultiSz(stored), (std::vector<std::string>{"\x83\x41" "b", "\xB1"}));
  EXPECT_EQ(hostreg::UnitsToAnsi(u"\u00E9x"), "?x");
  EXPECT_EQ(hostreg::AnsiToUnits("a\x83"), u"a?");  // a lead byte without its trail byte
  EXPECT_TRUE(hostreg::IsLeadByte(0x83));
  EXPECT_FALSE(hostreg::IsLeadByte(0xB1));

  hostreg::SetAnsiCodePage(1252);
}

TEST(RegistryText, RoundTripKeepsEveryValueTypeExactly) {
  Registry reg;
  hostreg::RegKey* key = reg.Create("Software\\Round");
  key->SetValue("", hostreg::kRegSz, EncodeSz("default"));
  key->SetValue("Sz", hostreg::kRegSz, EncodeSz("text"));
  key->SetValue("EmptySz", hostreg::kRegSz, EncodeSz(""));
  key->SetValue("Latin1", hostreg::kRegSz, EncodeSz("caf\xE9"));
  key->SetValue("Expand", hostreg::kRegExpandSz, EncodeSz("%SystemRoot%\\x"));
  key->SetValue("Multi", hostreg::kRegMultiSz, EncodeMultiSz({"one", "two"}));
  key->SetValue("Dword", hostreg::kRegDword, EncodeDword(0xDEADBEEF));
  key->SetValue("Binary", hostreg::kRegBinary, Bytes({0, 1, 0xFF}));
  key->SetValue("Qword", hostreg::kRegQword, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  key->SetValue("None", hostreg::kRegNone, {});
  key->SetValue("SzNoNul", hostreg::kRegSz, Bytes({'a', 0}));
  key->SetValue("SzOdd", hostreg::kRegSz, Bytes({'a', 0, 0}));
  key->SetValue("SzTwoNul", hostreg::kRegSz, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0}));
  key->SetValue("SzZero", hostreg::kRegSz, {});
  key->SetValue("SzNewline", hostreg::kRegSz, EncodeSz("a\nb"));
  key->SetValue("ShortDword", hostreg::kRegDword, Bytes({1, 2, 3}));
  key->SetValue("Surrogates", hostreg::kRegSz, Bytes({0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
  reg.Create("Software\\Round\\Child")->SetValue("X", hostreg::kRegDword, EncodeDword(1));

  std::string text = reg.ExportText();
  Registry back;
  std::string error;
  ASSERT_TRUE(back.ImportText(text, &error)) << error;

  EXPECT_EQ(back.ExportText(), text);
  const hostreg::RegKey* copy = back.Open("Software\\Round");
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(copy->Values().size(), key->Values().size());
  for (size_t i = 0; i < key->Values().size(); ++i) {
    SCOPED_TRACE(key->Values()[i].name);
    EXPECT_EQ(copy->Values()[i].name, key->Values()[i].name);
    EXPECT_EQ(copy->Values()[i].type, key->Values()[i].type);
    EXPECT_EQ(copy->Values()[i].data, key->Values()[i].data);
  }
}

TEST(RegistryText, ExportWritesRegeditsFormsAndSortsSubkeys) {
  Registry reg;
  hostreg::RegKey* key = reg.Create("Software\\Demo");
  key->SetValue("", hostreg::kRegSz, EncodeSz("Demo class"));
  key->SetValue("Path", hostreg::kRegSz, EncodeSz("C:\\dir\\\"q\""));
  key->SetValue("we\"ird\\", hostreg::kRegDword, EncodeDword(10));
  key->SetValue("Raw", hostreg::kRegBinary, Bytes({0xAB, 0x01}));
  key->SetValue("Big", hostreg::kRegQword, Bytes({1, 0, 0, 0, 0, 0, 0, 0}));
  key->SetValue("Cut", hostreg::kRegSz, Bytes({'a', 0}));
  reg.Create("Software\\Demo\\zeta");
  reg.Create("Software\\Demo\\Alpha");

  EXPECT_EQ(reg.ExportText("software\\demo"),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Demo]\n"
            "@=\"Demo class\"\n"
            "\"Path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\n"
            "\"we\\\"ird\\\\\"=dword:0000000a\n"
            "\"Raw\"=hex:ab,01\n"
            "\"Big\"=hex(b):01,00,00,00,00,00,00,00\n"
            "\"Cut\"=hex(1):61,00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Demo\\Alpha]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Demo\\zeta]\n"
            "\n");
  EXPECT_EQ(reg.ExportText("Software\\Missing"), "Windows Registry Editor Version 5.00\n\n");
}

// regedit wraps hex data after 19 bytes on the first line of a value named
// like this one and after 25 bytes on each following line.
constexpr const char* kWrappedMultiSz =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Class]\n"
    "\"LowerFilters\"=hex(7):72,00,64,00,79,00,62,00,6f,00,6f,00,73,00,74,00,00,00,6b,\\\n"
    "  00,6f,00,72,00,76,00,66,00,6c,00,74,00,31,00,00,00,6c,00,6f,00,6e,00,67,00,\\\n"
    "  6e,00,61,00,6d,00,65,00,00,00,00,00\n"
    "\n";

TEST(RegistryText, MultiSzIsWrittenAndReadAsRegeditWrapsIt) {
  Registry reg;
  reg.Create("Class")->SetValue("LowerFilters", hostreg::kRegMultiSz,
                                EncodeMultiSz({"rdyboost", "korvflt1", "longname"}));
  EXPECT_EQ(reg.ExportText("Class"), kWrappedMultiSz);

  // regedit's own files: CRLF line ends.
  std::string crlf;
  for (char c : std::string(kWrappedMultiSz)) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  Registry back;
  std::string error;
  ASSERT_TRUE(back.ImportText(crlf, &error)) << error;
  const hostreg::RegValue* value = back.Open("Class")->Value("lowerfilters");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->type, hostreg::kRegMultiSz);
  EXPECT_EQ(hostreg::DecodeMultiSz(value->data), (std::vector<std::string>{"rdyboost", "korvflt1", "longname"}));
  EXPECT_EQ(value->data.size(), 56u);
}

TEST(RegistryText, ImportDeletesKeysAndValuesAndMergesTheRest) {
  Registry reg;
  reg.Create("A\\Old\\Deep")->SetValue("v", hostreg::kRegDword, EncodeDword(1));
  reg.Create("A")->SetValue("Gone", hostreg::kRegDword, EncodeDword(2));
  reg.Create("A")->SetValue("Kept", hostreg::kRegDword, EncodeDword(3));

  std::string error;
  ASSERT_TRUE(reg.ImportText("Windows Registry Editor Version 5.00\n"
                             "; a comment\n"
                             "[-HKEY_LOCAL_MACHINE\\A\\Old]\n"
                             "[hkey_local_machine\\a]\n"
                             "\"Gone\"=-\n"
                             "\"New\" = \"x\"\n"
                             "@=dword:1\n",
                             &error))
      << error;

  EXPECT_EQ(reg.ExportText(),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\A]\n"
            "\"Kept\"=dword:00000003\n"
            "\"New\"=\"x\"\n"
            "@=dword:00000001\n"
            "\n");
}

struct BadText {
  const char* what;
  const char* text;
  const char* error;
};

void PrintTo(const BadText& bad, std::ostream* os) { *os << bad.what; }

class RegistryBadText : public testing::TestWithParam<BadText> {};

TEST_P(RegistryBadText, IsReportedWithItsLineAndNothingIsApplied) {
  Registry reg;
  reg.Create("Keep")->SetValue("v", hostreg::kRegDword, EncodeDword(7));
  std::string before = reg.ExportText();

  std::string error;
  EXPECT_FALSE(reg.ImportText(GetParam().text, &error));

  EXPECT_EQ(error, GetParam().error);
  EXPECT_EQ(reg.ExportText(), before);
}

constexpr const char* kGood =
    "Windows Registry Editor Version 5.00\n"
    "[-HKEY_LOCAL_MACHINE\\Keep]\n"
    "[HKEY_LOCAL_MACHINE\\New]\n"
    "\"ok\"=dword:1\n";

const BadText kBadTexts[] = {
    {"NoHeader", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n",
     "line 1: expected the header \"Windows Registry Editor Version 5.00\""},
    {"ValueBeforeKey", "Windows Registry Editor Version 5.00\n\"v\"=dword:1\n",
     "line 2: value before the first [key] line"},
    {"OtherRoot", "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n",
     "line 2: only keys below HKEY_LOCAL_MACHINE are supported, not \"HKEY_CURRENT_USER\""},
    {"DeleteRoot", "Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE]\n",
     "line 2: the root key cannot be deleted"},
    {"UnclosedKey", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X\n",
     "line 2: key line without its closing ]"},
    {"UnknownEscape", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=\"a\\tb\"\n",
     "line 3: unknown escape in a quoted string (only \\\\ and \\\" are allowed)"},
    {"UnclosedString", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=\"abc\n",
     "line 3: quoted string without its closing quote"},
    {"TextAfterString", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=\"a\" b\n",
     "line 3: text after the closing quote"},
    {"LongDword", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:123456789\n",
     "line 3: dword: needs 1 to 8 hex digits"},
    {"BadByte", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=hex:01,zz\n",
     "line 3: bad byte \"zz\" in hex data"},
    {"BadHexType", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=hex(q):01\n",
     "line 3: hex(N): needs a hex type number"},
    {"ContinuationAtEnd", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=hex(7):61,00,\\\n",
     "line 3: line continuation runs past the end"},
    {"NoEquals", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\" dword:1\n",
     "line 3: expected = after the value name"},
    {"UnknownData", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=word:1\n",
     "line 3: unknown data form (expected \"text\", dword:, hex:, hex(N): or -)"},
    {"ValueUnderDeletedKey", "Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:1\n",
     "line 3: value under a key that this text deletes"},
    {"WideName", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\\xE2\x82\xAC]\n",
     "line 2: character U+20AC has no ANSI form in a name"},
    {"Garbage", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\nvalue=1\n",
     "line 3: expected a [key] or a value line"},
};

INSTANTIATE_TEST_SUITE_P(Malformed, RegistryBadText, testing::ValuesIn(kBadTexts),
                         [](const testing::TestParamInfo<BadText>& param_info) { return std::string(param_info.param.what); });

// Valid lines before the bad one must not reach the tree either.
TEST(RegistryBadTextAfterGoodLines, LaterErrorKeepsEarlierLinesFromTheTree) {
  Registry reg;
  reg.Create("Keep")->SetValue("v", hostreg::kRegDword, EncodeDword(7));
  std::string before = reg.ExportText();

  std::string error;
  EXPECT_FALSE(reg.ImportText(std::string(kGood) + "\"bad\"=hex:100\n", &error));

  EXPECT_EQ(error, "line 5: bad byte \"100\" in hex data");
  EXPECT_EQ(reg.ExportText(), before);
}

class RegistryFile : public testing::Test {
 protected:
  void TearDown() override { std::remove(path_.c_str()); }
  // CTest runs each case as a process of its own, in parallel: one file
  // per process, or one case's TearDown removes another's file.
  std::string path_ = testing::TempDir() + "host_registry_test-" + std::to_string(getpid()) + ".reg";
};

TEST_F(RegistryFile, SaveThenLoadReplacesTheTreeWithTheFile) {
  Registry reg;
  reg.Create("Saved")->SetValue("Multi", hostreg::kRegMultiSz, EncodeMultiSz({"a", "b"}));
  std::string error;
  ASSERT_TRUE(reg.SaveFile(path_, &error)) << error;

  Registry other;
  other.Create("Stale");
  ASSERT_TRUE(other.LoadFile(path_, &error)) << error;

  EXPECT_EQ(other.ExportText(), reg.ExportText());
  EXPECT_EQ(other.Open("Stale"), nullptr);
}

TEST_F(RegistryFile, LoadsRegeditsUtf16FileWithByteOrderMark) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\W]\r\n\"Name\"=\"caf\xC3\xA9\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    uint32_t cp = c;
    if (c == 0xC3) cp = 0xC0 | (static_cast<unsigned char>(text[++i]) & 0x3F);
    bytes += static_cast<char>(cp & 0xFF);
    bytes += static_cast<char>(cp >> 8);
  }
  std::ofstream(path_, std::ios::binary) << bytes;

  Registry reg;
  std::string error;
  ASSERT_TRUE(reg.LoadFile(path_, &error)) << error;

  EXPECT_EQ(reg.Open("W")->Value("Name")->data, EncodeSz("caf\xE9"));
}

TEST_F(RegistryFile, BadFileLeavesTheTreeAsItWas) {
  std::ofstream(path_, std::ios::binary) << "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=\n";
  Registry reg;
  reg.Create("Keep");
  std::string before = reg.ExportText();

  std::string error;
  EXPECT_FALSE(reg.LoadFile(path_, &error));

  EXPECT_EQ(error, path_ + ": line 3: unknown data form (expected \"text\", dword:, hex:, hex(N): or -)");
  EXPECT_EQ(reg.ExportText(), before);
}

}  // namespace
