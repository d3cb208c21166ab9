// Helpers of the scenario tests: example files, parsing scenario text and
// running a machine to its JSON report.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "tools/zarksim/run_machine.h"
#include "tools/zarksim/scenario_file.h"

namespace scenario_test {

// A file of tests/scenario/files.
inline std::string ScenarioPath(const char* name) {
  return (std::filesystem::path(__FILE__).parent_path() / "files" / name).string();
}

inline sim::MachineConfig Scenario(const std::string& text) {
  return zarksim::ParseScenario(nlohmann::json::parse(text));
}

// Runs the machine and returns the JSON report (and the exit status).
inline nlohmann::json RunReport(const sim::MachineConfig& config, int* exit_status = nullptr) {
  std::ostringstream out;
  zarksim::RunOptions options;
  options.json = true;
  int status = zarksim::RunMachine(config, options, out);
  if (exit_status) *exit_status = status;
  return nlohmann::json::parse(out.str());
}

}  // namespace scenario_test
