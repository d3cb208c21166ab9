#include "tools/zarksim/report_format.h"

#include <cstdio>
#include <sstream>

#include "sim/kernel/utf16_text.h"

namespace zarksim {

namespace {

std::string DeviceLine(const sim::DeviceSnapshot& device) {
  std::string line = device.kind + " " + (device.name.empty() ? "(unnamed)" : device.name) + "  [" + device.driver + "]";
  for (const std::string& flag : device.flags) line += " " + flag;
  return line;
}

nlohmann::json DeviceJson(const sim::DeviceSnapshot& device) {
  return {{"name", device.name}, {"driver", device.driver}, {"kind", device.kind}, {"flags", device.flags}};
}

std::string HexText(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string BlockBytes(const std::array<uint8_t, 8>& block) {
  std::string text;
  for (uint8_t byte : block) {
    char two[4];
    std::snprintf(two, sizeof two, "%02X", byte);
    text += (text.empty() ? "" : " ") + std::string(two);
  }
  return text;
}

std::string StatusText(NTSTATUS status) { return HexText(static_cast<ULONG>(status), 8); }

// Bytes as hexadecimal pairs, with the printable ones shown as text too.
std::string BytesText(const std::vector<uint8_t>& bytes) {
  std::string hex, text;
  for (uint8_t byte : bytes) {
    char two[4];
    std::snprintf(two, sizeof two, "%02X", byte);
    hex += (hex.empty() ? "" : " ") + std::string(two);
    text += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
  }
  return bytes.empty() ? "(none)" : hex + "  \"" + text + "\"";
}

nlohmann::json SerialJson(const sim::SerialSessionResult& serial) {
  nlohmann::json steps = nlohmann::json::array();
  for (const auto& step : serial.steps)
    steps.push_back({{"step", step.name}, {"status", StatusText(step.status)}, {"information", step.information}});
  return {{"steps", steps}, {"read", serial.read}};
}

// A value's data as a person reads it.
std::string ValueText(const sim::RegistryValueSnapshot& value) {
  const auto& data = value.data;
  auto utf16 = [&](size_t from, size_t to) {
    std::u16string text;
    for (size_t i = from; i + 1 < to; i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    return text;
  };
  if (value.type_code == REG_DWORD && data.size() == 4)
    return HexText(data[0] | data[1] << 8 | data[2] << 16 | static_cast<unsigned>(data[3]) << 24, 8);
  if (value.type_code == REG_SZ || value.type_code == REG_EXPAND_SZ) {
    std::u16string text = utf16(0, data.size());
    return "\"" + sim::Utf16ToUtf8(text.substr(0, text.find(u'\0'))) + "\"";
  }
  if (value.type_code == REG_MULTI_SZ) {
    std::string out;
    std::u16string all = utf16(0, data.size());
    for (size_t at = 0; at < all.size() && all[at];) {
      size_t end = all.find(u'\0', at);
      if (end == std::u16string::npos) end = all.size();
      out += (out.empty() ? "\"" : " \"") + sim::Utf16ToUtf8(all.substr(at, end - at)) + "\"";
      at = end + 1;
    }
    return out;
  }
  std::string out;
  for (uint8_t byte : data) {
    char two[4];
    std::snprintf(two, sizeof two, "%02X", byte);
    out += (out.empty() ? "" : " ") + std::string(two);
  }
  return out;
}

nlohmann::json ValueJson(const sim::RegistryValueSnapshot& value) {
  nlohmann::json data;
  if (value.type_code == REG_DWORD && value.data.size() == 4)
    data = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | static_cast<unsigned>(value.data[3]) << 24;
  else
    data = ValueText(value);
  return {{"name", value.name}, {"type", value.type}, {"value", data}};
}

void FormatLines(const std::string& indent, const std::string& title, const std::vector<std::string>& lines,
                 std::ostringstream& out) {
  if (lines.empty()) return;
  out << indent << title << "\n";
  for (const std::string& line : lines) out << indent << "  " << line << "\n";
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? "(none)" : text;
}

// The mouse driver's decoded movements ("MouseEvents": dx, dy, buttons, 0).
struct MouseEventItem {
  int dx, dy;
  bool left, right, middle;
};
std::vector<MouseEventItem> MouseEvents(const sim::DeviceNodeSnapshot& node) {
  std::vector<MouseEventItem> events;
  for (const auto& value : node.device_parameters) {
    if (value.name != "MouseEvents") continue;
    for (size_t i = 0; i + 4 <= value.data.size(); i += 4) {
      const uint8_t buttons = value.data[i + 2];
      events.push_back({static_cast<int8_t>(value.data[i]), static_cast<int8_t>(value.data[i + 1]), (buttons & 1) != 0,
                        (buttons & 2) != 0, (buttons & 4) != 0});
    }
  }
  return events;
}

std::string ProbeOutcome(const sim::PortDetectionSnapshot& detection, size_t i) {
  const sim::ProbeTimesSnapshot& probe = detection.history[i];
  if (probe.end >= 0) return "probed";
  if (detection.probing && i + 1 == detection.history.size()) return "running";
  return "port not opened";
}

void FormatDetection(const sim::DeviceNodeSnapshot& node, const std::string& indent, std::ostringstream& out) {
  if (node.detection) {
    const sim::PortDetectionSnapshot& detection = *node.detection;
    out << indent << "probes: " << detection.probes << (detection.probing ? " (one running)" : "") << "\n";
    for (size_t i = 0; i < detection.history.size(); ++i) {
      const sim::ProbeTimesSnapshot& probe = detection.history[i];
      out << indent << "  probe at " << probe.start / 10 << " us: ";
      if (probe.end >= 0)
        out << "port closed at " << probe.end / 10 << " us (" << (probe.end - probe.start) / 10 << " us)\n";
      else
        out << ProbeOutcome(detection, i) << "\n";
    }
    if (!detection.child) {
      out << indent << "detected: nothing\n";
    } else {
      const sim::DetectedChildSnapshot& child = *detection.child;
      out << indent << "detected: " << child.device_id << "  \"" << child.description << "\"\n";
      out << indent << "  hardware IDs: " << Joined(child.hardware_ids) << "\n";
      out << indent << "  compatible IDs: " << Joined(child.compatible_ids) << "\n";
      if (!child.serial_number.empty() || !child.revision.empty())
        out << indent << "  serial number: " << (child.serial_number.empty() ? "(none)" : child.serial_number)
            << "  revision: " << (child.revision.empty() ? "(none)" : child.revision) << "\n";
      out << indent << "  node: " << (child.instance_path.empty() ? "(not yet)" : child.instance_path)
          << "  driver: " << (child.driver.empty() ? "(none)" : child.driver) << "\n";
    }
  }
  const std::vector<MouseEventItem> events = MouseEvents(node);
  if (events.empty()) return;
  out << indent << "mouse events:";
  for (const auto& e : events) {
    out << " (" << e.dx << "," << e.dy;
    if (e.left) out << " L";
    if (e.right) out << " R";
    if (e.middle) out << " M";
    out << ")";
  }
  out << "\n";
}

nlohmann::json DetectionJson(const sim::DeviceNodeSnapshot& node) {
  if (!node.detection) return nullptr;
  const sim::PortDetectionSnapshot& detection = *node.detection;
  nlohmann::json child = nullptr;
  if (detection.child) {
    const sim::DetectedChildSnapshot& c = *detection.child;
    child = {{"hardware_ids", c.hardware_ids},
             {"compatible_ids", c.compatible_ids},
             {"device_id", c.device_id},
             {"description", c.description},
             {"serial_number", c.serial_number.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.serial_number)},
             {"revision", c.revision.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.revision)},
             {"instance_path", c.instance_path.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.instance_path)},
             {"driver", c.driver.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.driver)}};
  }
  nlohmann::json history = nlohmann::json::array();
  for (size_t i = 0; i < detection.history.size(); ++i) {
    const sim::ProbeTimesSnapshot& probe = detection.history[i];
    history.push_back({{"start_us", probe.start / 10},
                       {"end_us", probe.end >= 0 ? nlohmann::json(probe.end / 10) : nlohmann::json(nullptr)},
                       {"outcome", ProbeOutcome(detection, i)}});
  }
  return {{"probes", detection.probes}, {"probing", detection.probing}, {"child", child}, {"history", history}};
}

