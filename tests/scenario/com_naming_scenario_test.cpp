// COM names of the card's ports in whole machines: the card driver keeps
// each card's names in port order and its friendly names in step with them,
// and enforces configured numbers. The serial port driver takes "PortName"
// when its port starts, so a name the card driver changes reaches the link
// at the port's next start; each test ends with a reboot after which the
// link that opens, "PortName", "FriendlyName" and the report agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/enum_registry.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/utf16_text.h"
#include "sim/machine/machine.h"
#include "sim/machine/serial_session.h"
#include "tools/zarksim/card_state.h"
#include "tools/zarksim/report_format.h"

namespace {

using nlohmann::json;
using Names = std::vector<std::string>;

constexpr char kSerialEnumKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110\\Enum";

sim::hw::AttachedDeviceConfig Loopback() {
  sim::hw::AttachedDeviceConfig device;
  device.kind = "loopback";
  return device;
}

std::string Friendly(const std::string& name) { return "Communications Port (" + name + ")"; }

// The registry of a running machine as the tests look at it.
class Ports {
 public:
  explicit Ports(sim::Machine& machine) : machine_(machine) {}

  sim::Registry& registry() { return *machine_.kernel().registry; }
  sim::DeviceNode& Port(size_t card, unsigned port) {
    sim::DeviceNode* node = machine_.PortNode(card, port);
    EXPECT_NE(node, nullptr) << "card " << card << " port " << port;
    return *node;
  }
  std::string CardKey(size_t card) { return sim::DeviceParametersPath(*machine_.CardNode(card)); }

  Names PortNames(size_t card, unsigned count) {
    Names names;
    for (unsigned p = 1; p <= count; ++p)
      names.push_back(Text(sim::DeviceParametersPath(Port(card, p)), "PortName"));
    return names;
  }
  Names FriendlyNames(size_t card, unsigned count) {
    Names names;
    for (unsigned p = 1; p <= count; ++p) names.push_back(Text(sim::InstanceKeyPath(Port(card, p)), "FriendlyName"));
    return names;
  }
  void SetPortNames(size_t card, const Names& names) {
    for (unsigned p = 1; p <= names.size(); ++p)
      registry().SetString(sim::DeviceParametersPath(Port(card, p)), "PortName", sim::Utf8ToUtf16(names[p - 1]));
  }
  void SetFriendlyName(size_t card, unsigned port, const std::string& name) {
    registry().SetString(sim::InstanceKeyPath(Port(card, port)), "FriendlyName", sim::Utf8ToUtf16(Friendly(name)));
  }
  std::optional<uint32_t> InitialFlag(size_t card) { return registry().GetDword(CardKey(card), "InitialFlag"); }
  std::optional<uint32_t> CompleteFlag() { return registry().GetDword(sim::kCompleteFlagKey, sim::kCompleteFlagValue); }

  // A relations query on a port, as the Plug and Play manager sends it.
  // The target-device answer holds just the port, whatever the naming did.
  void QueryRelations(size_t card, unsigned port, DEVICE_RELATION_TYPE type = TargetDeviceRelation) {
    sim::DeviceNode& node = Port(card, port);
    IO_STATUS_BLOCK result = machine_.kernel().pnp->SendPnp(&node, IRP_MN_QUERY_DEVICE_RELATIONS, [type](IO_STACK_LOCATION* stack) {
      stack->Parameters.QueryDeviceRelations.Type = type;
    });
    auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(result.Information);
    if (type == TargetDeviceRelation) {
      EXPECT_EQ(result.Status, STATUS_SUCCESS);
      EXPECT_NE(relations, nullptr);
      if (!relations) return;
      EXPECT_EQ(relations->Count, 1u);
      EXPECT_EQ(relations->Objects[0], node.pdo);
    }
    if (relations) {
      for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
      ExFreePool(relations);
    }
  }

  json Report() {
    return zarksim::ToJson(zarksim::SnapshotWithCardState(machine_), machine_.verifier().findings());
  }
  // The report's entries of the card's ports.
  static json PortItems(const json& report, size_t card) {
    for (const json& root : report["device_tree"])
      if (root["instance_path"] == report["cards"][card]["instance_path"]) return root["children"];
    return json::array();
  }

