// Whole machines booted from scenario files, judged by the report a user
// reads: the card driver's state, the programmed port blocks, the COM
// number table and the hardware access counts.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "sim/machine/machine.h"
#include "scenario_support.h"
#include "tools/zarksim/run_machine.h"
#include "tools/zarksim/scenario_file.h"

namespace {

using nlohmann::json;

using scenario_test::ScenarioPath;
using scenario_test::Scenario;

json Boot(const sim::MachineConfig& config, int* exit_status = nullptr) {
  return scenario_test::RunReport(config, exit_status);
}

TEST(CardBringUpScenarioTest, TwelvePortCardIsProgrammedAndRecorded) {
  sim::MachineConfig config;
  std::string error;
  ASSERT_TRUE(zarksim::LoadScenario(ScenarioPath("twelve_port_card.json"), &config, &error)) << error;
  // The ports' serial port drivers start on the Plug and Play manager's own
  // (empty) window and give up before touching a port, so that every I/O
  // port access counted below is the card driver's.
  config.stand_in_hand_off = true;
  for (int port = 1; port <= 12; ++port) {
    char id[16];
    std::snprintf(id, sizeof id, "*KVRCOM%02d", port);
    config.registry.push_back(sim::RegistryPreset{
        "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\PortHandOff\\Parameters", id, REG_DWORD, {1, 0, 0, 0}});
  }
  int status = -1;
  json report = Boot(config, &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump();
  const json& card = report["cards"][0];
  EXPECT_EQ(card["port_count"], 12);
  EXPECT_EQ(card["absent_port_mask"], 0);
  EXPECT_EQ(card["pinned_card"], false);
  for (unsigned n = 0; n < 12; ++n) {
    const json& block = card["port_blocks"][n];
    EXPECT_EQ(block[0], 0x01) << "block " << n << " enabled";
    EXPECT_EQ(block[1], 0x03) << "default FIFO setting";
    EXPECT_EQ(block[4], 8 * n) << "slot address, low byte";
    EXPECT_EQ(block[5], 0xE2);
  }
  const json& table = report["com_num_config"];
  ASSERT_EQ(table.size(), 12u);
  for (unsigned n = 0; n < 12; ++n) {
    EXPECT_EQ(table[n]["address"], 0xE200 + 8 * n);
    EXPECT_EQ(table[n]["com_number"], 3 + n);
    EXPECT_EQ(table[n]["applied"], 0);
  }
  const json& paths = report["hardware"]["config_accesses"];
  EXPECT_GT(paths["bus_request"]["accesses"], 100);
  EXPECT_EQ(paths["legacy_ports"]["reads"], 1) << "the host bridge's identity, once";
  EXPECT_EQ(paths["ecam"]["writes"], 2) << "GPIO0's two bytes";
  EXPECT_EQ(report["hardware"]["port_reads"], 2 * 12 + 1) << "two probe reads per UART, one 0xCFC read";
}

TEST(CardBringUpScenarioTest, TheTreeReportShowsTheSame) {
  sim::MachineConfig config;
  std::string error;
  ASSERT_TRUE(zarksim::LoadScenario(ScenarioPath("twelve_port_card.json"), &config, &error)) << error;
  std::ostringstream out;
  EXPECT_EQ(zarksim::RunMachine(config, zarksim::RunOptions{}, out), 0);
  const std::string tree = out.str();
  for (const char* line : {"+-- 01:00.0  0x1C29:0x1112", "port_count 12, absent_port_mask 0x000, pinned_card no",
                           "block  0 @0x40: 01 03 00 00 00 E2 00 00  enabled at 0xE200",
                           "block 11 @0x98: 01 03 00 00 58 E2 00 00  enabled at 0xE258", "ComNumConfig: 12 entries",
                           "+-- [11] address 0xE258  COM number 14  applied 0",
                           "Configuration accesses (reads/writes): bus_request "})
    EXPECT_NE(tree.find(line), std::string::npos) << line << "\n" << tree;
}

TEST(CardBringUpScenarioTest, AbsentUartsAndMarkedBlocksArePassedOver) {
  json report = Boot(Scenario(R"({"cards": [{"device_id": "0x1108", "optional_port_mask": 0,
                                            "absent_uarts": [5], "unavailable_blocks": [6]}]})"));
  const json& card = report["cards"][0];
  EXPECT_EQ(card["port_count"], 4) << "ports 0, 1, 4, 7";
  EXPECT_EQ(card["absent_port_mask"], 0x20);
  EXPECT_EQ(card["pinned_card"], false);
  EXPECT_EQ(card["port_blocks"][2][0], 0) << "optional and not fitted";
  EXPECT_EQ(card["port_blocks"][4][4], 0x10) << "port 4 takes slot 2";
  EXPECT_EQ(card["port_blocks"][6][0], 0x02) << "the mark stays, the block stays off";
  EXPECT_EQ(card["port_blocks"][7][4], 0x18) << "port 7 takes slot 3";
  EXPECT_TRUE(report["com_num_config"].empty()) << "no configuration file: nothing recorded";
}

