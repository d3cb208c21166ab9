// Whole machines judged by the device tree of the report: the card and its
// port devices as Windows lists them, and what the user actions of a
// scenario (removal, surprise removal, disable and enable, rebalance,
// eject) leave of them.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "sim/kernel/io_manager.h"
#include "sim/machine/machine.h"
#include "sim/kernel/pnp/device_node.h"
#include "tools/zarksim/card_state.h"
#include "scenario_support.h"
#include "support/seed_range.h"
#include "tools/zarksim/run_machine.h"
#include "tools/zarksim/scenario_file.h"

namespace {

using nlohmann::json;

using scenario_test::RunReport;
using scenario_test::ScenarioPath;

json RunReport(const std::string& scenario, int* exit_status = nullptr) {
  return RunReport(zarksim::ParseScenario(json::parse(scenario)), exit_status);
}

// The start address of the first I/O window among readable resource lines.
unsigned long PortStart(const json& lines) {
  for (const json& line : lines) {
    const std::string text = line.get<std::string>();
    auto at = text.find("port 0x");
    if (at != std::string::npos) return std::stoul(text.substr(at + 5), nullptr, 16);
  }
  return 0;
}

bool Mentions(const json& lines, const std::string& part) {
  for (const json& line : lines)
    if (line.get<std::string>().find(part) != std::string::npos) return true;
  return false;
}

TEST(DeviceTreeScenarioTest, TheDefaultMachineShowsFourPortsWithTheirWindowsAndInterrupt) {
  int status = -1;
  json report = RunReport(zarksim::DefaultMachine(), &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump();
  ASSERT_EQ(report["device_tree"].size(), 1u);
  const json& card = report["device_tree"][0];
  EXPECT_EQ(card["state"], "started");
  EXPECT_TRUE(card["problem"].is_null());
  EXPECT_EQ(card["service"], "zarkcard");
  EXPECT_EQ(card["hardware_ids"][0], "PCI\\VEN_1C29&DEV_1104&SUBSYS_00000000&REV_00");
  ASSERT_EQ(card["stack"].size(), 2u);
  EXPECT_EQ(card["stack"][0]["kind"], "PDO");
  EXPECT_EQ(card["stack"][0]["driver"], "pci");
  EXPECT_EQ(card["stack"][1]["kind"], "FDO");
  EXPECT_EQ(card["stack"][1]["name"], "\\Device\\ZARKLINK_0");
  EXPECT_EQ(card["raw_resources"].size(), 13u) << "six BARs with their private entries, and the line";
  EXPECT_TRUE(Mentions(card["raw_resources"], "10: port 0xE200-"));
  EXPECT_TRUE(Mentions(card["raw_resources"], "12: interrupt level 11"));
  EXPECT_TRUE(Mentions(card["translated_resources"], "12: interrupt level 5 vector 0x5B"));

  const json& ports = card["children"];
  ASSERT_EQ(ports.size(), 4u);
  for (unsigned n = 0; n < 4; ++n) {
    const json& port = ports[n];
    // The card's bus answers "0000" for every port, unique only on the card:
    // the instance ID gets the card's prefix.
    EXPECT_EQ(port["instance_path"], "ZARKLINK\\*KVRCOM0" + std::to_string(n + 1) + "\\5&351d7fbe&0&0000");
    EXPECT_EQ(port["hardware_ids"], json::array({"*KVRCOM0" + std::to_string(n + 1)}));
    EXPECT_EQ(port["state"], "started");
    EXPECT_EQ(port["service"], "KALVOR1110");
    ASSERT_EQ(port["stack"].size(), 3u);
    EXPECT_EQ(port["stack"][0]["driver"], "zarkcard");
    EXPECT_EQ(port["stack"][1]["driver"], "KALVOR1110");
    EXPECT_EQ(port["stack"][1]["kind"], "FDO");
    EXPECT_EQ(port["stack"][2]["driver"], "zarkenum");
    // The names the Ports class installer gave: COM1 and COM2 are the
    // motherboard's.
    const std::string com = "COM" + std::to_string(n + 3);
    EXPECT_EQ(port["com_name"], com);
    EXPECT_EQ(port["port_name"], com);
    EXPECT_EQ(port["friendly_name"], "Communications Port (" + com + ")");
    const json& handed = port["port_resources"];
    ASSERT_TRUE(handed.is_object());
    EXPECT_EQ(handed["status"], "0x00000000");
    EXPECT_EQ(PortStart(handed["raw"]), 0xE200u + 8 * n) << "port " << n + 1;
    EXPECT_EQ(PortStart(handed["translated"]), 0xE200u + 8 * n);
    EXPECT_TRUE(Mentions(handed["raw"], "1: interrupt level 11 vector 0xB shared"));
    EXPECT_TRUE(Mentions(handed["translated"], "1: interrupt level 5 vector 0x5B shared"));
  }
  EXPECT_TRUE(report["removed_devices"].empty());
  // After the boot an application talks to the loopback plug on COM3 and to
  // the modem on COM4.
  const json& actions = report["actions"];
  ASSERT_EQ(actions.size(), 3u);
  EXPECT_EQ(actions[0]["action"], "boot");
  auto text = [](const json& bytes) {
    std::string out;
    for (const json& byte : bytes) out += static_cast<char>(byte.get<int>());
    return out;
  };
  EXPECT_EQ(text(actions[1]["serial"]["read"]), "Hello, loopback");
  EXPECT_EQ(text(actions[2]["serial"]["read"]), "\r\nOK\r\n");
  EXPECT_EQ(report["cards"][0]["uarts"][1]["device"], "modem");

  // Each port was probed once; the modem and the mouse were found, the
  // mouse got its driver, and the report shows the movements it decoded.
  for (unsigned n = 0; n < 4; ++n) EXPECT_EQ(ports[n]["detection"]["probes"], 1) << "port " << n + 1;
  EXPECT_TRUE(ports[0]["detection"]["child"].is_null()) << "a loopback plug sends nothing of its own";
  EXPECT_TRUE(ports[3]["detection"]["child"].is_null());
  const json& modem = ports[1]["detection"]["child"];
  EXPECT_EQ(modem["device_id"], "SERENUM\\ZRK0336");
  EXPECT_EQ(modem["hardware_ids"], json::array({"SERENUM\\ZRK0336", "ZRK0336"}));
  EXPECT_EQ(modem["compatible_ids"], json::array()) << "a class without compatible IDs adds none";
  EXPECT_EQ(modem["description"], "Zark 33600 Data Fax Modem");
  EXPECT_EQ(modem["revision"], "1.00");
  EXPECT_TRUE(modem["driver"].is_null());
  EXPECT_EQ(modem["instance_path"], ports[1]["children"][0]["instance_path"]);
  const json& mouse = ports[2]["detection"]["child"];
  EXPECT_EQ(mouse["hardware_ids"], json::array({"*PNP0F01"}));
  EXPECT_EQ(mouse["compatible_ids"], json::array({"SERIAL_MOUSE"}));
  EXPECT_EQ(mouse["device_id"], "Serenum\\Mouse");
  EXPECT_EQ(mouse["driver"], "SerialMouse");
  // Each probe's open and close of its port, in virtual time: the empty
  // port waits 3 x 1280 ms; the mouse answers "M3" 10 ms after RTS rose
  // after three 200 ms line steps, then 240 ms pass without a byte.
  auto span = [](const json& probe) { return probe["end_us"].get<double>() - probe["start_us"].get<double>(); };
  ASSERT_EQ(ports[3]["detection"]["history"].size(), 1u);
  EXPECT_EQ(ports[3]["detection"]["history"][0]["outcome"], "probed");
  EXPECT_NEAR(span(ports[3]["detection"]["history"][0]), 3840000, 2000);
  ASSERT_EQ(ports[2]["detection"]["history"].size(), 1u);
  EXPECT_NEAR(span(ports[2]["detection"]["history"][0]), 600000 + 10000 + 15000 + 240000, 2000);
  const json& events = ports[2]["children"][0]["mouse_events"];
  ASSERT_EQ(events.size(), 6u) << events.dump();
  EXPECT_EQ(events[0], json({{"dx", 12}, {"dy", -4}, {"left", false}, {"right", false}, {"middle", false}}));
  EXPECT_EQ(events[1], json({{"dx", -30}, {"dy", 8}, {"left", true}, {"right", false}, {"middle", false}}));
  EXPECT_EQ(events[3], json({{"dx", 0}, {"dy", 0}, {"left", false}, {"right", false}, {"middle", true}}));
  EXPECT_EQ(events[4], json({{"dx", 3}, {"dy", 3}, {"left", false}, {"right", true}, {"middle", true}}));
  EXPECT_EQ(events[5], json({{"dx", 0}, {"dy", 0}, {"left", false}, {"right", true}, {"middle", false}}));
}

// A mouse plugged into a port after the boot is found by a scan for
// hardware changes of that port; a scan of an empty port probes it again
// and finds nothing.
TEST(DeviceTreeScenarioTest, ARescanFindsWhatWasPluggedInSinceThePortStarted) {
  int status = -1;
  json report = RunReport(R"({"cards": [{}], "actions": [
      {"action": "plug", "at_ms": 5000, "port": 4, "device": {"kind": "mouse", "model": "B"}},
      {"action": "rescan", "at_ms": 5100, "port": 1},
      {"action": "rescan", "at_ms": 6000, "port": 4},
      {"action": "shutdown", "at_ms": 11000}]})",
                          &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump(2);
  const json& ports = report["device_tree"][0]["children"];
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[0]["detection"]["probes"], 2) << "the rescanned empty port was probed again";
  EXPECT_TRUE(ports[0]["detection"]["child"].is_null());
  EXPECT_EQ(ports[3]["detection"]["probes"], 2);
  const json& mouse = ports[3]["detection"]["child"];
  ASSERT_TRUE(mouse.is_object()) << "the mouse found by the rescan";
  EXPECT_EQ(mouse["hardware_ids"], json::array({"*PNP0F09"}));
  EXPECT_EQ(mouse["driver"], "SerialMouse");
}

