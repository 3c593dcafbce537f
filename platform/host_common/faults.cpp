#include "faults.h"

#include <map>
#include <mutex>
#include <string>

namespace hostfault {
namespace {

struct Plan {
  int skip = 0;
  int fail = 0;  // < 0: for ever
  int calls = 0;
  uint32_t error = 0;  // 0: the operation's own
};

std::mutex g_mutex;
std::map<std::string, Plan, std::less<>> g_plans;

}  // namespace

void ArmWithError(std::string_view operation, uint32_t error, int count, int after) {
  std::lock_guard<std::mutex> hold(g_mutex);
  Plan& plan = g_plans[std::string(operation)];
  plan.skip = after;
  plan.fail = count;
  plan.error = error;
}

void Arm(std::string_view operation, int count, int after) { ArmWithError(operation, 0, count, after); }

void Disarm(std::string_view operation) {
  std::lock_guard<std::mutex> hold(g_mutex);
  auto it = g_plans.find(operation);
  if (it != g_plans.end()) {
    it->second.skip = 0;
    it->second.fail = 0;
  }
}

void DisarmAll() {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_plans.clear();
}

bool ShouldFail(std::string_view operation) {
  uint32_t error = 0;
  return ShouldFail(operation, &error);
}

bool ShouldFail(std::string_view operation, uint32_t* error) {
  std::lock_guard<std::mutex> hold(g_mutex);
  *error = 0;
  auto it = g_plans.find(operation);
  if (it == g_plans.end()) {
    g_plans[std::string(operation)].calls = 1;
    return false;
  }
  Plan& plan = it->second;
  ++plan.calls;
  if (plan.fail == 0) return false;
  if (plan.skip > 0) {
    --plan.skip;
    return false;
  }
  if (plan.fail > 0) --plan.fail;
  *error = plan.error;
  return true;
}

int CallCount(std::string_view operation) {
  std::lock_guard<std::mutex> hold(g_mutex);
  auto it = g_plans.find(operation);
  return it == g_plans.end() ? 0 : it->second.calls;
}

}  // namespace hostfault
