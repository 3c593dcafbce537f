// A counted 8-bit string in the process's code page, on the heap.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace korvset {

class AnsiString {
 public:
  AnsiString() = default;
  AnsiString(const AnsiString&) = delete;
  AnsiString& operator=(const AnsiString&) = delete;
  ~AnsiString() { std::free(data_); }

  // Copies text (null counts as empty); 0 when memory runs out, leaving
  // the string as it was.
  int Assign(const char* text) { return Assign(text, text == nullptr ? 0 : std::strlen(text)); }

  int Assign(const char* text, size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) return 0;
    if (length != 0) std::memcpy(copy, text, length);
    copy[length] = '\0';
    std::free(data_);
    data_ = copy;
    length_ = static_cast<uint32_t>(length);
    return 1;
  }

  void Clear() {
    std::free(data_);
    data_ = nullptr;
    length_ = 0;
  }

  const char* Text() const { return data_ == nullptr ? "" : data_; }
  uint32_t Length() const { return length_; }
  bool Empty() const { return length_ == 0; }

 private:
  char* data_ = nullptr;
  uint32_t length_ = 0;
};

}  // namespace korvset
