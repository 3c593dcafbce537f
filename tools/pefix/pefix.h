// pefix: after-link fixes of a PE image that the GNU linker cannot make.
// It sets IMAGE_SCN_MEM_DISCARDABLE in the headers of named sections (a
// driver's INIT section) and rewrites the image checksum, which the
// kernel's loader checks for drivers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pefix {

constexpr uint32_t kScnMemDiscardable = 0x02000000;

// Offset of the optional header's CheckSum field, or 0 when `image` is
// not a PE image (the reason in *error).
size_t ChecksumOffset(const std::vector<uint8_t>& image, std::string* error);

// The PE checksum of `image`: 16-bit one's-complement-style sum of the
// file with the CheckSum field left out, plus the file length.
uint32_t ComputeChecksum(const std::vector<uint8_t>& image, size_t checksumOffset);

// Marks every section whose name is in `sections` discardable and
// rewrites the checksum. Fails, leaving `image` untouched, when it is
// not a PE image or a named section is missing.
bool MarkDiscardable(std::vector<uint8_t>& image, const std::vector<std::string>& sections, std::string* error);

}  // namespace pefix