TEST(DeviceTreeScenarioTest, TheTreeShowsPortsUnderTheCardWithDeviceParameters) {
  sim::MachineConfig config = zarksim::ParseScenario(json::parse(R"({"cards": [{}], "registry": [
      {"key": "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1C29&DEV_1104&SUBSYS_00000000&REV_00\\4&813c32c1&0&00\\Device Parameters",
       "name": "ClockRate", "type": "REG_DWORD", "value": 1843200},
      {"key": "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\ZARKLINK\\*KVRCOM02\\5&351d7fbe&0&0000\\Device Parameters",
       "name": "PortName", "type": "REG_SZ", "value": "COM7"}]})"));
  json report = RunReport(config);
  const json& card = report["device_tree"][0];
  ASSERT_FALSE(card["device_parameters"].empty());
  EXPECT_EQ(card["device_parameters"][0], json({{"name", "ClockRate"}, {"type", "REG_DWORD"}, {"value", 1843200}}));
  EXPECT_EQ(card["children"][1]["device_parameters"][0],
            json({{"name", "PortName"}, {"type", "REG_SZ"}, {"value", "\"COM7\""}}));

  std::ostringstream out;
  EXPECT_EQ(zarksim::RunMachine(config, zarksim::RunOptions{}, out), 0);
  const std::string tree = out.str();
  for (const char* line : {"+-- PCI\\VEN_1C29&DEV_1104&SUBSYS_00000000&REV_00\\4&813c32c1&0&00  (started)\n",
                           "|     FDO \\Device\\ZARKLINK_0  [zarkcard]", "|       12: interrupt level 11 vector 0xB shared\n",
                           "|       ClockRate = REG_DWORD 0x001C2000\n",
                           "|   +-- ZARKLINK\\*KVRCOM02\\5&351d7fbe&0&0000  (started)\n",
                           "|   |     COM name: COM7  PortName: COM7  FriendlyName: (none)\n",
                           "|   |       PortName = REG_SZ \"COM7\"\n", "|   |     port resources, raw:\n",
                           "|   |       0: port 0xE218-", "+-- 0 us  boot  -> done\n"})
    EXPECT_NE(tree.find(line), std::string::npos) << line << "\n" << tree;
}

