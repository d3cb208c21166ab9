// Whole machines through sleep, hibernate and shutdown: an application
// keeps a COM port open across the sleep, the hardware loses its state,
// and after the wake the drivers have put it back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <vector>
#include <string>

#include "scenario_support.h"
#include "sim/hw/uart_card.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/enum_registry.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/power/power_manager.h"
#include "support/seed_range.h"
// After the kernel headers, as on Windows.
#include "ntddser.h"

namespace {

using nlohmann::json;

std::string Exchange(sim::Application& app, HANDLE handle, const char* text) {
  const ULONG length = static_cast<ULONG>(std::strlen(text));
  sim::IoResult written = app.Write(handle, text, length);
  if (written.status != STATUS_SUCCESS) return "write failed";
  std::string read(length, '\0');
  sim::IoResult got = app.Read(handle, read.data(), length);
  if (got.status != STATUS_SUCCESS) return "read failed";
  read.resize(got.information);
  return read;
}

// The power state each device object of the port's stack last reported.
ULONG Reported(const DEVICE_OBJECT* device) { return device->DeviceObjectExtension->PowerFlags; }

// The mouse's events as its driver counted them, or -1 without a child.
int MouseEventCount(sim::Machine& machine, sim::DeviceNode* port) {
  for (sim::DeviceNode* child : port->children) {
    if (child->Gone() || !child->present) continue;
    return static_cast<int>(machine.kernel().registry->GetDword(sim::DeviceParametersPath(*child), "MouseEventCount").value_or(0));
  }
  return -1;
}

// A 12-port card with a loopback plug, a modem and a mouse; COM3 stays open
// from before the sleep to after the wake, and the detected mouse's driver
// keeps COM5 open, its lines up. Under preemption on every seed: every
// stack is told of the sleep (the port devices, the enumerator's filters
// and the mouse's device report D3), the card loses its registers, the
// UARTs drop their lines (the mouse they power goes off), and after the
// wake every port's UART answers at its address again, the open handle's
// loopback exchange works, the mouse is powered again and its movements
// reach its driver through the same child, and nothing is left behind.
TEST(PowerScenarioTest, SleepAndWakeWithPortsHeldOpen) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment(8);
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    sim::MachineConfig config = sim::test::PreemptedMachine(seed);
    sim::CardConfig card;
    card.device_id = 0x1112;
    card.devices[1].kind = "loopback";
    card.devices[2].kind = "modem";
    card.devices[3].kind = "mouse";
    card.devices[3].packets = {{100, 7, -2, true, false, false}};
    config.cards = {card};
    sim::Machine machine(config);
    machine.Boot();
    // Detection finds the mouse, whose driver opens COM5 and raises DTR and RTS.
    machine.DelayUntil(machine.kernel().Now() + 6000 * 10000LL);
    sim::DeviceNode* mouse_port = machine.PortNode(0, 3);
    ASSERT_NE(mouse_port, nullptr);
    ASSERT_EQ(MouseEventCount(machine, mouse_port), 1) << "the mouse was detected and its packet read";
    DEVICE_OBJECT* mouse_device = mouse_port->children.front()->pdo;
    sim::hw::SerialDevice& mouse = *machine.cards()[0].model->attached(2);
    EXPECT_EQ(mouse.state().rfind("powered", 0), 0u) << mouse.state();
    sim::Application& app = machine.app();
    HANDLE com3 = nullptr;
    ASSERT_EQ(app.Open("\\\\.\\COM3", &com3), STATUS_SUCCESS);
    EXPECT_EQ(Exchange(app, com3, "ping"), "ping");

    const SYSTEM_POWER_STATE state = seed % 2 ? PowerSystemSleeping3 : PowerSystemHibernate;
    ASSERT_EQ(machine.Sleep(state), STATUS_SUCCESS);
    sim::hw::UartCard& model = *machine.cards()[0].model;
    EXPECT_EQ(model.Get16(0x04), 0) << "the card lost its power";
    EXPECT_EQ(mouse.state().rfind("off", 0), 0u) << "the UART's reset dropped DTR and RTS: " << mouse.state();
    EXPECT_EQ(Reported(mouse_device), static_cast<ULONG>(PowerDeviceD3)) << "the mouse's device";
    for (unsigned port = 1; port <= 12; ++port) {
      sim::DeviceNode* node = machine.PortNode(0, port);
      ASSERT_NE(node, nullptr);
      EXPECT_EQ(Reported(node->pdo), static_cast<ULONG>(PowerDeviceD3)) << "port " << port;
      EXPECT_EQ(Reported(IoGetAttachedDevice(node->pdo)), static_cast<ULONG>(PowerDeviceD3)) << "filter of port " << port;
    }

