#include "tools/zarksim/scenario_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "sim/kernel/registry/registry.h"
#include "sim/kernel/utf16_text.h"

namespace zarksim {

namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string& field, const std::string& problem) {
  throw ScenarioError(field + ": " + problem);
}

std::string Hex(uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::uppercase << std::hex << value;
  return out.str();
}

// A number given as a JSON integer or as a string, decimal or "0x" hex.
uint64_t Number(const json& value, const std::string& field, uint64_t max) {
  const std::string expected = "expected a number from 0 to " + Hex(max);
  uint64_t n = 0;
  if (value.is_number_unsigned()) {
    n = value.get<uint64_t>();
  } else if (value.is_string()) {
    const std::string text = value.get<std::string>();
    size_t used = 0;
    try {
      n = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
      Fail(field, expected + ", got \"" + text + "\"");
    }
    if (used != text.size() || text.empty() || text[0] == '-') Fail(field, expected + ", got \"" + text + "\"");
  } else {
    Fail(field, expected);
  }
  if (n > max) Fail(field, expected + ", got " + Hex(n));
  return n;
}

// A bit mask given as a number or as a list of bit positions.
uint32_t Mask(const json& value, const std::string& field, unsigned bits) {
  if (!value.is_array()) return static_cast<uint32_t>(Number(value, field, (1ull << bits) - 1));
  uint32_t mask = 0;
  for (size_t i = 0; i < value.size(); ++i)
    mask |= 1u << Number(value[i], field + "[" + std::to_string(i) + "]", bits - 1);
  return mask;
}

std::string Text(const json& value, const std::string& field) {
  if (!value.is_string()) Fail(field, "expected a string");
  return value.get<std::string>();
}

// Bytes written as hexadecimal pairs, spaces allowed: "85 01 02".
std::vector<uint8_t> HexBytes(const json& value, const std::string& field) {
  std::string digits;
  for (char c : Text(value, field)) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) Fail(field, std::string("not a hexadecimal digit: '") + c + "'");
    digits += c;
  }
  if (digits.size() % 2) Fail(field, "an odd number of hexadecimal digits");
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

// An object whose keys are checked against the ones the format knows.
class Fields {
 public:
  Fields(const json& object, std::string field, std::set<std::string> known) : object_(object), field_(std::move(field)) {
    if (!object.is_object()) Fail(field_.empty() ? "scenario" : field_, "expected an object");
    for (const auto& [key, value] : object.items())
      if (!known.count(key)) Fail(Name(key), "unknown field");
  }
  const json* Get(const std::string& key) const {
    auto it = object_.find(key);
    return it == object_.end() || it->is_null() ? nullptr : &*it;
  }
  std::string Name(const std::string& key) const { return field_.empty() ? key : field_ + "." + key; }
  template <typename T>
  void Read(const std::string& key, uint64_t max, T* out) const {
    if (const json* v = Get(key)) *out = static_cast<T>(Number(*v, Name(key), max));
  }

 private:
  const json& object_;
  std::string field_;
};

const json& Array(const json& value, const std::string& field) {
  if (!value.is_array()) Fail(field, "expected a list");
  return value;
}

sim::hw::HostBridgeConfig ParseHostBridge(const json& value, const std::string& field) {
  Fields f(value, field, {"id", "register_60"});
  sim::hw::HostBridgeConfig host;
  f.Read("id", 0xFFFFFFFF, &host.id_dword);
  f.Read("register_60", 0xFFFFFFFF, &host.register_60);
  return host;
}

sim::hw::PciLocation ParseLocation(const Fields& f) {
  sim::hw::PciLocation at;
  f.Read("bus", 255, &at.bus);
  f.Read("device", 31, &at.device);
  f.Read("function", 7, &at.function);
  return at;
}

