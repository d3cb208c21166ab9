// Whole machines with devices on their serial ports: applications talk to
// the COM names the ports were given, through the serial port driver, the
// UARTs and the serial lines, and the report shows the names everywhere a
// user looks for them.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "scenario_support.h"

namespace {

using nlohmann::json;
using scenario_test::RunReport;
using scenario_test::Scenario;

std::string Ports(unsigned count, const std::string& device) {
  std::string out;
  for (unsigned port = 1; port <= count; ++port)
    out += (out.empty() ? "" : ", ") + ("\"" + std::to_string(port) + "\": " + device);
  return "{" + out + "}";
}

// Every port of a 12-port card has a loopback plug; each is opened by its
// COM name and talked to at 300, 9600 and 115200 baud in four word formats,
// through zarkenum above the serial port driver.
TEST(SerialPortScenarioTest, EveryPortOfATwelvePortCardEchoesThroughItsLoopbackPlug) {
  const char* const formats[] = {R"("line": {"word_length": 8, "parity": "none", "stop_bits": "1"})",
                                 R"("line": {"word_length": 7, "parity": "even", "stop_bits": "1"})",
                                 R"("line": {"word_length": 8, "parity": "odd", "stop_bits": "2"})",
                                 R"("line": {"word_length": 6, "parity": "mark", "stop_bits": "1"})"};
  const unsigned rates[] = {300, 9600, 115200};
  std::string actions;
  for (unsigned port = 1; port <= 12; ++port) {
    for (unsigned r = 0; r < 3; ++r) {
      for (const char* format : formats) {
        // Six data bits carry the low six bits of each character.
        const char* text = std::string(format).find("\"word_length\": 6") != std::string::npos ? "2A 15 3F" : "55 AA 0D 0A 7E";
        actions += std::string(actions.empty() ? "" : ", ") + R"({"action": "serial", "com_name": "COM)" +
                   std::to_string(port + 2) + R"(", "baud_rate": )" + std::to_string(rates[r]) + ", " + format +
                   R"(, "write": ")" + text + R"(", "read_ms": 500})";
      }
    }
  }
  int status = -1;
  json report = RunReport(Scenario(R"({"cards": [{"device_id": "0x1112", "devices": )" +
                                   Ports(12, R"({"kind": "loopback"})") + R"(}], "actions": [)" + actions + "]}"),
                          &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump(2);
  unsigned sessions = 0;
  for (const json& action : report["actions"]) {
    if (action["action"] != "serial") continue;
    ++sessions;
    ASSERT_TRUE(action["serial"].is_object());
    EXPECT_EQ(action["status"], "0x00000000") << action.dump();
    const json& steps = action["serial"]["steps"];
    const json& write = steps[steps.size() - 3];
    ASSERT_EQ(write["step"], "write");
    EXPECT_EQ(action["serial"]["read"].size(), write["information"]) << action.dump();
  }
  EXPECT_EQ(sessions, 12u * 3 * 4);

  // The names agree everywhere: the link that opens, "PortName",
  // "FriendlyName", SERIALCOMM and the COM name database.
  const json& ports = report["device_tree"][0]["children"];
  ASSERT_EQ(ports.size(), 12u);
  std::set<std::string> serialcomm;
  for (const json& entry : report["serial_comm"]) serialcomm.insert(entry["com_name"].get<std::string>());
  for (unsigned n = 0; n < 12; ++n) {
    const std::string name = "COM" + std::to_string(n + 3);
    EXPECT_EQ(ports[n]["state"], "started");
    EXPECT_EQ(ports[n]["stack"][2]["driver"], "zarkenum") << "the top of the stack, where opens arrive";
    EXPECT_EQ(ports[n]["com_name"], name);
    EXPECT_EQ(ports[n]["port_name"], name);
    EXPECT_EQ(ports[n]["friendly_name"], "Communications Port (" + name + ")");
    EXPECT_TRUE(serialcomm.count(name)) << name;
  }
  json in_use = json::array();
  for (unsigned number = 1; number <= 14; ++number) in_use.push_back(number);
  EXPECT_EQ(report["com_db"], in_use);
}

