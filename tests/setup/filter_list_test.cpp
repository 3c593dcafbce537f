#include "setup/filter_list.h"

#include <cstdlib>
#include <cstring>

#include "machine_fixture.h"
#include "setup/ansi_string.h"
#include "setup/ptr_array.h"

namespace setup_test {
namespace {

using korvset::FilterListContains;
using korvset::FilterListPrepend;
using korvset::FilterListRemoveAll;
using korvset::FilterListSize;

// A heap list from bytes written out in full, NULs included.
char* List(const std::string& bytes) {
  char* list = static_cast<char*>(std::malloc(bytes.size()));
  std::memcpy(list, bytes.data(), bytes.size());
  return list;
}

std::string Bytes(const char* list) { return std::string(list, FilterListSize(list)); }

// ---------------------------------------------------------------- buffers

TEST(FilterListBuffer, SizeCountsEveryNameWithItsNulAndTheFinalNul) {
  EXPECT_EQ(FilterListSize(std::string("\0", 1).c_str()), 1u);
  EXPECT_EQ(FilterListSize(std::string("a\0\0", 3).c_str()), 3u);
  EXPECT_EQ(FilterListSize(std::string("ab\0xyz\0\0", 8).c_str()), 8u);
  // Whatever follows the first empty name is not part of the list.
  EXPECT_EQ(FilterListSize(std::string("a\0\0junk\0\0", 10).c_str()), 3u);
}

TEST(FilterListBuffer, ContainsComparesWithoutCaseAndRejectsNulls) {
  std::string list("partmgr\0korvflt1\0\0", 18);
  EXPECT_EQ(FilterListContains(list.c_str(), "KORVFLT1"), 1);
  EXPECT_EQ(FilterListContains(list.c_str(), "korvflt"), 0);
  EXPECT_EQ(FilterListContains(nullptr, "a"), 0);
  EXPECT_EQ(FilterListContains(list.c_str(), nullptr), 0);
  EXPECT_EQ(FilterListContains(std::string("\0", 1).c_str(), ""), 0);
}

struct RemoveCase {
  const char* what;
  std::string before;
  const char* name;
  int removed;
  int newSize;
  std::string after;
};

class FilterListRemove : public testing::TestWithParam<RemoveCase> {};

TEST_P(FilterListRemove, RemovesEveryOccurrenceInPlace) {
  const RemoveCase& c = GetParam();
  char* list = List(c.before);
  int newSize = -1;

  EXPECT_EQ(FilterListRemoveAll(c.name, list, &newSize), c.removed);

  EXPECT_EQ(newSize, c.newSize);
  EXPECT_EQ(Bytes(list), c.after);
  std::free(list);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterListRemove,
    testing::Values(RemoveCase{"AnyCaseTwice", std::string("a\0b\0A\0\0", 7), "a", 2, 3, std::string("b\0\0", 3)},
                    RemoveCase{"Absent", std::string("a\0b\0\0", 5), "c", 0, 5, std::string("a\0b\0\0", 5)},
                    RemoveCase{"OnlyName", std::string("a\0\0", 3), "A", 1, 1, std::string("\0", 1)},
                    RemoveCase{"Last", std::string("x\0yy\0\0", 6), "yy", 1, 3, std::string("x\0\0", 3)},
                    RemoveCase{"Adjacent", std::string("k\0k\0z\0k\0\0", 9), "K", 3, 3, std::string("z\0\0", 3)},
                    RemoveCase{"EmptyList", std::string("\0", 1), "a", 0, 1, std::string("\0", 1)}),
    [](const testing::TestParamInfo<RemoveCase>& param_info) { return std::string(param_info.param.what); });

TEST(FilterListBuffer, PrependPutsTheNameFirstInANewBuffer) {
  char* list = List(std::string("\0", 1));
  ASSERT_EQ(FilterListPrepend("x", &list), 1);
  EXPECT_EQ(Bytes(list), std::string("x\0\0", 3));

  ASSERT_EQ(FilterListPrepend("yz", &list), 1);
  EXPECT_EQ(Bytes(list), std::string("yz\0x\0\0", 6));
  std::free(list);
}

// ------------------------------------------------------------- registry

class FilterListRegistry : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Lists", &key_), ERROR_FILE_NOT_FOUND);
    hostreg::Registry::Machine().Create("Lists");
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Lists", &key_), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    MachineTest::TearDown();
  }
  void Store(const char* name, uint32_t type, std::vector<uint8_t> data) {
    hostreg::Registry::Machine().Open("Lists")->SetValue(name, type, std::move(data));
  }

  // The set of present disks and its first device.
  static HDEVINFO FirstDisk(SP_DEVINFO_DATA* device) {
    GUID disk = Guid(kDisk);
    HDEVINFO set = SetupDiGetClassDevsA(&disk, nullptr, nullptr, DIGCF_PRESENT);
    device->cbSize = sizeof *device;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, device));
    return set;
  }

  HKEY key_ = nullptr;
};

