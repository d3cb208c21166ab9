// What the port enumerator made of a port: read from its filter device's
// extension (probe count, a probe running, the reported child's identities).
#pragma once

#include <optional>

#include "sim/machine/machine.h"
#include "sim/machine/snapshot.h"

namespace zarksim {

// Unset for a node whose stack holds no zarkenum filter.
std::optional<sim::PortDetectionSnapshot> ReadPortDetection(sim::Machine& machine, sim::DeviceNode& node);

}  // namespace zarksim
