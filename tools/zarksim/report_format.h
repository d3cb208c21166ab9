// Renders a machine snapshot and the verifier's findings for people (a
// tree) and for scripts (JSON).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/kernel/verifier.h"
#include "sim/machine/snapshot.h"

namespace zarksim {

std::string FormatTree(const sim::MachineSnapshot& snapshot, const std::vector<sim::Finding>& findings);
nlohmann::json ToJson(const sim::MachineSnapshot& snapshot, const std::vector<sim::Finding>& findings);

}  // namespace zarksim