TEST_F(FilterListRegistry, RegSzIsReadAsAListOfOneName) {
  Store("UpperFilters", hostreg::kRegSz, hostreg::EncodeSz("abc"));
  korvset::ReadOutcome outcome = korvset::ReadFailed;

  char* list = korvset::ReadFilterValue(key_, "UpperFilters", &outcome);

  ASSERT_NE(list, nullptr);
  EXPECT_EQ(outcome, korvset::ReadOk);
  EXPECT_EQ(Bytes(list), std::string("abc\0\0", 5));
  std::free(list);
}

TEST_F(FilterListRegistry, MultiSzWithoutItsFinalNulStillEndsInTheBuffer) {
  // "a" and "bc" stored without the empty string that should end them.
  Store("LowerFilters", hostreg::kRegMultiSz, {'a', 0, 0, 0, 'b', 0, 'c', 0});

  char* list = korvset::ReadFilterValue(key_, "LowerFilters");

  ASSERT_NE(list, nullptr);
  EXPECT_EQ(std::string(list, 6), std::string("a\0bc\0\0", 6));
  EXPECT_EQ(FilterListSize(list), 6u);
  EXPECT_EQ(FilterListContains(list, "zz"), 0);
  std::free(list);
}

TEST_F(FilterListRegistry, ValueOfSizeZeroIsTheEmptyList) {
  Store("LowerFilters", hostreg::kRegMultiSz, {});

  char* list = korvset::ReadFilterValue(key_, "LowerFilters");

  ASSERT_NE(list, nullptr);
  EXPECT_EQ(FilterListSize(list), 1u);
  std::free(list);
}

// Names come back as they are stored when the code page has a form for
// each character (double-byte ones included); a list with a character it
// lacks is no list, and values of other types are taken byte for byte.
TEST_F(FilterListRegistry, ListIsReadOnlyWhenEveryNameSurvivesTheCodePage) {
  hostwin32::ScopedCodePage japanese(932);
  Store("UpperFilters", hostreg::kRegMultiSz, hostreg::EncodeMultiSz({"\x83\x41x", "b"}));
  std::vector<uint8_t> lossy = hostreg::EncodeMultiSz({"a", "b"});
  lossy[0] = 0xE9;  // e acute: no form in 932
  Store("LowerFilters", hostreg::kRegMultiSz, lossy);
  Store("Binary", hostreg::kRegBinary, {0xE9, 0x00, 0x01, 0x00});
  korvset::ReadOutcome outcome = korvset::ReadOk;

  char* upper = korvset::ReadFilterValue(key_, "UpperFilters", &outcome);
  ASSERT_NE(upper, nullptr);
  EXPECT_EQ(std::string(upper, 7), std::string("\x83\x41x\0b\0\0", 7));
  std::free(upper);
  EXPECT_EQ(korvset::ReadFilterValue(key_, "LowerFilters", &outcome), nullptr);
  EXPECT_EQ(outcome, korvset::ReadFailed);
  char* binary = korvset::ReadFilterValue(key_, "Binary", &outcome);
  ASSERT_NE(binary, nullptr);
  EXPECT_EQ(std::string(binary, 4), std::string("\xE9\0\x01\0", 4));
  std::free(binary);
}

