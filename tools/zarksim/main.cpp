// zarksim: boots a simulated machine and shows what the drivers made of it.
#include <CLI/CLI.hpp>
#include <iostream>
#include <optional>

#include "tools/zarksim/idstring_command.h"
#include "tools/zarksim/run_machine.h"
#include "tools/zarksim/scenario_file.h"
#include "tools/zarksim/wmi_command.h"

int main(int argc, char** argv) {
  CLI::App app{"zarksim: run the card drivers in a simulated Windows machine"};
  zarksim::RunOptions options;
  std::string scenario;
  app.add_flag("--json", options.json, "print the report as JSON");
  app.add_option("--scenario", scenario, "boot the machine a scenario file describes (see docs/scenario.md)");
  std::optional<uint64_t> seed;
  app.add_option("--seed", seed, "the seed of the run (wins over the scenario's)");
  std::string images;
  app.add_option("--images", images, "run the host-built drivers or the Windows images (wins over the scenario's)")
      ->check(CLI::IsMember({"host", "sys"}));

  std::vector<std::string> hex_words;
  CLI::App* idstring = app.add_subcommand("idstring", "show what the port enumerator makes of a device's identification string");
  idstring->add_option("hex", hex_words, "the received bytes in hexadecimal, e.g. 28 01 24 41 42 43 31 32 33 34 29")
      ->required();

  zarksim::WmiCommand wmi_command;
  CLI::App* wmi = app.add_subcommand("wmi", "read or write a WMI data block of the booted machine");
  wmi->require_subcommand(1);
  wmi->add_option("--instance", wmi_command.instance, "the instance, by index among the block's instance names");
  CLI::App* wmi_query = wmi->add_subcommand("query", "print the block's data");
  wmi_query->add_option("guid", wmi_command.guid, "the block's GUID")->required();
  CLI::App* wmi_set = wmi->add_subcommand("set", "write the block's 32-bit value, then print the block's data");
  wmi_set->add_option("guid", wmi_command.guid, "the block's GUID")->required();
  uint32_t wmi_value = 0;
  wmi_set->add_option("value", wmi_value, "the value (decimal, or hexadecimal with 0x)")->required();
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
  if (!images.empty()) config.images.kind = *sim::ParseImageKind(images);
  if (wmi->parsed()) {
    if (wmi_set->parsed()) wmi_command.value = wmi_value;
    wmi_command.json = options.json;
    return zarksim::RunWmiCommand(config, wmi_command, std::cout, std::cerr);
  }
  return zarksim::RunMachine(config, options, std::cout);
}