  // The card's ports in the report hold these names in every place, each
  // name opens its port, and a port with a loopback plug echoes through
  // its own UART.
  void ExpectNamesAgree(size_t card, const Names& names, const std::vector<unsigned>& loopbacks) {
    json report = Report();
    const json& card_item = report["cards"][card];
    const json ports = PortItems(report, card);
    ASSERT_EQ(ports.size(), names.size()) << card_item.dump();
    EXPECT_EQ(PortNames(card, static_cast<unsigned>(names.size())), names);
    for (unsigned p = 0; p < names.size(); ++p) {
      const json& port = ports[p];
      EXPECT_EQ(port["com_name"], names[p]) << "card " << card << " port " << p + 1;
      EXPECT_EQ(port["port_name"], names[p]);
      EXPECT_EQ(port["friendly_name"], Friendly(names[p]));
      sim::SerialSession session;
      session.com_name = names[p];
      const bool plugged = std::count(loopbacks.begin(), loopbacks.end(), p + 1) > 0;
      if (plugged) {
        session.write = {'n', 'a', 'm', 'e'};
        session.read_ms = 100;
      }
      const uint64_t sent_before = card_item["uarts"][p]["transmitted"];
      sim::SerialSessionResult result = sim::RunSerialSession(machine_.app(), session);
      EXPECT_EQ(result.status(), STATUS_SUCCESS) << names[p] << " opens";
      if (!plugged) continue;
      EXPECT_EQ(result.read, session.write) << names[p];
      EXPECT_EQ(Report()["cards"][card]["uarts"][p]["transmitted"].get<uint64_t>(), sent_before + 4)
          << names[p] << " leads to port " << p + 1 << "'s UART";
    }
  }

 private:
  std::string Text(const std::string& key, const char* name) {
    auto text = registry().GetString(key, name);
    return text ? sim::Utf16ToUtf8(*text) : "(none)";
  }

  sim::Machine& machine_;
};

void ShutDownClean(sim::Machine& machine) {
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().findings().empty()) << machine.verifier().Summary();
}

