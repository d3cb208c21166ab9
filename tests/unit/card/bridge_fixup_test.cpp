// The upstream-bridge fix-up, asked for by the configuration file: the first
// PCI-to-PCI bridge whose I/O and memory windows are exactly the 4 KiB and
// 1 MiB blocks holding the card's BARs gets 0xFF in two bytes of its
// extended configuration space, and no other bridge is touched.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "card_machine.h"

namespace card_test {
namespace {

using sim::hw::ConfigPath;
using sim::hw::PciLocation;

constexpr uint8_t kProbeAndFixup = 0x41;

sim::hw::BridgeConfig Bridge(uint32_t device, uint8_t bus, uint8_t io_base, uint8_t io_limit, uint16_t memory_base,
                             uint16_t memory_limit, uint32_t on_bus = 0, uint8_t subordinate = 0) {
  sim::hw::BridgeConfig bridge;
  bridge.location = {on_bus, device, 0};
  bridge.secondary_bus = bus;
  bridge.subordinate_bus = subordinate ? subordinate : bus;
  bridge.io_base = io_base;
  bridge.io_limit = io_limit;
  bridge.memory_base = memory_base;
  bridge.memory_limit = memory_limit;
  return bridge;
}

struct FixupCase {
  const char* name;
  uint8_t flags;                             // byte 13 of the file
  std::vector<sim::hw::BridgeConfig> bridges;  // besides the card's own root port, if any
  uint32_t card_bus;                         // 0: the machine places the card behind a port of its own
  std::map<uint32_t, uint32_t> written;      // bridge device -> first offset written
};

void PrintTo(const FixupCase& c, std::ostream* os) { *os << c.name; }

class BridgeFixupTest : public CardMachineTest, public ::testing::WithParamInterface<FixupCase> {
 protected:
  void SetUp() override {
    const FixupCase& c = GetParam();
    std::vector<uint8_t> file = ConfigFile();
    SetRecord(file, 0, 0, {}, c.flags);
    config_.config_file = file;
    config_.bridges = c.bridges;
    sim::CardConfig card = Card(0x1104);
    // The card's BARs: I/O 0xE001 (BAR0), memory 0xFE000000 (BAR1).
    if (c.card_bus) card.location = PciLocation{c.card_bus, 0, 0};
    config_.cards = {card};
    CardMachineTest::SetUp();
  }
};

TEST_P(BridgeFixupTest, WritesOnlyTheBridgeWhoseWindowsAreTheCardsBlocks) {
  const FixupCase& c = GetParam();
  ASSERT_TRUE(Started());
  ASSERT_EQ(SAVED_BAR(Extension(), 0), 0xE001u);
  ASSERT_EQ(SAVED_BAR(Extension(), 1), 0xFE000000u);
  for (sim::hw::PciBridge* bridge : machine().hardware().pci().Bridges()) {
    const uint32_t device = bridge->location().device;
    auto it = c.written.find(device);
    for (uint32_t offset : {0x114u, 0x115u, 0x1D4u, 0x1D5u}) {
      const bool want = it != c.written.end() && (offset == it->second || offset == it->second + 1);
      EXPECT_EQ(bridge->Get8(offset), want ? 0xFF : 0x00) << "bridge at device " << device << ", offset " << offset;
    }
  }
  const int hal = static_cast<int>(ConfigPath::Hal);
  EXPECT_EQ(machine().hardware().counters().config_writes[hal], c.written.empty() ? 0u : 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Bridges, BridgeFixupTest,
    ::testing::Values(
        FixupCase{"NotAskedFor", 0x01, {}, 0, {}},
        FixupCase{"OwnRootPortAtDevice1", kProbeAndFixup, {}, 0, {{1, 0x1D4}}},
        // An unrelated bridge takes device 1, so the card's port is device 2.
        FixupCase{"OwnRootPortAtDevice2", kProbeAndFixup, {Bridge(1, 9, 0x80, 0x80, 0xD000, 0xD000)}, 0,
                  {{2, 0x114}}},
        // A downstream port at device 0 of bus 2, below a root port whose
        // memory window spans two blocks.
        FixupCase{"SwitchPortAtDevice0", kProbeAndFixup,
                  {Bridge(1, 2, 0xE0, 0xE0, 0xFE00, 0xFE10, 0, 3), Bridge(0, 3, 0xE0, 0xE0, 0xFE00, 0xFE00, 2)}, 3,
                  {{0, 0x114}}},
        // The card's own port spans two 1 MiB blocks: never chosen.
        FixupCase{"MemoryWindowOfTwoBlocks", kProbeAndFixup, {Bridge(1, 1, 0xE0, 0xE0, 0xFE00, 0xFE10)}, 1, {}},
        FixupCase{"IoWindowOfTwoBlocks", kProbeAndFixup, {Bridge(1, 1, 0xE0, 0xF0, 0xFE00, 0xFE00)}, 1, {}},
        // The spanning port holds the card, yet the exact one further on is chosen.
        FixupCase{"ExactBridgeAfterASpanningOne", kProbeAndFixup,
                  {Bridge(1, 1, 0xE0, 0xE0, 0xFE00, 0xFE10), Bridge(3, 7, 0xE0, 0xE0, 0xFE00, 0xFE00)}, 1,
                  {{3, 0x114}}},
        // The search reaches the last bus: the exact bridge sits on bus 254,
        // below a root port whose memory window spans two blocks.
        FixupCase{"ExactBridgeOnBus254", kProbeAndFixup,
                  {Bridge(1, 1, 0xE0, 0xE0, 0xFE00, 0xFE10), Bridge(4, 254, 0xE0, 0xE0, 0xFE00, 0xFE10, 0, 255),
                   Bridge(6, 255, 0xE0, 0xE0, 0xFE00, 0xFE00, 254)},
                  1, {{6, 0x114}}},
        // Windows of one block each that do not hold the BARs.
        FixupCase{"WindowsElsewhere", kProbeAndFixup,
                  {Bridge(1, 1, 0xE0, 0xE0, 0xFE00, 0xFE10), Bridge(2, 7, 0xD0, 0xD0, 0xFE00, 0xFE00)}, 1, {}}),
    [](const ::testing::TestParamInfo<FixupCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace card_test