sim::hw::BridgeConfig ParseBridge(const json& value, const std::string& field) {
  Fields f(value, field,
           {"bus", "device", "function", "vendor_id", "device_id", "secondary_bus", "subordinate_bus", "io_base",
            "io_limit", "memory_base", "memory_limit"});
  for (const char* required : {"device", "secondary_bus"})
    if (!f.Get(required)) Fail(f.Name(required), "required");
  sim::hw::BridgeConfig bridge;
  bridge.location = ParseLocation(f);
  f.Read("vendor_id", 0xFFFF, &bridge.vendor_id);
  f.Read("device_id", 0xFFFF, &bridge.device_id);
  f.Read("secondary_bus", 255, &bridge.secondary_bus);
  bridge.subordinate_bus = bridge.secondary_bus;
  f.Read("subordinate_bus", 255, &bridge.subordinate_bus);
  f.Read("io_base", 0xFF, &bridge.io_base);
  f.Read("io_limit", 0xFF, &bridge.io_limit);
  f.Read("memory_base", 0xFFFF, &bridge.memory_base);
  f.Read("memory_limit", 0xFFFF, &bridge.memory_limit);
  if (bridge.secondary_bus <= bridge.location.bus) Fail(f.Name("secondary_bus"), "must lie below the bridge's own bus");
  if (bridge.subordinate_bus < bridge.secondary_bus) Fail(f.Name("subordinate_bus"), "below secondary_bus");
  return bridge;
}

sim::hw::AttachedDeviceConfig ParseDevice(const json& value, const std::string& field);

sim::CardConfig ParseCard(const json& value, const std::string& field) {
  Fields f(value, field,
           {"device_id", "vendor_id", "subsystem", "revision", "optional_port_mask", "absent_uarts",
            "unavailable_blocks", "uarts", "interrupt_line", "command", "location", "bars", "devices"});
  sim::CardConfig card;
  f.Read("device_id", 0xFFFF, &card.device_id);
  f.Read("vendor_id", 0xFFFF, &card.vendor_id);
  f.Read("subsystem", 0xFFFFFFFF, &card.subsystem);
  f.Read("revision", 0xFF, &card.revision);
  f.Read("optional_port_mask", 0xFF, &card.optional_port_mask);
  if (const json* v = f.Get("absent_uarts")) card.absent_uarts = static_cast<USHORT>(Mask(*v, f.Name("absent_uarts"), 12));
  if (const json* v = f.Get("unavailable_blocks"))
    card.unavailable_blocks = static_cast<USHORT>(Mask(*v, f.Name("unavailable_blocks"), 12));
  if (const json* v = f.Get("uarts")) card.uart_count = static_cast<int>(Number(*v, f.Name("uarts"), 12));
  if (const json* v = f.Get("interrupt_line")) card.interrupt_line = static_cast<UCHAR>(Number(*v, f.Name("interrupt_line"), 0xFF));
  if (const json* v = f.Get("command")) card.command = static_cast<USHORT>(Number(*v, f.Name("command"), 0xFFFF));
  if (const json* v = f.Get("location")) {
    Fields at(*v, f.Name("location"), {"bus", "device", "function"});
    if (!at.Get("bus")) Fail(at.Name("bus"), "required");
    card.location = ParseLocation(at);
  }
  if (const json* v = f.Get("bars")) {
    const json& list = Array(*v, f.Name("bars"));
    if (list.size() != 6) Fail(f.Name("bars"), "expected six values, BAR0 to BAR5");
    std::array<uint32_t, 6> bars{};
    for (size_t i = 0; i < 6; ++i) bars[i] = static_cast<uint32_t>(Number(list[i], f.Name("bars") + "[" + std::to_string(i) + "]", 0xFFFFFFFF));
    card.bars = bars;
  }
  if (const json* v = f.Get("devices")) {
    if (!v->is_object()) Fail(f.Name("devices"), "expected an object of ports (\"1\" to \"12\")");
    for (const auto& [port, device] : v->items()) {
      const std::string name = f.Name("devices") + "." + port;
      unsigned n = static_cast<unsigned>(Number(json(port), name, 12));
      if (n == 0) Fail(name, "ports count from 1");
      card.devices[n] = ParseDevice(device, name);
    }
  }
  return card;
}

