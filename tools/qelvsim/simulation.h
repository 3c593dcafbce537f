// qelvsim's job: boot the simulated machine from its registry, run a
// workload, run qelvmon against the control device as a user process of
// the machine, and draw the utilisation timeline.
#pragma once

#include <ostream>
#include <string>

#include "qelvmon/timeline.h"
#include "qelvsim/options.h"

namespace qelvsim {

// Runs the whole job; returns the exit code. `timeline` (optional)
// receives what the monitor showed.
int RunSimulation(const SimOptions& options, std::ostream& out, std::ostream& err,
                  qelvmon::Timeline* timeline = nullptr);

}  // namespace qelvsim
