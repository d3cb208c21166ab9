#include "sim/hw/devices/device_config.h"

#include <cctype>
#include <cmath>

#include "sim/hw/devices/loopback_plug.h"
#include "sim/hw/devices/modem.h"
#include "sim/hw/devices/pnp_device.h"
#include "sim/hw/devices/raw_device.h"
#include "sim/hw/devices/serial_mouse.h"

namespace sim::hw {

namespace {

LONGLONG Ticks(double ms) { return static_cast<LONGLONG>(std::llround(ms * 10000)); }

bool Hex(const std::string& text) {
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::unique_ptr<SerialDevice> Fail(std::string* error, const std::string& kind, const std::string& message) {
  if (error) *error = "attached device \"" + kind + "\": " + message;
  return nullptr;
}

// The PnP part shared by "pnp" and "modem"; an empty string when valid.
std::string PnpProblem(const AttachedDeviceConfig& c) {
  if (c.delay_ms < -1 || c.gap_ms < 0 || c.dsr_delay_ms < 0) return "times must not be negative";
  if (c.attempt < 1) return "attempt counts from 1";
  if (c.has_id) return "";
  if (c.other_id.size() > 16) return "other_id is longer than 16 characters";
  if (c.eisa.size() != 3) return "eisa must be 3 characters";
  if (c.product.size() != 4 || !Hex(c.product)) return "product must be 4 hexadecimal digits";
  if (!c.serial.empty() && (c.serial.size() != 8 || !Hex(c.serial))) return "serial must be 8 hexadecimal digits";
  if (c.device_class.size() > 32) return "class is longer than 32 characters";
  if (c.compatible.size() > 40 || c.user.size() > 40) return "compatible and user are at most 40 characters";
  if (c.rev > 4095) return "rev is at most 4095";
  if (c.checksum != "auto" && c.checksum != "yes" && c.checksum != "no") return "checksum is auto, yes or no";
  const std::string fields[] = {c.other_id, c.eisa, c.product, c.serial, c.device_class, c.compatible, c.user};
  for (const std::string& field : fields)
    for (char ch : field)
      if (ch == 0x28 || ch == 0x29 || ch == 0x08 || ch == 0x09 || ch == '\\')
        return "fields must not hold the begin, end or extend characters";
  return "";
}

PnpBehaviour Behaviour(const AttachedDeviceConfig& c, double default_delay_ms) {
  PnpBehaviour b;
  if (c.has_id) {
    b.id = c.id;
  } else {
    PnpIdFields f;
    f.other_id = c.other_id;
    f.revision = c.rev;
    f.eisa_id = c.eisa;
    f.product_id = c.product;
    f.serial = c.serial;
    f.device_class = c.device_class;
    f.compatible = c.compatible;
    f.user_name = c.user;
    f.checksum = c.checksum == "yes" ? 1 : c.checksum == "no" ? 0 : -1;
    f.six_bit = c.six_bit;
    b.id = BuildPnpId(f);
  }
  b.answer_delay = Ticks(c.delay_ms < 0 ? default_delay_ms : c.delay_ms);
  b.gap = Ticks(c.gap_ms);
  b.dsr = c.dsr == "never" ? PnpBehaviour::Dsr::Never : c.dsr == "late" ? PnpBehaviour::Dsr::Late : PnpBehaviour::Dsr::Normal;
  b.dsr_delay = Ticks(c.dsr_delay_ms);
  b.answer_attempt = c.attempt;
  return b;
}

// The sending format of "raw" and "chatty"; an empty string when valid.
std::string FormatProblem(const AttachedDeviceConfig& c, SerialFormat* format) {
  if (!(c.baud > 0)) return "baud must be positive";
  if (c.data_bits < 5 || c.data_bits > 8) return "data_bits is 5 to 8";
  if (c.stop_bits != 1 && c.stop_bits != 1.5 && c.stop_bits != 2) return "stop_bits is 1, 1.5 or 2";
  static const char kParities[] = "NOEMS";
  if (c.parity.size() != 1 || std::string(kParities).find(c.parity[0]) == std::string::npos)
    return "parity is N, O, E, M or S";
  if (c.delay_ms < -1 || c.gap_ms < 0) return "times must not be negative";
  format->baud = c.baud;
  format->data_bits = static_cast<uint8_t>(c.data_bits);
  format->parity = static_cast<Parity>(std::string(kParities).find(c.parity[0]));
  format->stop_halves = static_cast<uint8_t>(c.stop_bits * 2);
  return "";
}

}  // namespace

std::unique_ptr<SerialDevice> MakeSerialDevice(const AttachedDeviceConfig& c, std::string* error) {
  if (error) error->clear();
  if (c.kind == "none") return nullptr;
  if (c.kind == "loopback") return std::make_unique<LoopbackPlug>();
  if (c.kind == "pnp" || c.kind == "modem") {
    if (std::string problem = PnpProblem(c); !problem.empty()) return Fail(error, c.kind, problem);
    if (c.kind == "pnp") {
      if (c.dsr != "normal" && c.dsr != "never" && c.dsr != "late")
        return Fail(error, c.kind, "dsr is normal, never or late");
      return std::make_unique<PnpDevice>(Behaviour(c, 10));
    }
    if (c.reply_delay_ms < 0) return Fail(error, c.kind, "times must not be negative");
    return std::make_unique<Modem>(Behaviour(c, 10), Ticks(c.reply_delay_ms), c.echo);
  }
  if (c.kind == "mouse") {
    SerialMouse::Model model;
    if (c.model == "M") model = SerialMouse::Model::TwoButton;
    else if (c.model == "M3") model = SerialMouse::Model::ThreeButton;
    else if (c.model == "B") model = SerialMouse::Model::Ballpoint;
    else return Fail(error, c.kind, "model is M, M3 or B");
    if (c.delay_ms < -1) return Fail(error, c.kind, "times must not be negative");
    std::vector<MouseEvent> script;
    for (const MousePacketConfig& p : c.packets) {
      if (p.after_ms < 0) return Fail(error, c.kind, "packet times must not be negative");
      if (p.dx < -128 || p.dx > 127 || p.dy < -128 || p.dy > 127)
        return Fail(error, c.kind, "packet movements are -128 to 127");
      script.push_back(MouseEvent{Ticks(p.after_ms), p.dx, p.dy, p.left, p.right, p.middle});
    }
    return std::make_unique<SerialMouse>(model, std::move(script), Ticks(c.delay_ms < 0 ? 10 : c.delay_ms));
  }
  if (c.kind == "raw" || c.kind == "chatty") {
    SerialFormat format;
    if (std::string problem = FormatProblem(c, &format); !problem.empty()) return Fail(error, c.kind, problem);
    if (c.kind == "chatty") return std::make_unique<ChattyDevice>(c.bytes, format, Ticks(c.gap_ms));
    RawDevice::Trigger trigger;
    if (c.trigger == "plug") trigger = RawDevice::Trigger::Plug;
    else if (c.trigger == "rts") trigger = RawDevice::Trigger::RtsRise;
    else if (c.trigger == "dtr") trigger = RawDevice::Trigger::DtrRise;
    else return Fail(error, c.kind, "trigger is plug, rts or dtr");
    return std::make_unique<RawDevice>(c.bytes, format, trigger, Ticks(c.delay_ms < 0 ? 0 : c.delay_ms),
                                       Ticks(c.gap_ms));
  }
  if (error) *error = "attached device: unknown kind \"" + c.kind + "\" (none, loopback, pnp, mouse, modem, raw, chatty)";
  return nullptr;
}

}  // namespace sim::hw
