// A card whose windows move in a rebalance: its UARTs must decode where the
// ports are then told they are, so that applications still reach the
// devices on them.
#include <gtest/gtest.h>

#include <string>

#include "scenario_support.h"

namespace {

using nlohmann::json;
using scenario_test::RunReport;
using scenario_test::Scenario;

// The first address of an I/O range line ("4: port 0xE200-0xE21F
// exclusive"), or -1.
long PortStart(const std::string& line) {
  const size_t at = line.find(": port 0x");
  return at == std::string::npos ? -1 : std::stol(line.substr(at + 7), nullptr, 16);
}

// The card's UART range: the I/O range the bus driver marks as BAR5's
// (followed by "device-private 0x504349 0x5 0x24").
long UartWindow(const json& lines) {
  for (size_t i = 1; i < lines.size(); ++i)
    if (lines[i].get<std::string>().find("device-private 0x504349 0x5 0x24") != std::string::npos)
      return PortStart(lines[i - 1].get<std::string>());
  return -1;
}

TEST(CardRebalanceScenarioTest, PortsAnswerAtTheirNewWindowAfterTheCardsRangesMove) {
  const std::string echo = R"("baud_rate": 9600, "write": "55 AA 0D 0A 7E", "read_ms": 500})";
  int status = -1;
  json report = RunReport(Scenario(R"({"cards": [{"device_id": "0x1104", "devices": {"1": {"kind": "loopback"},
                                       "4": {"kind": "loopback"}}}],
                                       "actions": [{"action": "serial", "com_name": "COM3", )" + echo + R"(,
                                                   {"action": "rebalance", "move_resources": true},
                                                   {"action": "serial", "com_name": "COM3", )" + echo + R"(,
                                                   {"action": "serial", "com_name": "COM6", )" + echo + "]}"),
                          &status);
  ASSERT_EQ(status, 0) << report["verifier"].dump(2);
  // The boot comes first.
  ASSERT_EQ(report["actions"].size(), 5u) << report["actions"].dump(1);
  EXPECT_EQ(report["actions"][2]["action"], "rebalance");
  EXPECT_EQ(report["actions"][2]["status"], "0x00000000") << report["actions"][2].dump();

  const json& card = report["device_tree"][0];
  const long window = UartWindow(card["raw_resources"]);
  ASSERT_GT(window, 0) << card["raw_resources"].dump(1);
  EXPECT_NE(window, 0xE200) << "the rebalance moved the card's UART range";
  // Each port block decodes its slot of the new range, and the port was
  // given that same address.
  const json& blocks = report["cards"][0]["port_blocks"];
  const json& ports = card["children"];
  ASSERT_EQ(ports.size(), 4u);
  for (unsigned n = 0; n < 4; ++n) {
    EXPECT_EQ(blocks[n][4].get<long>() | blocks[n][5].get<long>() << 8, window + 8 * n) << "block " << n;
    EXPECT_EQ(PortStart(ports[n]["port_resources"]["raw"][0].get<std::string>()), window + 8 * n) << "port " << n + 1;
  }
  // The loopback plugs answer through the serial driver before and after.
  for (size_t a : {1u, 3u, 4u}) {
    const json& action = report["actions"][a];
    ASSERT_TRUE(action["serial"].is_object()) << action.dump();
    EXPECT_EQ(action["status"], "0x00000000") << action.dump();
    EXPECT_EQ(action["serial"]["read"].size(), 5u) << action.dump();
  }
}

}  // namespace
