// Simulated threads and virtual time. Every kernel thread is an OS thread,
// but only one runs at a time: a thread runs until it blocks, then the
// scheduler hands the processor to a ready thread chosen by a seeded
// generator, or, when none is ready, advances the clock to the next timer and
// fires it. A run is therefore a pure function of its inputs and seed.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "nt/ke.h"

struct _KTHREAD;

namespace sim {

class DriverImage;
class SimThread;

// One entry of the timer queue: a kernel timer or a wait's time-out.
struct TimerEntry {
  LONGLONG due;
  uint64_t sequence;
  bool operator<(const TimerEntry& other) const {
    return due != other.due ? due < other.due : sequence < other.sequence;
  }
};

class Scheduler {
 public:
  explicit Scheduler(uint64_t seed);
  ~Scheduler();

  // Makes the calling OS thread the machine's first simulated thread.
  void AdoptCurrentThread(const std::string& name);
  // Creates a thread that becomes ready at once and first runs when chosen.
  SimThread* CreateThread(const std::string& name, const DriverImage* owner, std::function<void()> body);
  SimThread* Current() const { return current_; }
  SimThread* FromKThread(_KTHREAD* thread) const;
  const std::vector<std::unique_ptr<SimThread>>& threads() const { return threads_; }

  LONGLONG Now() const { return now_; }
  // Advances the clock without yielding (a busy wait such as a stall).
  void AdvanceClock(LONGLONG ticks);

  // Waits. Status STATUS_SUCCESS when the object was signalled, STATUS_TIMEOUT
  // when the deadline (absolute virtual time, or -1 for none) passed first.
  NTSTATUS WaitForObject(DISPATCHER_HEADER* object, LONGLONG deadline);
  // Blocks the current thread until the absolute virtual time.
  void DelayUntil(LONGLONG deadline);
  // Lets other ready threads run; the caller stays ready.
  void Yield();
  // Runs ready threads (not advancing time) until only the caller is ready.
  void Settle();

  // Signalling, from KeSetEvent and friends: releases waiters as the object's
  // type says.
  void Signal(DISPATCHER_HEADER* object);
  bool HasWaiters(DISPATCHER_HEADER* object) const;

  // Kernel timers.
  void SetTimer(KTIMER* timer, LONGLONG due, LONG period_ms, KDPC* dpc);
  bool CancelTimer(KTIMER* timer);
  bool TimerPending(const KTIMER* timer) const { return kernel_timers_.count(const_cast<KTIMER*>(timer)) != 0; }

  // DPCs: queued, then drained whenever the current IRQL drops below
  // DISPATCH_LEVEL and at every scheduling point.
  bool QueueDpc(KDPC* dpc);
  bool RemoveDpc(KDPC* dpc);
  void DrainDpcs();

  // Cancels the timers and queued DPCs whose routines live in the image;
  // returns how many there were (an image must leave none behind).
  size_t CancelTimersAndDpcsOf(const DriverImage* image);

  // IRQL of the current thread.
  KIRQL Irql() const;
  void SetIrql(KIRQL irql);

  // Ends the calling thread (it never returns).
  [[noreturn]] void TerminateCurrent(NTSTATUS status);

  // Stops every thread but the caller at machine shutdown. Threads still
  // running are unwound where they wait.
  void StopOtherThreads();

  uint64_t switches() const { return switches_; }
  // A readable list of every thread and what it waits for.
  std::string DescribeThreads() const;

  // ---- Added for the I/O manager and the verifier (kept apart so that it
  // ---- can move onto another scheduler as it is).
  // Special kernel APCs: routine runs on thread at APC_LEVEL as soon as the
  // thread runs at PASSIVE_LEVEL: at once when it is the current thread at
  // PASSIVE_LEVEL, else when it next runs there; a thread that waits at
  // PASSIVE_LEVEL is woken to run it and then waits on. At APC_LEVEL and
  // above it stays queued. what names it in a deadlock report.
  void QueueSpecialApc(SimThread* thread, std::function<void()> routine, std::string what);
  // Runs the current thread's queued special APCs if its IRQL allows.
  void DeliverSpecialApcs();
  // True when a kernel timer that is set, or a DPC that is queued (itself or
  // as a set timer's DPC), lies in [begin, begin + length).
  bool HoldsActiveTimerOrDpc(const void* begin, size_t length) const;

 private:
  friend class SimThread;
  void Schedule();  // picks the next thread; returns when the caller runs again
  void SwitchTo(SimThread* next, std::unique_lock<std::mutex>& lock);
  bool FireNextTimer();
  void SatisfyWait(SimThread* thread, NTSTATUS status);
  bool TryAcquire(DISPATCHER_HEADER* object);
  [[noreturn]] void Deadlock();
  static void* ThreadMain(void* arg);

  std::mutex mutex_;
  std::vector<std::unique_ptr<SimThread>> threads_;
  SimThread* current_ = nullptr;
  LONGLONG now_ = 0;
  std::mt19937_64 random_;
  uint64_t sequence_ = 0;
  uint64_t switches_ = 0;
  bool stopping_ = false;

  std::map<DISPATCHER_HEADER*, std::vector<SimThread*>> waiters_;
  std::map<TimerEntry, KTIMER*> timer_queue_;
  std::map<KTIMER*, TimerEntry> kernel_timers_;
  std::map<TimerEntry, SimThread*> timeout_queue_;
  std::vector<KDPC*> dpc_queue_;

  // ---- Special kernel APCs (see QueueSpecialApc).
  struct SpecialApc {
    std::function<void()> routine;
    std::string what;
  };
  // Called where the current thread resumes in Schedule: runs its APCs;
  // true when it was woken from a wait only for them and waits on.
  bool ResumeForSpecialApcs();
  std::string DescribeSpecialApcs() const;
  std::map<SimThread*, std::vector<SpecialApc>> special_apcs_;
  std::set<SimThread*> woken_for_apcs_;
  bool delivering_apcs_ = false;
};

}  // namespace sim
