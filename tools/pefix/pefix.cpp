#include "pefix.h"

#include <cstring>

namespace pefix {
namespace {

constexpr size_t kDosLfanewOffset = 0x3C;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kOptionalChecksumOffset = 64;
constexpr size_t kSectionCharacteristicsOffset = 36;

uint16_t Read16(const std::vector<uint8_t>& image, size_t offset) {
  return static_cast<uint16_t>(image[offset] | (image[offset + 1] << 8));
}

uint32_t Read32(const std::vector<uint8_t>& image, size_t offset) {
  return static_cast<uint32_t>(image[offset]) | (static_cast<uint32_t>(image[offset + 1]) << 8) |
         (static_cast<uint32_t>(image[offset + 2]) << 16) | (static_cast<uint32_t>(image[offset + 3]) << 24);
}

void Write32(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

struct Layout {
  size_t fileHeader = 0;
  size_t checksum = 0;
  size_t sectionTable = 0;
  unsigned sectionCount = 0;
};

bool ReadLayout(const std::vector<uint8_t>& image, Layout* layout, std::string* error) {
  if (image.size() < kDosLfanewOffset + 4 || image[0] != 'M' || image[1] != 'Z') {
    *error = "not an MZ executable";
    return false;
  }
  const size_t pe = Read32(image, kDosLfanewOffset);
  if (pe > image.size() || image.size() - pe < 4 + kFileHeaderSize || std::memcmp(&image[pe], "PE\0\0", 4) != 0) {
    *error = "no PE signature";
    return false;
  }
  layout->fileHeader = pe + 4;
  layout->sectionCount = Read16(image, layout->fileHeader + 2);
  const size_t optionalSize = Read16(image, layout->fileHeader + 16);
  const size_t optional = layout->fileHeader + kFileHeaderSize;
  if (optionalSize < kOptionalChecksumOffset + 4) {
    *error = "optional header too short";
    return false;
  }
  layout->checksum = optional + kOptionalChecksumOffset;
  layout->sectionTable = optional + optionalSize;
  if (layout->sectionTable > image.size() ||
      (image.size() - layout->sectionTable) / kSectionHeaderSize < layout->sectionCount) {
    *error = "section table runs past the end of the file";
    return false;
  }
  return true;
}

std::string SectionName(const std::vector<uint8_t>& image, size_t header) {
  const char* name = reinterpret_cast<const char*>(&image[header]);
  return std::string(name, strnlen(name, 8));
}

}  // namespace

size_t ChecksumOffset(const std::vector<uint8_t>& image, std::string* error) {
  Layout layout;
  return ReadLayout(image, &layout, error) ? layout.checksum : 0;
}

uint32_t ComputeChecksum(const std::vector<uint8_t>& image, size_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    if (i >= checksumOffset && i < checksumOffset + 4) continue;
    uint32_t word = image[i];
    if (i + 1 < image.size()) word |= static_cast<uint32_t>(image[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

bool MarkDiscardable(std::vector<uint8_t>& image, const std::vector<std::string>& sections, std::string* error) {
  Layout layout;
  if (!ReadLayout(image, &layout, error)) return false;

  std::vector<size_t> headers;
  for (const std::string& wanted : sections) {
    bool found = false;
    for (unsigned i = 0; i < layout.sectionCount; ++i) {
      const size_t header = layout.sectionTable + i * kSectionHeaderSize;
      if (SectionName(image, header) == wanted) {
        headers.push_back(header);
        found = true;
      }
    }
    if (!found) {
      *error = "no section named " + wanted;
      return false;
    }
  }
  for (size_t header : headers) {
    const size_t at = header + kSectionCharacteristicsOffset;
    Write32(image, at, Read32(image, at) | kScnMemDiscardable);
  }
  Write32(image, layout.checksum, ComputeChecksum(image, layout.checksum));
  return true;
}

}  // namespace pefix