// One node and, indented below it, its children.
void FormatNode(const sim::DeviceNodeSnapshot& node, const std::string& prefix, std::ostringstream& out) {
  out << prefix << "+-- " << node.instance_path << "  (" << node.state;
  if (node.problem) out << " " << StatusText(*node.problem);
  out << ")\n";
  const std::string indent = prefix + "|     ";
  std::string ids;
  for (const auto& id : node.hardware_ids) ids += (ids.empty() ? "" : ", ") + id;
  out << indent << "hardware IDs: " << (ids.empty() ? "(none)" : ids) << "\n";
  out << indent << "service: " << (node.service.empty() ? "(none)" : node.service) << "\n";
  // Top of the stack first, as a debugger's !devstack shows it.
  for (auto it = node.devices.rbegin(); it != node.devices.rend(); ++it) out << indent << DeviceLine(*it) << "\n";
  FormatLines(indent, "raw resources:", node.raw_resources, out);
  FormatLines(indent, "translated resources:", node.translated_resources, out);
  if (node.port_resources) {
    if (!NT_SUCCESS(node.port_resources->status)) {
      out << indent << "port resources: none to show (" << StatusText(node.port_resources->status) << ")\n";
    } else {
      FormatLines(indent, "port resources, raw:", node.port_resources->raw, out);
      FormatLines(indent, "port resources, translated:", node.port_resources->translated, out);
    }
  }
  if (!node.device_parameters.empty()) {
    out << indent << "Device Parameters:\n";
    for (const auto& value : node.device_parameters)
      out << indent << "  " << value.name << " = " << value.type << " " << ValueText(value) << "\n";
  }
  if (!node.com_name.empty() || node.port_name || node.friendly_name)
    out << indent << "COM name: " << (node.com_name.empty() ? "(no link)" : node.com_name)
        << "  PortName: " << node.port_name.value_or("(none)")
        << "  FriendlyName: " << (node.friendly_name ? "\"" + *node.friendly_name + "\"" : "(none)") << "\n";
  FormatDetection(node, indent, out);
  for (const auto& child : node.children) FormatNode(child, prefix + "|   ", out);
}

