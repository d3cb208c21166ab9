// ParseIdString over generated valid strings: both encodings of a string
// give the same identities, and those identities hold what was sent.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "id_string_test_support.h"
#include "tests/support/kernel_test.h"

namespace {

using enum_test::AsciiForm;
using enum_test::IdFields;
using enum_test::Parse;
using enum_test::ParsedIds;
using enum_test::SixBitForm;
using Strings = std::vector<std::string>;

class IdStringPropertyTest : public sim::test::KernelTest {};

const std::string kHex = "0123456789ABCDEFabcdef";

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  char From(const std::string& alphabet) { return alphabet[Below(alphabet.size())]; }
  std::string Text(size_t length, const std::string& alphabet) {
    std::string text;
    for (size_t k = 0; k < length; ++k) text += From(alphabet);
    return text;
  }
  // Printable text that ends no field and separates no entries: anything
  // but '\', ')' and ','.
  std::string FieldText(size_t max) {
    static const std::string alphabet = [] {
      std::string a;
      for (char c = 0x20; c < 0x7F; ++c) {
        if (c != '\\' && c != ')' && c != ',') a += c;
      }
      return a;
    }();
    return Text(Below(max + 1), alphabet);
  }

  IdFields Fields() {
    IdFields f;
    // Prefix bytes hold no start marker; some are mouse signatures.
    f.prefix = Text(Below(25), "xyz3MB \x01\x7F");
    f.revision = {static_cast<char>(Below(64)), static_cast<char>(Below(64))};
    f.id = Text(3, "ABCDEFGHIJKLMNOPQRSTUVWXYZ") + Text(4, kHex + "GXYZ-");
    const size_t optional = Below(5);
    if (optional >= 1) f.serial = Below(2) ? Text(8, kHex) : "";
    if (optional >= 2) f.class_name = FieldText(32);
    if (optional >= 3) f.compatible = CompatibleList();
    if (optional >= 4) f.description = FieldText(40);
    f.checksum = Text(2, kHex);
    return f;
  }

 private:
  // Entries joined by ',', at most 40 characters once a star follows
  // each comma.
  std::string CompatibleList() {
    std::string list;
    size_t counted = 0;
    for (size_t entries = Below(5); entries > 0; --entries) {
      std::string entry = "PNP" + Text(1 + Below(5), kHex);
      const size_t cost = entry.size() + (list.empty() ? 0 : 2);
      if (counted + cost > 40) break;
      list += (list.empty() ? "" : ",") + entry;
      counted += cost;
    }
    return list;
  }

  std::mt19937 rng_;
};

// The seven-character ID as reported: the manufacturer code, then the
// hexadecimal digits among the other four.
std::string ExpectedId(const std::string& id) {
  std::string expected = id.substr(0, 3);
  for (char c : id.substr(3)) {
    if (kHex.find(c) != std::string::npos) expected += c;
  }
  return expected;
}

bool HasMouseSignature(const std::string& prefix) {
  return prefix.find_first_of("MB") != std::string::npos;
}

TEST_F(IdStringPropertyTest, BothEncodingsGiveTheSameIdentitiesAndKeepTheFields) {
  Generator generate(20261208);
  for (int round = 0; round < 400; ++round) {
    const IdFields f = generate.Fields();
    const std::string ascii_text = AsciiForm(f);
    ParsedIds ascii = Parse(ascii_text);
    ASSERT_EQ(ascii.status, STATUS_SUCCESS) << "round " << round << ": " << ascii;
    ASSERT_EQ(Parse(SixBitForm(f)), ascii) << "round " << round;

    const std::string id = ExpectedId(f.id);
    EXPECT_EQ(ascii.hardware_ids, (Strings{"SERENUM\\" + id, id}));
    const std::string serial = f.serial.value_or("");
    EXPECT_EQ(ascii.serial_number, serial.empty() ? Strings{} : Strings{serial});
    EXPECT_EQ(ascii.description, Strings{f.description.value_or("")});
    const bool mouse = HasMouseSignature(f.prefix);
    EXPECT_EQ(!ascii.compatible_ids.empty() && ascii.compatible_ids.back() == "SERIAL_MOUSE", mouse)
        << "round " << round;
    if (!f.compatible.value_or("").empty()) {
      EXPECT_EQ(ascii.compatible_ids.front(), "*" + f.compatible->substr(0, f.compatible->find(',')));
    }
  }
}

}  // namespace
