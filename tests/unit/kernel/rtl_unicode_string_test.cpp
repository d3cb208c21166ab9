// Counted-string routines that do not allocate: initialisation, copying,
// appending, comparison and case. Pure routines: no machine needed.
#include <gtest/gtest.h>

#include <string>

#include "wdm.h"

namespace {

std::u16string Text(const UNICODE_STRING& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

UNICODE_STRING Counted(const WCHAR* s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, s);
  return u;
}

TEST(RtlUnicodeString, InitCountsBytesAndLeavesRoomForTheNul) {
  UNICODE_STRING s = Counted(L"\\DosDevices\\ZARKCARD");
  EXPECT_EQ(s.Length, 40);
  EXPECT_EQ(s.MaximumLength, 42);
  UNICODE_STRING none{5, 5, reinterpret_cast<PWSTR>(1)};
  RtlInitUnicodeString(&none, nullptr);
  EXPECT_EQ(none.Length, 0);
  EXPECT_EQ(none.MaximumLength, 0);
  EXPECT_EQ(none.Buffer, nullptr);
  ANSI_STRING a;
  RtlInitAnsiString(&a, "PNP0F0C");
  EXPECT_EQ(a.Length, 7);
  EXPECT_EQ(a.MaximumLength, 8);
}

TEST(RtlUnicodeString, CopyTruncatesToTheDestinationAndTerminatesWhenThereIsRoom) {
  WCHAR storage[8];
  for (WCHAR& c : storage) c = L'#';
  UNICODE_STRING destination{0, sizeof(storage), storage};
  UNICODE_STRING source = Counted(L"COM12");
  RtlCopyUnicodeString(&destination, &source);
  EXPECT_EQ(Text(destination), u"COM12");
  EXPECT_EQ(storage[5], 0);

  destination.MaximumLength = 6;  // three characters, no room for a NUL
  for (WCHAR& c : storage) c = L'#';
  RtlCopyUnicodeString(&destination, &source);
  EXPECT_EQ(Text(destination), u"COM");
  EXPECT_EQ(storage[3], L'#');

  RtlCopyUnicodeString(&destination, nullptr);
  EXPECT_EQ(destination.Length, 0);
}

TEST(RtlUnicodeString, AppendFailsWholeWhenTooSmall) {
  WCHAR storage[9];
  UNICODE_STRING path{0, sizeof(storage), storage};
  UNICODE_STRING com = Counted(L"COM");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&path, &com), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&path, L"12"), STATUS_SUCCESS);
  EXPECT_EQ(Text(path), u"COM12");
  EXPECT_EQ(storage[5], 0);
  EXPECT_EQ(RtlAppendUnicodeToString(&path, L"34567"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Text(path), u"COM12");
  // Filling the buffer exactly succeeds, without a NUL.
  EXPECT_EQ(RtlAppendUnicodeToString(&path, L"3456"), STATUS_SUCCESS);
  EXPECT_EQ(Text(path), u"COM123456");
  EXPECT_EQ(RtlAppendUnicodeToString(&path, nullptr), STATUS_SUCCESS);
}

TEST(RtlUnicodeString, ComparisonWithAndWithoutCase) {
  UNICODE_STRING upper = Counted(L"ZARKLINK\\*KVRCOM01");
  UNICODE_STRING lower = Counted(L"zarklink\\*kvrcom01");
  UNICODE_STRING shorter = Counted(L"ZARKLINK");
  EXPECT_FALSE(RtlEqualUnicodeString(&upper, &lower, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&upper, &lower, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&upper, &shorter, TRUE));
  EXPECT_LT(RtlCompareUnicodeString(&upper, &lower, FALSE), 0);
  EXPECT_EQ(RtlCompareUnicodeString(&upper, &lower, TRUE), 0);
  EXPECT_GT(RtlCompareUnicodeString(&upper, &shorter, FALSE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&shorter, &lower, TRUE), 0);
  EXPECT_TRUE(RtlPrefixUnicodeString(&shorter, &lower, TRUE));
  EXPECT_FALSE(RtlPrefixUnicodeString(&shorter, &lower, FALSE));
  EXPECT_FALSE(RtlPrefixUnicodeString(&upper, &shorter, TRUE));

  ANSI_STRING a, b;
  RtlInitAnsiString(&a, "Serial");
  RtlInitAnsiString(&b, "SERIAL");
  EXPECT_TRUE(RtlEqualString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualString(&a, &b, FALSE));
  EXPECT_GT(RtlCompareString(&a, &b, FALSE), 0);
}

TEST(RtlUnicodeString, UpcaseBeyondAscii) {
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'a'), L'A');
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'1'), L'1');
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'\u00e9'), L'\u00c9');
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'\u00f7'), L'\u00f7');  // division sign has no case
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'\u00ff'), L'\u0178');
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'\u0436'), L'\u0416');
  EXPECT_EQ(RtlDowncaseUnicodeChar(L'\u0178'), L'\u00ff');
  EXPECT_EQ(RtlUpperChar('q'), 'Q');
}

TEST(RtlUnicodeString, CompareMemoryCountsTheEqualLeadingBytes) {
  const UCHAR a[] = {1, 2, 3, 4};
  const UCHAR b[] = {1, 2, 9, 4};
  EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
  EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

}  // namespace
