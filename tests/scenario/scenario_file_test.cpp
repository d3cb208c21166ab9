// Scenario files: what each knob turns into, and refusals that name the
// field at fault.
#include <gtest/gtest.h>

#include <string>

#include "tools/zarksim/scenario_file.h"

namespace {

using nlohmann::json;
using zarksim::ParseScenario;

std::string RefusalOf(const std::string& text) {
  try {
    ParseScenario(json::parse(text));
  } catch (const zarksim::ScenarioError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(ScenarioFileTest, EmptyScenarioIsTheBareMachine) {
  sim::MachineConfig config = ParseScenario(json::object());
  EXPECT_TRUE(config.cards.empty());
  EXPECT_FALSE(config.config_file.has_value());
  EXPECT_EQ(config.host_bridge.id_dword, sim::hw::HostBridgeConfig{}.id_dword);
}

TEST(ScenarioFileTest, CardKnobsTakeNumbersHexStringsAndBitLists) {
  sim::MachineConfig config = ParseScenario(json::parse(R"({
    "seed": 99, "images": "sys",
    "host_bridge": {"id": "0x12348086", "register_60": "0xF8000001"},
    "cards": [{"device_id": "0x1108", "subsystem": 72745, "optional_port_mask": 0,
               "absent_uarts": [1, 6], "unavailable_blocks": "0x10", "uarts": 8,
               "interrupt_line": 5, "command": "0x0001",
               "location": {"bus": 3, "device": 2},
               "bars": ["0xD001", "0xFD000000", "0xD101", 0, 0, "0xD201"]}]})"));
  EXPECT_EQ(config.seed, 99u);
  EXPECT_EQ(config.images.kind, sim::ImageKind::Sys);
  EXPECT_EQ(config.host_bridge.register_60, 0xF8000001u);
  ASSERT_EQ(config.cards.size(), 1u);
  const sim::CardConfig& card = config.cards[0];
  EXPECT_EQ(card.device_id, 0x1108);
  EXPECT_EQ(card.subsystem, 0x11C29u);
  EXPECT_EQ(card.optional_port_mask, 0);
  EXPECT_EQ(card.absent_uarts, 0x42);
  EXPECT_EQ(card.unavailable_blocks, 0x10);
  EXPECT_EQ(card.uart_count, 8);
  EXPECT_EQ(card.interrupt_line, 5);
  EXPECT_EQ(card.command, 0x0001);
  ASSERT_TRUE(card.location.has_value());
  EXPECT_EQ(*card.location, (sim::hw::PciLocation{3, 2, 0}));
  EXPECT_EQ(card.bars->at(5), 0xD201u);
}

TEST(ScenarioFileTest, ConfigFileFromRecordsBytesOrEmpty) {
  sim::MachineConfig records = ParseScenario(json::parse(R"({"config_file": {"records": [
      {"selector": "0xC1", "com_numbers": [5, 6], "flags": "0x41", "fifo": 2},
      {"selector": 0}]}})"));
  ASSERT_TRUE(records.config_file.has_value());
  const std::vector<uint8_t>& bytes = *records.config_file;
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_EQ(bytes[0], 0xC1);
  EXPECT_EQ(bytes[1], 5);
  EXPECT_EQ(bytes[2], 6);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[13], 0x41);
  EXPECT_EQ(bytes[14], 2);
  EXPECT_EQ(bytes[16], 0);

  sim::MachineConfig raw = ParseScenario(json::parse(R"({"config_file": {"bytes": "81 03 04"}})"));
  EXPECT_EQ(*raw.config_file, (std::vector<uint8_t>{0x81, 0x03, 0x04}));
  sim::MachineConfig empty = ParseScenario(json::parse(R"({"config_file": {"bytes": ""}})"));
  ASSERT_TRUE(empty.config_file.has_value());
  EXPECT_TRUE(empty.config_file->empty());
  EXPECT_FALSE(ParseScenario(json::parse(R"({"config_file": null})")).config_file.has_value());
}

