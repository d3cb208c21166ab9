#include "tools/zarksim/run_machine.h"

#include <cstring>

#include "sim/machine/snapshot.h"
#include "tools/zarksim/card_state.h"
#include "tools/zarksim/report_format.h"

namespace zarksim {

// One 4-port card with a loopback plug on port 1 and a plug-and-play modem on
// port 2; after the boot an application talks to each (the ports are COM3
// and COM4: COM1 and COM2 are the motherboard's).
sim::MachineConfig DefaultMachine() {
  sim::MachineConfig config;
  sim::CardConfig card;
  card.devices[1].kind = "loopback";
  sim::hw::AttachedDeviceConfig& modem = card.devices[2];
  modem.kind = "modem";
  modem.eisa = "ZRK";
  modem.product = "0336";
  modem.device_class = "MODEM";
  modem.user = "Zark 33600 Data Fax Modem";
  config.cards.push_back(card);
  auto session = [](const char* com_name, const char* text) {
    sim::MachineAction action;
    action.kind = sim::MachineAction::Kind::Serial;
    sim::SerialSession serial;
    serial.com_name = com_name;
    serial.baud_rate = 9600;
    serial.write.assign(text, text + std::strlen(text));
    serial.read_ms = 100;
    action.serial = serial;
    return action;
  };
  config.actions = {sim::MachineAction{}, session("COM3", "Hello, loopback"), session("COM4", "AT\r")};
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
