// The devices plugged into serial ports, pinned through the UART registers
// as a driver sees them: the plug-and-play device's answer to the COM
// enumerator (1200 baud 7N1, its timing, its knobs), legacy mice, the
// modem, raw and chatty devices, and the configuration that makes them.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

#include "hw_test_support.h"
#include "sim/hw/devices/device_config.h"
#include "sim/hw/devices/modem.h"
#include "sim/hw/devices/pnp_device.h"
#include "sim/hw/devices/serial_mouse.h"

namespace {

using sim::hw::AttachedDeviceConfig;
using sim::hw::Uart16550;

constexpr LONGLONG kMs = 10000;
constexpr LONGLONG k1200Char = 75000;  // nine bits (7N1) at 1200 baud
constexpr unsigned kLsr = Uart16550::kLineStatus, kMcr = Uart16550::kModemControl, kMsr = Uart16550::kModemStatus,
                   kFcr = Uart16550::kFifoControl;
constexpr UCHAR kDtr = Uart16550::kDtr, kRts = Uart16550::kRts;

// A byte that arrived at `arrival` is seen at the first millisecond poll
// from then on.
::testing::AssertionResult SeenAt(LONGLONG seen, LONGLONG arrival) {
  if (seen >= arrival && seen < arrival + kMs) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "seen at " << seen << ", arrived at " << arrival;
}
#define ExpectSeenAt(seen, arrival) EXPECT_TRUE(SeenAt(seen, arrival))

// What a port received while polled: the bytes, their line status, and
// when the first one and the last one were seen (1 ms resolution).
struct Heard {
  std::string bytes;
  std::string errors;  // per byte: '.' none, 'F' framing, 'P' parity, 'B' break
  LONGLONG first = -1;
  LONGLONG last = -1;
};

class DevicesTest : public sim::test::HwTest {
 protected:
  static constexpr unsigned kPorts = 4;
  void SetUp() override {
    HwTest::SetUp();
    for (unsigned n = 0; n < kPorts; ++n) {
      EnableBlock(n, Base(n));
      Port(n).Program(96, 0x02);  // 1200 7N1
      Port(n).Out(kFcr, 0x07);
    }
  }
  static uint16_t Base(unsigned n) { return static_cast<uint16_t>(0xD200 + 8 * n); }
  sim::test::UartPorts Port(unsigned n) { return {Base(n)}; }
  void Plug(unsigned n, const AttachedDeviceConfig& config) {
    std::string error;
    auto device = sim::hw::MakeSerialDevice(config, &error);
    ASSERT_TRUE(device) << error;
    card().Plug(n, std::move(device));
  }
  void AllMcr(UCHAR value) {
    for (unsigned n = 0; n < kPorts; ++n) Port(n).Out(kMcr, value);
  }
  // Polls every port each millisecond for the duration.
  std::array<Heard, kPorts> Listen(LONGLONG duration) {
    std::array<Heard, kPorts> heard;
    const LONGLONG end = kernel().Now() + duration;
    while (kernel().Now() < end) {
      Advance(kMs);
      for (unsigned n = 0; n < kPorts; ++n) {
        for (;;) {
          const UCHAR lsr = Port(n).In(kLsr);
          if (!(lsr & Uart16550::kDataReady)) break;
          Heard& h = heard[n];
          h.bytes.push_back(static_cast<char>(Port(n).In(0)));
          h.errors.push_back(lsr & Uart16550::kBreak          ? 'B'
                             : lsr & Uart16550::kFramingError ? 'F'
                             : lsr & Uart16550::kParityError  ? 'P'
                                                              : '.');
          if (h.first < 0) h.first = kernel().Now();
          h.last = kernel().Now();
        }
      }
    }
    return heard;
  }
  // The enumerator's first phase: both lines low for 200 ms, DTR up, 200 ms
  // later RTS up. Returns the time RTS rose.
  LONGLONG FirstPhase() {
    AllMcr(0);
    Advance(200 * kMs);
    AllMcr(kDtr);
    Advance(200 * kMs);
    AllMcr(kDtr | kRts);
    return kernel().Now();
  }
  // The second phase: both low for 200 ms, then both up together.
  LONGLONG SecondPhase() {
    AllMcr(0);
    Advance(200 * kMs);
    AllMcr(kDtr | kRts);
    return kernel().Now();
  }
};

TEST(PnpIdTest, IdentificationStringsAreBuiltFieldByFieldWithTheirChecksum) {
  // The modem of the published example: checksum "C4".
  sim::hw::PnpIdFields modem;
  modem.eisa_id = "MDC";
  modem.product_id = "0288";
  modem.serial = "00314159";
  modem.device_class = "MODEM";
  modem.compatible = "MDC0144,ATM0096";
  modem.user_name = "ZIP 288";
  EXPECT_EQ(sim::hw::BuildPnpId(modem), std::string("(\x01$MDC0288\\00314159\\MODEM\\MDC0144,ATM0096\\ZIP 288C4)"));
  // A mouse in the 6-bit form, no optional fields, so no checksum.
  sim::hw::PnpIdFields mouse;
  mouse.other_id = "M";
  mouse.revision = 1;
  mouse.eisa_id = "AMC";
  mouse.product_id = "1234";
  mouse.six_bit = true;
  EXPECT_EQ(sim::hw::BuildPnpId(mouse), std::string("M\x08\x00\x01\x21\x2D\x23\x11\x12\x13\x14\x09", 12));
  // Only a class: the serial number before it goes empty.
  sim::hw::PnpIdFields classed;
  classed.device_class = "MOUSE";
  classed.checksum = 0;
  EXPECT_EQ(sim::hw::BuildPnpId(classed), "(\x01$ZRK0001\\\\MOUSE)");
}

TEST_F(DevicesTest, PnpDeviceAnswersTheEnumeratorAt1200Baud7N1AndNothingElseReadsIt) {
  AttachedDeviceConfig config;
  config.kind = "pnp";
  config.product = "0288";
  config.device_class = "MODEM";
  const std::string id = "(\x01$ZRK0288\\\\MODEM69)";  // 0x69: the sum from '(' to ')'
  const LONGLONG n = static_cast<LONGLONG>(id.size());
  Plug(0, config);
  Plug(1, config);
  Port(1).Program(12, 0x03);  // the same device read at 9600 8N1
  EXPECT_EQ(card().attached(0)->kind(), "pnp");

  AllMcr(0);
  Advance(200 * kMs);
  EXPECT_EQ(Port(0).In(kMsr) & 0x20, 0) << "unpowered: no DSR";
  AllMcr(kDtr);
  EXPECT_EQ(Port(0).In(kMsr), 0x22) << "powered from DTR, DSR up at once";
  Advance(200 * kMs);
  EXPECT_EQ(Port(0).In(kLsr) & Uart16550::kDataReady, 0) << "nothing before RTS";
  AllMcr(kDtr | kRts);
  // 10 ms answer delay, then nine bits at 1200 baud.
  Advance(10 * kMs + k1200Char - 1);
  EXPECT_EQ(Port(0).In(kLsr) & Uart16550::kDataReady, 0);
  Advance(1);
  EXPECT_EQ(Port(0).In(kLsr) & Uart16550::kDataReady, Uart16550::kDataReady);
  const LONGLONG first_at = kernel().Now();

  const auto heard = Listen(400 * kMs);
  EXPECT_EQ(heard[0].bytes, id);
  ExpectSeenAt(heard[0].last, first_at + (n - 1) * k1200Char) << "back to back";
  EXPECT_EQ(heard[1].bytes.size(), id.size()) << "one character read per character sent";
  EXPECT_EQ(heard[1].errors, std::string(id.size(), 'F')) << "at 9600 every character is a framing error";
  EXPECT_NE(heard[1].bytes, id);
  EXPECT_EQ(card().uart(1).counters().framing_errors, id.size());

  // Raising RTS again without the idle state in between asks nothing.
  AllMcr(kDtr);
  Advance(10 * kMs);
  AllMcr(kDtr | kRts);
  EXPECT_TRUE(Listen(300 * kMs)[0].bytes.empty());
  EXPECT_NE(card().attached(0)->state().find("1 answer"), std::string::npos) << card().attached(0)->state();
}

TEST_F(DevicesTest, PnpKnobsSecondAttemptDsrAndGaps) {
  AttachedDeviceConfig second;
  second.kind = "pnp";
  second.attempt = 2;
  AttachedDeviceConfig never = second;
  never.attempt = 1;
  never.dsr = "never";
  AttachedDeviceConfig late = never;
  late.dsr = "late";
  late.dsr_delay_ms = 300;
  AttachedDeviceConfig gaps = never;
  gaps.dsr = "normal";
  gaps.gap_ms = 5;
  gaps.delay_ms = 50;
  Plug(0, second);
  Plug(1, never);
  Plug(2, late);
  Plug(3, gaps);
  const std::string id = "(\x01$ZRK0001)";

  AllMcr(0);
  Advance(200 * kMs);
  AllMcr(kDtr);
  Advance(1);
  EXPECT_EQ(Port(1).In(kMsr) & 0x20, 0) << "DSR never comes";
  EXPECT_EQ(Port(2).In(kMsr) & 0x20, 0) << "DSR comes late";
  Advance(200 * kMs);
  AllMcr(kDtr | kRts);
  const LONGLONG rts = kernel().Now();
  auto heard = Listen(400 * kMs);
  EXPECT_EQ(heard[0].bytes, "") << "the first sequence goes unanswered";
  EXPECT_EQ(heard[1].bytes, id) << "DSR is not needed to answer";
  EXPECT_EQ(heard[2].bytes, id);
  EXPECT_EQ(Port(2).In(kMsr) & 0x20, 0x20);
  EXPECT_EQ(heard[3].bytes, id);
  const LONGLONG n = static_cast<LONGLONG>(id.size());
  ExpectSeenAt(heard[3].last, rts + 50 * kMs + n * k1200Char + (n - 1) * 5 * kMs) << "gaps between characters";

  const LONGLONG second_rts = SecondPhase();
  heard = Listen(400 * kMs);
  EXPECT_EQ(heard[0].bytes, id) << "answers the second sequence";
  ExpectSeenAt(heard[0].first, second_rts + 10 * kMs + k1200Char);
  EXPECT_EQ(heard[1].bytes, id) << "a device powered up with RTS up answers too";

  // Dropping DTR cuts the power: the string stops.
  SecondPhase();
  Advance(10 * kMs + 3 * k1200Char);
  AllMcr(kRts);
  heard = Listen(300 * kMs);
  EXPECT_EQ(heard[1].bytes.size(), 4u) << "three characters, and the fourth that was on the line";
  EXPECT_EQ(Port(1).In(kMsr) & 0x20, 0);
}

TEST_F(DevicesTest, MiceIdentifyOnPowerUpAndSendThreeBytePackets) {
  AttachedDeviceConfig mouse;
  mouse.kind = "mouse";
  mouse.packets = {{20, 5, -3, true, false, false}, {10, 0, 0, false, false, true}, {10, -128, 64, false, true, false}};
  AttachedDeviceConfig three = mouse;
  three.model = "M3";
  AttachedDeviceConfig ball = mouse;
  ball.model = "B";
  ball.packets.clear();
  Plug(0, mouse);
  Plug(1, three);
  Plug(2, ball);

  AllMcr(kDtr);
  Advance(100 * kMs);
  EXPECT_EQ(Port(0).In(kLsr) & Uart16550::kDataReady, 0) << "DTR alone does not power it";
  AllMcr(kDtr | kRts);
  const LONGLONG up = kernel().Now();
  const auto heard = Listen(300 * kMs);
  // 0x6C: sync, left, Y7-6 of -3; then X 5 and the low six bits of -3.
  const std::string moves = std::string("\x6C\x05\x3D", 3) + std::string("\x40\x00\x00", 3) +
                            std::string("\x56\x00\x00", 3);  // right; Y7-6 of 64 = 01, X7-6 of -128 = 10
  EXPECT_EQ(heard[0].bytes, "M" + moves);
  ExpectSeenAt(heard[0].first, up + 10 * kMs + k1200Char);
  EXPECT_EQ(heard[1].bytes, "M3" + std::string("\x6C\x05\x3D", 3) + std::string("\x40\x00\x00\x20", 4) +
                                std::string("\x56\x00\x00\x00", 4))
      << "the middle button's fourth byte, then its release";
  EXPECT_EQ(heard[2].bytes, "B");
  EXPECT_EQ(heard[0].errors, std::string(heard[0].bytes.size(), '.'));
  EXPECT_EQ(Port(0).In(kMsr) & 0xF0, 0) << "a mouse drives no modem lines";

  // Dropping and raising RTS resets it: it identifies again and replays.
  AllMcr(kDtr);
  Advance(50 * kMs);
  AllMcr(kDtr | kRts);
  EXPECT_EQ(Listen(300 * kMs)[0].bytes, "M" + moves);
}

TEST_F(DevicesTest, ModemAnswersCommandsInTheirFormatAndTheEnumeratorByItsTimeSignature) {
  AttachedDeviceConfig modem;
  modem.kind = "modem";
  modem.product = "0288";
  Plug(0, modem);
  EXPECT_EQ(Port(0).In(kMsr) & 0x20, 0x20) << "own power: DSR up";
  Port(0).Out(kMcr, kDtr | kRts);
  EXPECT_EQ(Port(0).In(kMsr) & 0x10, 0x10) << "CTS follows RTS";

  Port(0).Program(12, 0x03);  // 9600 8N1
  for (char c : std::string("AT\r")) Port(0).Out(0, static_cast<UCHAR>(c));
  auto heard = Listen(50 * kMs);
  EXPECT_EQ(heard[0].bytes, "\r\nOK\r\n");
  EXPECT_EQ(heard[0].errors, "......");
  Port(0).Program(48, 0x1A);  // 2400 7E1
  for (char c : std::string("ATZ\rAT&F\r")) Port(0).Out(0, static_cast<UCHAR>(c));
  heard = Listen(100 * kMs);
  EXPECT_EQ(heard[0].bytes, "\r\nOK\r\n\r\nOK\r\n") << "each command answered, in 7E1 at 2400";
  EXPECT_EQ(heard[0].errors, std::string(12, '.'));

  Port(0).Program(96, 0x02);  // 1200 7N1
  const std::string id = "(\x01$ZRK0288)";
  SecondPhase();
  EXPECT_EQ(Listen(400 * kMs)[0].bytes, "") << "DTR and RTS together: not the enumerator's signature";
  FirstPhase();
  EXPECT_EQ(Listen(400 * kMs)[0].bytes, id) << "RTS 200 ms after DTR: the enumerator";
  AllMcr(0);
  Advance(200 * kMs);
  AllMcr(kDtr);
  Advance(300 * kMs);
  AllMcr(kDtr | kRts);
  EXPECT_EQ(Listen(400 * kMs)[0].bytes, "") << "RTS 300 ms after DTR: too late";
  EXPECT_EQ(static_cast<const sim::hw::Modem*>(card().attached(0))->commands(), 3u);
}

TEST_F(DevicesTest, RawAndChattyDevicesAndTheirConfiguration) {
  AttachedDeviceConfig raw;
  raw.kind = "raw";
  raw.bytes = "xyz";
  raw.trigger = "rts";
  raw.gap_ms = 2;
  AttachedDeviceConfig chatty;
  chatty.kind = "chatty";
  chatty.bytes = "ab";
  chatty.baud = 300;
  chatty.gap_ms = 1;
  Plug(2, raw);
  Plug(3, chatty);
  Port(2).Program(12, 0x03);
  Port(3).Program(12, 0x03);
  Advance(100 * kMs);
  EXPECT_EQ(Port(2).In(kLsr) & Uart16550::kDataReady, 0);
  Port(2).Out(kMcr, kRts);
  const LONGLONG rts = kernel().Now();
  auto heard = Listen(100 * kMs);
  EXPECT_EQ(heard[2].bytes, "xyz");
  ExpectSeenAt(heard[2].last, rts + 3 * 10417 + 2 * 2 * kMs) << "three characters at 9600, 2 ms apart";
  EXPECT_GT(heard[3].bytes.size(), 2u) << "the chatty device goes on";
  EXPECT_EQ(heard[3].errors, std::string(heard[3].bytes.size(), 'F')) << "300 baud read at 9600: noise";
  heard = Listen(100 * kMs);
  EXPECT_EQ(heard[2].bytes, "");
  EXPECT_GT(heard[3].bytes.size(), 2u) << "and never stops";

  // Configurations: none is an empty port; a bad one says what is wrong.
  std::string error = "stale";
  AttachedDeviceConfig none;
  EXPECT_EQ(sim::hw::MakeSerialDevice(none, &error), nullptr);
  EXPECT_EQ(error, "");
  struct Bad {
    AttachedDeviceConfig config;
    const char* says;
  };
  AttachedDeviceConfig unknown;
  unknown.kind = "printer";
  AttachedDeviceConfig model;
  model.kind = "mouse";
  model.model = "Z";
  AttachedDeviceConfig eisa;
  eisa.kind = "pnp";
  eisa.eisa = "ZARK";
  for (const Bad& bad : {Bad{unknown, "unknown kind \"printer\""}, Bad{model, "model is M, M3 or B"},
                         Bad{eisa, "eisa must be 3 characters"}}) {
    EXPECT_EQ(sim::hw::MakeSerialDevice(bad.config, &error), nullptr) << bad.says;
    EXPECT_NE(error.find(bad.says), std::string::npos) << error;
  }
  card().Unplug(3);
}

}  // namespace
