// The registry's text form: exact format, exact round trip, and errors that
// name the line.
#include <gtest/gtest.h>

#include "nt/zw.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/registry/registry_text.h"

namespace sim {
namespace {

constexpr const char* kKey = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110";

TEST(RegistryText, WritesEachTypeInItsOwnForm) {
  Registry registry;
  registry.SetDword(kKey, "Start", 3);
  registry.SetString(kKey, "Path", u"C:\\\"x\"\u00e9\n");
  registry.SetString(kKey, "Image", u"%SystemRoot%\\a.sys", REG_EXPAND_SZ);
  registry.SetMultiString(kKey, "Enum", {u"A", u"B"});
  registry.SetBinary(kKey, "Bin", {0x00, 0xff});
  registry.SetValue(kKey, "Q", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0x80});
  registry.SetValue(kKey, "Odd", 0x12345, {0xab});
  registry.SetValue(kKey, "", REG_NONE, {});

  std::string text = DumpRegistry(registry);
  const std::string expected = std::string("[") + kKey + "]\n" +
                               "\"Start\"=dword:00000003\n"
                               "\"Path\"=sz:\"C:\\\\\\\"x\\\"\xc3\xa9\\u000A\"\n"
                               "\"Image\"=expand_sz:\"%SystemRoot%\\\\a.sys\"\n"
                               "\"Enum\"=multi_sz:\"A\",\"B\"\n"
                               "\"Bin\"=hex:00,ff\n"
                               "\"Q\"=qword:8000000000000001\n"
                               "\"Odd\"=hex(12345):ab\n"
                               "\"\"=hex(0):\n";
  EXPECT_NE(text.find(expected), std::string::npos) << text;
  EXPECT_NE(text.find("\n[\\Registry\\User]\n"), std::string::npos);
}

TEST(RegistryText, RoundTripsExactly) {
  Registry registry;
  registry.SetString(kKey, "Emoji", u"\U0001F600 and a lone \xD800 surrogate");
  registry.SetValue(kKey, "NoTerminator", REG_SZ, {'a', 0, 'b', 0});
  registry.SetValue(kKey, "EmbeddedNul", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0});
  registry.SetValue(kKey, "OddBytes", REG_SZ, {'a', 0, 0});
  registry.SetValue(kKey, "ThreeByteDword", REG_DWORD, {1, 2, 3});
  registry.SetValue(kKey, "ZeroMulti", REG_MULTI_SZ, {});
  registry.SetMultiString(kKey, "EmptyMulti", {});
  registry.SetValue(kKey, "MultiNoEnd", REG_MULTI_SZ, {'a', 0, 0, 0});
  std::vector<uint8_t> table(1023);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i * 7);
  registry.SetBinary(kKey, "ComNumConfig", table);
  registry.CreateKey(std::string(kKey) + "\\Empty Key [x]");
  registry.CreateKey("\\Registry\\Machine\\HARDWARE\\DEVICEMAP");
  registry.AddSubkey(*registry.FindKey(kKey), u"Vol] volatile", true);
  registry.SetValue("\\Registry", "AtRoot", REG_DWORD, {1, 0, 0, 0});

  std::string text = DumpRegistry(registry);
  Registry copy;
  LoadRegistryText(copy, text);
  EXPECT_EQ(DumpRegistry(copy), text);
  for (const auto& name : registry.ValueNames(kKey)) {
    auto a = registry.GetValue(kKey, name);
    auto b = copy.GetValue(kKey, name);
    ASSERT_TRUE(b) << name;
    EXPECT_EQ(a->type, b->type) << name;
    EXPECT_EQ(a->data, b->data) << name;
    EXPECT_EQ(a->name, b->name);
  }
  EXPECT_TRUE(copy.FindKey(std::string(kKey) + "\\Vol] volatile")->is_volatile());
  EXPECT_FALSE(copy.FindKey(std::string(kKey) + "\\Empty Key [x]")->is_volatile());
}

