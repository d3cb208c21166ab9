#include "sim/kernel/scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ntstatus.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/sim_thread.h"

namespace sim {

Scheduler::Scheduler(uint64_t seed) : random_(seed) {}

Scheduler::~Scheduler() = default;

void Scheduler::AdoptCurrentThread(const std::string& name) {
  auto thread = std::make_unique<SimThread>();
  thread->id = static_cast<int>(threads_.size());
  thread->name = name;
  thread->adopted = true;
  thread->started = true;
  thread->state = SimThread::State::Running;
  thread->os_thread = pthread_self();
  thread->object.Header.Type = ThreadObject;
  thread->object.Thread = thread.get();
  current_ = thread.get();
  threads_.push_back(std::move(thread));
}

SimThread* Scheduler::CreateThread(const std::string& name, const DriverImage* owner,
                                   std::function<void()> body) {
  auto thread = std::make_unique<SimThread>();
  thread->id = static_cast<int>(threads_.size());
  thread->name = name;
  thread->owner = owner;
  thread->body = std::move(body);
  thread->object.Header.Type = ThreadObject;
  thread->object.Thread = thread.get();
  SimThread* raw = thread.get();
  threads_.push_back(std::move(thread));
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 1 << 20);
  if (pthread_create(&raw->os_thread, &attributes, &Scheduler::ThreadMain, raw) != 0) {
    std::fprintf(stderr, "simulator: cannot create an OS thread for %s\n", name.c_str());
    std::abort();
  }
  pthread_attr_destroy(&attributes);
  raw->started = true;
  return raw;
}

void* Scheduler::ThreadMain(void* arg) {
  auto* self = static_cast<SimThread*>(arg);
  Scheduler& scheduler = *K().scheduler;
  {
    std::unique_lock<std::mutex> lock(scheduler.mutex_);
    while (scheduler.current_ != self) self->wake.wait(lock);
  }
  if (self->stop_requested) {
    scheduler.TerminateCurrent(STATUS_CANCELLED);
  }
  self->body();
  scheduler.TerminateCurrent(STATUS_SUCCESS);
}

SimThread* Scheduler::FromKThread(_KTHREAD* thread) const {
  for (const auto& candidate : threads_)
    if (&candidate->object == thread) return candidate.get();
  return nullptr;
}

void Scheduler::AdvanceClock(LONGLONG ticks) {
  if (ticks > 0) now_ += ticks;
}

KIRQL Scheduler::Irql() const { return current_ ? current_->irql : PASSIVE_LEVEL; }

void Scheduler::SetIrql(KIRQL irql) {
  current_->irql = irql;
  if (irql < DISPATCH_LEVEL) DrainDpcs();
  if (irql < APC_LEVEL) DeliverSpecialApcs();
}

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
  self->state = SimThread::State::Waiting;
  self->waiting_on = object;
  waiters_[object].push_back(self);
  if (deadline >= 0) {
    self->timeout_entry = TimerEntry{deadline, sequence_++};
    self->has_timeout_entry = true;
    timeout_queue_[self->timeout_entry] = self;
  }
  Schedule();
  return self->wait_status;
}

void Scheduler::DelayUntil(LONGLONG deadline) {
  SimThread* self = current_;
  if (deadline <= now_) {
    Yield();
    return;
  }
  self->state = SimThread::State::Waiting;
  self->waiting_on = nullptr;
  self->timeout_entry = TimerEntry{deadline, sequence_++};
  self->has_timeout_entry = true;
  timeout_queue_[self->timeout_entry] = self;
  Schedule();
}

void Scheduler::Yield() {
  current_->state = SimThread::State::Ready;
  Schedule();
}

void Scheduler::Settle() {
  SimThread* self = current_;
  for (;;) {
    bool others_ready = false;
    for (const auto& thread : threads_)
      if (thread.get() != self && thread->state == SimThread::State::Ready) others_ready = true;
    if (!others_ready && dpc_queue_.empty()) return;
    Yield();
  }
}

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
  if (!earliest) return false;
  if (earliest->due > now_) now_ = earliest->due;
  if (is_kernel_timer) {
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
    if (timer->Dpc) {
      LARGE_INTEGER time;
      time.QuadPart = now_;
      timer->Dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(time.LowPart));
      timer->Dpc->SystemArgument2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(time.HighPart));
      if (!timer->Dpc->DpcData) {
        timer->Dpc->DpcData = timer->Dpc;
        dpc_queue_.push_back(timer->Dpc);
      }
    }
  } else {
    SimThread* thread = timeout_queue_.begin()->second;
    SatisfyWait(thread, STATUS_TIMEOUT);
  }
  return true;
}

bool Scheduler::QueueDpc(KDPC* dpc) {
  if (dpc->DpcData) return false;
  dpc->DpcData = dpc;
  dpc_queue_.push_back(dpc);
  if (Irql() < DISPATCH_LEVEL) DrainDpcs();
  return true;
}

bool Scheduler::RemoveDpc(KDPC* dpc) {
  auto it = std::find(dpc_queue_.begin(), dpc_queue_.end(), dpc);
  if (it == dpc_queue_.end()) return false;
  dpc_queue_.erase(it);
  dpc->DpcData = nullptr;
  return true;
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
  for (KDPC* dpc : dpc_queue_)
    if (in_image(dpc)) dpcs.push_back(dpc);
  for (KDPC* dpc : dpcs) count += RemoveDpc(dpc) ? 1 : 0;
  return count;
}

