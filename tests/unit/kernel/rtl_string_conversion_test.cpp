// The string routines that may allocate from pool: ANSI/UTF-16 conversion,
// upper-casing and GUID text. They run inside a booted machine so that the
// pool and the verifier's leak check are the real ones.
#include <gtest/gtest.h>

#include <string>

#include "sim/kernel/pool.h"
#include "tests/support/kernel_test.h"
#include "wdm.h"

namespace sim {
namespace {

std::u16string Text(const UNICODE_STRING& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

class RtlStringConversionTest : public test::KernelTest {
 protected:
  // Size and tag of the pool block at an address, or size 0 when none.
  PoolBlock BlockAt(PVOID address) {
    auto it = kernel().pool->blocks().find(address);
    return it == kernel().pool->blocks().end() ? PoolBlock{} : it->second;
  }
};

TEST_F(RtlStringConversionTest, AnsiToUnicodeAllocatesATaggedPagedBufferFreedByRtlFree) {
  ANSI_STRING id;
  RtlInitAnsiString(&id, "PNP0F0C");
  UNICODE_STRING wide{};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &id, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(wide), u"PNP0F0C");
  EXPECT_EQ(wide.MaximumLength, RtlxAnsiStringToUnicodeSize(&id));
  EXPECT_EQ(wide.Buffer[7], 0);
  PoolBlock block = BlockAt(wide.Buffer);
  EXPECT_EQ(block.size, 16u);
  EXPECT_EQ(TagText(block.tag), "Strg");
  EXPECT_EQ(block.type, PagedPool);

  RtlFreeUnicodeString(&wide);
  EXPECT_EQ(wide.Buffer, nullptr);
  EXPECT_EQ(wide.Length, 0);
  EXPECT_EQ(wide.MaximumLength, 0);
  RtlFreeUnicodeString(&wide);  // an empty string frees nothing
}

TEST_F(RtlStringConversionTest, ConversionIntoACallerBufferNeedsRoomForTheNul) {
  ANSI_STRING id;
  RtlInitAnsiString(&id, "COM3");
  WCHAR storage[5];
  for (WCHAR& c : storage) c = L'#';
  UNICODE_STRING wide{0, 8, storage};  // four characters, no NUL
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &id, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(wide.Length, 0);
  EXPECT_EQ(storage[0], L'#');
  wide.MaximumLength = 10;
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &id, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Text(wide), u"COM3");

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"COM12");
  char narrow[5];
  ANSI_STRING ansi{0, sizeof(narrow), narrow};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &name, FALSE), STATUS_BUFFER_OVERFLOW);
  ansi.MaximumLength = 6;
  char roomy[6];
  ansi.Buffer = roomy;
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &name, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(roomy), "COM12");
  EXPECT_EQ(ansi.Length, 5);
}

TEST_F(RtlStringConversionTest, TheAnsiCodePageIsWindows1252) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, L"\u20ac\u00e9\u4e2d");
  ANSI_STRING ansi{};
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &text, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(ansi.Buffer, ansi.Length), "\x80\xe9?");
  EXPECT_EQ(RtlxUnicodeStringToAnsiSize(&text), 4u);

  UNICODE_STRING back{};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(back), u"\u20ac\u00e9?");
  RtlFreeAnsiString(&ansi);
  RtlFreeUnicodeString(&back);
}

TEST_F(RtlStringConversionTest, UpcaseIntoNewOrGivenBuffer) {
  UNICODE_STRING id;
  RtlInitUnicodeString(&id, L"*kvrcom01");
  UNICODE_STRING upper{};
  ASSERT_EQ(RtlUpcaseUnicodeString(&upper, &id, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(upper), u"*KVRCOM01");
  RtlFreeUnicodeString(&upper);

  WCHAR storage[4];
  UNICODE_STRING small{0, sizeof(storage), storage};
  EXPECT_EQ(RtlUpcaseUnicodeString(&small, &id, FALSE), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RtlStringConversionTest, GuidTextRoundTrip) {
  // The port resource interface of the card driver.
  const GUID guid = {0x0AA04540, 0x6FD1, 0x11D3, {0x81, 0xB5, 0x00, 0xC0, 0x4F, 0xA3, 0x30, 0xA6}};
  UNICODE_STRING text{};
  ASSERT_EQ(RtlStringFromGUID(guid, &text), STATUS_SUCCESS);
  EXPECT_EQ(Text(text), u"{0AA04540-6FD1-11D3-81B5-00C04FA330A6}");
  GUID parsed{};
  EXPECT_EQ(RtlGUIDFromString(&text, &parsed), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(parsed, guid));
  RtlFreeUnicodeString(&text);

  UNICODE_STRING lower;
  RtlInitUnicodeString(&lower, L"{a0f95fd4-a587-11d2-bb3a-00c04fa330a7}");
  EXPECT_EQ(RtlGUIDFromString(&lower, &parsed), STATUS_SUCCESS);
  EXPECT_EQ(parsed.Data1, 0xa0f95fd4u);
  EXPECT_EQ(parsed.Data4[7], 0xa7);
  UNICODE_STRING broken;
  RtlInitUnicodeString(&broken, L"{a0f95fd4-a587-11d2-bb3a-00c04fa330a7");
  EXPECT_EQ(RtlGUIDFromString(&broken, &parsed), STATUS_INVALID_PARAMETER);
  RtlInitUnicodeString(&broken, L"{a0f95fd4-a587-11d2-bb3a-00c04fa330ag}");
  EXPECT_EQ(RtlGUIDFromString(&broken, &parsed), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace sim
