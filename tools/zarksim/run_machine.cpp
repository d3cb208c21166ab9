#include "tools/zarksim/run_machine.h"

#include <cstring>

#include "sim/machine/snapshot.h"
#include "tools/zarksim/card_state.h"
#include "tools/zarksim/port_detection.h"
#include "tools/zarksim/report_format.h"

namespace zarksim {

// One 4-port card with a loopback plug on port 1, a plug-and-play modem on
// port 2 and a three-button mouse on port 3; after the boot an application
// talks to the first two (the ports are COM3 and COM4: COM1 and COM2 are the
// motherboard's), and the mouse moves while its driver reads it. The report
// is taken at 5 s, when every port has been probed.
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
  sim::hw::AttachedDeviceConfig& mouse = card.devices[3];
  mouse.kind = "mouse";
  mouse.model = "M3";
  mouse.packets = {{400, 12, -4, false, false, false},
                   {500, -30, 8, true, false, false},
                   {600, 0, 0, false, false, true},
                   {700, 3, 3, false, true, false}};
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
  sim::MachineAction shutdown;
  shutdown.kind = sim::MachineAction::Kind::Shutdown;
  shutdown.time = 5 * 10000000LL;
  config.actions = {sim::MachineAction{}, session("COM3", "Hello, loopback"), session("COM4", "AT\r"), shutdown};
  return config;
}

int RunMachine(const sim::MachineConfig& config, const RunOptions& options, std::ostream& out) {
  sim::Machine machine(config);
  ProbeWatch probes(machine);
  std::vector<sim::ActionResult> actions = machine.Play();
  sim::MachineSnapshot snapshot = SnapshotWithCardState(machine, &probes);
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
