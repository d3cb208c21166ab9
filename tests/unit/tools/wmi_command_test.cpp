// zarksim wmi: a booted machine's WMI block written and read back by GUID.
#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "tools/zarksim/wmi_command.h"

namespace {

struct CommandResult {
  int exit_code;
  std::string out;
  std::string err;
};

CommandResult RunWmi(const zarksim::WmiCommand& command) {
  sim::MachineConfig config;
  config.cards.emplace_back();
  std::ostringstream out, err;
  const int code = zarksim::RunWmiCommand(config, command, out, err);
  return {code, out.str(), err.str()};
}

TEST(WmiCommandTest, SetsAndQueriesTheCardsValueByGuid) {
  zarksim::WmiCommand set{"8209EC2A-2D6B-11D2-BA49-00A0C9062910", 0xCAFE, 0, true};
  CommandResult r = RunWmi(set);
  ASSERT_EQ(r.exit_code, 0) << r.err << r.out;
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["guid"], "{8209ec2a-2d6b-11d2-ba49-00a0c9062910}");
  EXPECT_EQ(j["set"]["status"], "STATUS_SUCCESS");
  EXPECT_EQ(j["query"]["status"], "STATUS_SUCCESS");
  EXPECT_EQ(j["query"]["data"], "fe ca 00 00");
  EXPECT_EQ(j["query"]["value"], 0xCAFE);
  EXPECT_EQ(j["findings"], 0);

  // The tree form of a query on a fresh machine.
  r = RunWmi({"{a0f95fd4-a587-11d2-bb3a-00c04fa330a7}", std::nullopt, 0, false});
  ASSERT_EQ(r.exit_code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("query: STATUS_SUCCESS"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("data: 2a 00 00 00"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("value: 42"), std::string::npos) << r.out;

  // An instance the block does not have, and a GUID that is none.
  r = RunWmi({"{a0f95fd4-a587-11d2-bb3a-00c04fa330a7}", std::nullopt, 1, true});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(nlohmann::json::parse(r.out)["query"]["status"], "STATUS_WMI_INSTANCE_NOT_FOUND");
  r = RunWmi({"a0f95fd4-a587-11d2-bb3a", std::nullopt, 0, true});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("is not a GUID"), std::string::npos);
}

}  // namespace
