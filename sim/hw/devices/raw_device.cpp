#include "sim/hw/devices/raw_device.h"

namespace sim::hw {

RawDevice::RawDevice(std::string bytes, SerialFormat format, Trigger trigger, LONGLONG delay, LONGLONG gap)
    : bytes_(std::move(bytes)), format_(format), trigger_(trigger), delay_(delay), gap_(gap) {}

void RawDevice::Plugged() {
  if (trigger_ == Trigger::Plug) Fire();
}

void RawDevice::ControlChanged(const ControlLines& before) {
  const ControlLines& now = line().control();
  if ((trigger_ == Trigger::RtsRise && now.rts && !before.rts) ||
      (trigger_ == Trigger::DtrRise && now.dtr && !before.dtr))
    Fire();
}

void RawDevice::Fire() {
  ++fired_;
  sender_.Start(line(), bytes_, format_, line().Now() + delay_, gap_);
}

std::string RawDevice::state() const {
  return "triggered " + std::to_string(fired_) + " time(s), " + std::to_string(sender_.sent()) + " byte(s) sent";
}

ChattyDevice::ChattyDevice(std::string pattern, SerialFormat format, LONGLONG gap)
    : pattern_(pattern.empty() ? std::string(1, '\x55') : std::move(pattern)), format_(format), gap_(gap) {}

void ChattyDevice::Next(LONGLONG start) {
  sender_.Start(line(), pattern_, format_, start, gap_, [this] {
    ++rounds_;
    Next(line().Now() + gap_);
  });
}

std::string ChattyDevice::state() const {
  return std::to_string(sender_.sent()) + " byte(s) sent at " + format_.Describe();
}

}  // namespace sim::hw