TEST(DeviceTreeScenarioTest, ASurpriseRemovalMidScenarioLeavesNoDeviceObject) {
  sim::MachineConfig config;
  std::string error;
  ASSERT_TRUE(zarksim::LoadScenario(ScenarioPath("surprise_removal.json"), &config, &error)) << error;
  int status = -1;
  json report = RunReport(config, &status);
  EXPECT_EQ(status, 0) << "the verifier found nothing: " << report["verifier"].dump();
  EXPECT_TRUE(report["device_tree"].empty());
  EXPECT_TRUE(report["other_devices"].empty());
  EXPECT_TRUE(report["symbolic_links"].empty()) << "\\DosDevices\\ZARKCARD went with the card";
  EXPECT_EQ(report["removed_devices"].size(), 5u) << "the card and its four ports";
  EXPECT_EQ(report["actions"][1]["action"], "surprise_remove");
  EXPECT_EQ(report["actions"][1]["at_us"], 50000);
  EXPECT_EQ(report["actions"][1]["status"], "0x00000000");
  EXPECT_EQ(report["virtual_time_us"], 500000) << "the report is taken when the shutdown is due";
  EXPECT_TRUE(report["cards"][0]["port_count"].is_null());

  // The machine itself: every device object deleted, every driver gone.
  sim::Machine machine(config);
  machine.Play();
  for (const auto& [device, record] : machine.kernel().io->devices())
    EXPECT_TRUE(record->deleted) << "a device object of " << (record->driver ? record->driver->name : "?") << " remains";
  EXPECT_EQ(machine.CardNode(0), nullptr);
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().findings().empty());
}

