// The 16550A UART driven through its I/O ports as a driver drives it, with
// a probe device on the far end of its serial line: character pacing in
// virtual time, FIFOs, trigger levels and time-out, line errors, the
// interrupt causes in priority order, and the card's INTx.
#include <gtest/gtest.h>

#include <memory>

#include "hw_test_support.h"
#include "sim/hw/devices/loopback_plug.h"
#include "sim/hw/serial_line.h"
#include "sim/kernel/interrupts.h"

namespace {

using sim::hw::Format;
using sim::hw::Parity;
using sim::hw::Uart16550;
using sim::test::ProbeDevice;

constexpr unsigned kLcr = Uart16550::kLineControl, kLsr = Uart16550::kLineStatus, kMcr = Uart16550::kModemControl,
                   kIer = Uart16550::kInterruptEnable, kIir = Uart16550::kInterruptId, kFcr = Uart16550::kFifoControl,
                   kMsr = Uart16550::kModemStatus;
constexpr LONGLONG k9600Char = 10417;  // ten bits at 9600 baud, in 100 ns units

class UartTest : public sim::test::HwTest {
 protected:
  void SetUp() override {
    HwTest::SetUp();
    EnableBlock(0, 0xD200);
    auto probe = std::make_unique<ProbeDevice>();
    probe_ = probe.get();
    card().Plug(0, std::move(probe));
  }
  void Send(const std::string& bytes, const sim::hw::SerialFormat& format) {
    for (char c : bytes) probe_->wire().Send(static_cast<uint8_t>(c), format);
  }
  const sim::test::UartPorts uart_{0xD200};
  ProbeDevice* probe_ = nullptr;
};

TEST_F(UartTest, TransmitterShiftsOneCharacterPerCharacterTimeInTheProgrammedFormat) {
  ASSERT_TRUE(probe_->plugged);
  EXPECT_EQ(card().attached(0), probe_);
  uart_.Program(12, 0x03);  // 9600 8N1 at 1.8432 MHz
  uart_.Out(kFcr, 0x07);
  uart_.Out(kMcr, Uart16550::kDtr | Uart16550::kRts);
  ASSERT_EQ(probe_->controls.size(), 1u);
  EXPECT_TRUE(probe_->controls[0].lines.dtr && probe_->controls[0].lines.rts && !probe_->controls[0].lines.brk);

  const LONGLONG t0 = kernel().Now();
  for (char c : std::string("abc")) uart_.Out(0, static_cast<UCHAR>(c));
  EXPECT_EQ(uart_.In(kLsr), 0x00) << "two bytes wait in the FIFO, one is shifting";
  Advance(3 * k9600Char + 1);
  ASSERT_EQ(probe_->heard.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(probe_->heard[i].byte, "abc"[i]);
    EXPECT_EQ(probe_->heard[i].at, t0 + (i + 1) * k9600Char) << "character " << i;
    EXPECT_EQ(probe_->heard[i].format, Format(9600, 8));
  }
  EXPECT_EQ(uart_.In(kLsr), Uart16550::kThrEmpty | Uart16550::kTransmitterEmpty);

  // 7 data bits, even parity, 2 stop bits: eleven bits; the eighth bit is not sent.
  uart_.Program(12, 0x1E);
  LONGLONG t1 = kernel().Now();
  uart_.Out(0, 0xFF);
  Advance(20000);
  ASSERT_EQ(probe_->heard.size(), 4u);
  EXPECT_EQ(probe_->heard[3].byte, 0x7F);
  EXPECT_EQ(probe_->heard[3].at, t1 + 11458);
  EXPECT_EQ(probe_->heard[3].format, Format(9600, 7, Parity::Even, 2));

  // Clock select 10 (24 MHz) with divisor 13: 115384.6 baud.
  card().Write(0x40, 0x81, 1);
  uart_.Program(13, 0x03);
  t1 = kernel().Now();
  uart_.Out(0, 'x');
  Advance(1000);
  ASSERT_EQ(probe_->heard.size(), 5u);
  EXPECT_EQ(probe_->heard[4].at, t1 + 867);
  EXPECT_NEAR(probe_->heard[4].format.baud, 115384.6, 0.1);
  card().Write(0x40, 0x01, 1);

  // A divisor of 0 stops the transmitter; the byte waits for a rate.
  uart_.Program(0, 0x03);
  uart_.Out(0, 'z');
  Advance(10000000);
  EXPECT_EQ(probe_->heard.size(), 5u);
  EXPECT_EQ(uart_.In(kLsr) & (Uart16550::kThrEmpty | Uart16550::kTransmitterEmpty), 0);
  uart_.Program(12, 0x03);
  Advance(k9600Char + 1);
  ASSERT_EQ(probe_->heard.size(), 6u);
  EXPECT_EQ(probe_->heard[5].byte, 'z');

  // Break: the device sees it; what is shifted meanwhile never reaches it.
  uart_.Out(kLcr, 0x43);
  EXPECT_TRUE(probe_->controls.back().lines.brk);
  uart_.Out(0, 'q');
  Advance(2 * k9600Char);
  uart_.Out(kLcr, 0x03);
  EXPECT_FALSE(probe_->controls.back().lines.brk);
  EXPECT_EQ(probe_->heard.size(), 6u);
  EXPECT_EQ(card().uart(0).counters().transmitted, 7u);
}

TEST_F(UartTest, ReceiveFifoTriggerLevelTimeOutAndOverrun) {
  uart_.Program(12, 0x03);
  uart_.Out(kFcr, 0x41);  // FIFO on, trigger level 4
  uart_.Out(kIer, 0x05);  // received data, line status
  uart_.Out(kMcr, Uart16550::kOut2);
  const auto f = Format(9600, 8);

  Send("123", f);
  Advance(3 * k9600Char + 1);
  EXPECT_EQ(uart_.In(kIir), 0xC1) << "three bytes: below the trigger level";
  EXPECT_FALSE(IntxAsserted());
  Advance(4 * k9600Char);
  EXPECT_EQ(uart_.In(kIir), 0xCC) << "four character times of silence: time-out";
  EXPECT_TRUE(IntxAsserted());
  EXPECT_EQ(uart_.Drain(), "123");
  EXPECT_EQ(uart_.In(kIir), 0xC1);
  EXPECT_FALSE(IntxAsserted());
  EXPECT_EQ(card().uart(0).counters().interrupts, 1u);

  Send("abcd", f);
  Advance(3 * k9600Char + 1);
  EXPECT_EQ(uart_.In(kIir), 0xC1);
  Advance(k9600Char);
  EXPECT_EQ(uart_.In(kIir), 0xC4) << "the fourth byte reaches the trigger level";
  EXPECT_EQ(uart_.Drain(), "abcd");

  // OUT2 gates the UART's output onto INTx.
  uart_.Out(kMcr, 0);
  Send("wxyz", f);
  Advance(4 * k9600Char + 1);
  EXPECT_EQ(uart_.In(kIir), 0xC4);
  EXPECT_FALSE(IntxAsserted());
  EXPECT_EQ(uart_.Drain(), "wxyz");
  uart_.Out(kMcr, Uart16550::kOut2);

  // Seventeen bytes into sixteen places: the last is lost, OE set.
  Send("ABCDEFGHIJKLMNOPQ", f);
  Advance(17 * k9600Char + 1);
  EXPECT_EQ(uart_.In(kIir), 0xC6);
  EXPECT_EQ(uart_.In(kLsr), Uart16550::kDataReady | Uart16550::kOverrun | Uart16550::kThrEmpty |
                                 Uart16550::kTransmitterEmpty);
  EXPECT_EQ(uart_.In(kIir), 0xC4) << "reading LSR cleared the line status cause";
  EXPECT_EQ(uart_.Drain(), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(card().uart(0).counters().overruns, 1u);
  EXPECT_EQ(card().uart(0).counters().received, 3u + 4 + 4 + 17);

  // Character mode: one holding register, overwritten by the next byte.
  uart_.Out(kFcr, 0x00);
  Send("st", f);
  Advance(2 * k9600Char + 1);
  EXPECT_EQ(uart_.In(kIir), 0x06);
  EXPECT_EQ(uart_.In(kLsr) & (Uart16550::kOverrun | Uart16550::kFifoError), Uart16550::kOverrun);
  EXPECT_EQ(uart_.In(kIir), 0x04);
  EXPECT_EQ(uart_.Drain(), "t");
}

TEST_F(UartTest, AMismatchedSenderGivesFramingErrorsAndABreakOneZeroByte) {
  uart_.Program(12, 0x03);  // 9600 8N1
  uart_.Out(kFcr, 0x01);
  uart_.Out(kIer, 0x04);
  uart_.Out(kMcr, Uart16550::kOut2);
  // 'M' at 1200 7N1 takes nine bits of 1200 baud.
  probe_->wire().Send('M', Format(1200, 7));
  Advance(74999);
  EXPECT_EQ(uart_.In(kIir), 0xC1) << "not yet: the stop bit ends at 75000";
  Advance(1);
  EXPECT_EQ(uart_.In(kIir), 0xC6);
  EXPECT_EQ(uart_.In(kLsr), Uart16550::kDataReady | Uart16550::kFramingError | Uart16550::kFifoError |
                                 Uart16550::kThrEmpty | Uart16550::kTransmitterEmpty);
  // Sampled at 9600: seven samples in the start bit, the eighth in bit 0 of 'M'.
  EXPECT_EQ(uart_.In(0), 0x80);

  uart_.Program(96, 0x1A);  // 1200 7E1 hears 7O1: the byte, with a parity error
  probe_->wire().Send('M', Format(1200, 7, Parity::Odd));
  Advance(100000);
  EXPECT_EQ(uart_.In(kLsr) & 0x1F, Uart16550::kDataReady | Uart16550::kParityError);
  EXPECT_EQ(uart_.In(0), 'M');
  uart_.Program(96, 0x03);  // 1200 8N1 hears 7N2: the second stop bit is read as bit 7
  probe_->wire().Send('M', Format(1200, 7, Parity::None, 2));
  Advance(100000);
  EXPECT_EQ(uart_.In(kLsr) & 0x1F, Uart16550::kDataReady);
  EXPECT_EQ(uart_.In(0), 'M' | 0x80);
  probe_->wire().Send('M', Format(1200, 7));  // 7N1: the idle line after the stop bit marks
  Advance(100000);
  EXPECT_EQ(uart_.In(kLsr) & 0x1F, Uart16550::kDataReady);
  EXPECT_EQ(uart_.In(0), 'M' | 0x80);
  uart_.Program(96, 0x1A);
  probe_->wire().Send('M', Format(1200, 7, Parity::Even));
  Advance(100000);
  EXPECT_EQ(uart_.In(kLsr) & 0x1F, Uart16550::kDataReady);
  EXPECT_EQ(uart_.In(0), 'M');

  // A break held for many character times gives one zero byte with BI.
  uart_.Program(12, 0x03);
  probe_->wire().SetBreak(true);
  Advance(10 * k9600Char);
  probe_->wire().SetBreak(false);
  EXPECT_EQ(uart_.In(kIir), 0xC6);
  EXPECT_EQ(uart_.In(kLsr) & 0x1F, Uart16550::kDataReady | Uart16550::kBreak);
  EXPECT_EQ(uart_.Drain(), std::string(1, '\0'));
  const auto& counters = card().uart(0).counters();
  EXPECT_EQ(counters.framing_errors, 1u);
  EXPECT_EQ(counters.parity_errors, 1u);
  EXPECT_EQ(counters.breaks, 1u);
}

TEST_F(UartTest, InterruptCausesComeInPriorityOrderAndTheCardGatesIntx) {
  uart_.Program(12, 0x03);
  uart_.Out(kFcr, 0x01);
  uart_.Out(kMcr, Uart16550::kOut2);
  uart_.Out(kIer, 0x0F);
  EXPECT_TRUE(IntxAsserted()) << "enabling the THRE interrupt with THR empty raises it";
  EXPECT_EQ(uart_.In(kIir), 0xC2);
  EXPECT_EQ(uart_.In(kIir), 0xC1) << "reading IIR cleared it";
  EXPECT_FALSE(IntxAsserted());

  probe_->wire().SetModem({.cts = true});
  EXPECT_EQ(uart_.In(kIir), 0xC0);
  uart_.Out(0, 'x');  // moves to the shift register at once: THR empty again
  EXPECT_EQ(uart_.In(kIir), 0xC2);
  probe_->wire().Send('r', Format(9600, 8));
  probe_->wire().Send('?', Format(300, 8));
  Advance(400000);
  EXPECT_EQ(uart_.In(kIir), 0xC4) << "an error shows when its character reaches the top of the FIFO";
  EXPECT_EQ(uart_.In(0), 'r');
  EXPECT_EQ(uart_.In(kIir), 0xC6);
  EXPECT_EQ(uart_.In(kLsr), Uart16550::kDataReady | Uart16550::kFramingError | Uart16550::kFifoError |
                                 Uart16550::kThrEmpty | Uart16550::kTransmitterEmpty);
  EXPECT_EQ(uart_.In(kIir), 0xC4);
  uart_.In(0);
  EXPECT_EQ(uart_.In(kIir), 0xC0) << "THRE was cleared when IIR reported it";
  EXPECT_TRUE(IntxAsserted());

  // The card's side: I/O decoding, the interrupt disable bit, the line
  // register and a pulled card.
  const uint64_t edges = card().uart(0).counters().interrupts;
  card().Write(0x04, 0x0002, 2);
  EXPECT_FALSE(IntxAsserted());
  card().Write(0x04, 0x0403, 2);
  EXPECT_FALSE(IntxAsserted());
  card().Write(0x04, 0x0003, 2);
  EXPECT_TRUE(IntxAsserted());
  EXPECT_EQ(card().uart(0).counters().interrupts, edges + 1);
  card().Write(0x3C, 0x05, 1);
  EXPECT_TRUE(kernel().interrupts->Asserted(5));
  EXPECT_FALSE(kernel().interrupts->Asserted(0x0B));
  card().set_present(false);
  EXPECT_FALSE(kernel().interrupts->Asserted(5));
  card().set_present(true);
  EXPECT_TRUE(kernel().interrupts->Asserted(5));
  EXPECT_EQ(uart_.In(kMsr), 0x11);
  EXPECT_FALSE(kernel().interrupts->Asserted(5));
  card().Write(0x3C, 0x0B, 1);
}

TEST_F(UartTest, LoopbackModeAndTheLoopbackPlug) {
  // Loopback mode: the line sees DTR and RTS inactive and carries nothing
  // either way; the character goes round inside the UART.
  uart_.Program(12, 0x03);
  uart_.Out(kFcr, 0x01);
  uart_.Out(kMcr, Uart16550::kLoopback | Uart16550::kDtr | Uart16550::kRts);
  EXPECT_TRUE(probe_->controls.empty());
  uart_.Out(0, 'q');
  probe_->wire().Send('n', Format(9600, 8));
  Advance(k9600Char + 1);
  EXPECT_EQ(uart_.Drain(), "q");
  EXPECT_TRUE(probe_->heard.empty());
  uart_.Out(kMcr, 0);

  // The loopback plug does the same outside the UART, with the lines.
  std::unique_ptr<sim::hw::SerialDevice> probe = card().Unplug(0);
  EXPECT_EQ(probe.get(), probe_);
  EXPECT_FALSE(probe_->plugged);
  card().Plug(0, std::make_unique<sim::hw::LoopbackPlug>());
  EXPECT_EQ(card().attached(0)->kind(), "loopback");
  uart_.In(kMsr);
  uart_.Out(kMcr, Uart16550::kDtr);
  EXPECT_EQ(uart_.In(kMsr), 0xAA) << "DSR and DCD follow DTR";
  uart_.Out(kMcr, Uart16550::kDtr | Uart16550::kRts);
  EXPECT_EQ(uart_.In(kMsr), 0xB1) << "CTS follows RTS";

  for (char c : std::string("hello")) uart_.Out(0, static_cast<UCHAR>(c));
  Advance(5 * k9600Char);
  EXPECT_EQ(uart_.In(kLsr) & Uart16550::kTransmitterEmpty, Uart16550::kTransmitterEmpty);
  EXPECT_EQ(uart_.Drain(), "hello") << "the echo ends with the stop bit";

  uart_.Out(kLcr, 0x43);
  Advance(3 * k9600Char);
  uart_.Out(kLcr, 0x03);
  EXPECT_EQ(uart_.In(kLsr) & Uart16550::kBreak, Uart16550::kBreak);
  EXPECT_EQ(uart_.Drain(), std::string(1, '\0'));

  // Unplugged mid-character: the echo is lost and the inputs drop.
  uart_.Out(0, '!');
  Advance(k9600Char / 2);
  EXPECT_NE(card().Unplug(0), nullptr);
  Advance(k9600Char);
  EXPECT_EQ(uart_.Drain(), "");
  EXPECT_EQ(uart_.In(kMsr), 0x0B);
  EXPECT_EQ(card().attached(0), nullptr);
}

}  // namespace