// The configuration file: raw bytes, or 16-byte records.
std::vector<uint8_t> ParseConfigFile(const json& value, const std::string& field) {
  Fields f(value, field, {"bytes", "records"});
  if (f.Get("bytes") && f.Get("records")) Fail(field, "give either bytes or records");
  if (const json* v = f.Get("bytes")) return HexBytes(*v, f.Name("bytes"));
  const json* records = f.Get("records");
  if (!records) Fail(field, "give bytes or records");
  std::vector<uint8_t> bytes;
  const json& list = Array(*records, f.Name("records"));
  for (size_t i = 0; i < list.size(); ++i) {
    Fields r(list[i], f.Name("records") + "[" + std::to_string(i) + "]", {"selector", "com_numbers", "flags", "fifo"});
    uint8_t record[16] = {};
    r.Read("selector", 0xFF, &record[0]);
    if (const json* v = r.Get("com_numbers")) {
      const json& numbers = Array(*v, r.Name("com_numbers"));
      if (numbers.size() > 12) Fail(r.Name("com_numbers"), "at most twelve");
      for (size_t n = 0; n < numbers.size(); ++n)
        record[1 + n] = static_cast<uint8_t>(Number(numbers[n], r.Name("com_numbers") + "[" + std::to_string(n) + "]", 0xFF));
    }
    r.Read("flags", 0xFF, &record[13]);
    r.Read("fifo", 0xFF, &record[14]);
    bytes.insert(bytes.end(), record, record + 16);
  }
  return bytes;
}

sim::RegistryPreset ParseRegistryValue(const json& value, const std::string& field) {
  Fields f(value, field, {"key", "name", "type", "value"});
  for (const char* required : {"key", "name", "type", "value"})
    if (!f.Get(required)) Fail(f.Name(required), "required");
  sim::RegistryPreset preset;
  preset.key = Text(*f.Get("key"), f.Name("key"));
  try {
    sim::Registry::ParsePath(preset.key);
  } catch (const std::exception& e) {
    Fail(f.Name("key"), e.what());
  }
  preset.name = Text(*f.Get("name"), f.Name("name"));
  const std::string type = Text(*f.Get("type"), f.Name("type"));
  const json& data = *f.Get("value");
  const std::string name = f.Name("value");
  if (type == "REG_DWORD") {
    preset.type = REG_DWORD;
    uint32_t dword = static_cast<uint32_t>(Number(data, name, 0xFFFFFFFF));
    for (int i = 0; i < 4; ++i) preset.data.push_back(static_cast<uint8_t>(dword >> (8 * i)));
  } else if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
    preset.type = type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    preset.data = sim::Registry::EncodeString(sim::Utf8ToUtf16(Text(data, name)));
  } else if (type == "REG_MULTI_SZ") {
    preset.type = REG_MULTI_SZ;
    std::vector<std::u16string> strings;
    const json& list = Array(data, name);
    for (size_t i = 0; i < list.size(); ++i) strings.push_back(sim::Utf8ToUtf16(Text(list[i], name + "[" + std::to_string(i) + "]")));
    preset.data = sim::Registry::EncodeMultiString(strings);
  } else if (type == "REG_BINARY") {
    preset.type = REG_BINARY;
    preset.data = HexBytes(data, name);
  } else {
    Fail(f.Name("type"), "expected REG_DWORD, REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ or REG_BINARY, got \"" + type + "\"");
  }
  return preset;
}

bool Boolean(const json& value, const std::string& field) {
  if (!value.is_boolean()) Fail(field, "expected true or false");
  return value.get<bool>();
}

double Milliseconds(const json& value, const std::string& field) {
  if (!value.is_number() || value.get<double>() < 0 || value.get<double>() > 3600.0 * 1000)
    Fail(field, "expected milliseconds from 0 to 3600000");
  return value.get<double>();
}

