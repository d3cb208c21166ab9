// Boots a machine, runs the scenario's actions, takes its snapshot, shuts it
// down and prints the report.
#pragma once

#include <ostream>

#include "sim/machine/machine.h"

namespace zarksim {

struct RunOptions {
  bool json = false;
};

// The built-in default machine: one 4-port card.
sim::MachineConfig DefaultMachine();

// Returns the process exit status: 0 only when the verifier found nothing.
int RunMachine(const sim::MachineConfig& config, const RunOptions& options, std::ostream& out);

}  // namespace zarksim
