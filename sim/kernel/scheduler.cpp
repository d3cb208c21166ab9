#include "sim/kernel/scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ntstatus.h"
#include "sim/kernel/interrupts.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/sim_thread.h"

namespace sim {

namespace {

constexpr size_t kStackSize = 1 << 20;

// Unwinds a context's stack: thrown where a thread ends or where a stopped
// context resumes, caught at the bottom of its fiber.
struct ContextExit {
  NTSTATUS status;
};

}  // namespace

KIRQL Scheduler::Processor::Irql() const {
  const SimThread* top = Top();
  return top ? top->irql : PASSIVE_LEVEL;
}

Scheduler::Scheduler(const SchedulerOptions& options) : options_(options), random_(options.seed) {
  if (options_.processors < 1) options_.processors = 1;
  processors_.resize(static_cast<size_t>(options_.processors));
  for (size_t p = 0; p < processors_.size(); ++p) {
    const int index = static_cast<int>(p);
    processors_[p].dpc_context = MakeContext("DPC " + std::to_string(p), [this, index] { DpcLoop(index); });
    processors_[p].dpc_context->kind = SimThread::Kind::Dpc;
    processors_[p].isr_context = MakeContext("interrupt " + std::to_string(p), [this, index] { InterruptLoop(index); });
    processors_[p].isr_context->kind = SimThread::Kind::Interrupt;
    for (SimThread* context : {processors_[p].dpc_context.get(), processors_[p].isr_context.get()}) {
      context->processor = index;
      context->state = SimThread::State::Waiting;
    }
  }
  if (options_.preemption.mode == PreemptionOptions::Mode::Bounded) {
    const uint64_t horizon = std::max<uint64_t>(options_.preemption.horizon, 1);
    for (unsigned i = 0; i < options_.preemption.budget; ++i) bounded_points_.insert(1 + random_() % horizon);
  }
}

Scheduler::~Scheduler() = default;

std::unique_ptr<SimThread> Scheduler::MakeContext(const std::string& name, std::function<void()> body) {
  auto context = std::make_unique<SimThread>();
  context->name = name;
  context->body = std::move(body);
  context->object.Header.Type = ThreadObject;
  context->object.Thread = context.get();
  SimThread* raw = context.get();
  context->fiber = std::make_unique<Fiber>(kStackSize, [this, raw] {
    NTSTATUS status = STATUS_SUCCESS;
    try {
      CheckStop(raw);
      raw->body();
    } catch (const ContextExit& exit) {
      status = exit.status;
    }
    if (raw->kind != SimThread::Kind::Thread) {
      // A processor's DPC or interrupt context ends only when the machine stops.
      raw->state = SimThread::State::Terminated;
      current_ = adopted_;
      Fiber::SwitchForever(raw->fiber.get(), adopted_->fiber.get());
    }
    raw->state = SimThread::State::Terminated;
    raw->exit_status = status;
    raw->object.Header.SignalState = 1;
    Signal(&raw->object.Header);
    LeaveProcessor(raw);
    SimThread* next = adopted_;
    if (!stopping_) {
      next = Pick(CandidatesOnceSomethingCanRun());
      if (next->kind == SimThread::Kind::Thread && next->processor < 0) Place(next);
    }
    ++switches_;
    next->state = SimThread::State::Running;
    current_ = next;
    Fiber::SwitchForever(raw->fiber.get(), next->fiber.get());
  });
  return context;
}

void Scheduler::AdoptCurrentThread(const std::string& name) {
  auto thread = std::make_unique<SimThread>();
  thread->id = static_cast<int>(threads_.size());
  thread->name = name;
  thread->adopted = true;
  thread->state = SimThread::State::Running;
  thread->fiber = std::make_unique<Fiber>();
  thread->object.Header.Type = ThreadObject;
  thread->object.Thread = thread.get();
  current_ = adopted_ = thread.get();
  threads_.push_back(std::move(thread));
  processors_[0].thread = adopted_;
  adopted_->processor = 0;
}

SimThread* Scheduler::CreateThread(const std::string& name, const DriverImage* owner, std::function<void()> body) {
  auto thread = MakeContext(name, std::move(body));
  thread->id = static_cast<int>(threads_.size());
  thread->owner = owner;
  threads_.push_back(std::move(thread));
  return threads_.back().get();
}

SimThread* Scheduler::FromKThread(_KTHREAD* thread) const {
  for (const auto& candidate : threads_)
    if (&candidate->object == thread) return candidate.get();
  return nullptr;
}

ULONG Scheduler::CurrentProcessor() const {
  return current_ && current_->processor >= 0 ? static_cast<ULONG>(current_->processor) : 0;
}

void Scheduler::AdvanceClock(LONGLONG ticks) {
  if (ticks <= 0) return;
  const LONGLONG target = now_ + ticks;
  while (FireHardwareEvent(target)) {
  }
  now_ = target;
}

uint64_t Scheduler::ScheduleHardwareEvent(LONGLONG due, std::function<void()> action) {
  const uint64_t id = next_hardware_event_++;
  const TimerEntry entry{due, sequence_++};
  hardware_queue_[entry] = HardwareEvent{id, std::move(action)};
  hardware_events_[id] = entry;
  return id;
}

bool Scheduler::CancelHardwareEvent(uint64_t id) {
  auto it = hardware_events_.find(id);
  if (it == hardware_events_.end()) return false;
  hardware_queue_.erase(it->second);
  hardware_events_.erase(it);
  return true;
}

LONGLONG Scheduler::NextHardwareEventDue() const {
  return hardware_queue_.empty() ? -1 : hardware_queue_.begin()->first.due;
}

bool Scheduler::FireHardwareEvent(LONGLONG limit) {
  if (hardware_queue_.empty() || hardware_queue_.begin()->first.due > limit) return false;
  auto first = hardware_queue_.begin();
  if (first->first.due > now_) now_ = first->first.due;
  std::function<void()> action = std::move(first->second.action);
  hardware_events_.erase(first->second.id);
  hardware_queue_.erase(first);
  action();
  return true;
}

KIRQL Scheduler::Irql() const { return current_ ? current_->irql : PASSIVE_LEVEL; }

void Scheduler::SetIrql(KIRQL irql) {
  const KIRQL previous = current_->irql;
  current_->irql = irql;
  if (irql < previous) Reschedule();  // DPCs, interrupts and special APCs it now lets in
}

ULONG_PTR Scheduler::LockMark() const { return reinterpret_cast<ULONG_PTR>(current_) | 1; }

void Scheduler::AcquireSpinLock(volatile KSPIN_LOCK* lock) {
  SimThread* self = current_;
  const ULONG_PTR mark = LockMark();
  while (*lock != 0 && *lock != mark) {
    self->spinning_on = lock;
    Dispatch(Choice::Must);
    self->spinning_on = nullptr;
  }
  *lock = mark;
}

// --- Choosing what runs ---------------------------------------------------

bool Scheduler::Runnable(const SimThread* context) const {
  if (context->state != SimThread::State::Ready && context->state != SimThread::State::Running) return false;
  return !context->spinning_on || *context->spinning_on == 0;
}

bool Scheduler::CanPlaceThread() const {
  for (const Processor& processor : processors_) {
    const SimThread* top = processor.Top();
    if (!top) return true;
    if (top->kind == SimThread::Kind::Thread && top->irql < DISPATCH_LEVEL) return true;  // can be time-sliced
  }
  return false;
}

std::vector<SimThread*> Scheduler::Candidates() const {
  std::vector<SimThread*> candidates;
  for (const Processor& processor : processors_) {
    SimThread* top = processor.Top();
    if (top && Runnable(top)) candidates.push_back(top);
  }
  if (CanPlaceThread()) {
    for (const auto& thread : threads_)
      if (thread->processor < 0 && Runnable(thread.get())) candidates.push_back(thread.get());
  }
  return candidates;
}

SimThread* Scheduler::Pick(const std::vector<SimThread*>& from) {
  return from.size() == 1 ? from[0] : from[random_() % from.size()];
}

bool Scheduler::PolicySwitches() {
  switch (options_.preemption.mode) {
    case PreemptionOptions::Mode::Off: return false;
    case PreemptionOptions::Mode::Random: return random_() % 1000 < options_.preemption.per_mille;
    case PreemptionOptions::Mode::Bounded: return bounded_points_.count(entries_) != 0;
  }
  return false;
}

int Scheduler::ChooseProcessor(const std::vector<int>& eligible) {
  if (options_.preemption.mode == PreemptionOptions::Mode::Off) {
    // Without preemption an interrupt or DPC comes in where the running
    // context is, as a DPC queued by a processor runs on that processor.
    if (current_ && std::find(eligible.begin(), eligible.end(), current_->processor) != eligible.end())
      return current_->processor;
    return eligible.front();
  }
  return eligible.size() == 1 ? eligible[0] : eligible[random_() % eligible.size()];
}

void Scheduler::Place(SimThread* thread) {
  std::vector<int> free, sliceable;
  for (size_t p = 0; p < processors_.size(); ++p) {
    const SimThread* top = processors_[p].Top();
    if (!top) free.push_back(static_cast<int>(p));
    else if (top->kind == SimThread::Kind::Thread && top->irql < DISPATCH_LEVEL) sliceable.push_back(static_cast<int>(p));
  }
  int chosen;
  if (!free.empty()) {
    chosen = free.front();
  } else if (current_ && current_->kind == SimThread::Kind::Thread && current_->processor >= 0 &&
             std::find(sliceable.begin(), sliceable.end(), current_->processor) != sliceable.end()) {
    chosen = current_->processor;  // the running thread's time slice ends
  } else {
    chosen = sliceable[sliceable.size() == 1 ? 0 : random_() % sliceable.size()];
  }
  Processor& processor = processors_[static_cast<size_t>(chosen)];
  if (processor.thread) processor.thread->processor = -1;  // preempted: ready, without a processor
  processor.thread = thread;
  thread->processor = chosen;
}

void Scheduler::LeaveProcessor(SimThread* thread) {
  if (thread->kind != SimThread::Kind::Thread || thread->processor < 0) return;
  Processor& processor = processors_[static_cast<size_t>(thread->processor)];
  if (processor.thread == thread) processor.thread = nullptr;
  thread->processor = -1;
}

void Scheduler::SwitchTo(SimThread* next) {
  SimThread* self = current_;
  if (next == self) return;
  if (next->kind == SimThread::Kind::Thread && next->processor < 0) Place(next);
  if (self->state == SimThread::State::Running) self->state = SimThread::State::Ready;
  next->state = SimThread::State::Running;
  current_ = next;
  ++switches_;
  Fiber::Switch(self->fiber.get(), next->fiber.get());
  CheckStop(self);
}

void Scheduler::CheckStop(SimThread* self) {
  if (self->stop_requested && stopping_) throw ContextExit{STATUS_CANCELLED};
}

std::vector<SimThread*> Scheduler::CandidatesOnceSomethingCanRun() {
  for (;;) {
    FireDueTimers();
    ActivateServiceContexts();
    std::vector<SimThread*> candidates = Candidates();
    if (!candidates.empty()) {
      for (const SimThread* candidate : candidates)
        if (candidate->kind == SimThread::Kind::Thread) hardware_only_since_ = -1;
      return candidates;
    }
    for (const auto& context : threads_)
      if (context->spinning_on) Deadlock("a spin lock is held by a context that cannot run");
    for (const Processor& processor : processors_)
      for (const SimThread* context : {processor.dpc, processor.isr})
        if (context && context->spinning_on) Deadlock("a spin lock is held by a context that cannot run");
    // A device that never stops sending keeps the clock moving; with no
    // thread ever able to run again that is still a deadlock.
    if (timer_queue_.empty() && timeout_queue_.empty() && !hardware_queue_.empty()) {
      if (hardware_only_since_ < 0) {
        hardware_only_since_ = now_;
      } else if (NextHardwareEventDue() - hardware_only_since_ > kHardwareOnlyLimit) {
        Deadlock("every thread waits, no timer is set, and only hardware events have moved the clock since " +
                 std::to_string(hardware_only_since_));
      }
    } else {
      hardware_only_since_ = -1;
    }
    if (!FireNextTimer()) Deadlock("every thread waits and no timer is set");
  }
}

void Scheduler::Dispatch(Choice choice) {
  SimThread* self = current_;
  for (;;) {
    if (self->kind == SimThread::Kind::Thread) DeliverSpecialApcs();
    std::vector<SimThread*> candidates = CandidatesOnceSomethingCanRun();
    const bool self_runs = std::find(candidates.begin(), candidates.end(), self) != candidates.end();
    // Without preemption, DPCs and interrupts that came in run at once.
    if (options_.preemption.mode == PreemptionOptions::Mode::Off && self->kind == SimThread::Kind::Thread) {
      std::vector<SimThread*> service;
      for (SimThread* candidate : candidates)
        if (candidate->kind != SimThread::Kind::Thread) service.push_back(candidate);
      if (!service.empty()) {
        SwitchTo(Pick(service));
        if (ResumeForSpecialApcs()) continue;
        return;
      }
    }
    if (self_runs) {
      const bool switches = choice == Choice::Yield || (choice == Choice::May && PolicySwitches());
      if (!switches) return;
      candidates.erase(std::find(candidates.begin(), candidates.end(), self));
      if (candidates.empty()) return;
    } else if (options_.preemption.mode == PreemptionOptions::Mode::Off && self->kind != SimThread::Kind::Thread &&
               self->processor >= 0) {
      // A finished DPC or interrupt returns to what it interrupted.
      SimThread* below = processors_[static_cast<size_t>(self->processor)].Top();
      if (below && std::find(candidates.begin(), candidates.end(), below) != candidates.end()) {
        SwitchTo(below);
        return;
      }
    }
    SwitchTo(Pick(candidates));
    if (ResumeForSpecialApcs()) continue;
    return;
  }
}

void Scheduler::KernelEntry() {
  if (stopping_ || !current_) return;
  ++entries_;
  // Without preemption a kernel entry only matters when a timer, DPC or
  // interrupt is waiting to come in; most entries skip the dispatch.
  if (options_.preemption.mode == PreemptionOptions::Mode::Off && !SomethingToDeliver()) return;
  Dispatch(Choice::May);
}

bool Scheduler::SomethingToDeliver() const {
  return TimerDue() || !dpc_queue_.empty() || special_apcs_.count(current_) != 0 ||
         (HasKernel() && K().interrupts && !K().interrupts->LinesToService().empty());
}

void Scheduler::Reschedule() {
  if (stopping_ || !current_) return;
  Dispatch(Choice::Must);
}

void Scheduler::Yield() { Dispatch(Choice::Yield); }

void Scheduler::Settle() {
  SimThread* self = current_;
  for (;;) {
    FireDueTimers();
    ActivateServiceContexts();
    std::vector<SimThread*> others = Candidates();
    others.erase(std::remove(others.begin(), others.end(), self), others.end());
    if (others.empty()) return;
    SwitchTo(Pick(others));
  }
}

// --- DPC and interrupt contexts -------------------------------------------

void Scheduler::ActivateServiceContexts() {
  if (HasKernel() && K().interrupts) {
    for (const InterruptController::PendingLine& line : K().interrupts->LinesToService()) {
      std::vector<int> eligible;
      for (size_t p = 0; p < processors_.size(); ++p)
        if (!processors_[p].isr && processors_[p].Irql() < line.irql) eligible.push_back(static_cast<int>(p));
      if (eligible.empty()) continue;
      Processor& processor = processors_[static_cast<size_t>(ChooseProcessor(eligible))];
      processor.isr = processor.isr_context.get();
      processor.isr_line = line.line;
      processor.isr->irql = line.irql;
      processor.isr->state = SimThread::State::Ready;
      K().interrupts->BeginService(line.line);
    }
  }
  // A DPC queued by a processor runs there; a timer's DPC on any processor.
  auto eligible_for_dpc = [this](size_t p) { return !processors_[p].dpc && processors_[p].Irql() < DISPATCH_LEVEL; };
  auto activate = [this](size_t p) {
    Processor& processor = processors_[p];
    processor.dpc = processor.dpc_context.get();
    processor.dpc->irql = DISPATCH_LEVEL;
    processor.dpc->state = SimThread::State::Ready;
  };
  size_t untargeted = 0;
  for (const QueuedDpc& queued : dpc_queue_) {
    if (queued.processor < 0) {
      ++untargeted;
    } else if (eligible_for_dpc(static_cast<size_t>(queued.processor))) {
      activate(static_cast<size_t>(queued.processor));
    }
  }
  size_t active = 0;
  for (const Processor& processor : processors_) active += processor.dpc ? 1 : 0;
  while (untargeted > active) {
    std::vector<int> eligible;
    for (size_t p = 0; p < processors_.size(); ++p)
      if (eligible_for_dpc(p)) eligible.push_back(static_cast<int>(p));
    if (eligible.empty()) return;
    activate(static_cast<size_t>(ChooseProcessor(eligible)));
    ++active;
  }
}

void Scheduler::Park(SimThread* self) {
  Processor& processor = processors_[static_cast<size_t>(self->processor)];
  if (self->kind == SimThread::Kind::Dpc) processor.dpc = nullptr;
  else processor.isr = nullptr;
  self->state = SimThread::State::Waiting;
  Dispatch(Choice::Must);
}

void Scheduler::DpcLoop(int index) {
  SimThread* self = processors_[static_cast<size_t>(index)].dpc_context.get();
  for (;;) {
    for (;;) {
      auto next = std::find_if(dpc_queue_.begin(), dpc_queue_.end(), [index](const QueuedDpc& queued) {
        return queued.processor < 0 || queued.processor == index;
      });
      if (next == dpc_queue_.end()) break;
      KDPC* dpc = next->dpc;
      dpc_queue_.erase(next);
      dpc->DpcData = nullptr;
      self->irql = DISPATCH_LEVEL;
      self->running_routine = reinterpret_cast<const void*>(dpc->DeferredRoutine);
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
      self->running_routine = nullptr;
      if (self->irql != DISPATCH_LEVEL) {
        K().verifier->Report("irql", ImageName(ImageOf(reinterpret_cast<const void*>(dpc->DeferredRoutine))),
                             "a DPC routine returned at IRQL " + std::to_string(self->irql) +
                                 " instead of DISPATCH_LEVEL");
        self->irql = DISPATCH_LEVEL;
      }
    }
    Park(self);
  }
}

void Scheduler::InterruptLoop(int index) {
  Processor& processor = processors_[static_cast<size_t>(index)];
  SimThread* self = processor.isr_context.get();
  for (;;) {
    const KIRQL level = self->irql;
    K().interrupts->Service(processor.isr_line);
    if (self->irql != level) {
      K().verifier->Report("irql", "interrupt", "an interrupt service routine returned at IRQL " +
                                                     std::to_string(self->irql) + " instead of " +
                                                     std::to_string(level));
    }
    Park(self);
  }
}

bool Scheduler::QueueDpc(KDPC* dpc) {
  if (dpc->DpcData) return false;
  dpc->DpcData = dpc;
  dpc_queue_.push_back(QueuedDpc{dpc, current_ ? current_->processor : -1});
  Reschedule();
  return true;
}

bool Scheduler::RemoveDpc(KDPC* dpc) {
  auto it = std::find_if(dpc_queue_.begin(), dpc_queue_.end(), [dpc](const QueuedDpc& queued) { return queued.dpc == dpc; });
  if (it == dpc_queue_.end()) return false;
  dpc_queue_.erase(it);
  dpc->DpcData = nullptr;
  return true;
}

void Scheduler::FlushQueuedDpcs() {
  auto busy = [this] {
    if (!dpc_queue_.empty()) return true;
    for (const Processor& processor : processors_)
      if (processor.dpc && processor.dpc->running_routine) return true;
    return false;
  };
  while (busy()) Dispatch(Choice::Yield);
}

bool Scheduler::RunsCodeOf(const DriverImage* image) const {
  for (const Processor& processor : processors_)
    for (const SimThread* context : {processor.dpc, processor.isr})
      if (context && context->running_routine && ImageOf(context->running_routine) == image) return true;
  return false;
}

size_t Scheduler::CancelTimersAndDpcsWithin(const void* begin, size_t length) {
  const auto* first = static_cast<const char*>(begin);
  auto within = [&](const void* object, size_t size) {
    const auto* at = static_cast<const char*>(object);
    return at < first + length && first < at + size;
  };
  size_t count = 0;
  std::vector<KTIMER*> timers;
  for (const auto& [timer, entry] : kernel_timers_)
    if (within(timer, sizeof(KTIMER))) timers.push_back(timer);
  for (KTIMER* timer : timers) count += CancelTimer(timer) ? 1 : 0;
  std::vector<KDPC*> dpcs;
  for (const QueuedDpc& queued : dpc_queue_)
    if (within(queued.dpc, sizeof(KDPC))) dpcs.push_back(queued.dpc);
  for (KDPC* dpc : dpcs) count += RemoveDpc(dpc) ? 1 : 0;
  return count;
}

size_t Scheduler::CancelTimersAndDpcsOf(const DriverImage* image) {
  auto in_image = [image](const KDPC* dpc) {
    return dpc && ImageOf(reinterpret_cast<const void*>(dpc->DeferredRoutine)) == image;
  };
  size_t count = 0;
  std::vector<KTIMER*> timers;
  for (const auto& [timer, entry] : kernel_timers_)
    if (in_image(timer->Dpc)) timers.push_back(timer);
  for (KTIMER* timer : timers) count += CancelTimer(timer) ? 1 : 0;
  std::vector<KDPC*> dpcs;
  for (const QueuedDpc& queued : dpc_queue_)
    if (in_image(queued.dpc)) dpcs.push_back(queued.dpc);
  for (KDPC* dpc : dpcs) count += RemoveDpc(dpc) ? 1 : 0;
  return count;
}

// --- Waits and dispatcher objects -----------------------------------------

bool Scheduler::TryAcquire(DISPATCHER_HEADER* object) {
  if (object->SignalState <= 0) return false;
  switch (object->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      object->SignalState = 0;
      break;
    case SemaphoreObject:
      object->SignalState--;
      break;
    default:  // notification events and timers, threads: stay signalled
      break;
  }
  return true;
}

void Scheduler::SatisfyWait(SimThread* thread, NTSTATUS status) {
  if (thread->waiting_on) {
    auto it = waiters_.find(thread->waiting_on);
    if (it != waiters_.end()) {
      auto& list = it->second;
      list.erase(std::remove(list.begin(), list.end(), thread), list.end());
      if (list.empty()) waiters_.erase(it);
    }
  }
  if (thread->has_timeout_entry) {
    timeout_queue_.erase(thread->timeout_entry);
    thread->has_timeout_entry = false;
  }
  thread->waiting_on = nullptr;
  thread->wait_status = status;
  thread->state = SimThread::State::Ready;
}

void Scheduler::Signal(DISPATCHER_HEADER* object) {
  auto it = waiters_.find(object);
  while (it != waiters_.end() && !it->second.empty() && TryAcquire(object)) {
    SimThread* first = it->second.front();
    SatisfyWait(first, STATUS_SUCCESS);  // may erase the entry
    it = waiters_.find(object);
  }
}

bool Scheduler::HasWaiters(DISPATCHER_HEADER* object) const {
  auto it = waiters_.find(object);
  return it != waiters_.end() && !it->second.empty();
}

NTSTATUS Scheduler::WaitForObject(DISPATCHER_HEADER* object, LONGLONG deadline) {
  SimThread* self = current_;
  if (TryAcquire(object)) return STATUS_SUCCESS;
  if (deadline >= 0 && deadline <= now_) return STATUS_TIMEOUT;
  if (self->kind != SimThread::Kind::Thread) return STATUS_TIMEOUT;  // a DPC or interrupt cannot block
  self->state = SimThread::State::Waiting;
  self->waiting_on = object;
  waiters_[object].push_back(self);
  if (deadline >= 0) {
    self->timeout_entry = TimerEntry{deadline, sequence_++};
    self->has_timeout_entry = true;
    timeout_queue_[self->timeout_entry] = self;
  }
  LeaveProcessor(self);
  Dispatch(Choice::Must);
  return self->wait_status;
}

void Scheduler::DelayUntil(LONGLONG deadline) {
  SimThread* self = current_;
  if (deadline <= now_ || self->kind != SimThread::Kind::Thread) {
    Yield();
    return;
  }
  self->state = SimThread::State::Waiting;
  self->waiting_on = nullptr;
  self->timeout_entry = TimerEntry{deadline, sequence_++};
  self->has_timeout_entry = true;
  timeout_queue_[self->timeout_entry] = self;
  LeaveProcessor(self);
  Dispatch(Choice::Must);
}

// --- Timers -----------------------------------------------------------------

void Scheduler::SetTimer(KTIMER* timer, LONGLONG due, LONG period_ms, KDPC* dpc) {
  CancelTimer(timer);
  TimerEntry entry{due, sequence_++};
  timer->Header.SignalState = 0;
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  timer->Period = period_ms;
  timer->Dpc = dpc;
  timer_queue_[entry] = timer;
  kernel_timers_[timer] = entry;
}

bool Scheduler::CancelTimer(KTIMER* timer) {
  auto it = kernel_timers_.find(timer);
  if (it == kernel_timers_.end()) return false;
  timer_queue_.erase(it->second);
  kernel_timers_.erase(it);
  return true;
}

bool Scheduler::TimerDue() const {
  return (!timer_queue_.empty() && timer_queue_.begin()->first.due <= now_) ||
         (!timeout_queue_.empty() && timeout_queue_.begin()->first.due <= now_) ||
         (!hardware_queue_.empty() && hardware_queue_.begin()->first.due <= now_);
}

void Scheduler::FireDueTimers() {
  while (TimerDue()) FireNextTimer();
}

bool Scheduler::FireNextTimer() {
  const TimerEntry* earliest = nullptr;
  bool is_kernel_timer = false;
  if (!timer_queue_.empty()) {
    earliest = &timer_queue_.begin()->first;
    is_kernel_timer = true;
  }
  if (!timeout_queue_.empty() && (!earliest || timeout_queue_.begin()->first < *earliest)) {
    earliest = &timeout_queue_.begin()->first;
    is_kernel_timer = false;
  }
  if (!hardware_queue_.empty() && (!earliest || hardware_queue_.begin()->first < *earliest))
    return FireHardwareEvent(hardware_queue_.begin()->first.due);
  if (!earliest) return false;
  if (earliest->due > now_) now_ = earliest->due;
  if (!is_kernel_timer) {
    SatisfyWait(timeout_queue_.begin()->second, STATUS_TIMEOUT);
    return true;
  }
  KTIMER* timer = timer_queue_.begin()->second;
  TimerEntry entry = timer_queue_.begin()->first;
  timer_queue_.erase(timer_queue_.begin());
  kernel_timers_.erase(timer);
  if (timer->Period > 0) {
    TimerEntry next{entry.due + static_cast<LONGLONG>(timer->Period) * 10000, sequence_++};
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(next.due);
    timer_queue_[next] = timer;
    kernel_timers_[timer] = next;
  }
  timer->Header.SignalState = 1;
  Signal(&timer->Header);
  if (KDPC* dpc = timer->Dpc; dpc && !dpc->DpcData) {
    LARGE_INTEGER time;
    time.QuadPart = now_;
    dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(time.LowPart));
    dpc->SystemArgument2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(time.HighPart));
    dpc->DpcData = dpc;
    dpc_queue_.push_back(QueuedDpc{dpc, -1});
  }
  return true;
}

