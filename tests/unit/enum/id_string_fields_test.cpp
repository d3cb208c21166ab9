// ParseIdString: the optional fields, their length limits at the bound and
// one past it, and strings that use the whole 256-byte read buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "enum/id_string.h"
#include "id_string_test_support.h"
#include "tests/support/kernel_test.h"

namespace {

using enum_test::AsciiForm;
using enum_test::IdFields;
using enum_test::Parse;
using enum_test::ParsedIds;
using enum_test::SixBitForm;
using Strings = std::vector<std::string>;

class IdStringFieldsTest : public sim::test::KernelTest {};

TEST_F(IdStringFieldsTest, SerialNumberNeedsExactlyEightDigits) {
  IdFields f;
  f.serial = "0000abcd";
  f.class_name = "MODEM";
  f.compatible = "PNPC100";
  ParsedIds ids = Parse(AsciiForm(f));
  ASSERT_EQ(ids.status, STATUS_SUCCESS);
  EXPECT_EQ(ids.serial_number, (Strings{"0000abcd"}));

  f.serial = "0000ABC";
  EXPECT_EQ(Parse(AsciiForm(f)).status, STATUS_UNSUCCESSFUL);
  f.serial = "12G45678";
  EXPECT_EQ(Parse(AsciiForm(f)).status, STATUS_UNSUCCESSFUL);

  // Seven digits as the last field: the checksum is cut off before the
  // fields are read, so it cannot make up the eighth digit.
  IdFields last;
  last.serial = "0000ABC";
  EXPECT_EQ(Parse(AsciiForm(last)).status, STATUS_UNSUCCESSFUL);
}

TEST_F(IdStringFieldsTest, EmptySerialNumberIsAbsent) {
  IdFields f;
  f.serial = "";
  f.class_name = "MODEM";
  f.compatible = "PNPC100";
  ParsedIds ids = Parse(AsciiForm(f));
  ASSERT_EQ(ids.status, STATUS_SUCCESS);
  EXPECT_TRUE(ids.serial_number.empty());
  EXPECT_EQ(ids.compatible_ids, (Strings{"*PNPC100", "MODEM"}));
}

TEST_F(IdStringFieldsTest, FieldsAreFoundByPositionOnly) {
  // After eight digits the parse stands on the ninth; it is no backslash,
  // so no further field is present.
  IdFields f;
  f.serial = "0000ABCD1";
  f.class_name = "MODEM";
  f.compatible = "PNPC100";
  f.description = "Modem";
  ParsedIds ids = Parse(AsciiForm(f));
  ASSERT_EQ(ids.status, STATUS_SUCCESS) << ids;
  EXPECT_EQ(ids.serial_number, (Strings{"0000ABCD"}));
  EXPECT_TRUE(ids.compatible_ids.empty());
  EXPECT_EQ(ids.description, (Strings{""}));
}

TEST_F(IdStringFieldsTest, CompatibleIdsGetAStarPerEntry) {
  IdFields f;
  f.class_name = "MODEM";
  f.compatible = "PNPC100\x0CPNPC101,PNPC102";
  ParsedIds ids = Parse(AsciiForm(f));
  ASSERT_EQ(ids.status, STATUS_SUCCESS);
  EXPECT_EQ(ids.compatible_ids, (Strings{"*PNPC100", "*PNPC101", "*PNPC102", "MODEM"}));
}

// Each limit at its bound and one past it.
struct LimitCase {
  const char* name;
  void (*set)(IdFields&, size_t);
  size_t bound;
};

const LimitCase kLimits[] = {
    {"class name", [](IdFields& f, size_t n) { f.class_name = std::string(n, 'C'); }, 32},
    {"description", [](IdFields& f, size_t n) { f.description = std::string(n, 'D'); }, 40},
    // Counted with the stars inserted after each comma: 3 commas, 3 stars.
    {"compatible IDs",
     [](IdFields& f, size_t n) { f.compatible = "PNP0001,PNP0002,PNP0003," + std::string(n - 27, 'P'); },
     40},
    {"compatible IDs without separators",
     [](IdFields& f, size_t n) { f.compatible = std::string(n, 'P'); }, 40},
};

TEST_F(IdStringFieldsTest, LengthLimitsAtTheBoundAndOnePast) {
  for (const LimitCase& limit : kLimits) {
    for (size_t n : {limit.bound, limit.bound + 1}) {
      IdFields f;
      f.serial = "";
      limit.set(f, n);
      f.description = f.description.value_or("end");
      const NTSTATUS expected = n <= limit.bound ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
      EXPECT_EQ(Parse(AsciiForm(f)).status, expected) << limit.name << " " << n;
      EXPECT_EQ(Parse(SixBitForm(f)).status, expected) << limit.name << " " << n << " (6-bit)";
    }
  }
}

// The longest string the fields allow.
IdFields LongestFields() {
  IdFields f;
  f.id = "XYZ9876";
  f.serial = "12345678";
  f.class_name = std::string(32, 'C');
  f.compatible = std::string(40, 'P');
  f.description = std::string(40, 'D');
  f.checksum = "FF";
  return f;
}

// Wherever it lies in the read buffer, including end markers past index
// 127, up to the last of the 256 bytes.
TEST_F(IdStringFieldsTest, LongestStringAtEveryPositionOfTheBuffer) {
  const IdFields longest = LongestFields();
  const size_t length = AsciiForm(longest).size();
  ASSERT_EQ(length, 137u);
  for (size_t prefix = 0; prefix + length <= kIdStringMaxBytes; ++prefix) {
    IdFields f = longest;
    f.prefix = std::string(prefix, 'x');
    ParsedIds ids = Parse(AsciiForm(f));
    ASSERT_EQ(ids.status, STATUS_SUCCESS) << "end marker at " << prefix + length - 1;
    EXPECT_EQ(ids.compatible_ids, (Strings{"*" + std::string(40, 'P'), std::string(32, 'C')}));
    EXPECT_EQ(ids.description, (Strings{std::string(40, 'D')}));
    EXPECT_EQ(ids.serial_number, (Strings{"12345678"}));
    ASSERT_EQ(Parse(SixBitForm(f)), ids) << "end marker at " << prefix + length - 1;
  }
}

TEST_F(IdStringFieldsTest, OnlyTheFirst256BytesAreRead) {
  IdFields f = LongestFields();
  f.prefix = std::string(kIdStringMaxBytes - 137 + 1, 'x');
  const std::string text = AsciiForm(f);
  ASSERT_EQ(text.size(), kIdStringMaxBytes + 1);
  EXPECT_EQ(Parse(text).status, STATUS_UNSUCCESSFUL);
}

}  // namespace
