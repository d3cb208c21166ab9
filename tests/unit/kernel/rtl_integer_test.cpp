// Integers to and from counted strings. Pure routines: no machine needed.
#include <gtest/gtest.h>

#include <string>

#include "wdm.h"

namespace {

std::u16string Text(const UNICODE_STRING& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

std::u16string ToText(ULONG value, ULONG base) {
  WCHAR storage[40];
  UNICODE_STRING s{0, sizeof(storage), storage};
  EXPECT_EQ(RtlIntegerToUnicodeString(value, base, &s), STATUS_SUCCESS);
  EXPECT_EQ(storage[s.Length / sizeof(WCHAR)], 0);
  return Text(s);
}

ULONG Parse(const WCHAR* text, ULONG base, NTSTATUS expected = STATUS_SUCCESS) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  ULONG value = 0xDEADBEEF;
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, base, &value), expected) << "base " << base;
  return value;
}

TEST(RtlInteger, ToStringInEachBase) {
  EXPECT_EQ(ToText(1234, 0), u"1234");
  EXPECT_EQ(ToText(1234, 10), u"1234");
  EXPECT_EQ(ToText(0xBEEF, 16), u"BEEF");
  EXPECT_EQ(ToText(8, 8), u"10");
  EXPECT_EQ(ToText(5, 2), u"101");
  EXPECT_EQ(ToText(0, 16), u"0");
  EXPECT_EQ(ToText(0xFFFFFFFF, 10), u"4294967295");
}

TEST(RtlInteger, ToStringRefusesBadBasesAndShortBuffers) {
  WCHAR storage[4];
  UNICODE_STRING s{0, sizeof(storage), storage};
  EXPECT_EQ(RtlIntegerToUnicodeString(1, 3, &s), STATUS_INVALID_PARAMETER);
  // Three digits and the NUL fit in four characters; four digits do not.
  EXPECT_EQ(RtlIntegerToUnicodeString(999, 10, &s), STATUS_SUCCESS);
  EXPECT_EQ(RtlIntegerToUnicodeString(1000, 10, &s), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Text(s), u"999");

  char narrow[3];
  EXPECT_EQ(RtlIntegerToChar(255, 16, sizeof(narrow), narrow), STATUS_SUCCESS);
  EXPECT_EQ(std::string(narrow), "FF");
  EXPECT_EQ(RtlIntegerToChar(256, 16, sizeof(narrow), narrow), STATUS_SUCCESS);  // no room for the NUL
  EXPECT_EQ(std::string(narrow, 3), "100");
  EXPECT_EQ(RtlIntegerToChar(4096, 16, sizeof(narrow), narrow), STATUS_BUFFER_OVERFLOW);
}

TEST(RtlInteger, ParseAsDocumented) {
  EXPECT_EQ(Parse(L"123", 10), 123u);
  EXPECT_EQ(Parse(L"-345", 10), static_cast<ULONG>(-345));
  EXPECT_EQ(Parse(L"xyz", 10), 0u);
  EXPECT_EQ(Parse(L"+678abc", 10), 678u);
  EXPECT_EQ(Parse(L"+678abc", 16), 0x678ABCu);
  EXPECT_EQ(Parse(L"  \t 42", 10), 42u);
  EXPECT_EQ(Parse(L"1012", 2), 5u);
  EXPECT_EQ(Parse(L"789", 8), 7u);
}

TEST(RtlInteger, BaseZeroReadsThePrefix) {
  EXPECT_EQ(Parse(L"0x1C29", 0), 0x1C29u);
  EXPECT_EQ(Parse(L"0o17", 0), 15u);
  EXPECT_EQ(Parse(L"0b110", 0), 6u);
  EXPECT_EQ(Parse(L"0110", 0), 110u);
  EXPECT_EQ(Parse(L"-0x10", 0), static_cast<ULONG>(-16));
  // With an explicit base a prefix is not a number.
  EXPECT_EQ(Parse(L"0x1C29", 16), 0u);
}

TEST(RtlInteger, ParseRefusesEmptyTextAndBadBases) {
  Parse(L"", 10, STATUS_INVALID_PARAMETER);
  Parse(L"   ", 10, STATUS_INVALID_PARAMETER);
  Parse(L"12", 7, STATUS_INVALID_PARAMETER);
  ULONG value = 0;
  EXPECT_EQ(RtlCharToInteger("0x20", 0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 32u);
}

}  // namespace
