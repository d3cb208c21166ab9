// The card bring-up against the card model: which ports each chip counts and
// enables, where their UARTs end up, the header registers kept across a
// power loss, the presence probe, and chips the driver does not know.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <vector>

#include "card_machine.h"
#include "sim/kernel/scheduler.h"

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
};

TEST_F(HeaderTest, SecondBringUpRestoresTheHeaderBeforeProgrammingThePorts) {
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

  BringUpAgain();
  ASSERT_TRUE(Started());
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
  Unpin(1);

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

// A fitted UART whose modem lines are all up still answers its line status
// without a break, so only an unanswered address reads as absent.
TEST_F(HeaderTest, ModemLinesAloneDoNotMakeAUartAbsent) {
  Model().uart(1).SetLineInputs(0xF0);
  Model().uart(2).SetLineInputs(0xB0);
  BringUpAgain();
  EXPECT_EQ(Extension()->AbsentPortMask, 0u);
  EXPECT_EQ(Extension()->PortCount, 8);
}

TEST_F(HeaderTest, EachProbedPortWaitsAtLeastOneHundredMicroseconds) {
  const LONGLONG before = kernel().scheduler->Now();
  BringUpAgain();
  EXPECT_GE(kernel().scheduler->Now() - before, 8 * 1000) << "eight probes of 100 us in 100 ns units";
}

}  // namespace
}  // namespace card_test
