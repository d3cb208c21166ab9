// The GPIO register pairs, written at every bring-up from the "GPIO%d"
// values through the memory-mapped configuration space whose base the host
// bridge tells.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "card/hw/bring_up.h"
#include "card_machine.h"

namespace card_test {
namespace {

using sim::hw::ConfigPath;

struct HostCase {
  const char* name;
  uint32_t id_dword;
  uint32_t register_60;
  uint32_t bus;
  bool writes;  // the GPIO values reach the card
};

void PrintTo(const HostCase& c, std::ostream* os) { *os << c.name; }

class GpioTest : public CardMachineTest, public ::testing::WithParamInterface<HostCase> {
 protected:
  void SetUp() override {
    const HostCase& c = GetParam();
    config_.host_bridge.id_dword = c.id_dword;
    config_.host_bridge.register_60 = c.register_60;
    sim::CardConfig card = Card(0x1104);
    if (c.bus != 1) PlaceOnBus(&card, c.bus);
    config_.cards = {card};
    CardMachineTest::SetUp();
  }
  static uint32_t GpioValue(unsigned g) { return 0xAB0000u | (0x50u + g) << 8 | (0xA0u + g); }
};

TEST_P(GpioTest, ValuesLandInTheCardsExtendedSpace) {
  const HostCase& c = GetParam();
  ASSERT_TRUE(Started());
  EXPECT_EQ(Extension()->BusNumber, c.bus);
  for (unsigned g = 0; g < 6; ++g)
    kernel().registry->SetDword(DeviceKey(), "GPIO" + std::to_string(g), GpioValue(g));
  const auto before = machine().hardware().counters();
  BringUpAgain();
  const auto& after = machine().hardware().counters();

  for (unsigned g = 0; g < 6; ++g) {
    EXPECT_EQ(Model().Get8(0xF8 + 8 * g), c.writes ? 0xA0 + g : 0) << "GPIO" << g << " low byte";
    EXPECT_EQ(Model().Get8(0xF9 + 8 * g), c.writes ? 0x50 + g : 0) << "GPIO" << g << " high byte";
  }
  const int ecam = static_cast<int>(ConfigPath::Ecam);
  EXPECT_EQ(after.config_writes[ecam] - before.config_writes[ecam], c.writes ? 12u : 0u);
  EXPECT_EQ(after.register_writes - before.register_writes, c.writes ? 12u : 0u) << "one byte write each";
  EXPECT_EQ(after.config_reads[ecam], before.config_reads[ecam]);
}

INSTANTIATE_TEST_SUITE_P(
    HostBridges, GpioTest,
    ::testing::Values(HostCase{"DefaultBase", 0x14501022, 0, 1, true},
                      HostCase{"IntelWindowInRegister60", 0x12348086, 0xF8000001, 1, true},
                      HostCase{"IntelWindowOnBus3", 0x12348086, 0xF8000001, 3, true},
                      HostCase{"IntelExceptionUsesDefault", 0x22808086, 0xF8000001, 1, true},
                      HostCase{"OtherIntelException", 0x0F008086, 0xF8000001, 1, true},
                      // No window set up: nothing is written to low memory.
                      HostCase{"IntelWindowNotSetUp", 0x12348086, 0, 1, false},
                      // Bus 16 of a window at 0xFF000000 lies beyond 4 GiB.
                      HostCase{"WindowBeyond4GiB", 0x12348086, 0xFF000001, 16, false}),
    [](const ::testing::TestParamInfo<HostCase>& info) { return std::string(info.param.name); });

class GpioValueTest : public CardMachineTest {
 protected:
  GpioValueTest() { config_.cards = {Card(0x1104)}; }
};

TEST_F(GpioValueTest, MissingAndMistypedValuesAreSkipped) {
  ASSERT_TRUE(Started());
  kernel().registry->SetDword(DeviceKey(), "GPIO1", 0x1234);
  kernel().registry->SetBinary(DeviceKey(), "GPIO2", {0x11, 0x22, 0, 0});
  kernel().registry->SetBinary(DeviceKey(), "GPIO3", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
  kernel().registry->SetString(DeviceKey(), "GPIO4", u"7");
  BringUpAgain();
  EXPECT_EQ(Model().Get8(0x100), 0x34);
  EXPECT_EQ(Model().Get8(0x101), 0x12);
  for (unsigned g : {0u, 2u, 3u, 4u, 5u}) {
    EXPECT_EQ(Model().Get8(0xF8 + 8 * g), 0) << "GPIO" << g;
    EXPECT_EQ(Model().Get8(0xF9 + 8 * g), 0) << "GPIO" << g;
  }
}

// The GPIO registers are the card's own: the bring-up asks the bus driver
// for the card's bus instead of trusting BusNumber, which stays 0 when the
// card never saw a resource-requirements request (0 is the host bridge's
// bus).
TEST_F(GpioValueTest, BusComesFromTheBusDriver) {
  ASSERT_TRUE(Started());
  const ULONG bus = Extension()->BusNumber;
  ASSERT_NE(bus, 0u);
  kernel().registry->SetDword(DeviceKey(), "GPIO0", 0x5AA5);
  Extension()->BusNumber = 0;
  const auto before = machine().hardware().counters();
  EXPECT_EQ(CardBringUp(machine().cards().at(0).pdo->AttachedDevice, CardBringUpAtReturnToD0), STATUS_SUCCESS);
  Extension()->BusNumber = bus;
  const int ecam = static_cast<int>(ConfigPath::Ecam);
  EXPECT_EQ(machine().hardware().counters().config_writes[ecam] - before.config_writes[ecam], 2u);
  EXPECT_EQ(Model().Get8(0xF8), 0xA5);
  EXPECT_EQ(Model().Get8(0xF9), 0x5A);
}

}  // namespace
}  // namespace card_test
