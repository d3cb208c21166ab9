// Bridges and the host bridge: the link-disable bit cuts everything below
// a port off (configuration and I/O), windows and extended space are plain
// registers, and the host bridge's identity decides the window base.
#include <gtest/gtest.h>

#include "hw_test_support.h"

namespace {

using sim::hw::PciBridge;

class BridgeTest : public sim::test::HwTest {
 protected:
  // The root port the machine put above the card.
  PciBridge& port() {
    for (PciBridge* bridge : hw().pci().Bridges())
      if (bridge->secondary_bus() == at().bus) return *bridge;
    throw std::logic_error("no port above the card");
  }
  void SetLinkDisable(bool disable) {
    const sim::hw::PciLocation where = port().location();
    uint32_t control = LegacyRead(where, PciBridge::kLinkControl);
    LegacyWrite(where, PciBridge::kLinkControl,
                disable ? control | PciBridge::kLinkDisable : control & ~uint32_t{PciBridge::kLinkDisable});
  }
};

TEST_F(BridgeTest, EachCardSitsBehindARootPortWhoseWindowsAreItsBlocks) {
  const sim::hw::PciLocation where = port().location();
  EXPECT_EQ(where.bus, 0u);
  UCHAR cls[2] = {};
  HalGetBusDataByOffset(PCIConfiguration, 0, where.device, cls, 0x0A, 2);
  EXPECT_EQ(cls[0], 0x04);
  EXPECT_EQ(cls[1], 0x06);
  // I/O window 0xE000-0xEFFF, memory window 0xFE000000-0xFE0FFFFF.
  EXPECT_EQ(LegacyRead(where, 0x1C) & 0xFFFF, 0xE0E0u);
  EXPECT_EQ(LegacyRead(where, 0x20), 0xFE00FE00u);
  EXPECT_EQ(card().Get32(0x24) & 0xF000, 0xE000u);
  EXPECT_EQ(card().Get32(0x14) & 0xFFF00000u, 0xFE000000u);
}

TEST_F(BridgeTest, LinkDisableCutsTheCardOffUntilTheLinkReturns) {
  EnableBlock(0, 0xE200);
  ULONG id = 0;
  ASSERT_EQ(ConfigRequest(false, &id, 0, 4), STATUS_SUCCESS);
  ASSERT_EQ(id, 0x11991C29u);

  SetLinkDisable(true);
  EXPECT_TRUE(port().link_disabled());
  EXPECT_EQ(LegacyRead(at(), 0x00), 0xFFFFFFFFu);
  EXPECT_EQ(EcamRead32(at(), 0x00), 0xFFFFFFFFu);
  ASSERT_EQ(ConfigRequest(false, &id, 0, 4), STATUS_SUCCESS);
  EXPECT_EQ(id, 0xFFFFFFFFu) << "the bus driver's read gets what the bus gives";
  EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE205)), 0xFF) << "the UARTs are gone too";
  LegacyWrite(at(), 0x3C, 0x05);
  EXPECT_EQ(card().Get8(0x3C), 0x0B) << "writes are lost";
  EXPECT_NE(LegacyRead(port().location(), 0x00), 0xFFFFFFFFu) << "the port itself still answers";

  SetLinkDisable(false);
  EXPECT_EQ(LegacyRead(at(), 0x00), 0x11991C29u);
  EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE205)), 0x60);
}

TEST_F(BridgeTest, ExtendedSpaceTakesTheFixUpWrites) {
  UCHAR ff = 0xFF;
  const sim::hw::PciLocation where = port().location();
  EXPECT_EQ(HalSetBusDataByOffset(PCIConfiguration, 0, where.device, &ff, 0x1D4, 1), 1u);
  EXPECT_EQ(HalSetBusDataByOffset(PCIConfiguration, 0, where.device, &ff, 0x1D5, 1), 1u);
  EXPECT_EQ(port().Get16(0x1D4), 0xFFFF);
}

TEST_F(BridgeTest, BusNumbersRouteConfigurationCycles) {
  // Moving the port's secondary bus away leaves the card's bus with no
  // parent: it is then taken as a root bus, still reachable; disabling the
  // link no longer affects it.
  const sim::hw::PciLocation where = port().location();
  SetLinkDisable(true);
  EXPECT_EQ(LegacyRead(at(), 0x00), 0xFFFFFFFFu);
  LegacyWrite(where, 0x18, 0x00090900);  // secondary and subordinate 9
  EXPECT_EQ(LegacyRead(at(), 0x00), 0x11991C29u);
}

struct HostBridgeCase {
  uint32_t id_dword;
  uint32_t register_60;
  uint32_t ecam_base;
};

class HostBridgeTest : public sim::test::HwTest, public ::testing::WithParamInterface<HostBridgeCase> {
 protected:
  sim::MachineConfig config() const override {
    sim::MachineConfig config = HwTest::config();
    config.host_bridge.id_dword = GetParam().id_dword;
    config.host_bridge.register_60 = GetParam().register_60;
    return config;
  }
};

TEST_P(HostBridgeTest, WindowBaseFollowsTheHostBridgeAndReachesTheCard) {
  const HostBridgeCase& c = GetParam();
  EXPECT_EQ(LegacyRead({0, 0, 0}, 0x00), c.id_dword);
  EXPECT_EQ(LegacyRead({0, 0, 0}, 0x60), c.register_60);
  EXPECT_EQ(hw().memory().ecam_base(), c.ecam_base);
  PHYSICAL_ADDRESS address;
  address.QuadPart = c.ecam_base + (at().bus << 20);
  auto* mapped = static_cast<volatile ULONG*>(MmMapIoSpace(address, 4, MmNonCached));
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(READ_REGISTER_ULONG(mapped), 0x11991C29u);
  MmUnmapIoSpace(const_cast<ULONG*>(mapped), 4);
}

INSTANTIATE_TEST_SUITE_P(Chipsets, HostBridgeTest,
                         ::testing::Values(HostBridgeCase{0x14501022, 0, 0xE0000000u},
                                           HostBridgeCase{0x22808086, 0xF8000001, 0xE0000000u},
                                           HostBridgeCase{0x0F008086, 0xF8000001, 0xE0000000u},
                                           HostBridgeCase{0x12348086, 0xF8000001, 0xF8000000u}));

}  // namespace
