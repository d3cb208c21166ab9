// Reads on a quiet line: every time-out combination ends when it says, and
// reads without an end are cancelled by CancelIo and at cleanup.
#include "serial_machine.h"

namespace serial_test {
namespace {

struct QuietRead {
  ULONG interval, multiplier, constant;
  LONGLONG ends_after;  // ms; -1: never by itself
  NTSTATUS status;
};

TEST_F(SerialTest, ReadsOnAQuietLineEndExactlyWhenTheirTimeoutsSay) {
  HANDLE port = ports().Open("\\\\.\\COM3");
  const QuietRead cases[] = {
      {MAXULONG, 0, 0, 0, STATUS_SUCCESS},                // return at once with what is there
      {MAXULONG, MAXULONG, 50, 50, STATUS_TIMEOUT},       // first byte or the constant
      {0, 10, 100, 10 * 10 + 100, STATUS_TIMEOUT},        // total: multiplier * length + constant
      {0, 0, 30, 30, STATUS_TIMEOUT},
      {0, 7, 0, 70, STATUS_TIMEOUT},
      {25, 0, 40, 40, STATUS_TIMEOUT},                    // no byte: the interval never starts
      {MAXULONG, 0, 60, 60, STATUS_TIMEOUT},              // MAXULONG interval with a total time-out
      {25, 0, 0, -1, STATUS_CANCELLED},                   // interval only: waits for the first byte
      {0, 0, 0, -1, STATUS_CANCELLED},                    // no time-outs: waits for a full buffer
  };
  for (const QuietRead& c : cases) {
    SCOPED_TRACE(testing::Message() << c.interval << "/" << c.multiplier << "/" << c.constant);
    ASSERT_EQ(ports().SetTimeouts(port, c.interval, c.multiplier, c.constant), STATUS_SUCCESS);
    char buffer[10];
    sim::Overlapped read;
    const LONGLONG start = ports().Now();
    NTSTATUS started = machine().app().ReadAsync(port, buffer, sizeof(buffer), &read);
    if (c.ends_after == 0) {
      EXPECT_TRUE(started == STATUS_SUCCESS || started == STATUS_PENDING) << std::hex << started;
      sim::IoResult result = machine().app().Result(&read, false);  // already done
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(result.information, 0u);
      EXPECT_EQ(ports().Now(), start);
      continue;
    }
    ASSERT_EQ(started, STATUS_PENDING);
    if (c.ends_after > 0) {
      ports().Wait(c.ends_after * kMs - 1);
      EXPECT_EQ(machine().app().Result(&read, false).status, STATUS_PENDING);
      sim::IoResult result = machine().app().Result(&read, true);
      EXPECT_EQ(result.status, c.status);
      EXPECT_EQ(result.information, 0u);
      EXPECT_EQ(ports().Now() - start, c.ends_after * kMs);
    } else {
      ports().Wait(5000 * kMs);
      EXPECT_EQ(machine().app().Result(&read, false).status, STATUS_PENDING);
      EXPECT_EQ(machine().app().CancelIo(port), STATUS_SUCCESS);
      sim::IoResult result = machine().app().Result(&read, true);
      EXPECT_EQ(result.status, STATUS_CANCELLED);
      EXPECT_EQ(result.information, 0u);
    }
  }

  // Queued reads and a write behind them end at cleanup; the port is free again.
  ASSERT_EQ(ports().SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  char first[4], second[4];
  sim::Overlapped read1, read2;
  ASSERT_EQ(machine().app().ReadAsync(port, first, sizeof(first), &read1), STATUS_PENDING);
  ASSERT_EQ(machine().app().ReadAsync(port, second, sizeof(second), &read2), STATUS_PENDING);
  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);
  EXPECT_EQ(machine().app().Result(&read1, true).status, STATUS_CANCELLED);
  EXPECT_EQ(machine().app().Result(&read2, true).status, STATUS_CANCELLED);
  port = ports().Open("\\\\.\\COM3");
  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);
}

}  // namespace
}  // namespace serial_test
