// System worker threads: run queued work items at PASSIVE_LEVEL, in order.
// Two workers serve the queue, so one item may wait for another.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>

#include "nt/ke.h"

#include "nt/io.h"

namespace sim {
class DriverImage;
}

// A work item from IoAllocateWorkItem.
struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  const sim::DriverImage* owner;
  bool queued;
};

namespace sim {

class WorkQueue {
 public:
  WorkQueue();
  // Work items still allocated go with the machine: after a power-off
  // without removal nobody is left to free them, and that is no leak.
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;
  void Queue(std::function<void()> work);
  // Allocated work items by owner, for leak reports.
  void Track(_IO_WORKITEM* item) { items_[item] = item->owner; }
  bool Untrack(_IO_WORKITEM* item) { return items_.erase(item) != 0; }
  size_t ReportLeaks(const DriverImage* owner, const std::string& when);
  size_t pending() const { return queue_.size(); }

 private:
  void StartWorkers();
  void WorkerLoop();

  KSEMAPHORE available_{};
  std::deque<std::function<void()>> queue_;
  std::map<_IO_WORKITEM*, const DriverImage*> items_;
  bool started_ = false;
};

}  // namespace sim
