// Hardware events: actions of hardware models that run when the virtual
// clock reaches them, interleaved with kernel timers and stalls. (Their
// interrupts reaching service routines under preemption are driven through
// a UART in tests/unit/hw/uart_interrupt_test.cpp.)
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/kernel/scheduler.h"
#include "support/kernel_test.h"
#include "wdm.h"

namespace {

using sim::test::KernelTest;

struct Fired {
  std::string name;
  LONGLONG at;
  bool operator==(const Fired&) const = default;
};

using HardwareEventTest = KernelTest;

TEST_F(HardwareEventTest, EventsRunAtTheirTimesAmongTimersAndStalls) {
  sim::Scheduler& scheduler = *kernel().scheduler;
  const LONGLONG t0 = scheduler.Now();
  std::vector<Fired> log;
  auto record = [&](const char* name) { return [&log, &scheduler, name] { log.push_back({name, scheduler.Now()}); }; };
  scheduler.ScheduleHardwareEvent(t0 + 300, record("c"));
  const uint64_t a = scheduler.ScheduleHardwareEvent(t0 + 100, record("a"));
  scheduler.ScheduleHardwareEvent(t0 + 100, record("b"));
  const uint64_t cancelled = scheduler.ScheduleHardwareEvent(t0 + 200, record("never"));
  EXPECT_TRUE(scheduler.CancelHardwareEvent(cancelled));
  EXPECT_FALSE(scheduler.CancelHardwareEvent(cancelled));

  // Waiting on a timer: the clock goes through the hardware events before it.
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -250;
  KeSetTimer(&timer, due, nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(scheduler.Now(), t0 + 250);
  EXPECT_EQ(log, (std::vector<Fired>{{"a", t0 + 100}, {"b", t0 + 100}})) << "same time: in scheduling order";
  EXPECT_FALSE(scheduler.HardwareEventPending(a));

  // A stall runs the events it passes at their own times.
  KeStallExecutionProcessor(10);
  EXPECT_EQ(scheduler.Now(), t0 + 350);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2], (Fired{"c", t0 + 300}));

  // With a thread's time-out pending, a device that never stops does not
  // count as a deadlock: the delay ends on time.
  std::function<void()> tick;
  uint64_t ticks = 0, next = 0;
  tick = [&] {
    ++ticks;
    next = scheduler.ScheduleHardwareEvent(scheduler.Now() + 10000000, tick);
  };
  next = scheduler.ScheduleHardwareEvent(scheduler.Now() + 10000000, tick);
  const LONGLONG before = scheduler.Now();
  LARGE_INTEGER two_hours;
  two_hours.QuadPart = -2LL * sim::Scheduler::kHardwareOnlyLimit;
  KeDelayExecutionThread(KernelMode, FALSE, &two_hours);
  EXPECT_EQ(scheduler.Now(), before + 2 * sim::Scheduler::kHardwareOnlyLimit);
  EXPECT_EQ(ticks, 7200u);
  EXPECT_TRUE(scheduler.CancelHardwareEvent(next));
}

TEST(HardwareEventDeathTest, ADeviceThatNeverStopsDoesNotHideADeadlock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        sim::Scheduler& scheduler = *machine.kernel().scheduler;
        std::function<void()> chatter = [&] { scheduler.ScheduleHardwareEvent(scheduler.Now() + 10000000, chatter); };
        chatter();
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
      },
      "deadlock.*only hardware events.*\n.*thread 0 \"main\".*waits on object");
}

}  // namespace
