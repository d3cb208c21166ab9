// BuildMultiString and IsValidIdList.
#include <gtest/gtest.h>

#include <string>

#include "enum/multi_string.h"
#include "id_string_test_support.h"
#include "support/pool_failure.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pool.h"
#include "tests/support/kernel_test.h"

namespace {

using enum_test::Raw;

class MultiStringTest : public sim::test::KernelTest {
 protected:
  // Builds from the pieces and returns every unit of the result.
  std::u16string Build(std::initializer_list<PCSTR> pieces, NTSTATUS* status = nullptr) {
    std::vector<PCSTR> list(pieces);
    list.push_back(nullptr);
    UNICODE_STRING multi;
    const NTSTATUS result = BuildMultiString(&multi, list.data());
    if (status != nullptr) *status = result;
    EXPECT_EQ(multi.Length, multi.MaximumLength);
    std::u16string raw = Raw(multi);
    FreeMultiString(&multi);
    return raw;
  }
};

TEST_F(MultiStringTest, CommasAndFormFeedsSeparateEntries) {
  EXPECT_EQ(Build({"A,B", "C"}), std::u16string(u"A\0B\0C\0\0", 7));
  EXPECT_EQ(Build({"*PNP0F0F", "SERIAL_MOUSE"}), std::u16string(u"*PNP0F0F\0SERIAL_MOUSE\0\0", 23));
  EXPECT_EQ(Build({"X\x0CY"}), std::u16string(u"X\0Y\0\0", 5));
}

TEST_F(MultiStringTest, EmptyPiecesAndNoPieces) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(Build({""}, &status), std::u16string(u"\0\0", 2));
  EXPECT_EQ(status, STATUS_SUCCESS);

  UNICODE_STRING multi;
  const PCSTR none[] = {nullptr};
  EXPECT_EQ(BuildMultiString(&multi, none), STATUS_SUCCESS);
  EXPECT_EQ(multi.Buffer, nullptr);
  EXPECT_EQ(multi.Length, 0);
  EXPECT_EQ(multi.MaximumLength, 0);
}

TEST_F(MultiStringTest, BufferComesFromPagedPoolWithTheEnumeratorsTag) {
  UNICODE_STRING multi;
  const PCSTR pieces[] = {"ABC", nullptr};
  ASSERT_EQ(BuildMultiString(&multi, pieces), STATUS_SUCCESS);
  const auto& blocks = sim::K().pool->blocks();
  auto block = blocks.find(multi.Buffer);
  ASSERT_NE(block, blocks.end());
  EXPECT_EQ(sim::TagText(block->second.tag), "Senm");
  EXPECT_EQ(block->second.type, PagedPool);
  EXPECT_EQ(block->second.size, multi.MaximumLength);
  FreeMultiString(&multi);
}

TEST_F(MultiStringTest, NoPoolLeavesTheStringEmpty) {
  sim::test::PoolFailure failure(1);
  UNICODE_STRING multi;
  const PCSTR pieces[] = {"ABC", nullptr};
  EXPECT_EQ(BuildMultiString(&multi, pieces), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(multi.Buffer, nullptr);
  EXPECT_EQ(multi.Length, 0);
}

BOOLEAN Valid(const std::u16string& units) {
  UNICODE_STRING list;
  list.Buffer = const_cast<PWCHAR>(reinterpret_cast<const WCHAR*>(units.data()));
  list.Length = static_cast<USHORT>(units.size() * sizeof(WCHAR));
  list.MaximumLength = list.Length;
  return IsValidIdList(&list);
}

TEST(IdListTest, CharacterRules) {
  EXPECT_TRUE(Valid(std::u16string(u"*PNP0F0F\0SERIAL_MOUSE\0\0", 23)));
  EXPECT_TRUE(Valid(std::u16string(u"A B\x7F\0\0", 6)));
  EXPECT_TRUE(Valid(std::u16string(u"\0\0", 2)));
  EXPECT_FALSE(Valid(std::u16string(u"A\tB\0\0", 5)));
  EXPECT_FALSE(Valid(std::u16string(u"A\x80\0\0", 4)));
  EXPECT_FALSE(Valid(std::u16string(u"A,B\0\0", 5)));
  EXPECT_FALSE(Valid(std::u16string(u"OK\0\x1F\0\0", 6))) << "every entry is checked";
  // Whatever follows the end of the list is not looked at.
  EXPECT_TRUE(Valid(std::u16string(u"OK\0\0\t,", 6)));
}

TEST(IdListTest, EmptyAndUnterminatedLists) {
  UNICODE_STRING empty = {0, 0, nullptr};
  EXPECT_TRUE(IsValidIdList(&empty));
  EXPECT_FALSE(Valid(std::u16string(u"ABC", 3)));
  EXPECT_FALSE(Valid(std::u16string(u"ABC\0", 4)));
}

}  // namespace