// A pinned card runs to the machine's end like any other: one card device
// on its node, each port once, nothing left over at shutdown.
TEST(CardBringUpScenarioTest, PinnedCardEndsCleanly) {
  int status = -1;
  json report = Boot(Scenario(R"({"cards": [{"subsystem": "0x00011C29"}]})"), &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump(2);
  EXPECT_TRUE(report["verifier"].empty()) << report["verifier"].dump(2);
  EXPECT_EQ(report["cards"][0]["pinned_card"], true);
  const json& ports = report["device_tree"][0]["children"];
  ASSERT_EQ(ports.size(), 4u);
  for (unsigned n = 0; n < 4; ++n) EXPECT_EQ(ports[n]["port_name"], "COM" + std::to_string(n + 3));
}

TEST(CardBringUpScenarioTest, AnEmptyConfigurationFileStopsTheCard) {
  int status = -1;
  json report = Boot(Scenario(R"({"cards": [{}], "config_file": {"bytes": ""}})"), &status);
  EXPECT_EQ(report["device_tree"][0]["state"], "problem");
  EXPECT_TRUE(report["cards"][0]["port_count"].is_null()) << "the card driver's device went with the failed start";
  for (const json& block : report["cards"][0]["port_blocks"]) EXPECT_EQ(block[0], 0) << "no register touched";
  EXPECT_EQ(status, 0);
}

TEST(CardBringUpScenarioTest, AFailedHeaderReadStopsTheCardUntouched) {
  json report = Boot(Scenario(R"({"cards": [{}], "faults": {"config_request": 1}})"));
  EXPECT_EQ(report["device_tree"][0]["state"], "problem");
  EXPECT_EQ(report["hardware"]["config_accesses"]["bus_request"]["accesses"], 0) << "the failed request reached nothing";
  for (const json& block : report["cards"][0]["port_blocks"]) EXPECT_EQ(block[0], 0);
}

TEST(CardBringUpScenarioTest, TwoCardsGetTheirOwnBusesAddressesAndRecords) {
  json report = Boot(Scenario(R"({"cards": [{"device_id": "0x1104"}, {"device_id": "0x1104"}],
      "config_file": {"records": [{"selector": "0x82", "com_numbers": [21, 22, 23, 24], "flags": 1},
                                  {"selector": "0x81", "com_numbers": [11, 12, 13, 14]}]}})"));
  ASSERT_EQ(report["cards"].size(), 2u);
  EXPECT_EQ(report["cards"][0]["location"], "01:00.0");
  EXPECT_EQ(report["cards"][1]["location"], "02:00.0");
  const json& table = report["com_num_config"];
  ASSERT_EQ(table.size(), 8u);
  EXPECT_EQ(table[0]["address"], 0xE200);
  EXPECT_EQ(table[0]["com_number"], 11);
  EXPECT_EQ(table[4]["address"], 0xD200);
  EXPECT_EQ(table[4]["com_number"], 21);
}

TEST(CardBringUpScenarioTest, PresetComNumConfigEntriesAreKept) {
  json report = Boot(Scenario(R"({"cards": [{}],
      "config_file": {"records": [{"selector": "0x81", "com_numbers": [3, 4, 5, 6], "flags": 1}]},
      "registry": [{"key": "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110",
                    "name": "ComNumConfig", "type": "REG_BINARY", "value": "E2 08 09 01"}]})"));
  const json& table = report["com_num_config"];
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table[0]["address"], 0xE208);
  EXPECT_EQ(table[0]["com_number"], 9) << "already recorded: left as it was";
  EXPECT_EQ(table[0]["applied"], 1);
  EXPECT_EQ(table[1]["address"], 0xE200);
  EXPECT_EQ(table[1]["com_number"], 3);
}

}  // namespace