nlohmann::json OptionalText(const std::optional<std::string>& text) {
  return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

nlohmann::json MouseEventsJson(const sim::DeviceNodeSnapshot& node) {
  nlohmann::json events = nlohmann::json::array();
  for (const auto& e : MouseEvents(node))
    events.push_back({{"dx", e.dx}, {"dy", e.dy}, {"left", e.left}, {"right", e.right}, {"middle", e.middle}});
  return events;
}

nlohmann::json NodeJson(const sim::DeviceNodeSnapshot& node) {
  nlohmann::json devices = nlohmann::json::array();
  for (const auto& device : node.devices) devices.push_back(DeviceJson(device));
  nlohmann::json parameters = nlohmann::json::array();
  for (const auto& value : node.device_parameters) parameters.push_back(ValueJson(value));
  nlohmann::json port = nullptr;
  if (node.port_resources)
    port = {{"status", StatusText(node.port_resources->status)},
            {"raw", node.port_resources->raw},
            {"translated", node.port_resources->translated}};
  nlohmann::json children = nlohmann::json::array();
  for (const auto& child : node.children) children.push_back(NodeJson(child));
  return {{"instance_path", node.instance_path},
          {"state", node.state},
          {"problem", node.problem ? nlohmann::json(StatusText(*node.problem)) : nlohmann::json(nullptr)},
          {"hardware_ids", node.hardware_ids},
          {"service", node.service},
          {"stack", devices},
          {"raw_resources", node.raw_resources},
          {"translated_resources", node.translated_resources},
          {"port_resources", port},
          {"device_parameters", parameters},
          {"com_name", node.com_name.empty() ? nlohmann::json(nullptr) : nlohmann::json(node.com_name)},
          {"port_name", OptionalText(node.port_name)},
          {"friendly_name", OptionalText(node.friendly_name)},
          {"detection", DetectionJson(node)},
          {"mouse_events", MouseEventsJson(node)},
          {"children", children}};
}

void FormatActions(const std::vector<sim::ActionResult>& actions, std::ostringstream& out) {
  if (actions.empty()) return;
  out << "Actions\n";
  for (const auto& result : actions) {
    out << "+-- " << result.time / 10 << " us  " << sim::MachineActionName(result.action.kind);
    if (!result.target.empty()) out << "  " << result.target;
    else if (sim::ActsOnDevice(result.action.kind))
      out << "  card " << result.action.card << (result.action.port ? " port " + std::to_string(result.action.port) : "");
    out << "  -> " << (NT_SUCCESS(result.status) ? "done" : "refused " + StatusText(result.status)) << "\n";
    if (result.serial) {
      out << "|     " << result.action.serial->com_name << ":";
      for (const auto& step : result.serial->steps) out << " " << step.name << " " << StatusText(step.status);
      out << "\n|     read " << result.serial->read.size() << " byte(s): " << BytesText(result.serial->read) << "\n";
    }
  }
}

void FormatCards(const sim::MachineSnapshot& snapshot, std::ostringstream& out) {
  out << "Cards\n";
  for (const auto& card : snapshot.cards) {
    out << "+-- " << card.location << "  " << HexText(card.vendor_id, 4) << ":" << HexText(card.device_id, 4);
    if (!card.instance_path.empty()) out << "  " << card.instance_path;
    out << "\n";
    if (card.driver) {
      out << "|     port_count " << card.driver->port_count << ", absent_port_mask " << HexText(card.driver->absent_port_mask, 3)
          << ", pinned_card " << (card.driver->pinned_card ? "yes" : "no") << "\n";
    } else {
      out << "|     no card driver\n";
    }
    out << "|     InitialFlag " << (card.initial_flag ? std::to_string(*card.initial_flag) : "(none)") << "; UARTs at "
        << HexText(card.uart_base, 4) << "; ComNumConfig entries: "
        << (card.com_numbers.empty() ? "none" : std::to_string(card.com_numbers.size())) << "\n";
    for (const auto& entry : card.com_numbers)
      out << "|       [" << entry.index << "] address " << HexText(entry.address, 4) << "  COM number "
          << unsigned{entry.com_number} << "  applied " << unsigned{entry.applied} << "\n";
    for (const auto& uart : card.uarts) {
      out << "|     UART " << uart.port << ": " << uart.format << (uart.dtr ? " DTR" : "") << (uart.rts ? " RTS" : "")
          << (uart.out2 ? " OUT2" : "") << (uart.loopback ? " loopback" : "") << "; " << uart.transmitted << " sent, "
          << uart.received << " received, " << uart.interrupts << " interrupts";
      if (uart.overruns || uart.framing_errors || uart.parity_errors)
        out << ", errors: " << uart.overruns << " overrun " << uart.framing_errors << " framing " << uart.parity_errors
            << " parity";
      out << "; port: " << (uart.device.empty() ? "nothing attached" : uart.device + " (" + uart.device_state + ")") << "\n";
    }
    for (size_t n = 0; n < card.port_blocks.size(); ++n) {
      const auto& block = card.port_blocks[n];
      char line[96];
      std::snprintf(line, sizeof line, "|     block %2zu @0x%02zX: %s  %s\n", n, 0x40 + 8 * n, BlockBytes(block).c_str(),
                    (block[0] & 1) ? ("enabled at " + HexText(block[4] | block[5] << 8, 4)).c_str() : "disabled");
      out << line;
    }
  }
  out << "ComNumConfig: ";
  if (!snapshot.com_num_config_present) {
    out << "(no value)\n";
  } else {
    out << snapshot.com_num_config.size() << " entr" << (snapshot.com_num_config.size() == 1 ? "y" : "ies") << "\n";
    for (const auto& entry : snapshot.com_num_config)
      out << "+-- [" << entry.index << "] address " << HexText(entry.address, 4) << "  COM number " << unsigned{entry.com_number}
          << "  applied " << unsigned{entry.applied} << "\n";
  }
}

void FormatHardware(const sim::HardwareCounts& hardware, std::ostringstream& out) {
  out << "Configuration accesses (reads/writes):";
  for (const auto& path : hardware.config) out << " " << path.path << " " << path.reads << "/" << path.writes;
  out << "\nI/O port accesses: " << hardware.port_reads << " in, " << hardware.port_writes << " out; registers "
      << hardware.register_reads << " read, " << hardware.register_writes << " written\n";
}

nlohmann::json ComNumbersJson(const std::vector<sim::ComNumberSnapshot>& entries) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& entry : entries)
    out.push_back({{"index", entry.index}, {"address", entry.address}, {"com_number", entry.com_number},
                   {"applied", entry.applied}});
  return out;
}