// A session reads back exactly what it wrote; after a reboot the ports keep
// their names and the second boot claims no new numbers.
TEST(SerialPortScenarioTest, BytesEchoExactlyAndNamesSurviveAReboot) {
  int status = -1;
  json report = RunReport(Scenario(R"({"cards": [{"devices": {"2": {"kind": "loopback"}}}],
      "actions": [{"action": "serial", "at_ms": 100, "com_name": "COM4", "baud_rate": 9600, "write_text": "hello", "read_ms": 100},
                  {"action": "reboot", "at_ms": 1000},
                  {"action": "serial", "at_ms": 2000, "com_name": "COM4", "write_text": "again", "read_ms": 100}]})"),
                          &status);
  EXPECT_EQ(status, 0) << report["verifier"].dump(2);
  const json& actions = report["actions"];
  ASSERT_EQ(actions.size(), 4u);
  EXPECT_EQ(actions[1]["serial"]["read"], json::array({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(actions[2]["action"], "reboot");
  EXPECT_EQ(actions[3]["serial"]["read"], json::array({'a', 'g', 'a', 'i', 'n'}));
  // The second boot found the names the first one gave, and took no more.
  EXPECT_EQ(report["com_db"], json::array({1, 2, 3, 4, 5, 6}));
  const json& ports = report["device_tree"][0]["children"];
  ASSERT_EQ(ports.size(), 4u);
  for (unsigned n = 0; n < 4; ++n) EXPECT_EQ(ports[n]["port_name"], "COM" + std::to_string(n + 3));
  EXPECT_EQ(report["serial_comm"].size(), 4u) << "rebuilt at the second boot, once per port";
}

// With the bench's stand-in filter in place of zarkenum (the shipped filter
// always hands over the card driver's lists): a port started on the Plug
// and Play manager's own assignment finds no UART and fails to start; a port handed its neighbour's window starts, and its
// traffic goes through the neighbour's UART and plug, as the report shows.
TEST(SerialPortScenarioTest, AWrongHandOffShowsInTheReport) {
  int status = -1;
  json report = RunReport(Scenario(R"({"cards": [{"devices": {"3": {"kind": "loopback"}, "4": {"kind": "loopback"}}}],
      "faults": {"stand_in_hand_off": true},
      "registry": [
        {"key": "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\PortHandOff\\Parameters",
         "name": "*KVRCOM02", "type": "REG_DWORD", "value": 1},
        {"key": "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\PortHandOff\\Parameters",
         "name": "*KVRCOM03", "type": "REG_DWORD", "value": 2}],
      "actions": [{"action": "serial", "at_ms": 100, "com_name": "COM5", "write_text": "astray", "read_ms": 100}]})"),
                          &status);
  EXPECT_EQ(status, 0) << "a misconfigured machine, not a misbehaving driver: " << report["verifier"].dump(2);
  const json& ports = report["device_tree"][0]["children"];
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[0]["state"], "started");
  EXPECT_EQ(ports[1]["state"], "problem") << ports[1].dump(2);
  EXPECT_TRUE(ports[1]["com_name"].is_null()) << "a port that never started has no link";
  EXPECT_EQ(ports[2]["state"], "started");
  EXPECT_EQ(ports[2]["com_name"], "COM5");
  const json& uarts = report["cards"][0]["uarts"];
  ASSERT_EQ(uarts.size(), 4u);
  EXPECT_EQ(uarts[2]["transmitted"], 0) << "port 3's own UART stayed silent";
  EXPECT_GE(uarts[3]["transmitted"], 6) << "COM5's bytes went out through port 4's UART";
  EXPECT_EQ(report["actions"][1]["serial"]["steps"][0]["status"], "0x00000000") << "COM5 opens";
}

}  // namespace