// --- Ending -----------------------------------------------------------------

void Scheduler::TerminateCurrent(NTSTATUS status) {
  if (current_->adopted || current_->kind != SimThread::Kind::Thread) {
    std::fprintf(stderr, "simulator: only a system thread can terminate\n");
    std::abort();
  }
  throw ContextExit{status};
}

void Scheduler::StopOtherThreads() {
  SimThread* self = current_;
  stopping_ = true;
  auto unwind = [&](SimThread* other) {
    other->stop_requested = true;
    if (!other->fiber->started()) {
      other->state = SimThread::State::Terminated;
      return;
    }
    SatisfyWait(other, STATUS_CANCELLED);
    other->spinning_on = nullptr;
    other->state = SimThread::State::Running;
    current_ = other;
    ++switches_;
    Fiber::Switch(self->fiber.get(), other->fiber.get());
  };
  for (const auto& thread : threads_) {
    SimThread* other = thread.get();
    if (other == self || other->adopted || other->state == SimThread::State::Terminated) continue;
    unwind(other);
  }
  for (Processor& processor : processors_) {
    for (auto* slot : {&processor.dpc_context, &processor.isr_context}) {
      SimThread* context = slot->get();
      if (context->state != SimThread::State::Terminated) unwind(context);
    }
    processor.dpc = processor.isr = nullptr;
  }
  current_ = self;
  self->state = SimThread::State::Running;
  stopping_ = false;
}

