#include "setup/guid_config.h"

#include "machine_fixture.h"

namespace setup_test {
namespace {

std::vector<std::string> Texts(const korvset::PtrArray<GUID>& list) {
  std::vector<std::string> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(hostwin32::GuidText(*list.At(i)));
  return out;
}

const std::vector<std::string> kBusBuiltins = {kIde, kScsi, kUsb, kSbp2};
const std::vector<std::string> kClassBuiltins = {kDisk, kCdrom, kTape, kImage, kChanger};
constexpr const char* kExtraA = "{11111111-2222-3333-4444-555555555555}";
constexpr const char* kExtraB = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";

std::vector<std::string> Plus(std::vector<std::string> list, std::initializer_list<std::string> more) {
  list.insert(list.end(), more);
  return list;
}

class GuidConfigTest : public MachineTest {
 protected:
  void Start() { app_.Startup(); }
  korvset::SetupApp app_;
};

TEST_F(GuidConfigTest, WithoutTheKeyTheListsHoldTheBuiltinsInTableOrder) {
  Start();
  EXPECT_EQ(Texts(app_.BusGuids), kBusBuiltins);
  EXPECT_EQ(Texts(app_.ClassGuids), kClassBuiltins);
}

TEST_F(GuidConfigTest, ReadingStopsAtTheFirstMissingNumber) {
  Given(Key(kGuidsPath) + Sz("BusGuid0", kExtraA) + Sz("BusGuid2", kExtraB));
  Start();
  EXPECT_EQ(Texts(app_.BusGuids), Plus(kBusBuiltins, {kExtraA}));
}

TEST_F(GuidConfigTest, DuplicatesInAnyCaseAreSkippedAndReadingGoesOn) {
  Given(Key(kGuidsPath) + Sz("ClassGuid0", "{4d36e967-e325-11ce-bfc1-08002be10318}") + Sz("ClassGuid1", kExtraB) +
        Sz("ClassGuid2", "{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}") + Sz("ClassGuid3", kExtraA));
  Start();
  EXPECT_EQ(Texts(app_.ClassGuids), Plus(kClassBuiltins, {kExtraB, kExtraA}));
}

TEST_F(GuidConfigTest, MalformedTextsAreSkippedAndReadingGoesOn) {
  Given(Key(kGuidsPath) + Sz("BusGuid0", "11111111-2222-3333-4444-555555555555") +
        Sz("BusGuid1", "{11111111-2222-3333-4444-5555555555}") + Sz("BusGuid2", "{1111111x-2222-3333-4444-555555555555}") +
        Sz("BusGuid3", "") + Sz("BusGuid4", std::string(kExtraB) + "}") + Sz("BusGuid5", kExtraA));
  Start();
  EXPECT_EQ(Texts(app_.BusGuids), Plus(kBusBuiltins, {kExtraA}));
}

TEST_F(GuidConfigTest, ValueOfAnotherTypeEndsTheList) {
  Given(Key(kGuidsPath) + Sz("BusGuid0", kExtraA) + Dword("BusGuid1", 1) + Sz("BusGuid2", kExtraB) +
        Sz("ClassGuid0", kExtraB) + "\"ClassGuid1\"=hex(2):41,00,00,00\n" + Sz("ClassGuid2", kExtraA));
  Start();
  EXPECT_EQ(Texts(app_.BusGuids), Plus(kBusBuiltins, {kExtraA}));
  EXPECT_EQ(Texts(app_.ClassGuids), Plus(kClassBuiltins, {kExtraB}));
}

// 260 characters fill the read buffer without a terminator: no GUID text,
// skipped like any other; 261 do not fit and end the list.
TEST_F(GuidConfigTest, ValueFillingTheWholeBufferIsSkippedAndALongerOneEndsTheList) {
  hostreg::RegKey* key = hostreg::Registry::Machine().Create(kGuidsPath);
  std::vector<uint8_t> full;
  for (int i = 0; i < 260; ++i) full.insert(full.end(), {'{', 0});
  key->SetValue("BusGuid0", hostreg::kRegSz, full);
  key->SetValue("BusGuid1", hostreg::kRegSz, hostreg::EncodeSz(kExtraA));
  std::vector<uint8_t> longer = full;
  longer.insert(longer.end(), {'}', 0});
  key->SetValue("ClassGuid0", hostreg::kRegSz, longer);
  key->SetValue("ClassGuid1", hostreg::kRegSz, hostreg::EncodeSz(kExtraB));

  Start();

  EXPECT_EQ(Texts(app_.BusGuids), Plus(kBusBuiltins, {kExtraA}));
  EXPECT_EQ(Texts(app_.ClassGuids), kClassBuiltins);
}

TEST_F(GuidConfigTest, ShutdownEmptiesBothLists) {
  Given(Key(kGuidsPath) + Sz("BusGuid0", kExtraA));
  Start();
  app_.Shutdown();
  EXPECT_EQ(app_.BusGuids.Count(), 0);
  EXPECT_EQ(app_.ClassGuids.Count(), 0);
}

// --------------------------------------------------------------- parsing

struct FieldCase {
  const char* text;
  int ok;
  uint32_t value;
};

class HexField : public testing::TestWithParam<FieldCase> {};

TEST_P(HexField, ParsesTheDigitsLeftAfterTrimming) {
  uint32_t value = 0xDEAD;
  EXPECT_EQ(korvset::ParseHexField(GetParam().text, &value), GetParam().ok);
  EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Cases, HexField,
                         testing::Values(FieldCase{"0000001h", 1, 0x1}, FieldCase{" 4D36E96", 1, 0x4D36E96},
                                         FieldCase{"12  ", 1, 0x12}, FieldCase{"1h h ", 1, 0x1},
                                         FieldCase{"ffffFFFF", 1, 0xFFFFFFFF}, FieldCase{"    ", 0, 0},
                                         FieldCase{"hh", 0, 0}, FieldCase{"", 0, 0}, FieldCase{"1H", 0, 0},
                                         FieldCase{"1 2", 0, 0}, FieldCase{"-1", 0, 0},
                                         FieldCase{"\xE9", 0, 0}));

TEST(GuidText, DashPositionsAreNotExamined) {
  GUID guid{};
  ASSERT_EQ(korvset::ParseGuidString("{4D36E967xE325y11CEzBFC1#08002BE10318}", &guid), 1);
  EXPECT_EQ(hostwin32::GuidText(guid), kDisk);
}

TEST(GuidText, FieldsMayCarrySpacesAndATrailingH) {
  GUID guid{};
  ASSERT_EQ(korvset::ParseGuidString("{0000001h- 325-11  -BFC1-08002BE1031h}", &guid), 1);
  EXPECT_EQ(hostwin32::GuidText(guid), "{00000001-0325-0011-BFC1-08002BE10301}");
}

TEST(GuidText, RejectsWrongLengthBracesAndEmptyFields) {
  GUID guid{};
  EXPECT_EQ(korvset::ParseGuidString("{4D36E967-E325-11CE-BFC1-08002BE10318", &guid), 0);
  EXPECT_EQ(korvset::ParseGuidString("(4D36E967-E325-11CE-BFC1-08002BE10318)", &guid), 0);
  EXPECT_EQ(korvset::ParseGuidString("{4D36E967-E325-11CE-BFC1-08002BE103188}", &guid), 0);
  // 39 characters whose first 38 are a valid GUID text, braces in place.
  EXPECT_EQ(korvset::ParseGuidString("{4D36E967-E325-11CE-BFC1-08002BE10318}}", &guid), 0);
  EXPECT_EQ(korvset::ParseGuidString("{4D36E967-E325-11CE-  C1-08002BE10318}", &guid), 0);
  EXPECT_EQ(korvset::ParseGuidString(nullptr, &guid), 0);
}

TEST(GuidText, HexDigitValues) {
  EXPECT_EQ(korvset::HexDigitValue('0'), 0);
  EXPECT_EQ(korvset::HexDigitValue('9'), 9);
  EXPECT_EQ(korvset::HexDigitValue('a'), 10);
  EXPECT_EQ(korvset::HexDigitValue('F'), 15);
  EXPECT_EQ(korvset::HexDigitValue('g'), -1);
  EXPECT_EQ(korvset::HexDigitValue(' '), -1);
  EXPECT_EQ(korvset::HexDigitValue('\xB5'), -1);
}

}  // namespace
}  // namespace setup_test