TEST(RegistryText, LoadMergesAndAcceptsCommentsAndContinuations) {
  Registry registry;
  registry.SetDword(kKey, "Keep", 1);
  registry.SetDword(kKey, "Replace", 1);
  LoadRegistryText(registry,
                   "; scenario preset\n"
                   "\n"
                   "  # a comment never continues \\\n"
                   "[\\REGISTRY\\MACHINE\\system\\CurrentControlSet\\Services\\KALVOR1110]\n"
                   "  \"replace\"=dword:2\n"
                   "\"Bytes\"=hex:01,02,\\\n"
                   "    03\r\n"
                   "\"List\"=multi_sz: \"x\" , \"y\"\n");
  EXPECT_EQ(registry.GetDword(kKey, "Keep"), 1u);
  EXPECT_EQ(registry.GetDword(kKey, "Replace"), 2u);
  EXPECT_EQ(registry.ValueNames(kKey)[1], "Replace");
  EXPECT_EQ(registry.GetBinary(kKey, "Bytes"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(registry.GetMultiString(kKey, "List"), (std::vector<std::u16string>{u"x", u"y"}));
}

int ErrorLine(const std::string& text, std::string* message = nullptr) {
  Registry registry;
  try {
    LoadRegistryText(registry, text);
  } catch (const RegistryTextError& e) {
    if (message) *message = e.what();
    return e.line();
  }
  return 0;
}

TEST(RegistryText, MalformedLinesNameTheirLine) {
  const std::string key = "[\\Registry\\Machine\\X]\n";
  std::string message;
  EXPECT_EQ(ErrorLine("\"A\"=dword:1\n", &message), 1);
  EXPECT_EQ(message, "line 1: a value line before the first key line");
  EXPECT_EQ(ErrorLine(key + "\"A\"=word:1\n", &message), 2);
  EXPECT_NE(message.find("unknown value type"), std::string::npos);
  EXPECT_EQ(ErrorLine(key + "\n\"A\"=hex:1,02\n"), 3);
  EXPECT_EQ(ErrorLine(key + "\"A\"=hex:01,\n"), 2);
  EXPECT_EQ(ErrorLine(key + "\"A\"=sz:\"open\n"), 2);
  EXPECT_EQ(ErrorLine(key + "\"A\"=sz:\"\\q\"\n"), 2);
  EXPECT_EQ(ErrorLine(key + "\"A\"=sz:\"\\u12\"\n"), 2);
  EXPECT_EQ(ErrorLine(key + "\"A\"=dword:123456789\n"), 2);
  EXPECT_EQ(ErrorLine(key + "\"A\"=dword:1 extra\n"), 2);
  EXPECT_EQ(ErrorLine(key + "\"A\"=multi_sz:\"a\",\"\"\n"), 2);
  EXPECT_EQ(ErrorLine(key + "\"A\" = dword:1\n"), 2);
  EXPECT_EQ(ErrorLine("[\\Machine\\X]\n", &message), 1);
  EXPECT_NE(message.find("not a registry path"), std::string::npos);
  EXPECT_EQ(ErrorLine("[\\Registry\\Machine\\X\n"), 1);
  EXPECT_EQ(ErrorLine(key + "garbage\n"), 2);
  // A continued line is reported at the line it starts on, and lines after it
  // keep their own numbers.
  EXPECT_EQ(ErrorLine(key + "\"A\"=hex:01,\\\n02,\\\nzz\n"), 2);
  EXPECT_EQ(ErrorLine(key + "\"A\"=hex:01,\\\n02\n\"B\"=bad:\n"), 4);
  EXPECT_EQ(ErrorLine("[\\Registry\\Machine\\V] volatile\n[\\Registry\\Machine\\V\\W]\n"), 2);
  EXPECT_EQ(ErrorLine(key + "\"A\"=sz:\"\xff\"\n"), 2);  // not UTF-8
  // A key name the dump could not write back (found by fuzzing).
  EXPECT_EQ(ErrorLine(key + std::string("[\\Registry\\Machine\\A\x01" "B]\n"), &message), 2);
  EXPECT_NE(message.find("control characters"), std::string::npos);
}

}  // namespace
}  // namespace sim
