// zarksim: boots a simulated machine and shows what the drivers made of it.
#include <CLI/CLI.hpp>
#include <iostream>
#include <optional>

#include "tools/zarksim/idstring_command.h"
#include "tools/zarksim/run_machine.h"
#include "tools/zarksim/scenario_file.h"

int main(int argc, char** argv) {
  CLI::App app{"zarksim: run the card drivers in a simulated Windows machine"};
  zarksim::RunOptions options;
  std::string scenario;
  app.add_flag("--json", options.json, "print the report as JSON");
  app.add_option("--scenario", scenario, "boot the machine a scenario file describes (see docs/scenario.md)");
  std::optional<uint64_t> seed;
  app.add_option("--seed", seed, "the seed of the run (wins over the scenario's)");

  std::vector<std::string> hex_words;
  CLI::App* idstring = app.add_subcommand("idstring", "show what the port enumerator makes of a device's identification string");
  idstring->add_option("hex", hex_words, "the received bytes in hexadecimal, e.g. 28 01 24 41 42 43 31 32 33 34 29")
      ->required();
  CLI11_PARSE(app, argc, argv);

  if (idstring->parsed()) {
    std::string hex;
    for (const std::string& word : hex_words) hex += (hex.empty() ? "" : " ") + word;
    return zarksim::RunIdStringCommand(hex, std::cout, std::cerr);
  }
  sim::MachineConfig config = zarksim::DefaultMachine();
  if (!scenario.empty()) {
    std::string error;
    if (!zarksim::LoadScenario(scenario, &config, &error)) {
      std::cerr << "zarksim: " << error << "\n";
      return 2;
    }
  }
  if (seed) config.seed = *seed;
  return zarksim::RunMachine(config, options, std::cout);
}