std::string Scheduler::DescribeThreads() const {
  std::ostringstream out;
  auto describe = [&](const SimThread* thread, const std::string& label) {
    out << "  " << label << " \"" << thread->name << "\" (" << ImageName(thread->owner) << ")";
    if (thread->processor >= 0) out << " on processor " << thread->processor << " at IRQL " << int(thread->irql);
    out << ": ";
    switch (thread->state) {
      case SimThread::State::Ready: out << (thread->spinning_on ? "spins on a held spin lock" : "ready"); break;
      case SimThread::State::Running: out << "running"; break;
      case SimThread::State::Terminated: out << "terminated"; break;
      case SimThread::State::Waiting:
        if (thread->waiting_on) {
          out << "waits on object " << static_cast<const void*>(thread->waiting_on) << " (type "
              << static_cast<int>(thread->waiting_on->Type) << ")";
        } else {
          out << "delays";
        }
        if (thread->has_timeout_entry) out << " until " << thread->timeout_entry.due;
        break;
    }
    out << "\n";
  };
  for (const auto& thread : threads_) describe(thread.get(), "thread " + std::to_string(thread->id));
  for (const Processor& processor : processors_)
    for (const SimThread* context : {processor.dpc, processor.isr})
      if (context) describe(context, "context");
  return out.str();
}

