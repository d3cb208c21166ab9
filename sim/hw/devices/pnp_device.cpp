#include "sim/hw/devices/pnp_device.h"

#include <cstdio>

namespace sim::hw {

namespace {
constexpr LONGLONG kMs = 10000;
}

SerialFormat PnpIdFormat() { return Format(1200, 7); }

std::string BuildPnpId(const PnpIdFields& f) {
  const uint8_t offset = f.six_bit ? 0x20 : 0;
  auto field = [&](const std::string& text) {
    std::string out;
    for (char c : text) out.push_back(static_cast<char>(static_cast<uint8_t>(c) - offset));
    return out;
  };
  std::string body;
  body.push_back(static_cast<char>(f.six_bit ? 0x08 : 0x28));
  body.push_back(static_cast<char>((f.revision >> 6) & 0x3F));
  body.push_back(static_cast<char>(f.revision & 0x3F));
  body += field(f.eisa_id) + field(f.product_id);
  const std::string optional[] = {f.serial, f.device_class, f.compatible, f.user_name};
  int last = -1;
  for (int i = 0; i < 4; ++i)
    if (!optional[i].empty()) last = i;
  const char extend = static_cast<char>(f.six_bit ? 0x3C : 0x5C);
  for (int i = 0; i <= last; ++i) body += extend + field(optional[i]);
  const char end = static_cast<char>(f.six_bit ? 0x09 : 0x29);
  if (f.checksum == 1 || (f.checksum < 0 && last >= 0)) {
    unsigned sum = static_cast<uint8_t>(end);
    for (char c : body) sum += static_cast<uint8_t>(c);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum & 0xFF);
    body += field(hex);
  }
  body.push_back(end);
  return f.other_id + body;
}

void PnpResponder::Plugged(SerialLine& line) {
  const ControlLines& control = line.control();
  if (!behaviour_.powered_by_dtr) {
    PowerUp(line);
  } else if (control.dtr) {
    PowerUp(line);
    dtr_rose_ = line.Now();
  }
  if (powered_ && control.dtr && control.rts) Sequence(line);
}

void PnpResponder::ControlChanged(SerialLine& line, const ControlLines& before) {
  const ControlLines& now = line.control();
  if (now.dtr && !before.dtr) {
    dtr_rose_ = line.Now();
    if (behaviour_.powered_by_dtr) PowerUp(line);
  } else if (!now.dtr && before.dtr && behaviour_.powered_by_dtr) {
    PowerDown(line);
  }
  if (!powered_) return;
  if (!now.dtr && !now.rts) armed_ = true;  // the enumerator's idle state
  if (now.dtr && now.rts && !(before.dtr && before.rts)) Sequence(line);
}

void PnpResponder::Unplugged() {
  sender_.Stop();
  answer_event_ = dsr_event_ = 0;  // the line cancels the device's events
  powered_ = false;
}

void PnpResponder::PowerUp(SerialLine& line) {
  if (powered_) return;
  powered_ = true;
  armed_ = true;
  switch (behaviour_.dsr) {
    case PnpBehaviour::Dsr::Normal:
      SetDsr(line, true);
      break;
    case PnpBehaviour::Dsr::Late:
      dsr_event_ = line.At(line.Now() + behaviour_.dsr_delay, [this, &line] {
        dsr_event_ = 0;
        SetDsr(line, true);
      });
      break;
    case PnpBehaviour::Dsr::Never:
      break;
  }
}

void PnpResponder::PowerDown(SerialLine& line) {
  powered_ = false;
  armed_ = false;
  sender_.Stop();
  if (answer_event_) line.Cancel(answer_event_);
  if (dsr_event_) line.Cancel(dsr_event_);
  answer_event_ = dsr_event_ = 0;
  SetDsr(line, false);
}

void PnpResponder::SetDsr(SerialLine& line, bool on) {
  ModemLines modem = line.modem();
  modem.dsr = on;
  line.SetModem(modem);
}

// DTR and RTS both up: the enumerator asks for the identification.
void PnpResponder::Sequence(SerialLine& line) {
  if (!armed_ || sending()) return;
  armed_ = false;
  if (behaviour_.time_signature) {
    const LONGLONG since = line.Now() - dtr_rose_;
    if (dtr_rose_ < 0 || since < 150 * kMs || since > 250 * kMs) return;  // not the enumerator
  }
  if (++sequences_ < behaviour_.answer_attempt) return;
  answer_event_ = line.At(line.Now() + behaviour_.answer_delay, [this, &line] {
    answer_event_ = 0;
    ++answers_;
    sender_.Start(line, behaviour_.id, PnpIdFormat(), line.Now(), behaviour_.gap);
  });
}

std::string PnpResponder::state() const {
  std::string state = powered_ ? "powered" : "off";
  state += ", " + std::to_string(sequences_) + " sequence(s), " + std::to_string(answers_) + " answer(s)";
  if (sending()) state += ", sending";
  return state;
}

}  // namespace sim::hw