TEST(ScenarioFileTest, RegistryValuesOfEachType) {
  sim::MachineConfig config = ParseScenario(json::parse(R"({"registry": [
      {"key": "\\Registry\\Machine\\SYSTEM\\X", "name": "D", "type": "REG_DWORD", "value": "0x01020304"},
      {"key": "\\Registry\\Machine\\SYSTEM\\X", "name": "S", "type": "REG_SZ", "value": "COM5"},
      {"key": "\\Registry\\Machine\\SYSTEM\\X", "name": "B", "type": "REG_BINARY", "value": "E2 00 05 00"}]})"));
  ASSERT_EQ(config.registry.size(), 3u);
  EXPECT_EQ(config.registry[0].data, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(config.registry[1].data.size(), 10u) << "four characters and the NUL";
  EXPECT_EQ(config.registry[2].type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(config.registry[2].data, (std::vector<uint8_t>{0xE2, 0, 5, 0}));
}

struct Refusal {
  const char* scenario;
  const char* message;
};

class ScenarioRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(ScenarioRefusalTest, NamesTheField) {
  const std::string refusal = RefusalOf(GetParam().scenario);
  EXPECT_EQ(refusal.rfind(GetParam().message, 0), 0u) << refusal;
}

INSTANTIATE_TEST_SUITE_P(
    BadScenarios, ScenarioRefusalTest,
    ::testing::Values(
        Refusal{R"([])", "scenario: expected an object"},
        Refusal{R"({"sed": 1})", "sed: unknown field"},
        Refusal{R"({"images": "elf"})", "images: must be \"host\" or \"sys\""},
        Refusal{R"({"cards": [{"device_id": "0x11112"}]})", "cards[0].device_id: expected a number from 0 to 0xFFFF"},
        Refusal{R"({"cards": [{"device_id": -4}]})", "cards[0].device_id: expected a number"},
        Refusal{R"({"cards": [{"device_id": "12z"}]})", "cards[0].device_id: expected a number"},
        Refusal{R"({"cards": [{}, {"uarts": 13}]})", "cards[1].uarts: expected a number from 0 to 0xC"},
        Refusal{R"({"cards": [{"absent_uarts": [1, 12]}]})", "cards[0].absent_uarts[1]: expected a number from 0 to 0xB"},
        Refusal{R"({"cards": [{"bars": [1, 2, 3]}]})", "cards[0].bars: expected six values"},
        Refusal{R"({"cards": [{"location": {"device": 1}}]})", "cards[0].location.bus: required"},
        Refusal{R"({"cards": [{"colour": "red"}]})", "cards[0].colour: unknown field"},
        Refusal{R"({"cards": {}})", "cards: expected a list"},
        Refusal{R"({"bridges": [{"device": 1, "secondary_bus": 0}]})", "bridges[0].secondary_bus: must lie below"},
        Refusal{R"({"bridges": [{"secondary_bus": 2}]})", "bridges[0].device: required"},
        Refusal{R"({"bridges": [{"device": 1, "secondary_bus": 1}, {"device": 1, "secondary_bus": 2}]})",
                "bridges[1]: another function is already at 00:01.0"},
        Refusal{R"({"cards": [{"location": {"bus": 0}}]})", "cards[0].location: another function is already at 00:00.0"},
        Refusal{R"({"config_file": {"bytes": "8"}})", "config_file.bytes: an odd number"},
        Refusal{R"({"config_file": {"bytes": "8g"}})", "config_file.bytes: not a hexadecimal digit"},
        Refusal{R"({"config_file": {}})", "config_file: give bytes or records"},
        Refusal{R"({"config_file": {"records": [{"com_numbers": [1,2,3,4,5,6,7,8,9,10,11,12,13]}]}})",
                "config_file.records[0].com_numbers: at most twelve"},
        Refusal{R"({"registry": [{"key": "\\Registry\\Machine\\X", "name": "V", "type": "REG_QWORD", "value": 1}]})",
                "registry[0].type: expected REG_DWORD"},
        Refusal{R"({"registry": [{"key": "C:\\x", "name": "V", "type": "REG_DWORD", "value": 1}]})", "registry[0].key: "},
        Refusal{R"({"registry": [{"key": "\\Registry\\Machine\\X", "type": "REG_DWORD", "value": 1}]})",
                "registry[0].name: required"},
        Refusal{R"({"cards": [{}], "actions": [{"at_ms": 5}]})", "actions[0].action: required"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "unmount"}]})", "actions[0].action: expected one of boot, disable"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "unplug"}]})", "actions[0].port: unplug needs a port"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "plug", "port": 1}]})", "actions[0].device: required"},
        Refusal{R"({"cards": [{"devices": {"1": {"kind": "printer"}}}]})", "cards[0].devices.1.kind: expected none, loopback"},
        Refusal{R"({"cards": [{"devices": {"13": {"kind": "loopback"}}}]})", "cards[0].devices.13: expected a number from 0 to 0xC"},
        Refusal{R"({"cards": [{"devices": {"1": {"kind": "loopback", "gap_ms": 3}}}]})", "cards[0].devices.1.gap_ms: unknown field"},
        Refusal{R"({"cards": [{"devices": {"1": {"kind": "mouse", "model": "Q"}}}]})", "cards[0].devices.1: "},
        Refusal{R"({"actions": [{"action": "serial", "write_text": "x"}]})", "actions[0].com_name: required"},
        Refusal{R"({"actions": [{"action": "serial", "com_name": "COM3", "line": {"parity": "odd-ish"}}]})",
                "actions[0].line.parity: expected none, odd"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "remove", "read_ms": 5}]})", "actions[0].read_ms: only for serial"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "remove", "at_ms": 9}, {"action": "enable", "at_ms": 8}]})",
                "actions[1].at_ms: earlier than the action before it"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "disable"}, {"action": "boot"}]})",
                "actions[1].action: boot must be the first action"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "shutdown"}, {"action": "remove"}]})",
                "actions[1]: nothing may follow shutdown"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "remove", "card": 1}]})", "actions[0].card: expected a number from 0 to 0x0"},
        Refusal{R"({"actions": [{"action": "remove"}]})", "actions[0].action: remove needs a card"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "disable", "port": 13}]})", "actions[0].port: expected a number from 0 to 0xC"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "disable", "port": 0}]})", "actions[0].port: ports count from 1"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "surprise_remove", "port": 2}]})",
                "actions[0].port: surprise_remove pulls a whole card"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "boot", "card": 0}]})", "actions[0].card: boot acts on the whole machine"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "remove", "move_resources": true}]})",
                "actions[0].move_resources: only for rebalance"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "rebalance", "move_resources": 1}]})",
                "actions[0].move_resources: expected true or false"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "eject", "when": 1}]})", "actions[0].when: unknown field"},
        Refusal{R"({"actions": [{"action": "sleep", "state": "S2"}]})", "actions[0].state: expected \"S1\" or \"S3\""},
        Refusal{R"({"actions": [{"action": "hibernate", "state": "S3"}]})", "actions[0].state: only for sleep"},
        Refusal{R"({"cards": [{}], "actions": [{"action": "wake", "card": 0}]})", "actions[0].card: wake acts on the whole machine"},
        Refusal{R"({"cards": [{}], "actions": {}})", "actions: expected a list"}));

