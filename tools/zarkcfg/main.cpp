// zarkcfg: sets the card's per-port options and reads its registers through
// the card's control device. On Windows it opens "\\.\ZARKCARD"; on the
// host it runs against a simulated machine booted from a scenario file:
//   zarkcfg [--scenario FILE] [--json] COMMAND ARGS [COMMAND ARGS ...]
// The commands run in order; the first that fails stops the run.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>

#include "tools/zarkcfg/commands.h"
#include "tools/zarkcfg/config_file.h"
#ifdef _WIN32
#include "tools/zarkcfg/windows_card.h"
#else
#include "tools/zarkcfg/simulated_card.h"
#include "tools/zarksim/run_machine.h"
#include "tools/zarksim/scenario_file.h"
#endif

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
[[maybe_unused]] constexpr int kExitFindings = 3;

std::string Help() {
  std::string help = "Commands (ports as numbers 1 to 12 or COM names):\n";
  for (const std::string& usage : zarkcfg::CommandNames()) help += "  " + usage + "\n";
  help += "The configuration file (--file):\n"
          "  config-file show\n"
          "  config-file set RECORD NAME=VALUE ... (bus, active, fifo, fifo_setting, flags, com1 to com12)\n";
  return help;
}

std::string DefaultConfigFilePath() {
#ifdef _WIN32
  const char* root = std::getenv("SystemRoot");
  return std::string(root ? root : "C:\\Windows") + "\\SysWOW64\\ZARKCARD.cfg";
#else
  return "ZARKCARD.cfg";
#endif
}

// "config-file show" and "config-file set": the file only, no card.
int RunConfigFile(const std::vector<std::string>& words, const std::string& path, bool json) {
  try {
    zarkcfg::ConfigFile file = zarkcfg::ReadConfigFile(path);
    if (words.size() == 2 && words[1] == "show") {
      if (json) std::cout << zarkcfg::DescribeConfigFile(file).dump(2) << "\n";
      else std::cout << zarkcfg::ConfigFileText(file);
      return 0;
    }
    if (words.size() >= 4 && words[1] == "set") {
      for (size_t i = 3; i < words.size(); ++i) zarkcfg::SetConfigField(&file, words[2], words[i]);
      zarkcfg::WriteConfigFile(path, file);
      if (json) std::cout << zarkcfg::DescribeConfigFile(file).dump(2) << "\n";
      else std::cout << zarkcfg::ConfigFileText(file);
      return 0;
    }
    throw zarkcfg::UsageError("usage: config-file show | config-file set RECORD NAME=VALUE ...");
  } catch (const zarkcfg::UsageError& error) {
    std::cerr << "zarkcfg: config-file: " << error.what() << "\n";
    return kExitUsage;
  } catch (const std::runtime_error& error) {
    std::cerr << "zarkcfg: config-file: " << error.what() << "\n";
    return kExitRefused;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"zarkcfg: the serial card's configuration tool"};
  bool json = false;
  std::vector<std::string> words;
#ifndef _WIN32
  std::string scenario;
  cli.add_option("--scenario", scenario, "scenario file of the simulated machine (default: one 4-port card)");
  std::string images;
  cli.add_option("--images", images, "run the host-built drivers or the Windows images (wins over the scenario's)")
      ->check(CLI::IsMember({"host", "sys"}));
#endif
  cli.add_flag("--json", json, "print the results as JSON");
  std::string config_path = DefaultConfigFilePath();
  cli.add_option("--file", config_path, "the card configuration file for config-file");
  cli.add_option("commands", words, "COMMAND ARGS [COMMAND ARGS ...]")->required();
  cli.footer(Help());
  CLI11_PARSE(cli, argc, argv);

  if (words[0] == "config-file") return RunConfigFile(words, config_path, json);
  std::vector<zarkcfg::Command> commands;
  try {
    commands = zarkcfg::SplitCommands(words);
  } catch (const zarkcfg::UsageError& error) {
    std::cerr << "zarkcfg: " << error.what() << "\n";
    return kExitUsage;
  }
#ifdef _WIN32
  zarkcfg::WindowsCard card;
  if (!card.open_error().empty()) {
    std::cerr << "zarkcfg: " << card.open_error() << "\n";
    return kExitRefused;
  }
#else
  sim::MachineConfig config = zarksim::DefaultMachine();
  if (!scenario.empty()) {
    std::string error;
    if (!zarksim::LoadScenario(scenario, &config, &error)) {
      std::cerr << "zarkcfg: " << error << "\n";
      return kExitUsage;
    }
  }
  if (!images.empty()) config.images.kind = *sim::ParseImageKind(images);
  zarkcfg::SimulatedCard card(config);
  if (card.open_status() != 0) {
    std::cerr << "zarkcfg: the machine has no card control device to open\n";
    card.Finish();
    return kExitRefused;
  }
#endif
  int status = 0;
  nlohmann::json results = nlohmann::json::array();
  for (const zarkcfg::Command& command : commands) {
    zarkcfg::Outcome outcome;
    try {
      outcome = zarkcfg::RunCommand(card, command);
    } catch (const zarkcfg::UsageError& error) {
      std::cerr << "zarkcfg: " << command.name << ": " << error.what() << "\n";
      status = kExitUsage;
      break;
    }
    results.push_back(outcome.json);
    if (!json) (outcome.ok ? std::cout : std::cerr) << outcome.text << "\n";
    if (!outcome.ok) {
      status = kExitRefused;
      break;
    }
  }
  if (json) std::cout << nlohmann::json{{"results", results}}.dump(2) << "\n";
#ifndef _WIN32
  if (std::string findings = card.Finish(); !findings.empty()) {
    std::cerr << "zarkcfg: the simulated machine's verifier found:\n" << findings << "\n";
    return kExitFindings;
  }
#endif
  return status;
}
