#include "sim/kernel/work_queue.h"

#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/scheduler.h"
#include "wdm.h"

namespace sim {

namespace {
constexpr int kWorkerCount = 2;
}

WorkQueue::WorkQueue() { KeInitializeSemaphore(&available_, 0, MAXLONG); }

WorkQueue::~WorkQueue() {
  for (const auto& [item, owner] : items_) delete item;
}

void WorkQueue::StartWorkers() {
  started_ = true;
  for (int i = 0; i < kWorkerCount; ++i)
    K().scheduler->CreateThread("system worker " + std::to_string(i), nullptr, [this] { WorkerLoop(); });
}

void WorkQueue::Queue(std::function<void()> work) {
  if (!started_) StartWorkers();
  queue_.push_back(std::move(work));
  KeReleaseSemaphore(&available_, 0, 1, FALSE);
}

void WorkQueue::WorkerLoop() {
  for (;;) {
    K().scheduler->WaitForObject(&available_.Header, -1);
    std::function<void()> work = std::move(queue_.front());
    queue_.pop_front();
    work();
    if (K().scheduler->Irql() != PASSIVE_LEVEL) {
      K().verifier->Report("irql", "work item", "a work item returned at IRQL " + std::to_string(K().scheduler->Irql()));
      K().scheduler->SetIrql(PASSIVE_LEVEL);
    }
  }
}

size_t WorkQueue::ReportLeaks(const DriverImage* owner, const std::string& when) {
  size_t count = 0;
  for (auto it = items_.begin(); it != items_.end();) {
    if (it->second != owner) {
      ++it;
      continue;
    }
    ReportCaller(owner, "workitem-leak", "a work item was never freed " + when);
    delete it->first;
    it = items_.erase(it);
    ++count;
  }
  return count;
}

}  // namespace sim