nlohmann::json CardsJson(const sim::MachineSnapshot& snapshot) {
  nlohmann::json cards = nlohmann::json::array();
  for (const auto& card : snapshot.cards) {
    nlohmann::json blocks = nlohmann::json::array();
    for (const auto& block : card.port_blocks) blocks.push_back(std::vector<unsigned>(block.begin(), block.end()));
    nlohmann::json uarts = nlohmann::json::array();
    for (const auto& uart : card.uarts)
      uarts.push_back({{"port", uart.port},
                       {"format", uart.format},
                       {"dtr", uart.dtr},
                       {"rts", uart.rts},
                       {"out2", uart.out2},
                       {"loopback", uart.loopback},
                       {"device", uart.device.empty() ? nlohmann::json(nullptr) : nlohmann::json(uart.device)},
                       {"device_state", uart.device_state},
                       {"transmitted", uart.transmitted},
                       {"received", uart.received},
                       {"overruns", uart.overruns},
                       {"framing_errors", uart.framing_errors},
                       {"parity_errors", uart.parity_errors},
                       {"interrupts", uart.interrupts}});
    nlohmann::json item = {{"location", card.location},
                           {"uarts", uarts},
                           {"vendor_id", card.vendor_id},
                           {"device_id", card.device_id},
                           {"instance_path", card.instance_path},
                           {"port_blocks", blocks}};
    item["initial_flag"] = card.initial_flag ? nlohmann::json(*card.initial_flag) : nlohmann::json(nullptr);
    item["uart_base"] = card.uart_base;
    item["com_numbers"] = ComNumbersJson(card.com_numbers);
    if (card.driver) {
      item["port_count"] = card.driver->port_count;
      item["absent_port_mask"] = card.driver->absent_port_mask;
      item["pinned_card"] = card.driver->pinned_card;
    } else {
      item["port_count"] = nullptr;
      item["absent_port_mask"] = nullptr;
      item["pinned_card"] = nullptr;
    }
    cards.push_back(item);
  }
  return cards;
}

}  // namespace

