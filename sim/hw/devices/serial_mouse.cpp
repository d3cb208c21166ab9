#include "sim/hw/devices/serial_mouse.h"

#include <algorithm>

#include "sim/hw/devices/pnp_device.h"

namespace sim::hw {

std::string MousePacket(const MouseEvent& event, bool three_buttons, bool middle_was) {
  const int dx = std::clamp(event.dx, -128, 127), dy = std::clamp(event.dy, -128, 127);
  const uint8_t x = static_cast<uint8_t>(dx), y = static_cast<uint8_t>(dy);
  std::string packet;
  packet.push_back(static_cast<char>(0x40 | (event.left ? 0x20 : 0) | (event.right ? 0x10 : 0) | ((y >> 6) & 3) << 2 |
                                     ((x >> 6) & 3)));
  packet.push_back(static_cast<char>(x & 0x3F));
  packet.push_back(static_cast<char>(y & 0x3F));
  if (three_buttons && (event.middle || middle_was)) packet.push_back(static_cast<char>(event.middle ? 0x20 : 0x00));
  return packet;
}

SerialMouse::SerialMouse(Model model, std::vector<MouseEvent> script, LONGLONG answer_delay)
    : model_(model), script_(std::move(script)), answer_delay_(answer_delay) {}

std::string SerialMouse::Identification(Model model) {
  switch (model) {
    case Model::ThreeButton: return "M3";
    case Model::Ballpoint: return "B";
    case Model::TwoButton: break;
  }
  return "M";
}

void SerialMouse::Check(const ControlLines&) {
  const ControlLines& now = line().control();
  const bool power = now.dtr && now.rts;
  if (power == powered_) return;
  if (!power) {
    powered_ = false;
    sender_.Stop();
    if (event_) line().Cancel(event_);
    event_ = 0;
    return;
  }
  if (powered_) return;
  powered_ = true;
  ++resets_;
  played_ = 0;
  middle_ = false;
  sender_.Start(line(), Identification(model_), PnpIdFormat(), line().Now() + answer_delay_, 0,
                [this] { PlayFrom(0, line().Now()); });
}

void SerialMouse::PlayFrom(size_t index, LONGLONG base) {
  if (index >= script_.size()) return;
  event_ = line().At(std::max(base + script_[index].after, line().Now()), [this, index, base] {
    event_ = 0;
    const MouseEvent& event = script_[index];
    const std::string packet = MousePacket(event, model_ == Model::ThreeButton, middle_);
    middle_ = event.middle;
    played_ = index + 1;
    sender_.Start(line(), packet, PnpIdFormat(), line().Now(), 0, [this, index, base] { PlayFrom(index + 1, base); });
  });
}

void SerialMouse::Unplugged() {
  sender_.Stop();
  event_ = 0;
  powered_ = false;
}

std::string SerialMouse::state() const {
  return std::string(powered_ ? "powered" : "off") + ", id \"" + Identification(model_) + "\", " +
         std::to_string(resets_) + " reset(s), " + std::to_string(played_) + "/" + std::to_string(script_.size()) +
         " packet(s)";
}

}  // namespace sim::hw
