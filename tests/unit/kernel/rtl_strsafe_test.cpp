// ntstrsafe.h: truncation, its status, and the sizes it refuses. Pure
// routines: no machine needed.
#include <gtest/gtest.h>

#include <string>

#include "wdm.h"
// after wdm.h, as on Windows
#include "ntstrsafe.h"

namespace {

std::u16string Wide(const WCHAR* s) { return std::u16string(reinterpret_cast<const char16_t*>(s)); }

TEST(RtlStringSafe, PrintfFitsOrTruncatesWithOverflowAndNul) {
  WCHAR name[32];
  EXPECT_EQ(RtlStringCchPrintfW(name, 32, L"\\Device\\ZARKLINK_%d", 11), STATUS_SUCCESS);
  EXPECT_EQ(Wide(name), u"\\Device\\ZARKLINK_11");

  WCHAR small[6];
  EXPECT_EQ(RtlStringCchPrintfW(small, 6, L"COM%u", 12345u), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Wide(small), u"COM12");
  // Exactly the characters and the NUL.
  EXPECT_EQ(RtlStringCchPrintfW(small, 6, L"COM%u", 12u), STATUS_SUCCESS);
  EXPECT_EQ(Wide(small), u"COM12");
  // Cb counts bytes: 6 bytes hold two characters and the NUL.
  EXPECT_EQ(RtlStringCbPrintfW(small, 6, L"%s", L"abc"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Wide(small), u"ab");

  char narrow[4];
  EXPECT_EQ(RtlStringCchPrintfA(narrow, sizeof(narrow), "%d", 12345), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::string(narrow), "123");
}

TEST(RtlStringSafe, ZeroOrHugeSizesAreInvalidAndTouchNothing) {
  WCHAR buffer[4] = {L'x', L'y', 0, 0};
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, L"%d", 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchCopyW(buffer, 0, L"a"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbCopyW(buffer, 1, L"a"), STATUS_INVALID_PARAMETER);  // less than one character
  EXPECT_EQ(RtlStringCchCatW(buffer, 0, L"a"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchCopyW(buffer, size_t{NTSTRSAFE_MAX_CCH} + 1, L"a"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Wide(buffer), u"xy");
}

TEST(RtlStringSafe, CopyAndCatTruncateToTheDestination) {
  WCHAR buffer[8];
  EXPECT_EQ(RtlStringCchCopyW(buffer, 8, L"COM"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchCatW(buffer, 8, L"12"), STATUS_SUCCESS);
  EXPECT_EQ(Wide(buffer), u"COM12");
  EXPECT_EQ(RtlStringCchCatW(buffer, 8, L"3456"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Wide(buffer), u"COM1234");
  // A full destination takes an empty string but nothing more.
  EXPECT_EQ(RtlStringCchCatW(buffer, 8, L""), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchCatW(buffer, 8, L"x"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Wide(buffer), u"COM1234");

  EXPECT_EQ(RtlStringCbCopyW(buffer, 8, L"abcdef"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Wide(buffer), u"abc");
  EXPECT_EQ(RtlStringCchCopyNW(buffer, 8, L"abcdef", 2), STATUS_SUCCESS);
  EXPECT_EQ(Wide(buffer), u"ab");
}

TEST(RtlStringSafe, CatRefusesADestinationWithoutNul) {
  WCHAR buffer[3] = {L'a', L'b', L'c'};
  EXPECT_EQ(RtlStringCchCatW(buffer, 3, L"d"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(buffer[2], L'c');
}

TEST(RtlStringSafe, LengthWithinALimit) {
  size_t length = 99;
  EXPECT_EQ(RtlStringCchLengthW(L"COM7", 5, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(RtlStringCbLengthW(L"COM7", 10, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 8u);
  // No NUL within the limit: invalid, and the length reads 0.
  EXPECT_EQ(RtlStringCchLengthW(L"COM7", 4, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(RtlStringCchLengthW(nullptr, 4, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchLengthA("abc", 4, nullptr), STATUS_SUCCESS);
}

}  // namespace
