// The card bring-up against the card model: which ports each chip counts and
// enables, where their UARTs end up, the header registers kept across a
// power loss, the presence probe, and chips the driver does not know.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <vector>

#include "card/hw/bring_up.h"
#include "card_machine.h"
#include "sim/kernel/scheduler.h"
#include "support/pool_failure.h"

namespace card_test {
namespace {

struct ChipCase {
  const char* name;
  USHORT device_id;
  UCHAR optional_mask;
  USHORT absent;
  UCHAR port_count;
  ULONG absent_mask;
  std::vector<unsigned> enabled;  // blocks enabled, in slot order
};

void PrintTo(const ChipCase& c, std::ostream* os) { *os << c.name; }

class ChipPortsTest : public CardMachineTest, public ::testing::WithParamInterface<ChipCase> {
 protected:
  void SetUp() override {
    config_.cards = {Card(GetParam().device_id, GetParam().optional_mask, GetParam().absent)};
    CardMachineTest::SetUp();
  }
};

TEST_P(ChipPortsTest, CountsAndPacksTheUsablePorts) {
  const ChipCase& c = GetParam();
  ASSERT_TRUE(Started());
  CardExtension* card = Extension();
  EXPECT_EQ(card->PortCount, c.port_count);
  EXPECT_EQ(card->AbsentPortMask, c.absent_mask);
  EXPECT_EQ(card->ProbeEnabled, 1);
  EXPECT_EQ(card->CardInConfigFile, 0);

  std::vector<unsigned> enabled;
  for (unsigned n = 0; n < 12; ++n) {
    if (!BlockEnabled(n)) {
      EXPECT_EQ(BlockAddress(n), 0) << "disabled block " << n << " keeps no address";
      continue;
    }
    EXPECT_EQ(BlockAddress(n), SlotAddress(Bar5(), static_cast<unsigned>(enabled.size()))) << "block " << n;
    EXPECT_EQ(Model().PortBlock(n)[1], 3) << "default FIFO setting, block " << n;
    enabled.push_back(n);
  }
  EXPECT_EQ(enabled, c.enabled);
  // Every enabled port's UART answers at its slot's address.
  for (size_t s = 0; s < enabled.size(); ++s)
    EXPECT_EQ(Model().UartAt(SlotAddress(Bar5(), static_cast<unsigned>(s))), static_cast<int>(enabled[s]));
}

INSTANTIATE_TEST_SUITE_P(
    EveryChip, ChipPortsTest,
    ::testing::Values(
        ChipCase{"FourAllPresent", 0x1104, 0x3F, 0, 4, 0, {0, 1, 2, 3}},
        ChipCase{"FourNoOptional", 0x1104, 0x00, 0, 2, 0, {0, 1}},
        ChipCase{"FourSecondUartAbsent", 0x1104, 0x03, 0x0002, 3, 0x2, {0, 2, 3}},
        ChipCase{"EightAllPresent", 0x1108, 0x3F, 0, 8, 0, {0, 1, 2, 3, 4, 5, 6, 7}},
        ChipCase{"EightNoOptional", 0x1108, 0x00, 0, 6, 0, {0, 1, 4, 5, 6, 7}},
        ChipCase{"EightIgnoresHighMaskBits", 0x1108, 0x3C, 0, 6, 0, {0, 1, 4, 5, 6, 7}},
        ChipCase{"EightLastUartAbsent", 0x1108, 0x3F, 0x0080, 7, 0x80, {0, 1, 2, 3, 4, 5, 6}},
        // The pass ends at port 4, the last counted one: blocks 8 to 11,
        // whose mask bits are set, are not an 8-port chip's and stay off.
        ChipCase{"EightUartsFiveToSevenAbsent", 0x1108, 0x3F, 0x00E0, 5, 0xE0, {0, 1, 2, 3, 4}},
        ChipCase{"TwelveAllPresent", 0x1112, 0x3F, 0, 12, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        ChipCase{"TwelveFirstGroupsOnly", 0x1112, 0x03, 0, 8, 0, {0, 1, 2, 3, 4, 5, 6, 7}},
        ChipCase{"TwelveNoOptional", 0x1112, 0x00, 0, 6, 0, {0, 1, 4, 5, 6, 7}},
        ChipCase{"TwelveAbsentAndOptional", 0x1112, 0x3B, 0x0010, 10, 0x10, {0, 1, 2, 3, 5, 6, 7, 9, 10, 11}}),
    [](const ::testing::TestParamInfo<ChipCase>& info) { return std::string(info.param.name); });

using UnknownChipTest = CardMachineTest;

// The machine only binds the driver to the three chips; this card is bound
// by hand so that the driver sees a Device ID it does not know.
TEST_F(UnknownChipTest, NoPortsCountedYetEveryBlockNotSkippedIsEnabled) {
  kernel().pnp->Bind("PCI\\VEN_1C29&DEV_1199", "zarkcard");
  machine().PlugCard(Card(0x1199, 0x00));
  ASSERT_TRUE(Started());
  CardExtension* card = Extension();
  EXPECT_EQ(card->PortCount, 0);
  EXPECT_EQ(card->AbsentPortMask, 0u) << "no UART is probed";
  // Blocks 2, 3 and 8 to 11 are skipped by the mask; the others get slots.
  std::vector<unsigned> expected = {0, 1, 4, 5, 6, 7};
  unsigned slot = 0;
  for (unsigned n = 0; n < 12; ++n) {
    bool want = std::find(expected.begin(), expected.end(), n) != expected.end();
    EXPECT_EQ(BlockEnabled(n), want) << "block " << n;
    if (want) {
      EXPECT_EQ(BlockAddress(n), SlotAddress(Bar5(), slot++)) << "block " << n;
    }
  }
}

TEST_F(UnknownChipTest, OtherVendorFailsTheStartWithoutTouchingTheCard) {
  kernel().pnp->Bind("PCI\\VEN_1234&DEV_1104", "zarkcard");
  sim::CardConfig card = Card(0x1104);
  card.vendor_id = 0x1234;
  machine().PlugCard(card);
  EXPECT_EQ(Node()->state, sim::DeviceNode::State::Failed);
  EXPECT_EQ(Node()->problem, STATUS_DEVICE_CONFIGURATION_ERROR);
  for (unsigned n = 0; n < 12; ++n) EXPECT_EQ(Model().PortBlock(n)[0], 0) << "block " << n;
  EXPECT_EQ(Model().Get16(0xA1), 0);
}

class HeaderTest : public CardMachineTest {
 protected:
  void SetUp() override {
    config_.cards = {Card(0x1108)};
    CardMachineTest::SetUp();
  }
  DEVICE_OBJECT* CardDevice(size_t i = 0) { return machine().cards().at(i).pdo->AttachedDevice; }
  // I/O port accesses other than configuration mechanism #1's (one OUT to
  // 0xCF8 and one IN or OUT at 0xCFC per configuration access).
  uint64_t PortAccesses() {
    const auto& counters = machine().hardware().counters();
    return counters.port_reads + counters.port_writes - 2 * counters.ConfigAccesses(sim::hw::ConfigPath::LegacyPorts);
  }
};

// The card lost its header (as in a power loss); the bring-up on its return
// to D0 writes back what the start saved before it programs the ports.
TEST_F(HeaderTest, ReturnToD0RestoresTheHeaderBeforeProgrammingThePorts) {
  ASSERT_TRUE(Started());
  CardExtension* card = Extension();
  const auto bars = Model().config().bars;
  EXPECT_EQ(card->SavedConfigValid, 1);
  for (unsigned n = 0; n < 6; ++n) EXPECT_EQ(SAVED_BAR(card, n), bars[n]) << "BAR" << n;
  EXPECT_EQ(card->SavedBars[0], bars[5]) << "BAR5 is stored first";
  const uint8_t command = Model().Get8(0x04);
  const uint8_t interrupt_line = Model().Get8(0x3C);

  // A power loss clears the header; the BARs read back as their flag bits.
  for (unsigned n = 0; n < 6; ++n) Model().Write(0x10 + 4 * n, 0, 4);
  Model().Write(0x04, 0, 1);
  Model().Write(0x3C, 0, 1);
  for (unsigned n = 0; n < 12; ++n) Model().Write(0x40 + 8 * n, 0, 1);
  ASSERT_NE(Model().Get32(0x24), bars[5]);

  ASSERT_EQ(CardBringUp(CardDevice(), CardBringUpAtReturnToD0), STATUS_SUCCESS);
  for (unsigned n = 0; n < 6; ++n) EXPECT_EQ(Model().Get32(0x10 + 4 * n), bars[n]) << "BAR" << n;
  EXPECT_EQ(Model().Get8(0x04), command);
  EXPECT_EQ(Model().Get8(0x3C), interrupt_line);
  // I/O decoding was back before the probe: every UART was found.
  EXPECT_EQ(card->AbsentPortMask, 0u);
  EXPECT_EQ(card->PortCount, 8);
  for (unsigned n = 0; n < 8; ++n) EXPECT_EQ(BlockAddress(n), SlotAddress(bars[5], n));
}

TEST_F(HeaderTest, GlobalRegistersTakeTheBarsAndTheSubsystemDecidesPinning) {
  const auto bars = Model().config().bars;
  EXPECT_EQ(Model().Get16(0xA1), bars[0] & 0xFFFC);
  EXPECT_EQ(Model().Get16(0xF1), bars[2] & 0xFFFC);
  EXPECT_EQ(Model().Get8(0xB9) & 0xE1, 0xE1);
  EXPECT_EQ(Extension()->PinnedCard, 0);

  sim::CardConfig pinned = Card(0x1104);
  pinned.subsystem = 0x00011C29;
  machine().PlugCard(pinned);
  ASSERT_TRUE(Started(1));
  EXPECT_EQ(Extension(1)->PinnedCard, 1);

  sim::CardConfig other = Card(0x1104);
  other.subsystem = 0x00021C29;
  machine().PlugCard(other);
  ASSERT_TRUE(Started(2));
  EXPECT_EQ(Extension(2)->PinnedCard, 0);
}

TEST_F(HeaderTest, BlocksMarkedNotAvailableAreNeitherCountedNorEnabled) {
  sim::CardConfig card = Card(0x1104);
  card.unavailable_blocks = 0x0002;
  machine().PlugCard(card);
  ASSERT_TRUE(Started(1));
  EXPECT_EQ(Extension(1)->PortCount, 3);
  EXPECT_FALSE(BlockEnabled(1, 1));
  EXPECT_EQ(BlockAddress(2, 1), SlotAddress(Bar5(1), 1));
  EXPECT_EQ(BlockAddress(3, 1), SlotAddress(Bar5(1), 2));
}

// Only an unanswered address reads as absent: a fitted UART whose modem
// lines are all up answers its line status without a break, and one whose
// modem status reads 0xB0 is there whatever its line status says.
TEST_F(HeaderTest, ModemLinesAndABreakDoNotMakeAFittedUartAbsent) {
  Model().uart(1).SetLineInputs(0xF0);
  // UART 2 at 9600 baud, 8N1, receives a break that nobody reads.
  sim::hw::Uart16550& uart = Model().uart(2);
  uart.Write(3, 0x80);
  uart.Write(0, 12);
  uart.Write(1, 0);
  uart.Write(3, 0x03);
  uart.SetLineInputs(0xB0);
  uart.LineBreak(true);
  LARGE_INTEGER two_characters;
  two_characters.QuadPart = -20000;
  KeDelayExecutionThread(KernelMode, FALSE, &two_characters);
  ASSERT_EQ(uart.counters().breaks, 1u);

  ASSERT_EQ(CardBringUp(CardDevice(), CardBringUpAtReturnToD0), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->AbsentPortMask, 0u);
  EXPECT_EQ(Extension()->PortCount, 8);
}

// BAR5 is where the UARTs are: when it is no I/O range (zero, or a memory
// BAR) no port is usable, and no I/O port is touched to find out.
TEST_F(HeaderTest, NoUartRangeNoPortsAndNoPortAccess) {
  for (uint32_t bar5 : {0x00000000u, 0xFE200000u}) {
    sim::CardConfig card = Card(0x1104);
    card.bars = std::array<uint32_t, 6>{0xD001, 0xFD000000, 0xD101, 0, 0, bar5};
    const uint64_t before = PortAccesses();
    machine().PlugCard(card);
    const size_t i = machine().cards().size() - 1;
    ASSERT_TRUE(Started(i)) << std::hex << bar5;
    EXPECT_EQ(PortAccesses(), before) << std::hex << bar5;
    EXPECT_EQ(Extension(i)->PortCount, 0) << std::hex << bar5;
    EXPECT_EQ(Extension(i)->AbsentPortMask, 0u) << std::hex << bar5;
    EXPECT_TRUE(PortNodes(i).empty());
    for (unsigned n = 0; n < 12; ++n) {
      EXPECT_FALSE(BlockEnabled(n, i)) << "block " << n;
      EXPECT_EQ(BlockAddress(n, i), 0) << "block " << n;
    }
  }
}

// The working buffers are in pool: without it the bring-up fails before it
// touches the card.
TEST_F(HeaderTest, NoPoolForTheBuffersFailsWithTheCardUntouched) {
  const auto before = machine().hardware().counters();
  const uint8_t control = Model().PortBlock(0)[0];
  {
    sim::test::PoolFailure failure(1);
    EXPECT_EQ(CardBringUp(CardDevice(), CardBringUpAtReturnToD0), STATUS_DEVICE_CONFIGURATION_ERROR);
  }
  const auto& after = machine().hardware().counters();
  const int stack = static_cast<int>(sim::hw::ConfigPath::BusRequest);
  EXPECT_EQ(after.config_reads[stack], before.config_reads[stack]);
  EXPECT_EQ(after.config_writes[stack], before.config_writes[stack]);
  EXPECT_EQ(Model().PortBlock(0)[0], control);
}

TEST_F(HeaderTest, EachProbedPortWaitsAtLeastOneHundredMicroseconds) {
  const LONGLONG before = kernel().scheduler->Now();
  BringUpAgain();
  EXPECT_GE(kernel().scheduler->Now() - before, 8 * 1000) << "eight probes of 100 us in 100 ns units";
}

}  // namespace
}  // namespace card_test