// A serial device in a port; its knobs are checked against the device's kind.
sim::hw::AttachedDeviceConfig ParseDevice(const json& value, const std::string& field) {
  static const std::map<std::string, std::set<std::string>> kKnobs = {
      {"none", {}},
      {"loopback", {}},
      {"pnp", {"id", "other_id", "eisa", "product", "serial", "class", "compatible", "user", "rev", "checksum", "six_bit",
               "delay_ms", "gap_ms", "attempt", "dsr", "dsr_delay_ms"}},
      {"modem", {"id", "other_id", "eisa", "product", "serial", "class", "compatible", "user", "rev", "checksum", "six_bit",
                 "delay_ms", "gap_ms", "attempt", "reply_delay_ms", "echo"}},
      {"mouse", {"model", "delay_ms", "packets"}},
      {"raw", {"bytes", "trigger", "delay_ms", "gap_ms", "baud", "data_bits", "parity", "stop_bits"}},
      {"chatty", {"bytes", "gap_ms", "baud", "data_bits", "parity", "stop_bits"}},
  };
  if (!value.is_object() || !value.contains("kind")) Fail(field + ".kind", "required");
  sim::hw::AttachedDeviceConfig device;
  device.kind = Text(value["kind"], field + ".kind");
  auto knobs = kKnobs.find(device.kind);
  if (knobs == kKnobs.end()) Fail(field + ".kind", "expected none, loopback, pnp, modem, mouse, raw or chatty, got \"" + device.kind + "\"");
  std::set<std::string> known = knobs->second;
  known.insert("kind");
  Fields f(value, field, known);
  auto text = [&](const char* key, std::string* out) {
    if (const json* v = f.Get(key)) *out = Text(*v, f.Name(key));
  };
  auto millis = [&](const char* key, double* out) {
    if (const json* v = f.Get(key)) *out = Milliseconds(*v, f.Name(key));
  };
  auto flag = [&](const char* key, bool* out) {
    if (const json* v = f.Get(key)) *out = Boolean(*v, f.Name(key));
  };
  if (const json* v = f.Get("id")) {
    device.id = Text(*v, f.Name("id"));
    device.has_id = true;
  }
  text("other_id", &device.other_id);
  text("eisa", &device.eisa);
  text("product", &device.product);
  text("serial", &device.serial);
  text("class", &device.device_class);
  text("compatible", &device.compatible);
  text("user", &device.user);
  f.Read("rev", 9999, &device.rev);
  text("checksum", &device.checksum);
  flag("six_bit", &device.six_bit);
  millis("delay_ms", &device.delay_ms);
  millis("gap_ms", &device.gap_ms);
  f.Read("attempt", 100, &device.attempt);
  text("dsr", &device.dsr);
  millis("dsr_delay_ms", &device.dsr_delay_ms);
  millis("reply_delay_ms", &device.reply_delay_ms);
  flag("echo", &device.echo);
  text("model", &device.model);
  if (const json* v = f.Get("packets")) {
    const json& list = Array(*v, f.Name("packets"));
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string name = f.Name("packets") + "[" + std::to_string(i) + "]";
      Fields p(list[i], name, {"after_ms", "dx", "dy", "left", "right", "middle"});
      sim::hw::MousePacketConfig packet;
      if (const json* a = p.Get("after_ms")) packet.after_ms = Milliseconds(*a, p.Name("after_ms"));
      for (auto [key, out] : {std::pair{"dx", &packet.dx}, std::pair{"dy", &packet.dy}}) {
        if (const json* d = p.Get(key)) {
          if (!d->is_number_integer() || d->get<int>() < -128 || d->get<int>() > 127) Fail(p.Name(key), "expected -128 to 127");
          *out = d->get<int>();
        }
      }
      if (const json* b = p.Get("left")) packet.left = Boolean(*b, p.Name("left"));
      if (const json* b = p.Get("right")) packet.right = Boolean(*b, p.Name("right"));
      if (const json* b = p.Get("middle")) packet.middle = Boolean(*b, p.Name("middle"));
      device.packets.push_back(packet);
    }
  }
  if (const json* v = f.Get("bytes")) {
    std::vector<uint8_t> bytes = HexBytes(*v, f.Name("bytes"));
    device.bytes.assign(bytes.begin(), bytes.end());
  }
  text("trigger", &device.trigger);
  if (const json* v = f.Get("baud")) device.baud = static_cast<double>(Number(*v, f.Name("baud"), 4000000));
  f.Read("data_bits", 8, &device.data_bits);
  text("parity", &device.parity);
  if (const json* v = f.Get("stop_bits")) {
    if (!v->is_number()) Fail(f.Name("stop_bits"), "expected 1, 1.5 or 2");
    device.stop_bits = v->get<double>();
  }
  // The model itself says what it cannot be.
  std::string error;
  if (!sim::hw::MakeSerialDevice(device, &error) && !error.empty()) Fail(field, error);
  return device;
}

