// Recorded-trace text of any shape in each format: the parser either
// reads a trace whose requests are sound (sorted, each completion at or
// after its issue, every disk index named), or refuses it with
// "FILE:LINE: why" for a line the text has.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "sim/trace.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

// The line number of "t:LINE: why", 0 when the message has another shape.
long ErrorLine(const std::string& error) {
  if (error.rfind("t:", 0) != 0) return 0;
  size_t colon = error.find(": ", 2);
  if (colon == std::string::npos) return 0;
  return std::strtol(error.substr(2, colon - 2).c_str(), nullptr, 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const sim::TraceFormat formats[] = {sim::TraceFormat::kAuto, sim::TraceFormat::kWpa, sim::TraceFormat::kBlkparse,
                                      sim::TraceFormat::kCambridge};
  const sim::TraceFormat format = input.PickValueInArray(formats);
  const std::string text = input.ConsumeRemainingBytesAsString();

  sim::Trace trace;
  std::string error;
  if (!sim::ParseTrace("t", text, format, &trace, &error)) {
    const long lines = static_cast<long>(std::count(text.begin(), text.end(), '\n')) + 1;
    const long line = ErrorLine(error);
    Require(line >= 1 && line <= lines);
    return 0;
  }
  Require(!trace.requests.empty() && !trace.disks.empty());
  for (size_t i = 0; i < trace.requests.size(); ++i) {
    const sim::TraceRequest& r = trace.requests[i];
    Require(r.complete >= r.issue);
    Require(r.disk >= 0 && static_cast<size_t>(r.disk) < trace.disks.size());
    if (i > 0) Require(trace.requests[i - 1].issue <= r.issue);
  }
  return 0;
}
