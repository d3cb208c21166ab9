// MmMapIoSpace hands out addresses that only the register routines can
// use; a driver that dereferences one faults, and the verifier reports
// unmaps of something never mapped and mappings never unmapped.
#include <gtest/gtest.h>

#include "hw_test_support.h"

namespace {

class IoMappingTest : public sim::test::HwTest {
 protected:
  PVOID MapCardHeader(SIZE_T length) {
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0xE0000000ll + (at().bus << 20);
    return MmMapIoSpace(address, length, MmNonCached);
  }
};

TEST_F(IoMappingTest, RegisterRoutinesReadAndWriteThroughAMapping) {
  auto* header = static_cast<volatile UCHAR*>(MapCardHeader(0x200));
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(READ_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(header + 2)), 0x1199);
  WRITE_REGISTER_UCHAR(header + 0x101, 0x7E);
  EXPECT_EQ(card().Get8(0x101), 0x7E);
  MmUnmapIoSpace(const_cast<UCHAR*>(header), 0x200);
}

TEST_F(IoMappingTest, MappingsKeepThePageOffsetAndDoNotOverlap) {
  PHYSICAL_ADDRESS address;
  address.QuadPart = 0xE0000000ll + (at().bus << 20) + 0xF9;
  auto* a = static_cast<UCHAR*>(MmMapIoSpace(address, 1, MmNonCached));
  auto* b = static_cast<UCHAR*>(MmMapIoSpace(address, 1, MmNonCached));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) & 0xFFF, 0xF9u);
  EXPECT_NE(a, b);
  MmUnmapIoSpace(a, 1);
  MmUnmapIoSpace(b, 1);
}

TEST_F(IoMappingTest, AccessAfterUnmapAndUnmapOfAStrangerAreFindings) {
  auto* header = static_cast<volatile ULONG*>(MapCardHeader(4));
  MmUnmapIoSpace(const_cast<ULONG*>(header), 4);
  EXPECT_EQ(READ_REGISTER_ULONG(header), 0xFFFFFFFFu);
  EXPECT_EQ(kernel().verifier->Count("register-access"), 1u);
  kernel().verifier->Forget("register-access");
  MmUnmapIoSpace(const_cast<ULONG*>(header), 4);
  EXPECT_EQ(kernel().verifier->Count("mm-unmap"), 1u);
  kernel().verifier->Forget("mm-unmap");
}

TEST_F(IoMappingTest, AMappingNeverUnmappedIsReportedAtShutdown) {
  ASSERT_NE(MapCardHeader(4), nullptr);
  machine().Shutdown();
  EXPECT_EQ(kernel().verifier->Count("mapping-leak"), 1u);
  kernel().verifier->Forget("mapping-leak");
}

using IoMappingDeathTest = IoMappingTest;

TEST_F(IoMappingDeathTest, DereferencingAMappingDirectlyFaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto* header = static_cast<volatile ULONG*>(MapCardHeader(4));
  ASSERT_NE(header, nullptr);
  EXPECT_DEATH({ [[maybe_unused]] ULONG value = *header; }, "SEGV");
  MmUnmapIoSpace(const_cast<ULONG*>(header), 4);
}

}  // namespace
