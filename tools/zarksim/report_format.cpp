#include "tools/zarksim/report_format.h"

#include <cstdio>
#include <sstream>

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

nlohmann::json CardsJson(const sim::MachineSnapshot& snapshot) {
  nlohmann::json cards = nlohmann::json::array();
  for (const auto& card : snapshot.cards) {
    nlohmann::json blocks = nlohmann::json::array();
    for (const auto& block : card.port_blocks) blocks.push_back(std::vector<unsigned>(block.begin(), block.end()));
    nlohmann::json item = {{"location", card.location},
                           {"vendor_id", card.vendor_id},
                           {"device_id", card.device_id},
                           {"instance_path", card.instance_path},
                           {"port_blocks", blocks}};
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
  out << "Device tree\n";
  for (const auto& stack : snapshot.stacks) {
    out << "+-- " << stack.instance_path << "  (" << stack.state << ")\n";
    // Top of the stack first, as a debugger's !devstack shows it.
    for (auto it = stack.devices.rbegin(); it != stack.devices.rend(); ++it) out << "|     " << DeviceLine(*it) << "\n";
  }
  if (!snapshot.other_devices.empty()) {
    out << "Other device objects\n";
    for (const auto& device : snapshot.other_devices) out << "+-- " << DeviceLine(device) << "\n";
  }
  out << "Symbolic links\n";
  for (const auto& link : snapshot.links) out << "+-- " << link.name << " -> " << link.target << "\n";
  FormatCards(snapshot, out);
  FormatHardware(snapshot.hardware, out);
  out << "Loaded drivers:";
  for (const auto& driver : snapshot.loaded_drivers) out << " " << driver;
  out << "\nVirtual time: " << snapshot.virtual_time_us << " us\n";
  out << "Verifier: " << (findings.empty() ? "no findings" : std::to_string(findings.size()) + " finding(s)") << "\n";
  for (const auto& finding : findings)
    out << "  [" << finding.rule << "] " << finding.subject << ": " << finding.detail << " (at " << finding.time / 10
        << " us)\n";
  return out.str();
}

nlohmann::json ToJson(const sim::MachineSnapshot& snapshot, const std::vector<sim::Finding>& findings) {
  nlohmann::json stacks = nlohmann::json::array();
  for (const auto& stack : snapshot.stacks) {
    nlohmann::json devices = nlohmann::json::array();
    for (const auto& device : stack.devices) devices.push_back(DeviceJson(device));
    stacks.push_back({{"instance_path", stack.instance_path},
                      {"state", stack.state},
                      {"hardware_ids", stack.hardware_ids},
                      {"stack", devices}});
  }
  nlohmann::json others = nlohmann::json::array();
  for (const auto& device : snapshot.other_devices) others.push_back(DeviceJson(device));
  nlohmann::json links = nlohmann::json::array();
  for (const auto& link : snapshot.links) links.push_back({{"name", link.name}, {"target", link.target}});
  nlohmann::json verifier = nlohmann::json::array();
  for (const auto& finding : findings)
    verifier.push_back({{"rule", finding.rule}, {"subject", finding.subject}, {"detail", finding.detail}, {"time", finding.time}});
  nlohmann::json com_numbers = nullptr;
  if (snapshot.com_num_config_present) {
    com_numbers = nlohmann::json::array();
    for (const auto& entry : snapshot.com_num_config)
      com_numbers.push_back({{"index", entry.index}, {"address", entry.address}, {"com_number", entry.com_number},
                             {"applied", entry.applied}});
  }
  nlohmann::json config_accesses = nlohmann::json::object();
  for (const auto& path : snapshot.hardware.config)
    config_accesses[path.path] = {{"reads", path.reads}, {"writes", path.writes}, {"accesses", path.reads + path.writes}};
  nlohmann::json hardware = {{"config_accesses", config_accesses},
                             {"port_reads", snapshot.hardware.port_reads},
                             {"port_writes", snapshot.hardware.port_writes},
                             {"register_reads", snapshot.hardware.register_reads},
                             {"register_writes", snapshot.hardware.register_writes}};
  return {{"device_tree", stacks},
          {"cards", CardsJson(snapshot)},
          {"com_num_config", com_numbers},
          {"hardware", hardware},
          {"other_devices", others},
          {"symbolic_links", links},
          {"loaded_drivers", snapshot.loaded_drivers},
          {"virtual_time_us", snapshot.virtual_time_us},
          {"verifier", verifier}};
}

}  // namespace zarksim
