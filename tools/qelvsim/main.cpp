// qelvsim: a simulated Windows 2000 machine running qelvard1 and qelvmon.
#include <iostream>

#include "qelvsim/simulation.h"

int main(int argc, char** argv) {
  qelvsim::SimOptions options;
  int parsed = qelvsim::ParseOptions(argc - 1, argv + 1, &options, std::cout, std::cerr);
  if (parsed >= 0) return parsed;
  return qelvsim::RunSimulation(options, std::cout, std::cerr);
}
