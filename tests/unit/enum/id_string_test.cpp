// ParseIdString: framing, revision, device ID, mouse flag, and what happens
// to the outputs and the pool when a string is rejected or memory runs out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "enum/id_string.h"
#include "id_string_test_support.h"
#include "support/pool_failure.h"
#include "tests/support/kernel_test.h"

namespace {

using enum_test::AsciiForm;
using enum_test::IdFields;
using enum_test::Parse;
using enum_test::ParsedIds;
using enum_test::SixBitForm;
using Strings = std::vector<std::string>;

class IdStringTest : public sim::test::KernelTest {};

IdFields Modem() {
  IdFields f;
  f.serial = "0000ABCD";
  f.class_name = "MODEM";
  f.compatible = "PNPC100,PNPC101";
  f.description = "My Modem";
  return f;
}

const std::string kShort = std::string("(\x01\x24", 3) + "ABC1234)";

TEST_F(IdStringTest, ShortStringHasNoOptionalFieldsAndNoChecksum) {
  ParsedIds ids = Parse(kShort);
  ASSERT_EQ(ids.status, STATUS_SUCCESS) << ids;
  EXPECT_EQ(ids.hardware_ids, (Strings{"SERENUM\\ABC1234", "ABC1234"}));
  EXPECT_EQ(ids.device_id, (Strings{"SERENUM\\ABC1234"}));
  EXPECT_EQ(ids.revision, (Strings{"1.00"}));
  EXPECT_TRUE(ids.compatible_ids.empty());
  EXPECT_TRUE(ids.raw_compatible_ids.empty());
  EXPECT_EQ(ids.description, (Strings{""})) << "an empty description is still reported";
  EXPECT_TRUE(ids.serial_number.empty());
}

TEST_F(IdStringTest, AllOptionalFieldsOfAModem) {
  ParsedIds ids = Parse(AsciiForm(Modem()));
  ASSERT_EQ(ids.status, STATUS_SUCCESS) << ids;
  EXPECT_EQ(ids.serial_number, (Strings{"0000ABCD"}));
  EXPECT_EQ(ids.compatible_ids, (Strings{"*PNPC100", "*PNPC101", "MODEM"}));
  EXPECT_EQ(ids.raw_compatible_ids, std::u16string(u"*PNPC100\0*PNPC101\0MODEM\0\0", 25));
  EXPECT_EQ(ids.description, (Strings{"My Modem"}));
  EXPECT_EQ(ids.hardware_ids, (Strings{"SERENUM\\ABC1234", "ABC1234"}));
}

TEST_F(IdStringTest, ChecksumIsCheckedForFormButNotForValue) {
  const ParsedIds reference = Parse(AsciiForm(Modem()));
  for (const char* checksum : {"00", "ff", "9e", "F0"}) {
    IdFields f = Modem();
    f.checksum = checksum;
    EXPECT_EQ(Parse(AsciiForm(f)), reference) << checksum;
  }
  for (const char* checksum : {"5G", "G5", " 5", "5\\", "))"}) {
    IdFields f = Modem();
    f.checksum = checksum;
    EXPECT_EQ(Parse(AsciiForm(f)).status, STATUS_UNSUCCESSFUL) << checksum;
  }
  // Optional fields whose end marker follows the description directly.
  IdFields f = Modem();
  f.checksum = "";
  EXPECT_EQ(Parse(AsciiForm(f)).status, STATUS_UNSUCCESSFUL);
}

TEST_F(IdStringTest, SixBitFormGivesTheSameIdentities) {
  for (const IdFields& f : {IdFields{}, Modem()}) {
    ParsedIds six = Parse(SixBitForm(f));
    EXPECT_EQ(six.status, STATUS_SUCCESS) << six;
    EXPECT_EQ(six, Parse(AsciiForm(f)));
  }
  // The converted text is left in the buffer.
  ParsedIds six = Parse(SixBitForm(IdFields{}));
  EXPECT_EQ(std::string(six.bytes_after.begin() + 3, six.bytes_after.end()), "ABC1234)");
}

TEST_F(IdStringTest, StartMarkerInsideAndBeyondThePrefixWindow) {
  // At index 15: the last place the window looks.
  EXPECT_EQ(Parse(std::string(15, 'x') + kShort).status, STATUS_SUCCESS);
  // Beyond the window the search goes on from index 16, whose byte must not
  // be 0.
  EXPECT_EQ(Parse(std::string(16, 'x') + kShort).status, STATUS_SUCCESS);
  EXPECT_EQ(Parse(std::string(40, 'x') + kShort).status, STATUS_SUCCESS);
  std::string zero_at_16 = std::string(20, 'x') + kShort;
  zero_at_16[16] = 0;
  EXPECT_EQ(Parse(zero_at_16).status, STATUS_UNSUCCESSFUL);
  std::string zero_at_15 = std::string(20, 'x') + kShort;
  zero_at_15[15] = 0;
  EXPECT_EQ(Parse(zero_at_15).status, STATUS_SUCCESS);
  // A short answer without a marker ends before index 16.
  EXPECT_EQ(Parse("xxxxxxxxxx").status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Parse(std::string(20, 'x')).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Parse("").status, STATUS_UNSUCCESSFUL);
}

TEST_F(IdStringTest, StringsEndingAtTheCount) {
  // Exactly ten bytes after the marker.
  EXPECT_EQ(Parse(kShort).status, STATUS_SUCCESS);
  EXPECT_EQ(Parse(kShort.substr(0, kShort.size() - 1)).status, STATUS_UNSUCCESSFUL);
  std::string wrong_end = kShort;
  wrong_end.back() = 'X';
  EXPECT_EQ(Parse(wrong_end).status, STATUS_UNSUCCESSFUL);

  const std::string modem = AsciiForm(Modem());
  EXPECT_EQ(Parse(modem).status, STATUS_SUCCESS);
  EXPECT_EQ(Parse(modem.substr(0, modem.size() - 1)).status, STATUS_UNSUCCESSFUL);
  // Bytes after the end marker are not looked at.
  EXPECT_EQ(Parse(modem + "\r\nM"), Parse(modem));
  EXPECT_EQ(Parse(kShort + "\\1234"), Parse(kShort));
}

TEST_F(IdStringTest, RevisionText) {
  struct Case {
    unsigned char high, low;
    const char* text;  // null: rejected
  };
  const Case cases[] = {
      {0x01, 0x24, "1.00"}, {0x00, 0x00, "0.00"},  {0x00, 0x07, "0.07"},
      {0x0F, 0x27, "9.99"}, {0x0F, 0x28, "10.00"}, {0x3F, 0x3F, "40.95"},
      {0x40, 0x24, nullptr}, {0x01, 0x7F, nullptr},
      // Read as signed bytes, values from 0x80 pass the check and are masked.
      {0xC1, 0x24, "1.00"},
  };
  for (const Case& c : cases) {
    IdFields f;
    f.revision = {static_cast<char>(c.high), static_cast<char>(c.low)};
    ParsedIds ids = Parse(AsciiForm(f));
    if (c.text == nullptr) {
      EXPECT_EQ(ids.status, STATUS_UNSUCCESSFUL) << int(c.high) << "," << int(c.low);
    } else {
      EXPECT_EQ(ids.status, STATUS_SUCCESS) << int(c.high) << "," << int(c.low);
      EXPECT_EQ(ids.revision, Strings{c.text});
    }
  }
}

TEST_F(IdStringTest, RevisionBytesEqualToTheEndMarkerDoNotEndTheString) {
  // The revision is binary: 0x29 is ')' and 0x09 the 6-bit end marker.
  IdFields f = Modem();
  f.revision = std::string("\x29\x09", 2);
  ParsedIds ascii = Parse(AsciiForm(f));
  ASSERT_EQ(ascii.status, STATUS_SUCCESS) << ascii;
  EXPECT_EQ(ascii.revision, (Strings{"26.33"}));
  EXPECT_EQ(Parse(SixBitForm(f)), ascii);
}

TEST_F(IdStringTest, DeviceIdKeepsTheManufacturerAndSkipsNonHexDigits) {
  IdFields f;
  f.id = "a-Z12G4";
  ParsedIds ids = Parse(AsciiForm(f));
  ASSERT_EQ(ids.status, STATUS_SUCCESS);
  EXPECT_EQ(ids.hardware_ids, (Strings{"SERENUM\\a-Z124", "a-Z124"}));
  EXPECT_EQ(ids.device_id, (Strings{"SERENUM\\a-Z124"}));
}

TEST_F(IdStringTest, MouseFlagAddsSerialMouse) {
  IdFields f = Modem();
  f.prefix = "M";
  EXPECT_EQ(Parse(AsciiForm(f)).compatible_ids,
            (Strings{"*PNPC100", "*PNPC101", "MODEM", "SERIAL_MOUSE"}));
  f.prefix = "xxB3";
  EXPECT_EQ(Parse(AsciiForm(f)).compatible_ids,
            (Strings{"*PNPC100", "*PNPC101", "MODEM", "SERIAL_MOUSE"}));

  IdFields plain;
  plain.prefix = "M3";
  EXPECT_EQ(Parse(AsciiForm(plain)).compatible_ids, (Strings{"SERIAL_MOUSE"}));
  // An 'M' after the start marker is part of the string, not a signature.
  plain.prefix = "";
  plain.id = "MSC1234";
  EXPECT_TRUE(Parse(AsciiForm(plain)).compatible_ids.empty());
}

TEST_F(IdStringTest, MouseClassName) {
  IdFields f;
  f.class_name = "mouse";
  f.compatible = "PNP0F0C";
  EXPECT_EQ(Parse(AsciiForm(f)).compatible_ids, (Strings{"*PNP0F0C", "SERIAL_MOUSE"}));
  // Without compatible IDs the class name is not reported at all.
  f.compatible = "";
  ParsedIds ids = Parse(AsciiForm(f));
  EXPECT_EQ(ids.status, STATUS_SUCCESS);
  EXPECT_TRUE(ids.compatible_ids.empty());
  f.compatible.reset();
  EXPECT_TRUE(Parse(AsciiForm(f)).compatible_ids.empty());
}

TEST_F(IdStringTest, EmptyClassNameDoesNotHideSerialMouse) {
  IdFields f;
  f.prefix = "M";
  f.class_name = "";
  f.compatible = "PNP0F0C";
  ParsedIds ids = Parse(AsciiForm(f));
  ASSERT_EQ(ids.status, STATUS_SUCCESS);
  EXPECT_EQ(ids.compatible_ids, (Strings{"*PNP0F0C", "SERIAL_MOUSE"}));
}

TEST_F(IdStringTest, FindMouseSignatureStopsAtTheStartMarker) {
  struct Case {
    std::string bytes;
    UCHAR signature;
    ULONG index;
  };
  const Case cases[] = {
      {"M", 'M', 0}, {"xxM3", 'M', 2}, {"xB", 'B', 1}, {"BM", 'B', 0},
      {"x(M", 0, 0}, {std::string("\x08M", 2), 0, 0}, {"", 0, 0}, {"xyz", 0, 0},
  };
  for (const Case& c : cases) {
    ULONG index = 77;
    const UCHAR found = FindMouseSignature(reinterpret_cast<const UCHAR*>(c.bytes.data()),
                                           static_cast<ULONG>(c.bytes.size()), &index);
    EXPECT_EQ(found, c.signature) << c.bytes;
    if (found != 0) {
      EXPECT_EQ(index, c.index) << c.bytes;
    }
  }
}

// Running out of pool at each allocation of a parse: the work area first
// (no outputs at all), then each identity. The helper frees whatever was
// built; the fixture fails the test on any leak.
TEST_F(IdStringTest, EveryAllocationFailureIsReportedWithoutLeaks) {
  const std::string text = AsciiForm(Modem());
  unsigned n = 1;
  for (; n < 20; ++n) {
    ParsedIds ids;
    {
      sim::test::PoolFailure failure(n);
      ids = Parse(text);
    }
    if (ids.status == STATUS_SUCCESS) break;
    EXPECT_EQ(ids.status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    if (n == 1) {
      EXPECT_TRUE(ids.hardware_ids.empty() && ids.device_id.empty() && ids.description.empty());
    }
  }
  // The work area and six identities.
  EXPECT_EQ(n, 8u);
}

}  // namespace