TEST(ScenarioFileTest, ActionsKeepTheirOrderTimesAndTargets) {
  sim::MachineConfig config = zarksim::ParseScenario(json::parse(R"({"cards": [{}, {}], "actions": [
      {"action": "boot", "at_ms": 2},
      {"action": "disable", "at_ms": 10, "card": 1, "port": 3},
      {"action": "rebalance", "move_resources": false},
      {"action": "surprise_remove", "at_ms": "0x20", "card": 1},
      {"action": "sleep", "state": "S1"}, {"action": "wake"}, {"action": "sleep"},
      {"action": "shutdown", "at_ms": 40}]})"));
  using Kind = sim::MachineAction::Kind;
  ASSERT_EQ(config.actions.size(), 8u);
  EXPECT_EQ(config.actions[0].kind, Kind::Boot);
  EXPECT_EQ(config.actions[0].time, 2 * 10000) << "100 ns units";
  EXPECT_EQ(config.actions[1].kind, Kind::Disable);
  EXPECT_EQ(config.actions[1].card, 1u);
  EXPECT_EQ(config.actions[1].port, 3u);
  EXPECT_EQ(config.actions[2].kind, Kind::Rebalance);
  EXPECT_EQ(config.actions[2].time, 10 * 10000) << "no time: right after the action before";
  EXPECT_EQ(config.actions[2].card, 0u);
  EXPECT_FALSE(config.actions[2].move_resources);
  EXPECT_EQ(config.actions[3].kind, Kind::SurpriseRemove);
  EXPECT_EQ(config.actions[3].time, 32 * 10000);
  EXPECT_EQ(config.actions[4].kind, Kind::Sleep);
  EXPECT_EQ(config.actions[4].sleep_state, PowerSystemSleeping1);
  EXPECT_EQ(config.actions[5].kind, Kind::Wake);
  EXPECT_EQ(config.actions[6].sleep_state, PowerSystemSleeping3) << "S3 unless said";
  EXPECT_EQ(config.actions[7].kind, Kind::Shutdown);
  for (const auto& action : config.actions) EXPECT_EQ(sim::MachineActionKind(sim::MachineActionName(action.kind)), action.kind);
}

TEST(ScenarioFileTest, LoadScenarioNamesTheFileAndRefusesWhatIsNotJson) {
  sim::MachineConfig config;
  std::string error;
  EXPECT_FALSE(zarksim::LoadScenario("/nonexistent/scenario.json", &config, &error));
  EXPECT_EQ(error, "/nonexistent/scenario.json: cannot be read");
}

}  // namespace