std::string FormatTree(const sim::MachineSnapshot& snapshot, const std::vector<sim::Finding>& findings) {
  std::ostringstream out;
  FormatActions(snapshot.actions, out);
  out << "Device tree\n";
  if (snapshot.device_tree.empty()) out << "(no devices)\n";
  for (const auto& node : snapshot.device_tree) FormatNode(node, "", out);
  if (!snapshot.removed_devices.empty()) {
    out << "Removed devices\n";
    for (const auto& path : snapshot.removed_devices) out << "+-- " << path << "  (removed)\n";
  }
  if (!snapshot.other_devices.empty()) {
    out << "Other device objects\n";
    for (const auto& device : snapshot.other_devices) out << "+-- " << DeviceLine(device) << "\n";
  }
  out << "Symbolic links\n";
  for (const auto& link : snapshot.links) out << "+-- " << link.name << " -> " << link.target << "\n";
  FormatCards(snapshot, out);
  out << "CompleteFlag: " << (snapshot.complete_flag ? HexText(*snapshot.complete_flag, 8) : "(none)") << "\n";
  out << "ComDB in use:";
  for (unsigned number : snapshot.com_db) out << " COM" << number;
  out << (snapshot.com_db.empty() ? " (none)\n" : "\n");
  if (!snapshot.serial_comm.empty()) {
    out << "SERIALCOMM\n";
    for (const auto& entry : snapshot.serial_comm) out << "+-- " << entry.name << " = " << entry.target << "\n";
  }
  FormatHardware(snapshot.hardware, out);
  out << "Loaded drivers:";
  for (const auto& driver : snapshot.loaded_drivers) out << " " << driver;
  out << "\nVirtual time: " << snapshot.virtual_time_us << " us\n";
  out << "Seed: " << snapshot.seed << ", processors: " << snapshot.processors << ", images: " << snapshot.images
      << "\n";
  out << "Verifier: " << (findings.empty() ? "no findings" : std::to_string(findings.size()) + " finding(s)") << "\n";
  for (const auto& finding : findings)
    out << "  [" << finding.rule << "] " << finding.subject << ": " << finding.detail << " (at " << finding.time / 10
        << " us)\n";
  return out.str();
}

