// Fault injection for the host simulation: a test names an operation of
// the simulated kernel or Win32 side ("IoCreateDevice", "RegSetValueExA",
// ...) and which of its next calls must fail. Every simulated operation
// that can fail asks ShouldFail with its own name before it does its work.
#pragma once

#include <cstdint>
#include <string_view>

namespace hostfault {

// Make calls of `operation` fail: skip `after` calls, then fail `count`
// calls (count < 0: every later call).
void Arm(std::string_view operation, int count = 1, int after = 0);
// The same, and the failing calls report `error` (a Win32 error code or an
// NT status, as the operation reports failures) instead of the one the
// operation reports by default.
void ArmWithError(std::string_view operation, uint32_t error, int count = 1, int after = 0);
void Disarm(std::string_view operation);
void DisarmAll();

// True when this call of `operation` must fail. Thread-safe.
bool ShouldFail(std::string_view operation);
// The same; a failing call gets the error its plan was armed with, or 0
// when the plan named none.
bool ShouldFail(std::string_view operation, uint32_t* error);

// Calls of `operation` made so far (whether or not they failed).
int CallCount(std::string_view operation);

// Disarms everything when it goes out of scope: keeps one test's faults
// from leaking into the next.
class Scope {
 public:
  Scope() = default;
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
  ~Scope() { DisarmAll(); }
};

}  // namespace hostfault
