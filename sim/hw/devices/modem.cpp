#include "sim/hw/devices/modem.h"

namespace sim::hw {

namespace {
PnpBehaviour ModemBehaviour(PnpBehaviour behaviour) {
  behaviour.powered_by_dtr = false;
  behaviour.time_signature = true;
  return behaviour;
}
}  // namespace

Modem::Modem(PnpBehaviour behaviour, LONGLONG reply_delay, bool echo)
    : responder_(ModemBehaviour(std::move(behaviour))), reply_delay_(reply_delay), echo_(echo) {}

void Modem::Plugged() {
  responder_.Plugged(line());
  FollowRts();
}

void Modem::Unplugged() {
  responder_.Unplugged();
  replies_.Stop();
  queue_.clear();
}

void Modem::ControlChanged(const ControlLines& before) {
  responder_.ControlChanged(line(), before);
  FollowRts();
}

void Modem::FollowRts() {
  ModemLines modem = line().modem();
  modem.cts = line().control().rts;
  if (!(modem == line().modem())) line().SetModem(modem);
}

void Modem::Received(uint8_t byte, const SerialFormat& format) {
  std::string out;
  if (echo_) out.push_back(static_cast<char>(byte));
  if (byte == '\r') {
    ++commands_;
    command_.clear();
    out += "\r\nOK\r\n";
  } else {
    command_.push_back(static_cast<char>(byte));
  }
  if (out.empty()) return;
  queue_.push_back({out, format});
  if (!replies_.busy()) SendNext(line().Now() + reply_delay_);
}

// Replies go out one after another, each in the format its command came in.
void Modem::SendNext(LONGLONG start) {
  if (queue_.empty()) return;
  Reply reply = std::move(queue_.front());
  queue_.pop_front();
  replies_.Start(line(), std::move(reply.bytes), reply.format, start, 0, [this] { SendNext(line().Now()); });
}

std::string Modem::state() const {
  return std::to_string(commands_) + " command(s); " + responder_.state();
}

}  // namespace sim::hw
