// Execution in virtual time on virtual processors. Every kernel thread, and
// the DPC and interrupt contexts of each processor, runs on a fiber of its
// own; one context runs at a time on the host, but the interleaving is that
// of a multiprocessor: at every kernel entry a driver makes, the scheduler
// may hand the host to a context running on another processor, as chosen by
// a seeded generator. A run is therefore a pure function of its inputs and
// seed, and a failing seed replays exactly.
//
// Each processor runs at most one thread, with its DPC context above it
// while it runs DPCs and its interrupt context above that while it services
// a line; only the topmost one can make progress. A thread below
// DISPATCH_LEVEL gives its processor up when it waits or is preempted; at
// DISPATCH_LEVEL or above it keeps it. When no context can run, the clock
// jumps to the next timer, wait time-out or hardware event.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "nt/ke.h"

struct _KTHREAD;

namespace sim {

class DriverImage;
class Fiber;
class SimThread;

// One entry of the timer queue: a kernel timer or a wait's time-out.
struct TimerEntry {
  LONGLONG due;
  uint64_t sequence;
  bool operator<(const TimerEntry& other) const {
    return due != other.due ? due < other.due : sequence < other.sequence;
  }
};

// How eagerly a kernel entry hands the host to another context.
struct PreemptionOptions {
  enum class Mode {
    Off,      // switch only when the running context blocks, spins or is interrupted
    Random,   // at every kernel entry, switch with the given chance
    Bounded,  // switch at a few kernel entries drawn at random from the first `horizon`
  };
  Mode mode = Mode::Off;
  unsigned per_mille = 100;  // Random: chance of a switch per kernel entry, in 1/1000
  unsigned budget = 3;       // Bounded: number of switches per run
  uint64_t horizon = 5000;   // Bounded: the kernel entries they are drawn from
};

struct SchedulerOptions {
  uint64_t seed = 1;
  int processors = 2;
  PreemptionOptions preemption;
};

class Scheduler {
 public:
  explicit Scheduler(const SchedulerOptions& options);
  ~Scheduler();

  const SchedulerOptions& options() const { return options_; }
  int processor_count() const { return static_cast<int>(processors_.size()); }

  // Makes the calling OS thread the machine's first simulated thread.
  void AdoptCurrentThread(const std::string& name);
  // Creates a thread that becomes ready at once and first runs when chosen.
  SimThread* CreateThread(const std::string& name, const DriverImage* owner, std::function<void()> body);
  SimThread* Current() const { return current_; }
  SimThread* FromKThread(_KTHREAD* thread) const;
  const std::vector<std::unique_ptr<SimThread>>& threads() const { return threads_; }
  // The processor the running context is on.
  ULONG CurrentProcessor() const;

  LONGLONG Now() const { return now_; }
  // Advances the clock without yielding (a busy wait such as a stall).
  // Hardware events that fall due meanwhile run at their own times.
  void AdvanceClock(LONGLONG ticks);

  // Hardware events: an action of a hardware model that runs when the clock
  // reaches due (absolute virtual time), wherever due timers fire. It runs
  // on the host in whatever context is current and may change hardware
  // state and drive interrupt lines, nothing else of the kernel. Events due
  // at the same time run in the order they were scheduled. Ids are never 0.
  uint64_t ScheduleHardwareEvent(LONGLONG due, std::function<void()> action);
  // False when the event already ran or was cancelled.
  bool CancelHardwareEvent(uint64_t id);
  bool HardwareEventPending(uint64_t id) const { return hardware_events_.count(id) != 0; }
  // How long hardware events alone may move the clock while every thread
  // waits with no kernel timer or time-out set, before that is a deadlock.
  static constexpr LONGLONG kHardwareOnlyLimit = 3600LL * 10000000;  // one virtual hour

  // A kernel entry made by a driver: the point where another context may
  // take over (always when the running one has been interrupted).
  void KernelEntry();
  // Runs what must run before the current context goes on: a DPC or
  // interrupt that now owns its processor. Never preempts by choice.
  void Reschedule();