TEST(DeviceTreeScenarioTest, RemovingTheCardTakesItsPortsAlong) {
  int status = -1;
  json report = RunReport(R"({"cards": [{}, {}], "actions": [{"action": "remove", "at_ms": 10, "card": 1}]})", &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump();
  ASSERT_EQ(report["device_tree"].size(), 1u) << "the other card stays";
  EXPECT_EQ(report["device_tree"][0]["children"].size(), 4u);
  EXPECT_EQ(report["removed_devices"].size(), 5u) << "the card and its four ports, whose paths are their own";
  EXPECT_EQ(report["actions"][1]["device"], "PCI\\VEN_1C29&DEV_1104&SUBSYS_00000000&REV_00\\4&2365b812&0&00");
  EXPECT_EQ(report["actions"][1]["status"], "0x00000000");
}

TEST(DeviceTreeScenarioTest, ADisabledCardKeepsItsNodeOnlyAndComesBackWhenEnabled) {
  int status = -1;
  json disabled = RunReport(R"({"cards": [{}], "actions": [{"action": "disable", "at_ms": 5}]})", &status);
  EXPECT_EQ(status, 0) << disabled["verifier"].dump();
  const json& card = disabled["device_tree"][0];
  EXPECT_EQ(card["state"], "disabled");
  EXPECT_TRUE(card["children"].empty());
  EXPECT_EQ(card["stack"].size(), 1u) << "only the bus driver's PDO";
  EXPECT_TRUE(card["raw_resources"].empty()) << "resources given back";
  EXPECT_EQ(disabled["removed_devices"].size(), 4u);

  json enabled = RunReport(R"({"cards": [{}], "actions": [{"action": "disable", "at_ms": 5},
                                                    {"action": "enable", "at_ms": 6}]})", &status);
  EXPECT_EQ(status, 0) << enabled["verifier"].dump();
  EXPECT_EQ(enabled["device_tree"][0]["state"], "started");
  ASSERT_EQ(enabled["device_tree"][0]["children"].size(), 4u);
  EXPECT_EQ(PortStart(enabled["device_tree"][0]["children"][3]["port_resources"]["raw"]), 0xE218u);
  EXPECT_TRUE(enabled["removed_devices"].empty()) << "the ports came back";
  EXPECT_EQ(enabled["actions"][2]["status"], "0x00000000");

  json twice = RunReport(R"({"cards": [{}], "actions": [{"action": "enable"}]})");
  EXPECT_NE(twice["actions"][1]["status"], "0x00000000") << "a running card cannot be enabled";
}