// Whether a list read in ANSI form is faithful is told by its stored
// units: when they cannot be read, it is no list.
TEST_F(FilterListRegistry, ListWhoseStoredFormCannotBeReadIsNoList) {
  Store("UpperFilters", hostreg::kRegMultiSz, hostreg::EncodeMultiSz({"a"}));
  Given(Device("IDE\\Disk\\1", kDisk, "Disk one", true, MultiSz("LowerFilters", {"a"})));
  SP_DEVINFO_DATA device{};
  HDEVINFO set = FirstDisk(&device);
  hostfault::Arm("RegQueryValueExW", -1);
  hostfault::Arm("SetupDiGetDeviceRegistryPropertyW", -1);
  korvset::ReadOutcome value = korvset::ReadOk;
  korvset::ReadOutcome property = korvset::ReadOk;

  EXPECT_EQ(korvset::ReadFilterValue(key_, "UpperFilters", &value), nullptr);
  EXPECT_EQ(korvset::ReadDeviceFilterList(set, &device, SPDRP_LOWERFILTERS, &property), nullptr);

  EXPECT_EQ(value, korvset::ReadFailed);
  EXPECT_EQ(property, korvset::ReadFailed);
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(FilterListRegistry, AbsentAndUnreadableValuesGiveNoListButDifferentOutcomes) {
  Store("UpperFilters", hostreg::kRegMultiSz, hostreg::EncodeMultiSz({"a"}));
  korvset::ReadOutcome absent = korvset::ReadOk;
  korvset::ReadOutcome unreadable = korvset::ReadOk;

  EXPECT_EQ(korvset::ReadFilterValue(key_, "LowerFilters", &absent), nullptr);
  hostfault::Arm("RegQueryValueExA");
  EXPECT_EQ(korvset::ReadFilterValue(key_, "UpperFilters", &unreadable), nullptr);

  EXPECT_EQ(absent, korvset::ReadAbsent);
  EXPECT_EQ(unreadable, korvset::ReadFailed);
}

TEST_F(FilterListRegistry, WritingTheEmptyListDeletesTheValue) {
  Given(Key("Lists") + MultiSz("UpperFilters", {"a"}) + MultiSz("LowerFilters", {"b"}));

  EXPECT_EQ(korvset::WriteFilterValue(key_, "UpperFilters", std::string("\0", 1).c_str()), 1);
  EXPECT_EQ(korvset::WriteFilterValue(key_, "LowerFilters", std::string("x\0b\0\0", 5).c_str()), 1);
  EXPECT_EQ(korvset::WriteFilterValue(key_, "Absent", std::string("\0", 1).c_str()), 1);

  EXPECT_EQ(Now({"Lists"}), Key("Lists") + MultiSz("LowerFilters", {"x", "b"}));
}

TEST_F(FilterListRegistry, FailedStoreIsReported) {
  hostfault::Arm("RegSetValueExA");
  EXPECT_EQ(korvset::WriteFilterValue(key_, "UpperFilters", std::string("a\0\0", 3).c_str()), 0);
  EXPECT_EQ(Now({"Lists"}), Key("Lists"));
}

TEST_F(FilterListRegistry, DevicePropertyAbsentGivesNullAndPresentEndsInTwoZeros) {
  Given(Device("IDE\\Disk\\1", kDisk, "Disk one", true, MultiSz("LowerFilters", {"f"})));
  SP_DEVINFO_DATA device{};
  HDEVINFO set = FirstDisk(&device);
  DWORD type = 0;
  korvset::ReadOutcome outcome = korvset::ReadOk;

  EXPECT_EQ(korvset::ReadDeviceProperty(set, &device, SPDRP_UPPERFILTERS, &type, &outcome), nullptr);
  EXPECT_EQ(outcome, korvset::ReadAbsent);
  char* lower = korvset::ReadDeviceProperty(set, &device, SPDRP_LOWERFILTERS, &type, &outcome);

  ASSERT_NE(lower, nullptr);
  EXPECT_EQ(outcome, korvset::ReadOk);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(std::string(lower, 5), std::string("f\0\0\0\0", 5));
  std::free(lower);
  SetupDiDestroyDeviceInfoList(set);
}

// ------------------------------------------------------ arrays, strings

TEST(PtrArray, GrowsByOneFirstThenByAnEighthBetweenFourAnd1024) {
  korvset::PtrArray<int> array;
  int value = 0;
  std::vector<int> capacities;
  for (int i = 0; i < 60; ++i) {
    ASSERT_EQ(array.Append(&value), 1);
    if (capacities.empty() || capacities.back() != array.Capacity()) capacities.push_back(array.Capacity());
  }
  // 1, then +4 while count/8 < 4, then +count/8.
  EXPECT_EQ(capacities, (std::vector<int>{1, 5, 9, 13, 17, 21, 25, 29, 33, 37, 41, 46, 51, 57, 64}));

  ASSERT_EQ(array.Reserve(100), 1);
  EXPECT_EQ(array.Capacity(), 100);
  EXPECT_EQ(array.At(60), nullptr);
  EXPECT_EQ(array.At(-1), nullptr);
}

// The slot after the last element is none: neither where the storage ends
// with the last element (read past it, it is reported under ASan) nor
// where the storage has room left, filled here with what a block of the
// same size left behind (the allocator hands back the block just freed).
TEST(PtrArray, NoElementAtTheCount) {
  int value = 0;
  korvset::PtrArray<int> full;
  ASSERT_EQ(full.Append(&value), 1);
  ASSERT_EQ(full.Capacity(), full.Count());
  EXPECT_EQ(full.At(1), nullptr);

  constexpr size_t kSlots = 8;
  auto* stale = static_cast<volatile unsigned char*>(std::malloc(kSlots * sizeof(void*)));
  for (size_t i = 0; i < kSlots * sizeof(void*); ++i) stale[i] = 0xA5;
  std::free(const_cast<unsigned char*>(stale));
  korvset::PtrArray<int> roomy;
  ASSERT_EQ(roomy.Reserve(kSlots), 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(roomy.Append(&value), 1);
  EXPECT_EQ(roomy.At(3), nullptr);
}

TEST(PtrArray, GrowthStepStopsAt1024) {
  korvset::PtrArray<int> array;
  int value = 0;
  ASSERT_EQ(array.Reserve(9000), 1);
  for (int i = 0; i < 9000; ++i) ASSERT_EQ(array.Append(&value), 1);
  ASSERT_EQ(array.Append(&value), 1);
  EXPECT_EQ(array.Capacity(), 9000 + 1024);
}

TEST(AnsiString, CountsItsBytesAndTreatsNullAsEmpty) {
  korvset::AnsiString text;
  EXPECT_STREQ(text.Text(), "");
  ASSERT_EQ(text.Assign("abc"), 1);
  EXPECT_EQ(text.Length(), 3u);
  ASSERT_EQ(text.Assign(nullptr), 1);
  EXPECT_EQ(text.Length(), 0u);
  EXPECT_STREQ(text.Text(), "");
}

}  // namespace
}  // namespace setup_test