// A port name too long to read keeps its port out of the naming. Ports
// holding COM7, COM5, COM6, COM8: the check pass brings the friendly names
// in step and marks the card; a renumbering with a port name that cannot
// be read writes nothing; the next one sorts the names, clears
// "InitialFlag" and marks bus 1 in "CompleteFlag". The links move at the
// next boot.
TEST(ComNamingScenarioTest, ACardsNamesAreSortedIntoPortOrderAndTheLinksFollowAtTheNextBoot) {
  sim::MachineConfig config;
  config.cards.push_back(sim::CardConfig{});
  config.cards[0].devices = {{1, Loopback()}, {3, Loopback()}};
  sim::Machine machine(config);
  machine.Boot();
  Ports ports(machine);
  ports.ExpectNamesAgree(0, {"COM3", "COM4", "COM5", "COM6"}, {1, 3});
  EXPECT_EQ(ports.InitialFlag(0), std::nullopt) << "names in step: the check pass wrote nothing";

  // A name too long for its buffer is no number: nothing is corrected.
  ports.SetPortNames(0, {"COM3", "COM12345"});
  ports.QueryRelations(0, 2);
  EXPECT_EQ(ports.FriendlyNames(0, 2), (Names{Friendly("COM3"), Friendly("COM4")}));
  EXPECT_EQ(ports.InitialFlag(0), std::nullopt);
  // A renumbering sorts the other ports' names around it.
  ports.SetPortNames(0, {"COM3", "COM12345", "COM6", "COM5"});
  ports.registry().SetDword(ports.CardKey(0), "InitialFlag", 1);
  ports.QueryRelations(0, 2);
  EXPECT_EQ(ports.PortNames(0, 4), (Names{"COM3", "COM12345", "COM5", "COM6"}));

  ports.SetPortNames(0, {"COM7", "COM5", "COM6", "COM8"});
  ports.registry().SetDword(sim::kCompleteFlagKey, sim::kCompleteFlagValue, 0xABCD8010u);
  ports.QueryRelations(0, 2);
  EXPECT_EQ(ports.FriendlyNames(0, 4), (Names{Friendly("COM7"), Friendly("COM5"), Friendly("COM6"), Friendly("COM8")}));
  EXPECT_EQ(ports.PortNames(0, 4), (Names{"COM7", "COM5", "COM6", "COM8"}));
  EXPECT_EQ(ports.InitialFlag(0), 1u);

  const std::string port4 = sim::DeviceParametersPath(ports.Port(0, 4));
  ASSERT_TRUE(ports.registry().DeleteValue(port4, "PortName"));
  ports.QueryRelations(0, 1, RemovalRelations);
  EXPECT_EQ(ports.PortNames(0, 4), (Names{"COM7", "COM5", "COM6", "(none)"})) << "nothing written";
  EXPECT_EQ(ports.FriendlyNames(0, 1), Names{Friendly("COM7")});
  EXPECT_EQ(ports.InitialFlag(0), 1u);
  EXPECT_EQ(ports.CompleteFlag(), 0xABCD8010u);

  ports.SetPortNames(0, {"COM7", "COM5", "COM6", "COM8"});
  ports.QueryRelations(0, 3, EjectionRelations);
  const Names sorted = {"COM5", "COM6", "COM7", "COM8"};
  EXPECT_EQ(ports.PortNames(0, 4), sorted);
  EXPECT_EQ(ports.FriendlyNames(0, 4), (Names{Friendly("COM5"), Friendly("COM6"), Friendly("COM7"), Friendly("COM8")}));
  EXPECT_EQ(ports.InitialFlag(0), 0u);
  EXPECT_EQ(ports.CompleteFlag(), 0xABCD8012u) << "bus 1 marked, every other bit kept";

  // The serial driver took its name when its port started.
  json report = ports.Report();
  EXPECT_EQ(Ports::PortItems(report, 0)[0]["com_name"], "COM3");
  EXPECT_EQ(Ports::PortItems(report, 0)[0]["port_name"], "COM5");
  EXPECT_EQ(report["cards"][0]["initial_flag"], 0);
  EXPECT_EQ(report["complete_flag"], 0xABCD8012u);

  machine.Reboot();
  ports.ExpectNamesAgree(0, sorted, {1, 3});
  EXPECT_EQ(ports.InitialFlag(0), 0u) << "in step again: nothing to do";
  ShutDownClean(machine);
}

// Puts card `card` on bus `bus` behind a root port of its own (device
// `device` of bus 0) whose windows hold the card's default blocks.
void PlaceOnBus(sim::MachineConfig* config, size_t card, uint32_t bus, unsigned device) {
  sim::hw::BridgeConfig port;
  port.location = {0, device, 0};
  port.secondary_bus = port.subordinate_bus = static_cast<uint8_t>(bus);
  port.io_base = port.io_limit = static_cast<uint8_t>(0xE0 - 0x10 * card);
  port.memory_base = port.memory_limit = static_cast<uint16_t>(0xFE00 - 0x10 * card);
  config->bridges.push_back(port);
  config->cards[card].location = sim::hw::PciLocation{bus, 0, 0};
}