    ASSERT_EQ(machine.Wake(), STATUS_SUCCESS);
    for (unsigned port = 1; port <= 12; ++port) {
      sim::DeviceNode* node = machine.PortNode(0, port);
      EXPECT_EQ(Reported(node->pdo), static_cast<ULONG>(PowerDeviceD0)) << "port " << port;
      EXPECT_EQ(Reported(IoGetAttachedDevice(node->pdo)), static_cast<ULONG>(PowerDeviceD0)) << "filter of port " << port;
      const auto block = model.PortBlock(port - 1);
      const uint16_t address = static_cast<uint16_t>(block[4] | block[5] << 8);
      EXPECT_EQ(model.UartAt(address), static_cast<int>(port - 1)) << "port " << port << " answers at its address";
    }
    EXPECT_EQ(Exchange(app, com3, "pong"), "pong");
    EXPECT_EQ(mouse.state().rfind("powered", 0), 0u) << "the serial port driver raised the lines again: " << mouse.state();
    EXPECT_EQ(Reported(mouse_device), static_cast<ULONG>(PowerDeviceD0)) << "the mouse's device";
    // Powered again, the mouse replays its packet to the same driver.
    machine.DelayUntil(machine.kernel().Now() + 1000 * 10000LL);
    EXPECT_EQ(MouseEventCount(machine, mouse_port), 2) << "the mouse's movement after the wake";
    EXPECT_EQ(mouse_port->children.front()->pdo, mouse_device) << "the same child";
    EXPECT_EQ(app.Close(com3), STATUS_SUCCESS);
    machine.Shutdown();
    EXPECT_TRUE(machine.verifier().clean()) << machine.verifier().Summary();
    if (HasFailure()) return;
  }
}

// Every mouse event a report shows, from every node of its tree.
size_t MouseEventsIn(const json& node) {
  size_t count = node.contains("mouse_events") ? node["mouse_events"].size() : 0;
  if (node.contains("children"))
    for (const json& child : node["children"]) count += MouseEventsIn(child);
  return count;
}

// The example scenario takes the demo machine through S3, hibernate and S1:
// the loopback answers after each wake, the modem after the first, the
// mouse, powered again, replays its movements to its driver after each,
// and the machine ends with a shutdown that removes nothing and finds
// nothing.
TEST(PowerScenarioTest, TheExampleScenarioSleepsAndWakes) {
  std::ifstream file(scenario_test::ScenarioPath("sleep_and_wake.json"));
  ASSERT_TRUE(file.good());
  int status = -1;
  const auto started = std::chrono::steady_clock::now();
  json report = scenario_test::RunReport(zarksim::ParseScenario(json::parse(file)), &status);
  const auto wall = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(status, 0) << report["verifier"].dump(2);
  std::vector<std::string> read;
  for (const json& action : report["actions"]) {
    EXPECT_EQ(action["status"], "0x00000000") << action.dump();
    if (action["action"] != "serial") continue;
    std::string text;
    for (const json& byte : action["serial"]["read"]) text += static_cast<char>(byte.get<int>());
    read.push_back(text);
  }
  EXPECT_EQ(read, (std::vector<std::string>{"before", "after S3", "\r\nOK\r\n", "after S4", "after S1"}));
  EXPECT_EQ(report["device_tree"][0]["state"], "started") << "the report is taken before the shutdown";
  // Four packets, and the middle button's own two events, at boot and after each of the three wakes.
  size_t events = 0;
  for (const json& node : report["device_tree"]) events += MouseEventsIn(node);
  EXPECT_EQ(events, 4u * 6u);
  RecordProperty("wall_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()));

  // A pinned card refuses removal; the shutdown removes nothing, so its
  // scenario ends cleanly.
  json pinned = scenario_test::RunReport(
      scenario_test::Scenario(R"({"cards": [{"subsystem": "0x00011C29"}], "actions": [{"action": "shutdown", "at_ms": 100}]})"),
      &status);
  EXPECT_EQ(status, 0) << pinned["verifier"].dump(2);
  EXPECT_EQ(pinned["cards"][0]["pinned_card"], true);
}

// A shutdown while the mouse driver's thread waits for the mouse: the
// machine powers off without removing anything, and the thread is stopped
// where it waits, inside the driver, whichever kind of image runs it.
TEST(PowerScenarioTest, ShutdownStopsADriverThreadWaitingInItsDriver) {
  int status = -1;
  json report = scenario_test::RunReport(scenario_test::Scenario(R"({"cards": [{"devices": {"3": {"kind": "mouse",
      "model": "M", "packets": [{"after_ms": 100, "dx": 3, "dy": 4}]}}}],
      "actions": [{"action": "shutdown", "at_ms": 6000}]})"),
                                         &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump(2);
  size_t events = 0;
  for (const json& node : report["device_tree"]) events += MouseEventsIn(node);
  EXPECT_EQ(events, 1u) << "the mouse driver was reading when the machine went off";
}

}  // namespace
