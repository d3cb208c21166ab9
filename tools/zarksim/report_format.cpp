#include "tools/zarksim/report_format.h"

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
  return {{"device_tree", stacks},
          {"other_devices", others},
          {"symbolic_links", links},
          {"loaded_drivers", snapshot.loaded_drivers},
          {"virtual_time_us", snapshot.virtual_time_us},
          {"verifier", verifier}};
}

}  // namespace zarksim