// Three cards: each pass finds its own card's ports among the others'. The
// card on bus 3 sorts COM123, COM5, COM4, COM6 (a short name read after a
// long one counts alone) and marks bit 3; the card on bus 17 sorts but
// marks no bit. The twelve-port card on bus 5 is found from a listed port
// 12 alone, and the Enum walk stops after a foreign value "254".
TEST(ComNamingScenarioTest, ThreeCardsEachFindAndNameTheirOwnPorts) {
  sim::MachineConfig config;
  config.cards = {sim::CardConfig{}, sim::CardConfig{}, sim::CardConfig{}};
  PlaceOnBus(&config, 0, 3, 8);
  PlaceOnBus(&config, 1, 17, 9);
  PlaceOnBus(&config, 2, 5, 10);
  config.cards[2].device_id = 0x1112;
  config.cards[0].devices = {{4, Loopback()}};
  sim::Machine machine(config);
  machine.Boot();
  Ports ports(machine);
  ASSERT_EQ(ports.PortNames(0, 4), (Names{"COM3", "COM4", "COM5", "COM6"})) << "the cards are named in order";
  const Names second = ports.PortNames(1, 4);
  const Names third = ports.PortNames(2, 12);

  // Bus 3.
  ports.SetPortNames(0, {"COM123", "COM5", "COM4", "COM6"});
  ports.QueryRelations(0, 2);
  EXPECT_EQ(ports.FriendlyNames(0, 4), (Names{Friendly("COM123"), Friendly("COM5"), Friendly("COM4"), Friendly("COM6")}));
  EXPECT_EQ(ports.InitialFlag(0), 1u);
  EXPECT_EQ(ports.InitialFlag(1), std::nullopt);
  EXPECT_EQ(ports.FriendlyNames(1, 1), Names{Friendly(second[0])}) << "another card's names are not touched";
  ports.QueryRelations(0, 2);
  const Names first = {"COM4", "COM5", "COM6", "COM123"};
  EXPECT_EQ(ports.PortNames(0, 4), first);
  EXPECT_EQ(ports.InitialFlag(0), 0u);
  EXPECT_EQ(ports.CompleteFlag(), 0x8u);

  // Bus 17: its first two names swapped, then sorted back.
  ports.SetPortNames(1, {second[1], second[0]});
  ports.QueryRelations(1, 4);
  EXPECT_EQ(ports.FriendlyNames(1, 2), (Names{Friendly(second[1]), Friendly(second[0])}));
  ports.QueryRelations(1, 4);
  EXPECT_EQ(ports.PortNames(1, 4), second);
  EXPECT_EQ(ports.FriendlyNames(1, 2), (Names{Friendly(second[0]), Friendly(second[1])}));
  EXPECT_EQ(ports.InitialFlag(1), 0u);
  EXPECT_EQ(ports.CompleteFlag(), 0x8u) << "bus 17 has no bit";

  // The twelve-port card, with the Enum list reduced to its port 12, and
  // its first friendly name out of step.
  const std::vector<std::string> listed = ports.registry().ValueNames(kSerialEnumKey);
  std::map<std::string, sim::RegistryValue> saved;
  for (const std::string& name : listed) saved[name] = *ports.registry().GetValue(kSerialEnumKey, name);
  auto list = [&](const std::vector<std::string>& paths) {
    for (const std::string& name : ports.registry().ValueNames(kSerialEnumKey))
      ports.registry().DeleteValue(kSerialEnumKey, name);
    for (size_t i = 0; i < paths.size(); ++i)
      ports.registry().SetString(kSerialEnumKey, std::to_string(i), sim::Utf8ToUtf16(paths[i]));
  };
  ports.SetFriendlyName(2, 1, "COM99");
  list({ports.Port(2, 12).InstancePath()});
  ports.QueryRelations(2, 5);
  EXPECT_EQ(ports.FriendlyNames(2, 1), Names{Friendly(third[0])}) << "port 12's value leads to port 1";
  EXPECT_EQ(ports.InitialFlag(2), 1u);

  // Values "0" to "254" that are no port of a card end the walk before "255".
  ports.registry().SetDword(ports.CardKey(2), "InitialFlag", 0);
  ports.SetFriendlyName(2, 1, "COM99");
  std::vector<std::string> others(255, "ROOT\\LEGACY_OTHER\\0000");
  others.push_back(ports.Port(2, 1).InstancePath());
  list(others);
  ports.QueryRelations(2, 5);
  EXPECT_EQ(ports.FriendlyNames(2, 1), Names{Friendly("COM99")}) << "value \"255\" was not read";
  EXPECT_EQ(ports.InitialFlag(2), 0u);
  others[254] = ports.Port(0, 1).InstancePath();
  list(others);
  ports.QueryRelations(2, 5);
  EXPECT_EQ(ports.FriendlyNames(2, 1), Names{Friendly(third[0])}) << "after a port of a card, value \"255\" is read";
  EXPECT_EQ(ports.InitialFlag(2), 1u);

  // With the list as the Plug and Play manager keeps it, the renumbering
  // of the twelve-port card finds its names in order and marks bus 5.
  list({});
  for (const auto& [name, value] : saved) ports.registry().SetValue(kSerialEnumKey, name, value.type, value.data);
  ports.QueryRelations(2, 12);
  EXPECT_EQ(ports.PortNames(2, 12), third);
  EXPECT_EQ(ports.InitialFlag(2), 0u);
  EXPECT_EQ(ports.CompleteFlag(), 0x28u);

  machine.Reboot();
  ports.ExpectNamesAgree(0, first, {4});
  ports.ExpectNamesAgree(1, second, {});
  ports.ExpectNamesAgree(2, third, {});
  EXPECT_EQ(ports.Report()["complete_flag"], 0x28u);
  ShutDownClean(machine);
}

