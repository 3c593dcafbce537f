// Test hooks: one optional routine per point of the kernel, run by the
// thread that reaches the point. The check on the way is one relaxed load,
// and benchmark builds have none.
#include <array>
#include <atomic>

#include "internal.h"

namespace hostk {
namespace {

constexpr size_t kPointCount = static_cast<size_t>(HookPoint::kDeviceDelete) + 1;

std::mutex g_mutex;
std::array<Hook, kPointCount> g_hooks;
std::array<std::atomic<bool>, kPointCount> g_installed{};

size_t IndexOf(HookPoint point) { return static_cast<size_t>(point); }

}  // namespace

void SetHook(HookPoint point, Hook hook) {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_installed[IndexOf(point)].store(static_cast<bool>(hook), std::memory_order_relaxed);
  g_hooks[IndexOf(point)] = std::move(hook);
}

void ClearHooks() {
  for (size_t i = 0; i < kPointCount; ++i) SetHook(static_cast<HookPoint>(i), nullptr);
}

namespace internal {

void RunHook(HookPoint point, const void* object) {
#ifndef QELV_BENCH_BUILD
  if (!g_installed[IndexOf(point)].load(std::memory_order_relaxed)) return;
  Hook hook;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    hook = g_hooks[IndexOf(point)];
  }
  if (hook) hook(object);
#else
  (void)point;
  (void)object;
#endif
}

}  // namespace internal
}  // namespace hostk
