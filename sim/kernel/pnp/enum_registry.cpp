#include "sim/kernel/pnp/enum_registry.h"

#include <vector>

#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/utf16_text.h"

namespace sim {

const char kEnumRoot[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
const char kServicesRoot[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";

namespace {

std::vector<std::u16string> Wide(const std::vector<std::string>& items) {
  std::vector<std::u16string> out;
  for (const auto& item : items) out.push_back(Utf8ToUtf16(item));
  return out;
}

std::string ServiceEnumPath(const std::string& service) { return std::string(kServicesRoot) + "\\" + service + "\\Enum"; }

std::vector<std::u16string> ReadServiceEnum(const std::string& path) {
  Registry& registry = *K().registry;
  std::vector<std::u16string> entries;
  uint32_t count = registry.GetDword(path, "Count").value_or(0);
  for (uint32_t i = 0; i < count; ++i) {
    if (auto entry = registry.GetString(path, std::to_string(i))) entries.push_back(*entry);
  }
  return entries;
}

void WriteServiceEnum(const std::string& path, const std::vector<std::u16string>& entries) {
  Registry& registry = *K().registry;
  uint32_t old_count = registry.GetDword(path, "Count").value_or(0);
  for (uint32_t i = 0; i < old_count; ++i) registry.DeleteValue(path, std::to_string(i));
  for (size_t i = 0; i < entries.size(); ++i) registry.SetString(path, std::to_string(i), entries[i]);
  registry.SetDword(path, "Count", static_cast<uint32_t>(entries.size()));
  registry.SetDword(path, "NextInstance", static_cast<uint32_t>(entries.size()));
}

}  // namespace

std::string InstanceKeyPath(const DeviceNode& node) { return std::string(kEnumRoot) + "\\" + node.InstancePath(); }

std::string DeviceParametersPath(const DeviceNode& node) { return InstanceKeyPath(node) + "\\Device Parameters"; }

void WriteInstanceKey(const DeviceNode& node) {
  Registry& registry = *K().registry;
  const std::string path = InstanceKeyPath(node);
  registry.CreateKey(DeviceParametersPath(node));
  if (!node.hardware_ids.empty()) registry.SetMultiString(path, "HardwareID", Wide(node.hardware_ids));
  if (!node.compatible_ids.empty()) registry.SetMultiString(path, "CompatibleIDs", Wide(node.compatible_ids));
  if (!node.description.empty()) registry.SetString(path, "DeviceDesc", Utf8ToUtf16(node.description));
  if (!node.location.empty()) registry.SetString(path, "LocationInformation", Utf8ToUtf16(node.location));
  if (!node.service.empty()) registry.SetString(path, "Service", Utf8ToUtf16(node.service));
  registry.SetDword(path, "ConfigFlags", 0);
}

void AddToServiceEnum(const std::string& service, const std::string& instance_path) {
  const std::string path = ServiceEnumPath(service);
  std::vector<std::u16string> entries = ReadServiceEnum(path);
  std::u16string wide = Utf8ToUtf16(instance_path);
  for (const auto& entry : entries)
    if (EqualsIgnoreCase(entry, wide)) return;
  entries.push_back(wide);
  WriteServiceEnum(path, entries);
}

void RemoveFromServiceEnum(const std::string& service, const std::string& instance_path) {
  const std::string path = ServiceEnumPath(service);
  if (!K().registry->KeyExists(path)) return;
  std::vector<std::u16string> entries = ReadServiceEnum(path);
  std::u16string wide = Utf8ToUtf16(instance_path);
  std::erase_if(entries, [&](const std::u16string& entry) { return EqualsIgnoreCase(entry, wide); });
  WriteServiceEnum(path, entries);
}

}  // namespace sim
