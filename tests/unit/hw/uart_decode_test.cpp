// The card's UARTs in I/O space: each answers at the address its block
// holds only while the block is enabled; nothing else answers, and a
// missing UART reads all ones as the presence probe expects.
#include <gtest/gtest.h>

#include "hw_test_support.h"

namespace {

using sim::hw::Uart16550;

UCHAR InByte(uint16_t port) { return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(port))); }
ULONG InDword(uint16_t port) { return READ_PORT_ULONG(reinterpret_cast<PULONG>(static_cast<uintptr_t>(port))); }
void OutByte(uint16_t port, UCHAR value) { WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(port)), value); }
void OutDword(uint16_t port, ULONG value) { WRITE_PORT_ULONG(reinterpret_cast<PULONG>(static_cast<uintptr_t>(port)), value); }

// The card driver's presence probe, step by step.
bool ProbeSaysAbsent(uint16_t base) {
  ULONG m = InDword(base + 6);
  OutDword(base + 4, 0x10);
  OutDword(base + 4, 0);
  ULONG l = InDword(base + 5);
  return (m & 0xF0) == 0xF0 && (l & 0x10) != 0;
}

class UartDecodeTest : public sim::test::HwTest {};

TEST_F(UartDecodeTest, AnAddressNothingDecodesReadsAllOnes) {
  EXPECT_EQ(InByte(0x3F8), 0xFF);
  EXPECT_EQ(InDword(0xC000), 0xFFFFFFFFu);
  EXPECT_EQ(READ_PORT_USHORT(reinterpret_cast<PUSHORT>(0x2F8)), 0xFFFF);
  OutByte(0x3F8, 0x12);  // goes nowhere
}

TEST_F(UartDecodeTest, AUartAnswersOnlyWhileItsBlockIsEnabled) {
  const uint16_t base = 0xD200;
  EXPECT_EQ(InByte(base + Uart16550::kLineStatus), 0xFF) << "no block holds the address yet";
  EnableBlock(3, base);
  EXPECT_EQ(InByte(base + Uart16550::kLineStatus), 0x60) << "transmitter empty, nothing received";
  OutByte(base + Uart16550::kScratch, 0xA5);
  EXPECT_EQ(InByte(base + Uart16550::kScratch), 0xA5);
  EXPECT_EQ(card().uart(3).Read(Uart16550::kScratch), 0xA5) << "it was UART 3";

  card().Write(0x40 + 8 * 3, card().Read(0x40 + 8 * 3, 1) & ~1u, 1);
  EXPECT_EQ(InByte(base + Uart16550::kScratch), 0xFF) << "disabled block: nothing answers";
  EnableBlock(3, 0xD300);
  EXPECT_EQ(InByte(0xD300 + Uart16550::kScratch), 0xA5) << "the same UART, moved";
  EXPECT_EQ(InByte(base + Uart16550::kScratch), 0xFF);
}

TEST_F(UartDecodeTest, CommandRegisterIoDisableSilencesEveryUart) {
  EnableBlock(0, 0xD200);
  card().Write(0x04, 0x0002, 2);
  EXPECT_EQ(InByte(0xD200 + Uart16550::kLineStatus), 0xFF);
  card().Write(0x04, 0x0003, 2);
  EXPECT_EQ(InByte(0xD200 + Uart16550::kLineStatus), 0x60);
}

TEST_F(UartDecodeTest, ProbeFindsFittedUartsPresentAndMissingOnesAbsent) {
  EnableBlock(0, 0xD200);
  EXPECT_FALSE(ProbeSaysAbsent(0xD200));
  EXPECT_TRUE(ProbeSaysAbsent(0xD300)) << "an address no block holds";
}

class AbsentUartTest : public sim::test::HwTest {
 protected:
  sim::MachineConfig config() const override {
    sim::MachineConfig config = HwTest::config();
    config.cards[0].absent_uarts = 1u << 1;
    config.cards[0].uart_count = 4;
    return config;
  }
};

TEST_F(AbsentUartTest, UnfittedAndBeyondTheChipUartsReadAllOnes) {
  EnableBlock(1, 0xD208);
  EnableBlock(2, 0xD210);
  EnableBlock(5, 0xD228);
  EXPECT_TRUE(ProbeSaysAbsent(0xD208)) << "UART 1 is not fitted";
  EXPECT_FALSE(ProbeSaysAbsent(0xD210));
  EXPECT_TRUE(ProbeSaysAbsent(0xD228)) << "a 4-UART chip has no UART 5";
}

TEST_F(UartDecodeTest, LoopbackFeedsModemControlIntoModemStatus) {
  EnableBlock(0, 0xD200);
  const uint16_t msr = 0xD200 + Uart16550::kModemStatus, mcr = 0xD200 + Uart16550::kModemControl;
  EXPECT_EQ(InByte(msr), 0x00) << "nothing attached";
  OutByte(mcr, Uart16550::kLoopback | Uart16550::kDtr | Uart16550::kRts);
  EXPECT_EQ(InByte(msr), 0x33) << "CTS and DSR follow RTS and DTR, with their deltas";
  EXPECT_EQ(InByte(msr), 0x30) << "deltas clear on read";
  OutByte(mcr, Uart16550::kLoopback | Uart16550::kOut1 | Uart16550::kOut2);
  EXPECT_EQ(InByte(msr), 0xCB) << "RI, DCD; CTS, DSR and DCD changed";
  OutByte(mcr, Uart16550::kLoopback);
  EXPECT_EQ(InByte(msr) & 0x0F, 0x0C) << "RI's trailing edge and DCD";
}

TEST_F(UartDecodeTest, DivisorLatchSharesTheFirstTwoRegisters) {
  EnableBlock(0, 0xD200);
  OutByte(0xD200 + Uart16550::kLineControl, 0x80);
  OutByte(0xD200, 0x60);
  OutByte(0xD201, 0x00);
  OutByte(0xD200 + Uart16550::kLineControl, 0x02);  // 7 data bits
  EXPECT_EQ(card().uart(0).divisor(), 0x60) << "1200 baud at 1.8432 MHz";
  EXPECT_EQ(InByte(0xD201), 0x00) << "interrupt enable, not the latch";
}

class MarkedBlockTest : public sim::test::HwTest {
 protected:
  sim::MachineConfig config() const override {
    sim::MachineConfig config = HwTest::config();
    config.cards[0].unavailable_blocks = 1u << 4;
    return config;
  }
};

TEST_F(MarkedBlockTest, TheNotAvailableMarkIsAStrapSoftwareCannotSetOrClear) {
  const uint32_t marked = 0x40 + 8 * 4, plain = 0x40 + 8 * 5;
  EXPECT_EQ(card().Read(marked, 1), 0x02u);
  card().Write(marked, 0xFF, 1);
  EXPECT_EQ(card().Read(marked, 1) & 0x06, 0x02u) << "bits 2:1 stay 01";
  EXPECT_EQ(card().Read(marked, 1), 0xFBu) << "the other bits are writable";
  card().Write(marked, 0x00, 1);
  EXPECT_EQ(card().Read(marked, 1), 0x02u);
  card().Write(plain, 0x02, 1);
  EXPECT_EQ(card().Read(plain, 1), 0x00u) << "an unmarked block cannot be marked";
}

}  // namespace