// Two cards listed in the configuration file: the bring-up records their
// UARTs in "ComNumConfig" and, with "InitialFlag" 1, turns it into 2; the
// configured-numbers pass then gives the UART at 0xE010 COM20 and the
// second card's port 2 COM31. An entry without a number changes nothing.
TEST(ComNamingScenarioTest, ConfiguredNumbersGoToTheirUartsOnTwoCards) {
  sim::MachineConfig config;
  config.cards = {sim::CardConfig{}, sim::CardConfig{}};
  // The first card's UARTs from 0xE000 (BAR5), its other blocks above.
  config.cards[0].bars = std::array<uint32_t, 6>{0xE101, 0xFE000000u, 0xE201, 0xE041, 0xE021, 0xE001};
  config.cards[0].devices = {{3, Loopback()}};
  config.cards[1].devices = {{2, Loopback()}};
  std::vector<uint8_t> file(27 * 16, 0);
  auto record = [&](size_t r, uint8_t selector, std::vector<uint8_t> numbers) {
    file[16 * r] = selector;
    std::copy(numbers.begin(), numbers.end(), file.begin() + 16 * r + 1);
    file[16 * r + 13] = 0x01;  // UART probing on
  };
  record(0, 0x81, {0, 0, 20, 0});   // bus 1: slot 2 gets COM20
  record(1, 0x82, {0, 31, 0, 0});   // bus 2: slot 1 gets COM31
  config.config_file = file;
  // The card driver's naming alone: the port enumerator's claim of the
  // numbers (which renames the ports) has tests of its own.
  config.stand_in_hand_off = true;
  sim::Machine machine(config);
  machine.Boot();
  Ports ports(machine);
  // Without "InitialFlag" 2 the configured numbers wait.
  ports.ExpectNamesAgree(0, {"COM3", "COM4", "COM5", "COM6"}, {3});
  json report = ports.Report();
  EXPECT_EQ(report["cards"][0]["com_numbers"],
            json::parse(R"([{"index": 0, "address": 57344, "com_number": 0, "applied": 0},
                            {"index": 1, "address": 57352, "com_number": 0, "applied": 0},
                            {"index": 2, "address": 57360, "com_number": 20, "applied": 0},
                            {"index": 3, "address": 57368, "com_number": 0, "applied": 0}])"));
  EXPECT_EQ(report["cards"][1]["com_numbers"].size(), 4u);
  EXPECT_EQ(report["cards"][1]["com_numbers"][1]["com_number"], 31);

  // Recorded anew at the next boot, with "InitialFlag" 1.
  ports.registry().DeleteValue(sim::kComNumConfigKey, sim::kComNumConfigValue);
  ports.registry().SetDword(ports.CardKey(0), "InitialFlag", 1);
  ports.registry().SetDword(ports.CardKey(1), "InitialFlag", 1);
  machine.Reboot();
  EXPECT_EQ(ports.InitialFlag(0), 2u);
  EXPECT_EQ(ports.InitialFlag(1), 2u);
  const Names first = {"COM3", "COM4", "COM20", "COM6"};
  const Names second = {"COM7", "COM31", "COM9", "COM10"};
  EXPECT_EQ(ports.PortNames(0, 4), first);
  EXPECT_EQ(ports.FriendlyNames(0, 3)[2], Friendly("COM20"));
  EXPECT_EQ(ports.PortNames(1, 4), second);
  EXPECT_EQ(Ports::PortItems(ports.Report(), 0)[2]["com_name"], "COM5") << "the link moves at the next start";

  machine.Reboot();
  ports.ExpectNamesAgree(0, first, {3});
  ports.ExpectNamesAgree(1, second, {2});
  EXPECT_EQ(ports.InitialFlag(0), 2u) << "the configured numbers stay enforced";
  ShutDownClean(machine);
}

}  // namespace
