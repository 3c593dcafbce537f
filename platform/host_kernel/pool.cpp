// Pool: paged and non-paged blocks with their tags. Outside benchmark
// builds every live block is tracked, so the verifier can tell bad frees,
// tag mismatches and what a driver leaves behind, and tests can count a
// tag's blocks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_map>

#include "host_common/faults.h"
#include "internal.h"

namespace hostk {
namespace {

using internal::Report;
using verifier::Rule;

struct alignas(16) BlockHeader {
  ULONG tag;
  POOL_TYPE type;
  size_t size;
  PDRIVER_OBJECT driver;  // whose code allocated it; null for the kernel's own
};

constexpr ULONG kProtectedPoolBit = 0x80000000u;
constexpr ULONG kTagNone = MakeTag("None");
// Fresh pool is not zero on Windows; a pattern makes reliance on it show.
constexpr int kFreshPoolFill = 0xA5;

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

#ifndef QELV_BENCH_BUILD
std::mutex g_mutex;
std::unordered_map<void*, BlockHeader*> g_live;
std::map<ULONG, PoolUsage> g_usage;
std::map<PDRIVER_OBJECT, std::set<ULONG>> g_driverTags;
#endif

void* Allocate(POOL_TYPE type, size_t size, ULONG tag, PDRIVER_OBJECT driver) {
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  if (header == nullptr) return nullptr;
  header->tag = tag;
  header->type = type;
  header->size = size;
  header->driver = driver;
  void* block = header + 1;
#ifndef QELV_BENCH_BUILD
  std::memset(block, kFreshPoolFill, size);
  std::lock_guard<std::mutex> hold(g_mutex);
  g_live[block] = header;
  PoolUsage& usage = g_usage[tag & ~kProtectedPoolBit];
  ++usage.allocations;
  usage.bytes += size;
  if (driver != nullptr) g_driverTags[driver].insert(tag & ~kProtectedPoolBit);
#endif
  return block;
}

// Unlinks a block from the books; false when it is not live pool.
bool Forget(void* block, BlockHeader* header) {
#ifndef QELV_BENCH_BUILD
  std::lock_guard<std::mutex> hold(g_mutex);
  auto it = g_live.find(block);
  if (it == g_live.end()) return false;
  g_live.erase(it);
  PoolUsage& usage = g_usage[header->tag & ~kProtectedPoolBit];
  --usage.allocations;
  usage.bytes -= header->size;
#else
  (void)block;
  (void)header;
#endif
  return true;
}

bool IsLive(void* block) {
#ifndef QELV_BENCH_BUILD
  std::lock_guard<std::mutex> hold(g_mutex);
  return g_live.count(block) != 0;
#else
  (void)block;
  return true;
#endif
}

void Free(void* block, const ULONG* expectedTag, const char* operation) {
  if (block == nullptr || !IsLive(block)) {
    Report(Rule::kPoolBadFree, "%s(%p): not a live pool block", operation, block);
    return;
  }
  auto* header = static_cast<BlockHeader*>(block) - 1;
  KIRQL irql = KeGetCurrentIrql();
  if (IsPaged(header->type) && irql > APC_LEVEL)
    Report(Rule::kPagedPoolAtDispatchLevel, "%s of paged pool at IRQL %u", operation, irql);
  else if (irql > DISPATCH_LEVEL)
    Report(Rule::kIrqlTooHigh, "%s at IRQL %u", operation, irql);
  if (expectedTag != nullptr && ((*expectedTag ^ header->tag) & ~kProtectedPoolBit) != 0)
    Report(Rule::kPoolTagMismatch, "%s with tag 0x%08x of a block tagged 0x%08x", operation,
           *expectedTag, header->tag);
  if (!Forget(block, header)) return;
  std::free(header);
}

}  // namespace

PoolUsage PoolUsageOfTag(ULONG tag) {
#ifndef QELV_BENCH_BUILD
  std::lock_guard<std::mutex> hold(g_mutex);
  auto it = g_usage.find(tag & ~kProtectedPoolBit);
  return it == g_usage.end() ? PoolUsage{} : it->second;
#else
  (void)tag;
  return {};
#endif
}

namespace internal {

void* AllocateSystemPool(POOL_TYPE type, size_t size, ULONG tag) {
  return Allocate(type, size, tag, nullptr);
}

void FreeSystemPool(void* block) { Free(block, nullptr, "ExFreePool"); }

void CheckPoolOfDriver(PDRIVER_OBJECT driver, const char* when) {
#ifndef QELV_BENCH_BUILD
  std::vector<void*> leaked;
  std::string tags;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    const std::set<ULONG>& driverTags = g_driverTags[driver];
    for (const auto& [block, header] : g_live) {
      if (header->driver == driver || driverTags.count(header->tag & ~kProtectedPoolBit) != 0) {
        leaked.push_back(block);
        char one[64];
        std::snprintf(one, sizeof one, " %zu bytes tagged '%.4s';", header->size,
                      reinterpret_cast<const char*>(&header->tag));
        if (tags.size() < 300) tags += one;
      }
    }
    g_driverTags.erase(driver);
  }
  if (leaked.empty()) return;
  Report(Rule::kPoolLeak, "%s: %zu block(s) still allocated:%s", when, leaked.size(), tags.c_str());
  for (void* block : leaked) Free(block, nullptr, "leaked pool release");
#else
  (void)driver;
  (void)when;
#endif
}

}  // namespace internal
}  // namespace hostk

using hostk::internal::Report;
using hostk::verifier::Rule;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  KIRQL irql = KeGetCurrentIrql();
  if (hostk::IsPaged(PoolType) && irql > APC_LEVEL)
    Report(Rule::kPagedPoolAtDispatchLevel, "ExAllocatePoolWithTag of paged pool at IRQL %u", irql);
  else if (irql > DISPATCH_LEVEL)
    Report(Rule::kIrqlTooHigh, "ExAllocatePoolWithTag at IRQL %u", irql);
  if (hostfault::ShouldFail("ExAllocatePoolWithTag")) return nullptr;
  return hostk::Allocate(PoolType, NumberOfBytes, Tag, hostk::internal::CurrentDriver());
}

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, hostk::kTagNone);
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  hostk::Free(P, &Tag, "ExFreePoolWithTag");
}

extern "C" VOID NTAPI ExFreePool(PVOID P) { hostk::Free(P, nullptr, "ExFreePool"); }
