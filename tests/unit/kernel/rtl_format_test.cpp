// The kernel's printf family (_snwprintf, _snprintf), as drivers reach it
// through ntstrsafe.h. Pure routines: no machine needed.
#include <gtest/gtest.h>

#include <string>

#include "wdm.h"

namespace {

std::u16string Wide(const WCHAR* s) { return std::u16string(reinterpret_cast<const char16_t*>(s)); }

template <typename... Args>
std::u16string FormatW(const WCHAR* format, Args... args) {
  WCHAR buffer[256];
  int n = _snwprintf(buffer, 256, format, args...);
  EXPECT_GE(n, 0);
  return Wide(buffer);
}

template <typename... Args>
std::string FormatA(const char* format, Args... args) {
  char buffer[256];
  int n = _snprintf(buffer, 256, format, args...);
  EXPECT_GE(n, 0);
  return buffer;
}

TEST(RtlFormat, IntegersWithFlagsWidthAndPrecision) {
  EXPECT_EQ(FormatW(L"\\Device\\ZARKLINK_%d", 7), u"\\Device\\ZARKLINK_7");
  EXPECT_EQ(FormatW(L"%i|%d|%u", -12, INT32_MIN, 4000000000u), u"-12|-2147483648|4000000000");
  EXPECT_EQ(FormatW(L"%x %X %#x %#X %#x", 0xbeefu, 0xbeefu, 0x1cu, 0x1cu, 0u), u"beef BEEF 0x1c 0X1C 0");
  EXPECT_EQ(FormatW(L"[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 42, 42), u"[   42][42   ][-0042][+42][ 42]");
  EXPECT_EQ(FormatW(L"[%.3d][%8.3x][%.0d][%#o]", 7, 0xa, 0, 8), u"[007][     00a][][010]");
  EXPECT_EQ(FormatW(L"[%*d][%-*d][%.*d]", 4, 1, 3, 2, 3, 5), u"[   1][2  ][005]");
}

TEST(RtlFormat, SizesFollowWindowsNotTheHost) {
  // l is 32 bits on Windows; ll, I64 and I are 64.
  EXPECT_EQ(FormatW(L"%lu %lx", 0xFFFFFFFFu, 0xABCDu), u"4294967295 abcd");
  EXPECT_EQ(FormatW(L"%lld %llu", -5000000000LL, 18446744073709551615ULL), u"-5000000000 18446744073709551615");
  EXPECT_EQ(FormatW(L"%I64x %I64X %Ix", 0x123456789abcdefULL, 0xfedcba987654321ULL, (ULONG_PTR)0x1000000000ULL),
            u"123456789abcdef FEDCBA987654321 1000000000");
  EXPECT_EQ(FormatW(L"%hd %hx %hhu", 70000, 0x12345, 300), u"4464 2345 44");
}

TEST(RtlFormat, StringsTakeWideOrNarrowArgumentsAsTheKernelDoes) {
  // In the wide functions %s and %ls/%ws are wide; %S and %hs are narrow.
  EXPECT_EQ(FormatW(L"%s/%ls/%ws/%S/%hs", L"a", L"b", L"c", "d", "e"), u"a/b/c/d/e");
  // In the narrow functions it is the other way round.
  EXPECT_EQ(FormatA("%s/%S/%ls/%hs", "a", L"b", L"c", "d"), "a/b/c/d");
  EXPECT_EQ(FormatW(L"[%6s][%-6s][%.2s]", L"abc", L"abc", L"abc"), u"[   abc][abc   ][ab]");
  EXPECT_EQ(FormatW(L"%s %S", static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr)),
            u"(null) (null)");
  EXPECT_EQ(FormatW(L"%c%C%hc%lc", L'x', 'y', 'z', L'\u00e9'), u"xyz\u00e9");
}

TEST(RtlFormat, CountedStringsPrintTheirLengthOnly) {
  WCHAR text[] = L"COM3-tail";
  UNICODE_STRING name{8, sizeof(text), text};
  char narrow[] = "PNP0F0C-tail";
  ANSI_STRING id{7, sizeof(narrow), narrow};
  EXPECT_EQ(FormatW(L"<%wZ> <%Z>", &name, &id), u"<COM3> <PNP0F0C>");
  EXPECT_EQ(FormatA("<%wZ>", &name), "<COM3>");
  EXPECT_EQ(FormatW(L"%wZ", static_cast<UNICODE_STRING*>(nullptr)), u"(null)");
}

TEST(RtlFormat, PointersAndPercent) {
  EXPECT_EQ(FormatW(L"%p", reinterpret_cast<void*>(0x1234abcdULL)), u"000000001234ABCD");
  EXPECT_EQ(FormatW(L"100%%"), u"100%");
}

TEST(RtlFormat, ResultTellsWhetherTheTextFit) {
  WCHAR buffer[8];
  for (WCHAR& c : buffer) c = L'#';
  // Fits with its NUL.
  EXPECT_EQ(_snwprintf(buffer, 8, L"%d", 1234), 4);
  EXPECT_EQ(Wide(buffer), u"1234");
  // Exactly fills the count: no NUL is written.
  for (WCHAR& c : buffer) c = L'#';
  EXPECT_EQ(_snwprintf(buffer, 4, L"%d", 1234), 4);
  EXPECT_EQ(buffer[4], L'#');
  // Longer than the count: cut off, -1.
  for (WCHAR& c : buffer) c = L'#';
  EXPECT_EQ(_snwprintf(buffer, 3, L"%d", 1234), -1);
  EXPECT_EQ(buffer[0], L'1');
  EXPECT_EQ(buffer[2], L'3');
  EXPECT_EQ(buffer[3], L'#');
}

TEST(RtlFormat, NarrowOutputOfWideTextOutsideTheCodePage) {
  EXPECT_EQ(FormatA("%ls", L"a\u00e9\u4e2d"), std::string("a\xe9?"));
}

}  // namespace
