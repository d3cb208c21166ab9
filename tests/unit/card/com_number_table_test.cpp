// The bring-up's bookkeeping in the shared "ComNumConfig" table: new ports
// of a card described by the configuration file are recorded once, by I/O
// address, with the COM number of their slot; "InitialFlag" turns 1 into 2.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "card_machine.h"
#include "sim/kernel/fault_plan.h"

namespace card_test {
namespace {

constexpr ULONG kRegSz = 1;
constexpr ULONG kRegBinary = 3;

std::vector<uint8_t> Entry(uint16_t address, uint8_t com, uint8_t applied) {
  return {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), com, applied};
}

class ComNumberTableTest : public CardMachineTest {
 protected:
  // The card driver's table alone: the port enumerator, which completes
  // the entries, is left out.
  ComNumberTableTest() {
    boot_in_test_ = true;
    config_.stand_in_hand_off = true;
  }
  // A 4-port card on bus 1 described by the file: COM 5 to 8 by slot.
  void Describe(USHORT device_id = 0x1104, UCHAR mask = 0x3F, std::vector<uint8_t> com = {5, 6, 7, 8},
                USHORT absent = 0) {
    std::vector<uint8_t> file = ConfigFile();
    SetRecord(file, 0, 0x81, com);
    config_.config_file = file;
    config_.cards = {Card(device_id, mask, absent)};
  }
  void Preset(std::vector<uint8_t> data, ULONG type = kRegBinary) {
    config_.registry.push_back(sim::RegistryPreset{kServiceKey, kComNumConfig, type, std::move(data)});
  }
  void SetTable(std::vector<uint8_t> data) { kernel().registry->SetBinary(kServiceKey, kComNumConfig, data); }
  void SetInitialFlag(uint32_t value) { kernel().registry->SetDword(DeviceKey(), "InitialFlag", value); }
  std::optional<uint32_t> InitialFlag() { return kernel().registry->GetDword(DeviceKey(), "InitialFlag"); }
  ULONG TableType() { return kernel().registry->GetValue(kServiceKey, kComNumConfig)->type; }