  // Waits. Status STATUS_SUCCESS when the object was signalled, STATUS_TIMEOUT
  // when the deadline (absolute virtual time, or -1 for none) passed first.
  NTSTATUS WaitForObject(DISPATCHER_HEADER* object, LONGLONG deadline);
  // Blocks the current thread until the absolute virtual time.
  void DelayUntil(LONGLONG deadline);
  // Lets other runnable contexts run; the caller stays ready.
  void Yield();
  // Runs other contexts (not advancing time) until only the caller can run.
  void Settle();

  // Signalling, from KeSetEvent and friends: releases waiters as the object's
  // type says.
  void Signal(DISPATCHER_HEADER* object);
  bool HasWaiters(DISPATCHER_HEADER* object) const;

  // Kernel timers. They fire as soon as they are due.
  void SetTimer(KTIMER* timer, LONGLONG due, LONG period_ms, KDPC* dpc);
  bool CancelTimer(KTIMER* timer);
  bool TimerPending(const KTIMER* timer) const { return kernel_timers_.count(const_cast<KTIMER*>(timer)) != 0; }

  // DPCs: queued, then run on a processor whose IRQL is below
  // DISPATCH_LEVEL, concurrently with whatever runs elsewhere.
  bool QueueDpc(KDPC* dpc);
  bool RemoveDpc(KDPC* dpc);
  // Returns once no DPC is queued and none runs on any processor (the
  // caller, at PASSIVE_LEVEL, lets them run meanwhile).
  void FlushQueuedDpcs();

  // Whether a DPC or interrupt service routine of the image runs (or is
  // interrupted) on some processor.
  bool RunsCodeOf(const DriverImage* image) const;
  // Cancels the set timers and queued DPCs that lie in the memory range
  // (pool being freed); returns how many there were.
  size_t CancelTimersAndDpcsWithin(const void* begin, size_t length);
  // Cancels the timers and queued DPCs whose routines live in the image;
  // returns how many there were (an image must leave none behind).
  size_t CancelTimersAndDpcsOf(const DriverImage* image);

  // IRQL of the running context. Lowering it lets pending DPCs and
  // interrupts in.
  KIRQL Irql() const;
  void SetIrql(KIRQL irql);

  // Spin locks between processors: the caller spins, letting others run,
  // until the lock is free, then takes it.
  void AcquireSpinLock(volatile KSPIN_LOCK* lock);
  // The mark a held lock carries: the context that holds it.
  ULONG_PTR LockMark() const;

  // Ends the calling thread (it never returns).
  [[noreturn]] void TerminateCurrent(NTSTATUS status);

  // Stops every thread but the caller at machine shutdown. Threads still
  // running are unwound where they wait.
  void StopOtherThreads();

  uint64_t switches() const { return switches_; }
  uint64_t kernel_entries() const { return entries_; }
  // A readable list of every context and what it waits for.
  std::string DescribeThreads() const;

  // Special kernel APCs: routine runs on thread at APC_LEVEL as soon as the
  // thread runs at PASSIVE_LEVEL: at once when it is the current thread at
  // PASSIVE_LEVEL, else when it next runs there; a thread that waits at
  // PASSIVE_LEVEL is woken to run it and then waits on. At APC_LEVEL and
  // above it stays queued. what names it in a deadlock report.
  void QueueSpecialApc(SimThread* thread, std::function<void()> routine, std::string what);
  // Runs the current thread's queued special APCs if its IRQL allows.
  void DeliverSpecialApcs();

 private:
  struct Processor {
    SimThread* thread = nullptr;   // the thread it runs
    SimThread* dpc = nullptr;      // its DPC context while it runs DPCs
    SimThread* isr = nullptr;      // its interrupt context while it services a line
    std::unique_ptr<SimThread> dpc_context;
    std::unique_ptr<SimThread> isr_context;
    ULONG isr_line = 0;
    SimThread* Top() const { return isr ? isr : dpc ? dpc : thread; }
    KIRQL Irql() const;
  };
  enum class Choice { Must, May, Yield };