// The application's side of a serial action.
sim::SerialSession ParseSerialSession(const Fields& f) {
  sim::SerialSession session;
  const json* name = f.Get("com_name");
  if (!name) Fail(f.Name("com_name"), "required");
  session.com_name = Text(*name, f.Name("com_name"));
  if (session.com_name.empty() || session.com_name.find('\\') != std::string::npos)
    Fail(f.Name("com_name"), "expected a COM name such as \"COM3\"");
  if (const json* v = f.Get("baud_rate")) session.baud_rate = static_cast<ULONG>(Number(*v, f.Name("baud_rate"), 0xFFFFFFFF));
  if (const json* v = f.Get("line")) {
    Fields line(*v, f.Name("line"), {"word_length", "parity", "stop_bits"});
    sim::SerialLineFormat format;
    line.Read("word_length", 0xFF, &format.word_length);
    if (const json* p = line.Get("parity")) {
      static const char* const kParities[] = {"none", "odd", "even", "mark", "space"};
      const std::string parity = Text(*p, line.Name("parity"));
      auto it = std::find(std::begin(kParities), std::end(kParities), parity);
      if (it == std::end(kParities)) Fail(line.Name("parity"), "expected none, odd, even, mark or space");
      format.parity = static_cast<UCHAR>(it - std::begin(kParities));
    }
    if (const json* b = line.Get("stop_bits")) {
      const std::string stop = b->is_string() ? b->get<std::string>() : b->dump();
      if (stop == "1") format.stop_bits = 0;
      else if (stop == "1.5") format.stop_bits = 1;
      else if (stop == "2") format.stop_bits = 2;
      else Fail(line.Name("stop_bits"), "expected 1, 1.5 or 2");
    }
    session.line = format;
  }
  if (const json* v = f.Get("timeouts")) {
    Fields t(*v, f.Name("timeouts"), {"read_interval", "read_multiplier", "read_constant", "write_multiplier", "write_constant"});
    sim::SerialTimeoutSettings timeouts;
    t.Read("read_interval", 0xFFFFFFFF, &timeouts.read_interval);
    t.Read("read_multiplier", 0xFFFFFFFF, &timeouts.read_multiplier);
    t.Read("read_constant", 0xFFFFFFFF, &timeouts.read_constant);
    t.Read("write_multiplier", 0xFFFFFFFF, &timeouts.write_multiplier);
    t.Read("write_constant", 0xFFFFFFFF, &timeouts.write_constant);
    session.timeouts = timeouts;
  }
  if (f.Get("write") && f.Get("write_text")) Fail(f.Name("write"), "give either write or write_text");
  if (const json* v = f.Get("write")) session.write = HexBytes(*v, f.Name("write"));
  if (const json* v = f.Get("write_text")) {
    const std::string text = Text(*v, f.Name("write_text"));
    session.write.assign(text.begin(), text.end());
  }
  f.Read("read_ms", 3600000, &session.read_ms);
  f.Read("read_length", 65536, &session.read_length);
  return session;
}

std::string ActionNames() {
  std::string names;
  for (int k = 0; k <= static_cast<int>(sim::MachineAction::Kind::Shutdown); ++k)
    names += std::string(names.empty() ? "" : ", ") + sim::MachineActionName(static_cast<sim::MachineAction::Kind>(k));
  return names;
}

