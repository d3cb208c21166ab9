// The card configuration file: which records describe the card, which FIFO
// setting and global flags it gives, and what a missing, empty, short or
// read-only file does to the start of the card.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "card_machine.h"
#include "sim/kernel/files/file_system.h"

namespace card_test {
namespace {

constexpr uint8_t kActive = 0x80;
constexpr uint8_t kFifo = 0x40;

struct FileCase {
  const char* name;
  std::optional<std::vector<uint8_t>> file;
  uint32_t bus;           // the card's PCI bus
  UCHAR probe_enabled;
  UCHAR in_config_file;
  uint8_t fifo;           // FIFO setting of every enabled block
  ULONG absent_mask;      // UART 1 is absent on every card here
  UCHAR link_bounce = 0;
  UCHAR bridge_fixup = 0;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> File(std::initializer_list<std::vector<uint8_t>> records, size_t size = 432) {
  std::vector<uint8_t> file(size, 0);
  size_t at = 0;
  for (const auto& record : records) {
    for (size_t i = 0; i < record.size() && at + i < size; ++i) file[at + i] = record[i];
    at += 16;
  }
  return file;
}

// Selector, then bytes 13 (flags) and 14 (FIFO) of a record.
std::vector<uint8_t> Record(uint8_t selector, uint8_t flags, uint8_t fifo) {
  std::vector<uint8_t> record(16, 0);
  record[0] = selector;
  record[13] = flags;
  record[14] = fifo;
  return record;
}

class ConfigFileTest : public CardMachineTest, public ::testing::WithParamInterface<FileCase> {
 protected:
  void SetUp() override {
    const FileCase& c = GetParam();
    config_.config_file = c.file;
    sim::CardConfig card = Card(0x1104, 0x3F, 0x0002);
    if (c.bus != 1) PlaceOnBus(&card, c.bus);
    config_.cards = {card};
    CardMachineTest::SetUp();
  }
};

TEST_P(ConfigFileTest, SettingsComeFromTheCardsRecordsAndTheFirstRecordsFlags) {
  const FileCase& c = GetParam();
  ASSERT_TRUE(Started());
  CardExtension* card = Extension();
  EXPECT_EQ(card->ProbeEnabled, c.probe_enabled);
  EXPECT_EQ(card->CardInConfigFile, c.in_config_file);
  EXPECT_EQ(card->AbsentPortMask, c.absent_mask);
  EXPECT_EQ(card->PortCount, c.absent_mask ? 3 : 4);
  EXPECT_EQ(card->LinkBounceEnabled, c.link_bounce);
  EXPECT_EQ(card->StartBridgeFixup, c.bridge_fixup);
  for (unsigned n = 0; n < 4; ++n) {
    if (BlockEnabled(n)) {
      EXPECT_EQ(Model().PortBlock(n)[1], c.fifo) << "block " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigFileTest,
    ::testing::Values(
        FileCase{"Missing", std::nullopt, 1, 1, 0, 3, 0x2},
        FileCase{"ActiveRecordWithFifo", File({Record(kActive | kFifo | 1, 0x01, 0x07)}), 1, 1, 1, 7, 0x2},
        // Bit 5 of the selector is not used: 0x21 still names bus 1.
        FileCase{"UnusedSelectorBit", File({Record(0x20 | kFifo | 1, 0x01, 0x06)}), 1, 1, 0, 6, 0x2},
        FileCase{"LaterRecordForTheBusWins",
                 File({Record(kFifo | 1, 0x01, 0x05), Record(kFifo | 1, 0x01, 0x09)}), 1, 1, 0, 9, 0x2},
        // Records after an empty selector still count for the settings.
        FileCase{"EmptySelectorDoesNotEndTheScan", File({Record(0, 0x01, 0), Record(kActive | kFifo | 1, 0, 0x0C)}),
                 1, 1, 1, 12, 0x2},
        FileCase{"OtherBusOnly", File({Record(kActive | kFifo | 2, 0x01, 0x07)}), 1, 1, 0, 3, 0x2},
        // Bus 37 is never compared with 37 & 0x1F = 5.
        FileCase{"BusAbove31", File({Record(kActive | kFifo | 5, 0x01, 0x07)}), 37, 1, 0, 3, 0x2},
        FileCase{"BusFiveMatched", File({Record(kActive | kFifo | 5, 0x01, 0x07)}), 5, 1, 1, 7, 0x2},
        // Only byte 13 of the first record counts, whatever bus it names.
        FileCase{"FirstRecordTurnsProbingOff", File({Record(2, 0x00, 0), Record(kActive | 1, 0x01, 0)}), 1, 0, 1, 3,
                 0},
        FileCase{"OtherRecordsCannotTurnProbingOff", File({Record(2, 0x01, 0), Record(kActive | 1, 0x00, 0)}), 1, 1,
                 1, 3, 0x2},
        FileCase{"BridgeFlags", File({Record(0, 0x51, 0)}), 1, 1, 0, 3, 0x2, 1, 1},
        // 100 bytes: record 6 names the card with a FIFO setting whose byte
        // (file offset 110) is missing and reads as zero.
        FileCase{"ShortFile",
                 File({Record(kActive | kFifo | 1, 0x01, 0x07), {}, {}, {}, {}, {}, Record(kFifo | 1, 0, 0x0B)}, 100),
                 1, 1, 1, 0, 0x2}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

class EmptyFileTest : public CardMachineTest {
 protected:
  void SetUp() override {
    config_.config_file = std::vector<uint8_t>{};
    config_.cards = {Card(0x1108)};
    CardMachineTest::SetUp();
  }
};

TEST_F(EmptyFileTest, StopsTheStartWithoutTouchingTheCard) {
  EXPECT_EQ(Node()->state, sim::DeviceNode::State::Failed);
  EXPECT_EQ(Node()->problem, STATUS_DEVICE_CONFIGURATION_ERROR);
  for (unsigned n = 0; n < 12; ++n) {
    auto block = Model().PortBlock(n);
    EXPECT_EQ(block[0] | block[1] | block[4] | block[5], 0) << "block " << n;
  }
  EXPECT_EQ(Model().Get16(0xA1), 0);
  EXPECT_FALSE(kernel().registry->GetValue(kServiceKey, kComNumConfig)) << "the bring-up stopped before the table";
}

class ReadOnlyFileTest : public CardMachineTest {
 protected:
  void SetUp() override {
    config_.config_file = File({Record(kActive | kFifo | 1, 0x00, 0x07)});
    config_.cards = {Card(0x1104, 0x3F, 0x0002)};
    CardMachineTest::SetUp();
  }
};

TEST_F(ReadOnlyFileTest, IsReadLikeAnyOther) {
  kernel().files->SetReadOnly(sim::kCardConfigFilePath, true);
  BringUpAgain();
  ASSERT_TRUE(Started());
  EXPECT_EQ(Extension()->ProbeEnabled, 0);
  EXPECT_EQ(Extension()->CardInConfigFile, 1);
  EXPECT_EQ(Model().PortBlock(0)[1], 7);
}

}  // namespace
}  // namespace card_test
