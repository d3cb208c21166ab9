#include "tools/zarksim/run_machine.h"

#include "sim/machine/snapshot.h"
#include "tools/zarksim/card_state.h"
#include "tools/zarksim/report_format.h"

namespace zarksim {

sim::MachineConfig DefaultMachine() {
  sim::MachineConfig config;
  config.cards.push_back(sim::CardConfig{});
  return config;
}

int RunMachine(const sim::MachineConfig& config, const RunOptions& options, std::ostream& out) {
  sim::Machine machine(config);
  std::vector<sim::ActionResult> actions = machine.Play();
  sim::MachineSnapshot snapshot = SnapshotWithCardState(machine);
  snapshot.actions = std::move(actions);
  machine.Shutdown();
  const auto& findings = machine.verifier().findings();
  if (options.json) {
    out << ToJson(snapshot, findings).dump(2) << "\n";
  } else {
    out << FormatTree(snapshot, findings);
  }
  return findings.empty() ? 0 : 1;
}

}  // namespace zarksim
