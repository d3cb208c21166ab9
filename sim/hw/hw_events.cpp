#include "sim/hw/hw_events.h"

#include <memory>

#include "sim/kernel/kernel.h"

namespace sim::hw {

LONGLONG HwNow() { return HasKernel() ? K().Now() : 0; }

uint64_t HwEvents::At(LONGLONG due, std::function<void()> action) {
  if (!HasKernel()) return 0;
  auto id = std::make_shared<uint64_t>(0);
  const uint64_t scheduled = K().scheduler->ScheduleHardwareEvent(due, [this, id, action = std::move(action)] {
    ids_.erase(*id);
    action();
  });
  *id = scheduled;
  ids_.insert(scheduled);
  return scheduled;
}

bool HwEvents::Cancel(uint64_t id) {
  if (!ids_.erase(id)) return false;
  if (HasKernel()) K().scheduler->CancelHardwareEvent(id);
  return true;
}

void HwEvents::CancelAll() {
  if (HasKernel())
    for (uint64_t id : ids_) K().scheduler->CancelHardwareEvent(id);
  ids_.clear();
}

}  // namespace sim::hw
