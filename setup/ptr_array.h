// A growable array of pointers. It does not own what the pointers point
// to; its holders delete their elements before they clear it.
#pragma once

#include <cstdlib>
#include <cstring>

namespace korvset {

class PtrArrayBase {
 public:
  PtrArrayBase() = default;
  PtrArrayBase(const PtrArrayBase&) = delete;
  PtrArrayBase& operator=(const PtrArrayBase&) = delete;
  ~PtrArrayBase() { std::free(items_); }

  int Count() const { return count_; }
  int Capacity() const { return capacity_; }

  // Room for at least `count` elements: exactly one at first, then one
  // eighth more of the current count (at least 4, at most 1024), or the
  // requested count if that is larger. 0 when memory runs out; the array
  // is then unchanged.
  int Reserve(int count) {
    if (count <= capacity_) return 1;
    int target;
    if (capacity_ == 0) {
      target = 1;
    } else {
      int step = count_ / 8;
      if (step > 1024) step = 1024;
      if (step < 4) step = 4;
      target = capacity_ + step;
    }
    if (target < count) target = count;
    void* grown = std::realloc(items_, sizeof(void*) * static_cast<size_t>(target));
    if (grown == nullptr) return 0;
    items_ = static_cast<void**>(grown);
    capacity_ = target;
    return 1;
  }

  // Forgets every element and releases the storage.
  void Clear() {
    std::free(items_);
    items_ = nullptr;
    count_ = 0;
    capacity_ = 0;
  }

 protected:
  void* Get(int index) const { return index >= 0 && index < count_ ? items_[index] : nullptr; }

  int Add(void* item) {
    if (count_ == capacity_ && !Reserve(count_ + 1)) return 0;
    items_[count_++] = item;
    return 1;
  }

 private:
  void** items_ = nullptr;
  int count_ = 0;
  int capacity_ = 0;
};

template <typename T>
class PtrArray : public PtrArrayBase {
 public:
  T* At(int index) const { return static_cast<T*>(Get(index)); }  // null outside 0 .. Count()-1
  int Append(T* item) { return Add(item); }                        // 1, or 0 when out of memory
};

}  // namespace korvset