// One action; its time defaults to the previous action's.
sim::MachineAction ParseAction(const json& value, const std::string& field, LONGLONG previous_time, size_t cards) {
  Fields f(value, field,
           {"at_ms", "action", "card", "port", "move_resources", "device", "com_name", "baud_rate", "line", "timeouts",
            "write", "write_text", "read_ms", "read_length", "state"});
  using Kind = sim::MachineAction::Kind;
  sim::MachineAction action;
  const json* name = f.Get("action");
  if (!name) Fail(f.Name("action"), "required");
  const std::string text = Text(*name, f.Name("action"));
  auto kind = sim::MachineActionKind(text);
  if (!kind) Fail(f.Name("action"), "expected one of " + ActionNames() + ", got \"" + text + "\"");
  action.kind = *kind;
  action.time = previous_time;
  if (const json* v = f.Get("at_ms")) {
    // Milliseconds of virtual time since power-on, in 100 ns units.
    action.time = static_cast<LONGLONG>(Number(*v, f.Name("at_ms"), 1000ull * 3600 * 24 * 365)) * 10000;
    if (action.time < previous_time) Fail(f.Name("at_ms"), "earlier than the action before it");
  }
  const bool on_device = sim::ActsOnDevice(action.kind);
  for (const char* key : {"card", "port"})
    if (!on_device && f.Get(key)) Fail(f.Name(key), text + " acts on the whole machine, not on a device");
  if (f.Get("move_resources") && action.kind != Kind::Rebalance) Fail(f.Name("move_resources"), "only for rebalance");
  if (f.Get("device") && action.kind != Kind::Plug) Fail(f.Name("device"), "only for plug");
  for (const char* key : {"com_name", "baud_rate", "line", "timeouts", "write", "write_text", "read_ms", "read_length"})
    if (f.Get(key) && action.kind != Kind::Serial) Fail(f.Name(key), "only for serial");
  if (action.kind == Kind::Serial) action.serial = ParseSerialSession(f);
  if (f.Get("state") && action.kind != Kind::Sleep) Fail(f.Name("state"), "only for sleep");
  if (const json* v = f.Get("state")) {
    const std::string state = Text(*v, f.Name("state"));
    if (state == "S1") action.sleep_state = PowerSystemSleeping1;
    else if (state == "S3") action.sleep_state = PowerSystemSleeping3;
    else Fail(f.Name("state"), "expected \"S1\" or \"S3\", got \"" + state + "\"");
  }
  if (!on_device) return action;
  if (cards == 0) Fail(f.Name("action"), text + " needs a card, and the scenario has none");
  f.Read("card", cards - 1, &action.card);
  if (const json* v = f.Get("port")) {
    action.port = static_cast<unsigned>(Number(*v, f.Name("port"), 12));
    if (action.port == 0) Fail(f.Name("port"), "ports count from 1");
    if (action.kind == Kind::SurpriseRemove) Fail(f.Name("port"), "surprise_remove pulls a whole card");
  }
  if (const json* v = f.Get("move_resources")) action.move_resources = Boolean(*v, f.Name("move_resources"));
  if (action.kind == Kind::Plug || action.kind == Kind::Unplug) {
    if (!action.port) Fail(f.Name("port"), text + " needs a port");
    if (action.kind == Kind::Plug) {
      const json* device = f.Get("device");
      if (!device) Fail(f.Name("device"), "required");
      action.device = ParseDevice(*device, f.Name("device"));
    }
  }
  return action;
}

std::vector<sim::MachineAction> ParseActions(const json& value, size_t cards) {
  using Kind = sim::MachineAction::Kind;
  std::vector<sim::MachineAction> actions;
  const json& list = Array(value, "actions");
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string field = "actions[" + std::to_string(i) + "]";
    if (!actions.empty() && actions.back().kind == Kind::Shutdown) Fail(field, "nothing may follow shutdown");
    sim::MachineAction action = ParseAction(list[i], field, actions.empty() ? 0 : actions.back().time, cards);
    if (action.kind == Kind::Boot && i != 0) Fail(field + ".action", "boot must be the first action");
    actions.push_back(action);
  }
  return actions;
}

