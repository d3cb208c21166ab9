// Data through a loopback plug: what is written comes back, reads end by
// their time-outs with the bytes they got, writes end by theirs, the
// receive buffer counts what it had to drop, and the wait mask sees the
// line.
#include "serial_machine.h"

#include <string>

#include "sim/hw/devices/loopback_plug.h"

namespace serial_test {
namespace {

class LoopbackTest : public SerialTest {
 protected:
  void SetUp() override {
    SerialTest::SetUp();
    machine().cards().at(0).model->Plug(0, std::make_unique<sim::hw::LoopbackPlug>());
    port_ = ports().Open("\\\\.\\COM3");
  }
  void TearDown() override {
    if (port_) {
      EXPECT_EQ(machine().app().Close(port_), STATUS_SUCCESS);
    }
    SerialTest::TearDown();
  }
  void Baud(ULONG baud) {
    ASSERT_EQ(ports().Set(port_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{baud}), STATUS_SUCCESS);
  }
  sim::IoResult Write(const std::string& text) { return machine().app().Write(port_, text.data(), ULONG(text.size())); }

  HANDLE port_ = nullptr;
};

// 10 bits a character (8N1) at the rate, in 100 ns units.
LONGLONG CharacterTime(ULONG baud) { return 10 * 10000000LL / baud; }

TEST_F(LoopbackTest, WhatIsWrittenComesBackWholeAndInOrder) {
  Baud(115200);
  std::string sent;
  for (int i = 0; i < 1500; ++i) sent.push_back(static_cast<char>('A' + i % 53));
  std::string received(sent.size(), '\0');
  sim::Overlapped read;
  ASSERT_EQ(machine().app().ReadAsync(port_, received.data(), ULONG(received.size()), &read), STATUS_PENDING);
  const LONGLONG start = ports().Now();
  sim::IoResult written = Write(sent);
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  EXPECT_EQ(written.information, sent.size());
  sim::IoResult result = machine().app().Result(&read, true);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, sent.size());
  EXPECT_EQ(received, sent);
  // The line sets the pace: no faster than the baud rate allows.
  EXPECT_GE(ports().Now() - start, LONGLONG(sent.size()) * CharacterTime(115200));

  SERIALPERF_STATS stats = ports().Get<SERIALPERF_STATS>(port_, IOCTL_SERIAL_GET_STATS);
  EXPECT_EQ(stats.ReceivedCount, sent.size());
  EXPECT_EQ(stats.TransmittedCount, sent.size());
  EXPECT_EQ(stats.BufferOverrunErrorCount, 0u);

  // The loopback plug wires RTS to CTS and DTR to DSR and DCD.
  EXPECT_EQ(ports().Get<ULONG>(port_, IOCTL_SERIAL_GET_MODEMSTATUS) & 0xF0, 0xB0u);
  EXPECT_EQ(ports().Control(port_, IOCTL_SERIAL_CLR_RTS, nullptr, 0).status, STATUS_SUCCESS);
  ports().Wait(kMs);
  EXPECT_EQ(ports().Get<ULONG>(port_, IOCTL_SERIAL_GET_MODEMSTATUS) & 0xF0, 0xA0u);
}

TEST_F(LoopbackTest, ReadsThatTimeOutReturnTheBytesTheyGot) {
  Baud(9600);
  const LONGLONG character = CharacterTime(9600);
  char buffer[100];
  sim::Overlapped read;

  // Total time-out: ends at its time with what came.
  ASSERT_EQ(ports().SetTimeouts(port_, 0, 0, 20), STATUS_SUCCESS);
  LONGLONG start = ports().Now();
  ASSERT_EQ(machine().app().ReadAsync(port_, buffer, sizeof(buffer), &read), STATUS_PENDING);
  EXPECT_EQ(Write("abcde").status, STATUS_SUCCESS);
  sim::IoResult result = machine().app().Result(&read, true);
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(result.information, 5u);
  EXPECT_EQ(std::string(buffer, 5), "abcde");
  EXPECT_EQ(ports().Now() - start, 20 * kMs);

  // Interval time-out: ends once the line stays quiet that long after a byte.
  ASSERT_EQ(ports().SetTimeouts(port_, 5, 0, 0), STATUS_SUCCESS);
  start = ports().Now();
  ASSERT_EQ(machine().app().ReadAsync(port_, buffer, sizeof(buffer), &read), STATUS_PENDING);
  EXPECT_EQ(Write("0123456789").status, STATUS_SUCCESS);
  result = machine().app().Result(&read, true);
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(result.information, 10u);
  const LONGLONG last_byte = 10 * character;
  EXPECT_GE(ports().Now() - start, last_byte + 5 * kMs);
  // At most the UART's receive time-out (four characters) late.
  EXPECT_LE(ports().Now() - start, last_byte + 5 * kMs + 5 * character);

  // First byte or the constant: returns with the first bytes, long before.
  ASSERT_EQ(ports().SetTimeouts(port_, MAXULONG, MAXULONG, 1000), STATUS_SUCCESS);
  start = ports().Now();
  ASSERT_EQ(machine().app().ReadAsync(port_, buffer, sizeof(buffer), &read), STATUS_PENDING);
  EXPECT_EQ(Write("xyz").status, STATUS_SUCCESS);
  result = machine().app().Result(&read, true);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_GE(result.information, 1u);
  EXPECT_LT(ports().Now() - start, 10 * character);
  ports().Wait(10 * character);
  // What is there now comes at once.
  ASSERT_EQ(ports().SetTimeouts(port_, MAXULONG, 0, 0), STATUS_SUCCESS);
  const ULONG first = ULONG(result.information);
  result = machine().app().Read(port_, buffer + first, sizeof(buffer) - first);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(first + result.information, 3u);
  EXPECT_EQ(std::string(buffer, 3), "xyz");

  // No time-outs: the read waits for its whole length; cancelled, it
  // reports the bytes it took.
  ASSERT_EQ(ports().SetTimeouts(port_, 0, 0, 0), STATUS_SUCCESS);
  ASSERT_EQ(machine().app().ReadAsync(port_, buffer, 8, &read), STATUS_PENDING);
  EXPECT_EQ(Write("1234").status, STATUS_SUCCESS);
  ports().Wait(50 * kMs);
  EXPECT_EQ(machine().app().Result(&read, false).status, STATUS_PENDING);
  EXPECT_EQ(Write("5678").status, STATUS_SUCCESS);
  result = machine().app().Result(&read, true);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, 8), "12345678");
  ASSERT_EQ(machine().app().ReadAsync(port_, buffer, 8, &read), STATUS_PENDING);
  EXPECT_EQ(Write("ab").status, STATUS_SUCCESS);
  ports().Wait(50 * kMs);
  EXPECT_EQ(machine().app().CancelIo(port_), STATUS_SUCCESS);
  result = machine().app().Result(&read, true);
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 2u);
}