TEST(DeviceTreeScenarioTest, ADisabledPortLeavesItsSiblingsAlone) {
  json report = RunReport(R"({"cards": [{}], "actions": [{"action": "disable", "port": 2}]})");
  const json& ports = report["device_tree"][0]["children"];
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[1]["state"], "disabled");
  EXPECT_EQ(ports[0]["state"], "started");
  EXPECT_EQ(report["device_tree"][0]["state"], "started");
  EXPECT_EQ(report["actions"][1]["device"], "ZARKLINK\\*KVRCOM02\\5&351d7fbe&0&0000");

  json missing = RunReport(R"({"cards": [{}], "actions": [{"action": "disable", "port": 9}]})");
  EXPECT_EQ(missing["actions"][1]["status"], "0xC000000E") << "a 4-port card has no port 9";
}

TEST(DeviceTreeScenarioTest, RebalanceMovesTheCardAndItsPortsFollow) {
  int status = -1;
  // After the ports' first probes, during which they refuse to stop.
  json report = RunReport(R"({"cards": [{}], "actions": [{"action": "rebalance", "at_ms": 4000}]})", &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump();
  EXPECT_EQ(report["actions"][1]["status"], "0x00000000");
  const json& card = report["device_tree"][0];
  EXPECT_EQ(card["state"], "started");
  const unsigned long window = PortStart(json::array({card["raw_resources"][10]}));
  EXPECT_NE(window, 0xE200u) << "the old range stayed taken: " << card["raw_resources"].dump();
  ASSERT_EQ(card["children"].size(), 4u) << "a restarted card keeps its ports";
  for (unsigned n = 0; n < 4; ++n)
    EXPECT_EQ(PortStart(card["children"][n]["port_resources"]["raw"]), window + 8 * n) << "port " << n + 1;

  json stay = RunReport(
      R"({"cards": [{}], "actions": [{"action": "rebalance", "at_ms": 4000, "move_resources": false}]})");
  EXPECT_TRUE(Mentions(stay["device_tree"][0]["raw_resources"], "10: port 0xE200-"));
}

// A card that fails to start again after a rebalance cannot keep its ports:
// their stacks are removed before the card's, so nothing is deleted while
// still attached.
TEST(DeviceTreeScenarioTest, ACardThatFailsItsRestartTakesItsPortsDownFirst) {
  sim::MachineConfig config;
  config.cards.push_back(sim::CardConfig{});
  sim::Machine machine(config);
  machine.Boot();
  ASSERT_NE(machine.PortNode(0, 1), nullptr);
  machine.DelayUntil(4000 * 10000LL);      // the ports' first probes, during which they refuse to stop
  machine.bus().FailNthConfigRequest(1);  // the restarted card's first header read
  sim::MachineAction rebalance;
  rebalance.kind = sim::MachineAction::Kind::Rebalance;
  rebalance.move_resources = false;
  EXPECT_NE(machine.Perform(rebalance).status, STATUS_SUCCESS);
  sim::DeviceNode* card = machine.CardNode(0);
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(card->state, sim::DeviceNode::State::Failed);
  for (const sim::DeviceNode* port : card->children) EXPECT_TRUE(port->Gone()) << port->InstancePath();
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().clean()) << machine.verifier().Summary();
}