void Scheduler::DrainDpcs() {
  SimThread* self = current_;
  if (!self || self->irql >= DISPATCH_LEVEL) return;
  while (!dpc_queue_.empty()) {
    KDPC* dpc = dpc_queue_.front();
    dpc_queue_.erase(dpc_queue_.begin());
    dpc->DpcData = nullptr;
    KIRQL previous = self->irql;
    self->irql = DISPATCH_LEVEL;
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    if (self->irql != DISPATCH_LEVEL) {
      K().verifier->Report("irql", ImageName(ImageOf(reinterpret_cast<const void*>(dpc->DeferredRoutine))),
                           "a DPC routine returned at IRQL " + std::to_string(self->irql) +
                               " instead of DISPATCH_LEVEL");
    }
    self->irql = previous;
  }
}

void Scheduler::SwitchTo(SimThread* next, std::unique_lock<std::mutex>& lock) {
  SimThread* self = current_;
  ++switches_;
  next->state = SimThread::State::Running;
  current_ = next;
  next->wake.notify_one();
  while (current_ != self) self->wake.wait(lock);
}

void Scheduler::Schedule() {
  SimThread* self = current_;
  for (;;) {
    // Timers already due (the clock may have moved in a stall) fire first.
    while ((!timer_queue_.empty() && timer_queue_.begin()->first.due <= now_) ||
           (!timeout_queue_.empty() && timeout_queue_.begin()->first.due <= now_))
      FireNextTimer();
    DrainDpcs();
    DeliverSpecialApcs();  // the caller's, queued before it blocks or by those DPCs
    std::vector<SimThread*> ready;
    for (const auto& thread : threads_)
      if (thread->state == SimThread::State::Ready) ready.push_back(thread.get());
    if (!ready.empty()) {
      SimThread* next = ready.size() == 1 ? ready[0] : ready[random_() % ready.size()];
      if (next == self) {
        self->state = SimThread::State::Running;
        if (ResumeForSpecialApcs()) continue;
        return;
      }
      {
        std::unique_lock<std::mutex> lock(mutex_);
        SwitchTo(next, lock);
      }
      if (self->stop_requested && stopping_) TerminateCurrent(STATUS_CANCELLED);
      if (ResumeForSpecialApcs()) continue;
      return;
    }
    if (!FireNextTimer()) Deadlock();
  }
}

void Scheduler::TerminateCurrent(NTSTATUS status) {
  SimThread* self = current_;
  if (self->adopted) {
    std::fprintf(stderr, "simulator: the machine's first thread cannot terminate\n");
    std::abort();
  }
  self->state = SimThread::State::Terminated;
  self->exit_status = status;
  self->object.Header.SignalState = 1;
  Signal(&self->object.Header);
  for (;;) {
    if (stopping_) break;  // the stopping thread waits for us: hand back below
    bool any_ready = false;
    for (const auto& thread : threads_)
      if (thread->state == SimThread::State::Ready) any_ready = true;
    if (any_ready) break;
    if (!FireNextTimer()) Deadlock();
  }
  SimThread* next = nullptr;
  if (stopping_) {
    for (const auto& thread : threads_)
      if (thread->adopted) next = thread.get();
  } else {
    std::vector<SimThread*> ready;
    for (const auto& thread : threads_)
      if (thread->state == SimThread::State::Ready) ready.push_back(thread.get());
    next = ready[ready.size() == 1 ? 0 : random_() % ready.size()];
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    ++switches_;
    next->state = SimThread::State::Running;
    current_ = next;
    next->wake.notify_one();
  }
  pthread_exit(nullptr);
}

void Scheduler::StopOtherThreads() {
  SimThread* self = current_;
  stopping_ = true;
  for (const auto& thread : threads_) {
    SimThread* other = thread.get();
    if (other == self || other->adopted) continue;
    if (other->state != SimThread::State::Terminated) {
      other->stop_requested = true;
      SatisfyWait(other, STATUS_CANCELLED);
      std::unique_lock<std::mutex> lock(mutex_);
      SwitchTo(other, lock);
    }
    pthread_join(other->os_thread, nullptr);
    other->started = false;
  }
  self->state = SimThread::State::Running;
  stopping_ = false;
}

std::string Scheduler::DescribeThreads() const {
  std::ostringstream out;
  for (const auto& thread : threads_) {
    out << "  thread " << thread->id << " \"" << thread->name << "\" (" << ImageName(thread->owner) << "): ";
    switch (thread->state) {
      case SimThread::State::Ready: out << "ready"; break;
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
  }
  return out.str();
}

void Scheduler::Deadlock() {
  std::fprintf(stderr, "simulator: deadlock at virtual time %lld: every thread waits and no timer is set\n%s%s",
               static_cast<long long>(now_), DescribeThreads().c_str(), DescribeSpecialApcs().c_str());
  std::fflush(stderr);
  std::abort();
}

// ---- Special kernel APCs and the timer query (see scheduler.h).

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

bool Scheduler::HoldsActiveTimerOrDpc(const void* begin, size_t length) const {
  const auto* first = static_cast<const char*>(begin);
  auto inside = [&](const void* object, size_t size) {
    const auto* p = static_cast<const char*>(object);
    return object && p < first + length && p + size > first;
  };
  for (const auto& [timer, entry] : kernel_timers_)
    if (inside(timer, sizeof(KTIMER)) || inside(timer->Dpc, sizeof(KDPC))) return true;
  for (const KDPC* dpc : dpc_queue_)
    if (inside(dpc, sizeof(KDPC))) return true;
  return false;
}

}  // namespace sim