TEST_F(LoopbackTest, AWriteThatTimesOutReportsWhatWentOut) {
  Baud(300);  // 33.3 ms a character
  ASSERT_EQ(ports().SetTimeouts(port_, 0, 0, 0, 0, 100), STATUS_SUCCESS);
  const std::string text(100, 'w');
  const LONGLONG start = ports().Now();
  sim::IoResult result = Write(text);
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(ports().Now() - start, 100 * kMs);
  // The first FIFO load went to the UART; the rest never did.
  EXPECT_GE(result.information, 1u);
  EXPECT_LE(result.information, 32u);
  // Time-outs by multiplier: 2 ms a byte for 10 bytes of 33 ms each.
  ASSERT_EQ(ports().SetTimeouts(port_, 0, 0, 0, 2, 0), STATUS_SUCCESS);
  EXPECT_EQ(ports().Set(port_, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR}),
            STATUS_SUCCESS);
  const LONGLONG second = ports().Now();
  result = Write(std::string(10, 'v'));
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(ports().Now() - second, 20 * kMs);
}

TEST_F(LoopbackTest, AFullReceiveBufferDropsAndCountsWhatDoesNotFit) {
  Baud(115200);
  std::string sent;
  for (int i = 0; i < 5000; ++i) sent.push_back(static_cast<char>(i * 7));
  EXPECT_EQ(Write(sent).status, STATUS_SUCCESS);
  ports().Wait(100 * kMs);
  SERIAL_STATUS status = ports().Get<SERIAL_STATUS>(port_, IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.Errors, ULONG{SERIAL_ERROR_QUEUEOVERRUN});
  EXPECT_EQ(status.AmountInInQueue, 4096u);
  // Reading the status cleared the errors.
  EXPECT_EQ(ports().Get<SERIAL_STATUS>(port_, IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
  EXPECT_EQ(ports().Get<SERIALPERF_STATS>(port_, IOCTL_SERIAL_GET_STATS).BufferOverrunErrorCount, 5000u - 4096u);
  std::string received(4096, '\0');
  sim::IoResult result = machine().app().Read(port_, received.data(), 4096);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(received, sent.substr(0, 4096));

  // A larger buffer keeps what it holds and takes more.
  EXPECT_EQ(Write("keep").status, STATUS_SUCCESS);
  ports().Wait(10 * kMs);
  EXPECT_EQ(ports().Set(port_, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{16384, 0}), STATUS_SUCCESS);
  EXPECT_EQ(Write(sent).status, STATUS_SUCCESS);
  ports().Wait(100 * kMs);
  status = ports().Get<SERIAL_STATUS>(port_, IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(status.AmountInInQueue, 5004u);
  received.assign(4, '\0');
  machine().app().Read(port_, received.data(), 4);
  EXPECT_EQ(received, "keep");
  // RXCLEAR empties it.
  EXPECT_EQ(ports().Set(port_, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
  EXPECT_EQ(ports().Get<SERIAL_STATUS>(port_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 0u);
}

TEST_F(LoopbackTest, WaitOnMaskReportsTheEventsOfTheLine) {
  Baud(115200);
  SERIAL_CHARS chars = ports().Get<SERIAL_CHARS>(port_, IOCTL_SERIAL_GET_CHARS);
  chars.EventChar = '!';
  EXPECT_EQ(ports().Set(port_, IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
  EXPECT_EQ(ports().Set(port_, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXFLAG}), STATUS_SUCCESS);
  ULONG events = 0;
  sim::Overlapped wait;
  ASSERT_EQ(machine().app().DeviceIoControlAsync(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events,
                                                 sizeof(events), &wait),
            STATUS_PENDING);
  // Characters outside the mask do not end the wait; the event character does.
  EXPECT_EQ(Write("hi").status, STATUS_SUCCESS);
  ports().Wait(kMs);
  EXPECT_EQ(machine().app().Result(&wait, false).status, STATUS_PENDING);
  EXPECT_EQ(Write("!").status, STATUS_SUCCESS);
  sim::IoResult result = machine().app().Result(&wait, true);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(events, ULONG{SERIAL_EV_RXFLAG});

  // An event with no wait pending is kept for the next wait.
  EXPECT_EQ(ports().Set(port_, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), STATUS_SUCCESS);
  EXPECT_EQ(Write("x").status, STATUS_SUCCESS);
  ports().Wait(kMs);
  events = 0;
  result = ports().Control(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof(events));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(events, ULONG{SERIAL_EV_RXCHAR});
}

}  // namespace
}  // namespace serial_test
