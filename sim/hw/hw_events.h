// Virtual time for hardware models: the running machine's clock and its
// hardware events. A model owns an HwEvents for the events it schedules, so
// that they are cancelled when the model goes away. Without a running
// kernel the clock stands at 0 and nothing is scheduled.
#pragma once

#include <cstdint>
#include <functional>
#include <set>

#include "nt/basetypes.h"

namespace sim::hw {

LONGLONG HwNow();

class HwEvents {
 public:
  HwEvents() = default;
  ~HwEvents() { CancelAll(); }
  HwEvents(const HwEvents&) = delete;
  HwEvents& operator=(const HwEvents&) = delete;

  // Runs action when the clock reaches due (at once, at the next scheduling
  // point, when due has passed). Returns the event's id, 0 without a kernel.
  uint64_t At(LONGLONG due, std::function<void()> action);
  // False when it already ran or was cancelled.
  bool Cancel(uint64_t id);
  void CancelAll();
  bool Pending(uint64_t id) const { return ids_.count(id) != 0; }
  size_t pending() const { return ids_.size(); }

 private:
  std::set<uint64_t> ids_;
};

}  // namespace sim::hw