  uint16_t A(unsigned slot) { return SlotAddress(Bar5(), slot); }
};

TEST_F(ComNumberTableTest, NewPortsGetTheirSlotsComNumbers) {
  Describe();
  Boot();
  ASSERT_TRUE(Started());
  EXPECT_EQ(Extension()->CardInConfigFile, 1);
  ASSERT_EQ(ComTable().size(), 1023u);
  EXPECT_EQ(TableType(), kRegBinary);
  for (unsigned s = 0; s < 4; ++s) EXPECT_EQ(ComEntry(s), Entry(A(s), static_cast<uint8_t>(5 + s), 0)) << s;
  EXPECT_EQ(ComEntry(4), Entry(0, 0, 0));
}

TEST_F(ComNumberTableTest, CardNotInTheFileCreatesAnEmptyTableAndLeavesInitialFlag) {
  config_.cards = {Card(0x1104)};
  Boot();
  EXPECT_EQ(ComTable(), std::vector<uint8_t>(1023, 0));
  SetInitialFlag(1);
  BringUpAgain();
  EXPECT_EQ(InitialFlag(), 1u);
  EXPECT_EQ(ComTable(), std::vector<uint8_t>(1023, 0));
}

TEST_F(ComNumberTableTest, RecordedPortsStayAsTheyAreAndOnlyNewOnesRaiseInitialFlag) {
  Describe();
  Preset(Entry(0xE200, 9, 1));  // slot 0's address, applied by the port enumerator
  Boot();
  ASSERT_EQ(A(0), 0xE200);
  EXPECT_EQ(ComEntry(0), Entry(A(0), 9, 1));
  for (unsigned s = 1; s < 4; ++s) EXPECT_EQ(ComEntry(s), Entry(A(s), static_cast<uint8_t>(5 + s), 0)) << s;

  // Everything recorded: no change, InitialFlag stays.
  const std::vector<uint8_t> table = ComTable();
  SetInitialFlag(1);
  BringUpAgain();
  EXPECT_EQ(ComTable(), table);
  EXPECT_EQ(InitialFlag(), 1u);

  // Slot 3 forgotten: recorded again, and InitialFlag 1 becomes 2.
  std::vector<uint8_t> forgotten = table;
  std::fill(forgotten.begin() + 12, forgotten.begin() + 16, 0);
  SetTable(forgotten);
  BringUpAgain();
  EXPECT_EQ(ComEntry(3), Entry(A(3), 8, 0));
  EXPECT_EQ(InitialFlag(), 2u);
}

TEST_F(ComNumberTableTest, FullTableRecordsNothing) {
  Describe();
  Preset(std::vector<uint8_t>(1023, 0x11));
  Boot();
  EXPECT_EQ(ComTable(), std::vector<uint8_t>(1023, 0x11));
  SetInitialFlag(1);
  BringUpAgain();
  EXPECT_EQ(ComTable(), std::vector<uint8_t>(1023, 0x11));
  EXPECT_EQ(InitialFlag(), 1u);
}

TEST_F(ComNumberTableTest, ActiveRecordAfterAnEmptySelectorGivesNoNumbersButStillRaisesInitialFlag) {
  std::vector<uint8_t> file = ConfigFile();
  SetRecord(file, 1, 0x81, {5, 6, 7, 8});
  config_.config_file = file;
  config_.cards = {Card(0x1104)};
  Boot();
  EXPECT_EQ(Extension()->CardInConfigFile, 1);
  EXPECT_EQ(ComTable(), std::vector<uint8_t>(1023, 0));
  SetInitialFlag(1);
  BringUpAgain();
  EXPECT_EQ(InitialFlag(), 2u);
  EXPECT_EQ(ComTable(), std::vector<uint8_t>(1023, 0));
}

TEST_F(ComNumberTableTest, InitialFlagOfAnotherTypeCountsAsZero) {
  Describe();
  Boot();
  SetTable({});
  kernel().registry->SetBinary(DeviceKey(), "InitialFlag", {1, 0, 0, 0});
  BringUpAgain();
  EXPECT_EQ(kernel().registry->GetBinary(DeviceKey(), "InitialFlag"), (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(ComEntry(0), Entry(A(0), 5, 0));
}

TEST_F(ComNumberTableTest, ShortValueIsAcceptedAndWrittenBackWhole) {
  Describe();
  std::vector<uint8_t> value = Entry(0xE200, 9, 1);
  std::vector<uint8_t> second = Entry(0xE208, 10, 1);
  value.insert(value.end(), second.begin(), second.end());
  Preset(value);
  Boot();
  ASSERT_EQ(ComTable().size(), 1023u);
  EXPECT_EQ(ComEntry(0), Entry(A(0), 9, 1));
  EXPECT_EQ(ComEntry(1), Entry(A(1), 10, 1));
  EXPECT_EQ(ComEntry(2), Entry(A(2), 7, 0));
  EXPECT_EQ(ComEntry(3), Entry(A(3), 8, 0));
}

TEST_F(ComNumberTableTest, LongValueIsReadUpToTheTableAndWrittenBackAt1023Bytes) {
  Describe();
  std::vector<uint8_t> value(2000, 0xAB);
  std::fill(value.begin(), value.begin() + 1023, 0);
  Preset(value);
  Boot();
  std::vector<uint8_t> table = ComTable();
  ASSERT_EQ(table.size(), 1023u);
  EXPECT_EQ(ComEntry(0), Entry(A(0), 5, 0));
  EXPECT_EQ(std::count(table.begin(), table.end(), 0xAB), 0);
}

// The table is shared with the other cards and the port enumerator: a value
// the card cannot use is left as it is.
TEST_F(ComNumberTableTest, ValueOfAnotherTypeIsLeftAsItIs) {
  Describe();
  const std::vector<uint8_t> text = {'C', 0, 'O', 0, 'M', 0, 0, 0};
  Preset(text, kRegSz);
  Boot();
  ASSERT_TRUE(Started());
  EXPECT_EQ(Extension()->PortCount, 4);
  EXPECT_EQ(TableType(), kRegSz);
  EXPECT_EQ(ComTable(), text);
}

// A table holding all of the card's ports (and another card's), longer
// than the card reads: whichever registry call of a restart fails, and when
// none does, it stays exactly as it is, since the card has nothing to add.
TEST_F(ComNumberTableTest, NoRestartRewritesATableWithNothingNewEvenWhenARegistryCallFails) {
  Describe();
  std::vector<uint8_t> table = Entry(0xD000, 20, 1);
  for (unsigned s = 0; s < 4; ++s) {
    const std::vector<uint8_t> entry = Entry(SlotAddress(0xE201, s), static_cast<uint8_t>(5 + s), 1);
    table.insert(table.end(), entry.begin(), entry.end());
  }
  table.resize(1023, 0);
  table.resize(2000, 0xAB);
  Preset(table);
  Boot();
  ASSERT_EQ(A(0), 0xE200);
  ASSERT_EQ(ComTable(), table);
  unsigned calls = 0;
  for (unsigned n = 1; n == 1 || n <= calls + 1; ++n) {
    kernel().faults->Clear();
    kernel().faults->FailNth(sim::FaultKind::Registry, n);
    kernel().pnp->Rebalance(Node());
    calls = kernel().faults->Calls(sim::FaultKind::Registry);
    kernel().faults->Clear();
    ASSERT_EQ(ComTable(), table) << "registry call " << n << " of " << calls << " failed";
    if (!Started()) {
      ASSERT_EQ(kernel().pnp->EnableDevice(Node()), STATUS_SUCCESS) << n;
    }
  }
  EXPECT_GT(calls, 0u);
}

// The card's record is the last one either scan looks at; every record
// before it names another bus.
TEST_F(ComNumberTableTest, RecordInTheLastPlaceIsFound) {
  std::vector<uint8_t> file = ConfigFile();
  for (size_t r = 0; r < 26; ++r) SetRecord(file, r, static_cast<uint8_t>(0x80 | (2 + r)), {30, 31, 32, 33});
  SetRecord(file, 26, 0xC1, {5, 6, 7, 8}, 0x01, 0x07);
  config_.config_file = file;
  config_.cards = {Card(0x1104)};
  Boot();
  ASSERT_TRUE(Started());
  EXPECT_EQ(Extension()->CardInConfigFile, 1);
  for (unsigned s = 0; s < 4; ++s) {
    EXPECT_EQ(ComEntry(s), Entry(A(s), static_cast<uint8_t>(5 + s), 0)) << s;
    EXPECT_EQ(Model().PortBlock(s)[1], 7) << "FIFO setting of block " << s;
  }
}

// 8-port chip without its optional ports: ports 4 and 5 take slots 2 and 3,
// which lie in the first group of four while the ports lie in the second,
// so they get no number from the record; ports 6 and 7 (slots 4 and 5) do.
TEST_F(ComNumberTableTest, PortWhoseSlotLiesInAnotherGroupGetsNoNumber) {
  Describe(0x1108, 0x00, {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22});
  Boot();
  ASSERT_EQ(Extension()->PortCount, 6);
  EXPECT_EQ(ComEntry(0), Entry(A(0), 11, 0));
  EXPECT_EQ(ComEntry(1), Entry(A(1), 12, 0));
  EXPECT_EQ(ComEntry(2), Entry(A(2), 0, 0));
  EXPECT_EQ(ComEntry(3), Entry(A(3), 0, 0));
  EXPECT_EQ(ComEntry(4), Entry(A(4), 15, 0));
  EXPECT_EQ(ComEntry(5), Entry(A(5), 16, 0));
  EXPECT_EQ(ComEntry(6), Entry(0, 0, 0));
}

// UARTs 5 to 7 of an 8-port chip are absent: port 4 is the last counted
// one, in the chip's last group of four, so its new entry turns
// "InitialFlag" 1 into 2 and the pass ends there.
TEST_F(ComNumberTableTest, LastCountedPortOfTheChipRaisesInitialFlag) {
  Describe(0x1108, 0x3F, {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22}, 0x00E0);
  Boot();
  ASSERT_EQ(Extension()->PortCount, 5);
  SetTable({});
  SetInitialFlag(1);
  BringUpAgain();
  EXPECT_EQ(InitialFlag(), 2u);
  for (unsigned s = 0; s < 5; ++s) EXPECT_EQ(ComEntry(s), Entry(A(s), static_cast<uint8_t>(11 + s), 0)) << s;
  EXPECT_EQ(ComEntry(5), Entry(0, 0, 0));
}

}  // namespace
}  // namespace card_test
