// Verifier reports in tests: recorded while the test runs, so it goes on
// to its end, then each one fails the test with the rule it names.
#pragma once

#include <gtest/gtest.h>

#include "platform/host_kernel/host_control.h"

namespace testsupport {

inline void RecordVerifierReports() {
  hostk::verifier::Clear();
  hostk::verifier::SetHandler([](const hostk::verifier::Violation&) {});  // the verifier keeps them
}

// Restores the default handler (abort on a report) and fails the test once
// for every report since RecordVerifierReports.
inline void FailOnVerifierReports() {
  hostk::verifier::SetHandler({});
  for (const auto& violation : hostk::verifier::Violations()) ADD_FAILURE() << "verifier: " << violation.message;
}

}  // namespace testsupport