// While a port holds the port resource interface (as the port enumerator
// does between its query and its dereference) the card vetoes query-remove
// and query-stop: removal, disable, eject and rebalance leave it running
// with what it had.
TEST(DeviceTreeScenarioTest, AHeldPortInterfaceVetoesAndTheCardKeepsRunning) {
  sim::Machine machine(zarksim::DefaultMachine());
  machine.Play();
  sim::DeviceNode* card = machine.CardNode(0);
  sim::DeviceNode* port = machine.PortNode(0, 1);
  ASSERT_NE(card, nullptr);
  ASSERT_NE(port, nullptr);
  const std::vector<uint8_t> resources = card->resources.raw;
  zarksim::PortResourceInterfaceRecord held;
  ASSERT_EQ(zarksim::QueryPortResourceInterface(machine, *port, &held), STATUS_SUCCESS);

  using Kind = sim::MachineAction::Kind;
  for (Kind kind : {Kind::Remove, Kind::Disable, Kind::Eject, Kind::Rebalance}) {
    sim::MachineAction action;
    action.kind = kind;
    sim::ActionResult result = machine.Perform(action);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << sim::MachineActionName(kind);
    EXPECT_EQ(card->state, sim::DeviceNode::State::Started) << sim::MachineActionName(kind);
    EXPECT_EQ(card->children.size(), 4u);
    EXPECT_EQ(card->resources.raw, resources) << "a vetoed rebalance keeps the resources";
  }

  held.InterfaceDereference(held.Context);
  sim::MachineAction remove;
  remove.kind = Kind::Remove;
  EXPECT_EQ(machine.Perform(remove).status, STATUS_SUCCESS);
  EXPECT_EQ(machine.CardNode(0), nullptr);
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().findings().empty());
}

TEST(DeviceTreeScenarioTest, EjectTakesTheCardAway) {
  int status = -1;
  json report = RunReport(R"({"cards": [{}], "actions": [{"action": "eject", "at_ms": 3}]})", &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump();
  EXPECT_TRUE(report["device_tree"].empty());
  EXPECT_EQ(report["actions"][1]["status"], "0x00000000");
  // Actions on a card that has gone are refused, not fatal.
  json again = RunReport(R"({"cards": [{}], "actions": [{"action": "eject"}, {"action": "disable"}]})");
  EXPECT_EQ(again["actions"][2]["status"], "0xC000000E") << "STATUS_NO_SUCH_DEVICE";
}

}  // namespace

namespace {

// The twelve-port card's whole Plug and Play life, with preemption at every
// kernel entry the drivers make, under many seeds: the verifier stays clean
// and the report names the seed and the processors. The card restarts once
// port 3's second probe is over (a probing port refuses to stop). Each seed
// plays eight seconds of twelve probing ports; scripts/sweep runs thousands.
TEST(DeviceTreeScenarioTest, TheTwelvePortCardStaysCleanUnderPreemptionForEverySeed) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment(64);
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    json scenario = json::parse(R"({"processors": 2, "preemption": {"mode": "random", "per_mille": 150},
      "cards": [{"device_id": 4370}],
      "actions": [{"action": "disable", "at_ms": 5, "card": 0, "port": 3},
                  {"action": "enable", "at_ms": 6, "card": 0, "port": 3},
                  {"action": "rebalance", "at_ms": 8000, "card": 0},
                  {"action": "disable", "at_ms": 8020, "card": 0},
                  {"action": "enable", "at_ms": 8025, "card": 0},
                  {"action": "eject", "at_ms": 8030, "card": 0, "port": 12},
                  {"action": "remove", "at_ms": 8040, "card": 0}]})");
    scenario["seed"] = seed;
    int status = -1;
    json report = RunReport(zarksim::ParseScenario(scenario), &status);
    ASSERT_EQ(status, 0) << "seed " << seed << ": " << report["verifier"].dump();
    ASSERT_EQ(report["seed"], seed);
    ASSERT_EQ(report["processors"], 2);
    for (const json& action : report["actions"])
      ASSERT_EQ(action["status"], "0x00000000") << "seed " << seed << ": " << action.dump();
  }
}

}  // namespace
