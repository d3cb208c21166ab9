// Scenario files: a JSON description of the machine zarksim boots (host
// bridge, bridges, cards and their hardware knobs, the card configuration
// file, registry values present before boot, the seed). docs/scenario.md
// documents the format.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "sim/machine/machine.h"

namespace zarksim {

// A scenario that cannot be used; the message names the field.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws ScenarioError for anything the format does not allow.
sim::MachineConfig ParseScenario(const nlohmann::json& scenario);

// Reads and parses a file; false with a message ("FILE: field: problem")
// for a file that cannot be read, is not JSON, or is not a valid scenario.
bool LoadScenario(const std::string& path, sim::MachineConfig* config, std::string* error);

}  // namespace zarksim
