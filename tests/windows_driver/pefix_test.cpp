// pefix on small hand-built PE images.
#include <gtest/gtest.h>

#include <cstring>

#include "pefix.h"

namespace {

constexpr size_t kPe = 0x40;
constexpr size_t kOptionalSize = 224;  // PE32
constexpr size_t kSectionTable = kPe + 4 + 20 + kOptionalSize;
constexpr size_t kChecksum = kPe + 4 + 20 + 64;

void Put16(std::vector<uint8_t>& image, size_t at, uint16_t value) {
  image[at] = static_cast<uint8_t>(value);
  image[at + 1] = static_cast<uint8_t>(value >> 8);
}

uint32_t Get32(const std::vector<uint8_t>& image, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, &image[at], 4);
  return value;
}

// MZ stub, PE signature, file header, optional header and the named
// sections with characteristics 0x60000020 (code, execute, read).
std::vector<uint8_t> MakeImage(const std::vector<std::string>& names) {
  std::vector<uint8_t> image(0x400, 0);
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = kPe;
  std::memcpy(&image[kPe], "PE\0\0", 4);
  Put16(image, kPe + 4 + 2, static_cast<uint16_t>(names.size()));
  Put16(image, kPe + 4 + 16, kOptionalSize);
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t header = kSectionTable + 40 * i;
    std::memcpy(&image[header], names[i].data(), names[i].size());
    const uint32_t code = 0x60000020;
    std::memcpy(&image[header + 36], &code, 4);
  }
  for (size_t i = 0x200; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  return image;
}

TEST(Pefix, MarksOnlyTheNamedSectionDiscardable) {
  std::vector<uint8_t> image = MakeImage({".text", "INIT", ".rdata"});
  std::string error;
  ASSERT_TRUE(pefix::MarkDiscardable(image, {"INIT"}, &error)) << error;
  EXPECT_EQ(Get32(image, kSectionTable + 36), 0x60000020u);
  EXPECT_EQ(Get32(image, kSectionTable + 40 + 36), 0x62000020u);
  EXPECT_EQ(Get32(image, kSectionTable + 80 + 36), 0x60000020u);
}

TEST(Pefix, RewritesTheChecksumOfTheChangedImage) {
  std::vector<uint8_t> image = MakeImage({"INIT"});
  std::string error;
  ASSERT_TRUE(pefix::MarkDiscardable(image, {"INIT"}, &error)) << error;
  EXPECT_EQ(Get32(image, kChecksum), pefix::ComputeChecksum(image, kChecksum));
  EXPECT_NE(Get32(image, kChecksum), 0u);
}

TEST(Pefix, ChecksumFoldsCarriesSkipsItsFieldAndAddsTheLength) {
  // 0xFFFF + 0x0002 folds to 0x0002; the field at 4 is left out; + 8 bytes.
  const std::vector<uint8_t> image = {0xFF, 0xFF, 0x02, 0x00, 0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(pefix::ComputeChecksum(image, 4), 0x0002u + 8u);
}

TEST(Pefix, MissingSectionFailsAndLeavesTheImageUntouched) {
  std::vector<uint8_t> image = MakeImage({".text"});
  const std::vector<uint8_t> before = image;
  std::string error;
  EXPECT_FALSE(pefix::MarkDiscardable(image, {"INIT"}, &error));
  EXPECT_EQ(error, "no section named INIT");
  EXPECT_EQ(image, before);
}

TEST(Pefix, RejectsFilesThatAreNotPeImages) {
  std::string error;
  std::vector<uint8_t> text(100, 'x');
  EXPECT_FALSE(pefix::MarkDiscardable(text, {"INIT"}, &error));
  EXPECT_EQ(error, "not an MZ executable");

  std::vector<uint8_t> truncated = MakeImage({"INIT"});
  truncated.resize(kSectionTable + 20);
  EXPECT_FALSE(pefix::MarkDiscardable(truncated, {"INIT"}, &error));
  EXPECT_EQ(error, "section table runs past the end of the file");
}

}  // namespace