void Scheduler::Deadlock(const std::string& why) {
  std::fprintf(stderr, "simulator: deadlock at virtual time %lld (seed %llu): %s\n%s%s", static_cast<long long>(now_),
               static_cast<unsigned long long>(options_.seed), why.c_str(), DescribeThreads().c_str(),
               DescribeSpecialApcs().c_str());
  std::fflush(stderr);
  std::abort();
}

// --- Special kernel APCs -----------------------------------------------------

void Scheduler::QueueSpecialApc(SimThread* thread, std::function<void()> routine, std::string what) {
  special_apcs_[thread].push_back(SpecialApc{std::move(routine), std::move(what)});
  if (thread == current_) {
    DeliverSpecialApcs();
  } else if (thread->state == SimThread::State::Waiting && thread->irql < APC_LEVEL) {
    // The wait stays registered; the thread runs its APCs and waits on.
    woken_for_apcs_.insert(thread);
    thread->state = SimThread::State::Ready;
  }
}

void Scheduler::DeliverSpecialApcs() {
  SimThread* self = current_;
  if (!self || delivering_apcs_ || self->irql >= APC_LEVEL) return;
  delivering_apcs_ = true;
  for (auto it = special_apcs_.find(self); it != special_apcs_.end() && !it->second.empty();
       it = special_apcs_.find(self)) {
    SpecialApc apc = std::move(it->second.front());
    it->second.erase(it->second.begin());
    if (it->second.empty()) special_apcs_.erase(it);
    const KIRQL previous = self->irql;
    self->irql = APC_LEVEL;
    apc.routine();
    self->irql = previous;
  }
  delivering_apcs_ = false;
}

bool Scheduler::ResumeForSpecialApcs() {
  SimThread* self = current_;
  const bool woken = woken_for_apcs_.erase(self) != 0;
  DeliverSpecialApcs();
  if (!woken) return false;
  // Still registered in its wait (the APCs did not end it): wait on.
  if (self->waiting_on || self->has_timeout_entry) {
    self->state = SimThread::State::Waiting;
    LeaveProcessor(self);
    return true;
  }
  self->state = SimThread::State::Running;
  return false;
}

std::string Scheduler::DescribeSpecialApcs() const {
  std::ostringstream out;
  for (const auto& [thread, apcs] : special_apcs_) {
    for (const SpecialApc& apc : apcs) {
      out << "  thread " << thread->id << " \"" << thread->name << "\" at IRQL " << static_cast<int>(thread->irql)
          << " cannot run its special kernel APC: " << apc.what << "\n";
    }
  }
  return out.str();
}


}  // namespace sim