sim::PreemptionOptions ParsePreemption(const json& value, const std::string& field) {
  Fields f(value, field, {"mode", "per_mille", "budget", "horizon"});
  sim::PreemptionOptions preemption;
  if (const json* v = f.Get("mode")) {
    const std::string mode = Text(*v, field + ".mode");
    if (mode == "off") preemption.mode = sim::PreemptionOptions::Mode::Off;
    else if (mode == "random") preemption.mode = sim::PreemptionOptions::Mode::Random;
    else if (mode == "bounded") preemption.mode = sim::PreemptionOptions::Mode::Bounded;
    else Fail(field + ".mode", "must be \"off\", \"random\" or \"bounded\"");
  }
  f.Read("per_mille", 1000, &preemption.per_mille);
  f.Read("budget", 1000000, &preemption.budget);
  f.Read("horizon", UINT32_MAX, &preemption.horizon);
  return preemption;
}

}  // namespace

sim::MachineConfig ParseScenario(const json& scenario) {
  Fields f(scenario, "", {"seed", "processors", "preemption", "images", "host_bridge", "bridges", "cards",
                          "config_file", "registry", "faults", "actions"});
  sim::MachineConfig config;
  f.Read("seed", UINT64_MAX, &config.seed);
  f.Read("processors", 64, &config.processors);
  if (config.processors < 1) Fail("processors", "must be at least 1");
  if (const json* v = f.Get("preemption")) config.preemption = ParsePreemption(*v, "preemption");
  if (const json* v = f.Get("images")) {
    std::optional<sim::ImageKind> kind = sim::ParseImageKind(Text(*v, "images"));
    if (!kind) Fail("images", "must be \"host\" or \"sys\"");
    config.images.kind = *kind;
  }
  if (const json* v = f.Get("host_bridge")) config.host_bridge = ParseHostBridge(*v, "host_bridge");
  if (const json* v = f.Get("bridges"))
    for (size_t i = 0; i < Array(*v, "bridges").size(); ++i)
      config.bridges.push_back(ParseBridge((*v)[i], "bridges[" + std::to_string(i) + "]"));
  if (const json* v = f.Get("cards"))
    for (size_t i = 0; i < Array(*v, "cards").size(); ++i)
      config.cards.push_back(ParseCard((*v)[i], "cards[" + std::to_string(i) + "]"));
  if (const json* v = f.Get("config_file")) config.config_file = ParseConfigFile(*v, "config_file");
  if (const json* v = f.Get("registry"))
    for (size_t i = 0; i < Array(*v, "registry").size(); ++i)
      config.registry.push_back(ParseRegistryValue((*v)[i], "registry[" + std::to_string(i) + "]"));

  if (const json* v = f.Get("faults")) {
    Fields faults(*v, "faults", {"config_request", "stand_in_hand_off", "pci_restores_header"});
    faults.Read("config_request", UINT32_MAX, &config.fail_config_request);
    if (const json* s = faults.Get("stand_in_hand_off")) {
      if (!s->is_boolean()) Fail("faults.stand_in_hand_off", "must be true or false");
      config.stand_in_hand_off = s->get<bool>();
    }
    if (const json* r = faults.Get("pci_restores_header")) {
      if (!r->is_boolean()) Fail("faults.pci_restores_header", "must be true or false");
      config.pci_restores_header = r->get<bool>();
    }
  }

  if (const json* v = f.Get("actions")) config.actions = ParseActions(*v, config.cards.size());

  // Two functions at one place would hide each other.
  std::set<sim::hw::PciLocation> taken{{0, 0, 0}};
  for (size_t i = 0; i < config.bridges.size(); ++i)
    if (!taken.insert(config.bridges[i].location).second)
      Fail("bridges[" + std::to_string(i) + "]", "another function is already at " + sim::hw::Describe(config.bridges[i].location));
  for (size_t i = 0; i < config.cards.size(); ++i)
    if (config.cards[i].location && !taken.insert(*config.cards[i].location).second)
      Fail("cards[" + std::to_string(i) + "].location", "another function is already at " + sim::hw::Describe(*config.cards[i].location));
  return config;
}

bool LoadScenario(const std::string& path, sim::MachineConfig* config, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  json scenario;
  try {
    scenario = json::parse(in);
  } catch (const json::parse_error& e) {
    *error = path + ": not JSON: " + e.what();
    return false;
  }
  try {
    *config = ParseScenario(scenario);
  } catch (const ScenarioError& e) {
    *error = path + ": " + e.what();
    return false;
  }
  return true;
}

}  // namespace zarksim