  std::unique_ptr<SimThread> MakeContext(const std::string& name, std::function<void()> body);
  // The scheduling point: fires due timers, lets DPCs and interrupts in,
  // and hands the host to another context when the current one cannot go
  // on or the policy says so. Returns when the caller runs again.
  void Dispatch(Choice choice);
  // The contexts that can run now; when none can, the clock moves on to the
  // next timer (a deadlock when there is none).
  std::vector<SimThread*> CandidatesOnceSomethingCanRun();
  bool SomethingToDeliver() const;
  bool TimerDue() const;
  std::vector<SimThread*> Candidates() const;
  bool Runnable(const SimThread* context) const;
  bool CanPlaceThread() const;
  SimThread* Pick(const std::vector<SimThread*>& from);
  bool PolicySwitches();
  void SwitchTo(SimThread* next);
  void Place(SimThread* thread);
  void LeaveProcessor(SimThread* thread);
  void FireDueTimers();
  bool FireNextTimer();
  // Runs the earliest hardware event if it is due by `limit`, moving the
  // clock to its time; false when none is.
  bool FireHardwareEvent(LONGLONG limit);
  LONGLONG NextHardwareEventDue() const;
  void ActivateServiceContexts();
  int ChooseProcessor(const std::vector<int>& eligible);
  void DpcLoop(int processor);
  void InterruptLoop(int processor);
  // Suspends a DPC or interrupt context that has finished its work.
  void Park(SimThread* self);
  void CheckStop(SimThread* self);
  void SatisfyWait(SimThread* thread, NTSTATUS status);
  bool TryAcquire(DISPATCHER_HEADER* object);
  [[noreturn]] void Deadlock(const std::string& why);

  SchedulerOptions options_;
  std::vector<Processor> processors_;
  std::vector<std::unique_ptr<SimThread>> threads_;
  SimThread* current_ = nullptr;
  SimThread* adopted_ = nullptr;
  LONGLONG now_ = 0;
  std::mt19937_64 random_;
  std::set<uint64_t> bounded_points_;
  uint64_t sequence_ = 0;
  uint64_t switches_ = 0;
  uint64_t entries_ = 0;
  bool stopping_ = false;

  std::map<DISPATCHER_HEADER*, std::vector<SimThread*>> waiters_;
  std::map<TimerEntry, KTIMER*> timer_queue_;
  std::map<KTIMER*, TimerEntry> kernel_timers_;
  std::map<TimerEntry, SimThread*> timeout_queue_;
  struct HardwareEvent {
    uint64_t id;
    std::function<void()> action;
  };
  std::map<TimerEntry, HardwareEvent> hardware_queue_;
  std::map<uint64_t, TimerEntry> hardware_events_;
  uint64_t next_hardware_event_ = 1;
  // Since when every thread has waited while only hardware events moved the
  // clock (-1: a thread ran or a timer was set since).
  LONGLONG hardware_only_since_ = -1;
  struct QueuedDpc {
    KDPC* dpc;
    int processor;  // where it must run, or -1 for any
  };
  std::vector<QueuedDpc> dpc_queue_;

  // Special kernel APCs (see QueueSpecialApc).
  struct SpecialApc {
    std::function<void()> routine;
    std::string what;
  };
  // Called where the current thread resumes in Dispatch: runs its APCs;
  // true when it was woken from a wait only for them and waits on.
  bool ResumeForSpecialApcs();
  std::string DescribeSpecialApcs() const;
  std::map<SimThread*, std::vector<SpecialApc>> special_apcs_;
  std::set<SimThread*> woken_for_apcs_;
  bool delivering_apcs_ = false;
};

}  // namespace sim