nlohmann::json ToJson(const sim::MachineSnapshot& snapshot, const std::vector<sim::Finding>& findings) {
  nlohmann::json tree = nlohmann::json::array();
  for (const auto& node : snapshot.device_tree) tree.push_back(NodeJson(node));
  nlohmann::json actions = nlohmann::json::array();
  for (const auto& result : snapshot.actions)
    actions.push_back({{"at_us", result.time / 10},
                       {"action", sim::MachineActionName(result.action.kind)},
                       {"card", sim::ActsOnDevice(result.action.kind) ? nlohmann::json(result.action.card)
                                                                      : nlohmann::json(nullptr)},
                       {"port", result.action.port ? nlohmann::json(result.action.port) : nlohmann::json(nullptr)},
                       {"device", result.target},
                       {"status", StatusText(result.status)},
                       {"serial", result.serial ? SerialJson(*result.serial) : nlohmann::json(nullptr)}});
  nlohmann::json others = nlohmann::json::array();
  for (const auto& device : snapshot.other_devices) others.push_back(DeviceJson(device));
  nlohmann::json links = nlohmann::json::array();
  for (const auto& link : snapshot.links) links.push_back({{"name", link.name}, {"target", link.target}});
  nlohmann::json verifier = nlohmann::json::array();
  for (const auto& finding : findings)
    verifier.push_back({{"rule", finding.rule}, {"subject", finding.subject}, {"detail", finding.detail}, {"time", finding.time},
                        {"seed", finding.seed}});
  nlohmann::json com_numbers = nullptr;
  if (snapshot.com_num_config_present) com_numbers = ComNumbersJson(snapshot.com_num_config);
  nlohmann::json serial_comm = nlohmann::json::array();
  for (const auto& entry : snapshot.serial_comm) serial_comm.push_back({{"device", entry.name}, {"com_name", entry.target}});
  nlohmann::json config_accesses = nlohmann::json::object();
  for (const auto& path : snapshot.hardware.config)
    config_accesses[path.path] = {{"reads", path.reads}, {"writes", path.writes}, {"accesses", path.reads + path.writes}};
  nlohmann::json hardware = {{"config_accesses", config_accesses},
                             {"port_reads", snapshot.hardware.port_reads},
                             {"port_writes", snapshot.hardware.port_writes},
                             {"register_reads", snapshot.hardware.register_reads},
                             {"register_writes", snapshot.hardware.register_writes}};
  return {{"seed", snapshot.seed},
          {"processors", snapshot.processors},
          {"images", snapshot.images},
          {"actions", actions},
          {"device_tree", tree},
          {"removed_devices", snapshot.removed_devices},
          {"cards", CardsJson(snapshot)},
          {"com_num_config", com_numbers},
          {"complete_flag", snapshot.complete_flag ? nlohmann::json(*snapshot.complete_flag) : nlohmann::json(nullptr)},
          {"com_db", snapshot.com_db},
          {"serial_comm", serial_comm},
          {"hardware", hardware},
          {"other_devices", others},
          {"symbolic_links", links},
          {"loaded_drivers", snapshot.loaded_drivers},
          {"virtual_time_us", snapshot.virtual_time_us},
          {"kernel_entries", snapshot.kernel_entries},
          {"context_switches", snapshot.context_switches},
          {"verifier", verifier}};
}

}  // namespace zarksim
