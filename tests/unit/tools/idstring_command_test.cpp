// zarksim idstring: hexadecimal in, the enumerator's view of the string out.
#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "tools/zarksim/idstring_command.h"

namespace {

struct CommandResult {
  int exit_code;
  std::string out;
  std::string err;
};

CommandResult RunIdString(const std::string& hex) {
  std::ostringstream out, err;
  const int code = zarksim::RunIdStringCommand(hex, out, err);
  return {code, out.str(), err.str()};
}

using Strings = std::vector<std::string>;

TEST(IdStringCommandTest, ReportsTheIdentitiesOfAValidString) {
  // M, then "(" 01 24 "ABC1234\0000ABCD\MODEM\PNPC100\My Modem\5A)".
  const CommandResult r = RunIdString(
      "4D 28 01 24 41 42 43 31 32 33 34 5C 30 30 30 30 41 42 43 44 5C 4D 4F 44 45 4D 5C 50 4E 50 43 "
      "31 30 30 5C 4D 79 20 4D 6F 64 65 6D 5C 35 41 29");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["status"], "STATUS_SUCCESS");
  EXPECT_EQ(j["mouse"], true);
  EXPECT_EQ(j["hardware_ids"], (Strings{"SERENUM\\ABC1234", "ABC1234"}));
  EXPECT_EQ(j["compatible_ids"], (Strings{"*PNPC100", "MODEM", "SERIAL_MOUSE"}));
  EXPECT_EQ(j["device_id"], "SERENUM\\ABC1234");
  EXPECT_EQ(j["description"], "My Modem");
  EXPECT_EQ(j["serial_number"], "0000ABCD");
  EXPECT_EQ(j["revision"], "1.00");
}

TEST(IdStringCommandTest, SixBitFormWithoutSpaces) {
  // 0x08 01 24, then "ABC1234" 0x20 lower, then 0x09.
  const CommandResult r = RunIdString("0801242122231112131409");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["status"], "STATUS_SUCCESS");
  EXPECT_EQ(j["mouse"], false);
  EXPECT_EQ(j["device_id"], "SERENUM\\ABC1234");
  EXPECT_EQ(j["compatible_ids"], Strings{});
  EXPECT_EQ(j["serial_number"], "");
}

TEST(IdStringCommandTest, RejectedStringKeepsNoIdentities) {
  // A mouse that answers only its signature.
  const CommandResult r = RunIdString("4D 33");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["status"], "STATUS_UNSUCCESSFUL");
  EXPECT_EQ(j["mouse"], true);
  EXPECT_EQ(j["hardware_ids"], Strings{});
  EXPECT_EQ(j["device_id"], "");
  EXPECT_EQ(j["revision"], "");
}

TEST(IdStringCommandTest, MalformedHexadecimalIsRefused) {
  for (const char* text : {"28 0G", "28 1", "", "   ", "0x28"}) {
    const CommandResult r = RunIdString(text);
    EXPECT_NE(r.exit_code, 0) << text;
    EXPECT_TRUE(r.out.empty()) << text;
    EXPECT_FALSE(r.err.empty()) << text;
  }
  std::string too_long;
  for (int k = 0; k < 257; ++k) too_long += "41 ";
  EXPECT_NE(RunIdString(too_long).exit_code, 0);
}

TEST(IdStringCommandTest, HexBytesAcceptPairsInAnyGrouping) {
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(zarksim::ParseHexBytes("28 0124\tabCD\n", &bytes, &error)) << error;
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x28, 0x01, 0x24, 0xAB, 0xCD}));
}

}  // namespace
