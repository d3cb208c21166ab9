#include "tools/zarksim/port_detection.h"

#include <string>
#include <vector>

#include "enum/driver/enum_driver.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/utf16_text.h"

namespace zarksim {
namespace {

// The entries of a multi-string (each ends with a NUL, the list with one more).
std::vector<std::string> Entries(const UNICODE_STRING& text) {
  std::vector<std::string> entries;
  if (!text.Buffer) return entries;
  const char16_t* chars = reinterpret_cast<const char16_t*>(text.Buffer);
  const size_t count = text.Length / sizeof(WCHAR);
  std::u16string entry;
  for (size_t i = 0; i < count; ++i) {
    if (chars[i] != 0) {
      entry.push_back(chars[i]);
      continue;
    }
    if (entry.empty()) break;
    entries.push_back(sim::Utf16ToUtf8(entry));
    entry.clear();
  }
  return entries;
}

std::string First(const UNICODE_STRING& text) {
  std::vector<std::string> entries = Entries(text);
  return entries.empty() ? "" : entries.front();
}

}  // namespace

std::optional<sim::PortDetectionSnapshot> ReadPortDetection(sim::Machine& machine, sim::DeviceNode& node) {
  sim::IoManager& io = *machine.kernel().io;
  if (!node.pdo || !io.IsLiveDevice(node.pdo)) return std::nullopt;
  for (DEVICE_OBJECT* device = node.pdo->AttachedDevice; device; device = device->AttachedDevice) {
    const sim::DeviceRecord* record = io.FindDevice(device);
    if (!record || !record->driver || record->driver->name != "zarkenum") continue;
    const auto* filter = static_cast<const EnumFilterExtension*>(device->DeviceExtension);
    if (!filter->IsFilter) return std::nullopt;
    sim::PortDetectionSnapshot out;
    out.probes = filter->ProbeCount;
    out.probing = (filter->ProbeFlags & PROBE_RUNNING) != 0;
    if (filter->ReportedChildCount && filter->ReportedChildExtension) {
      const EnumChildExtension* child = filter->ReportedChildExtension;
      sim::DetectedChildSnapshot detected;
      detected.hardware_ids = Entries(child->HardwareIds);
      detected.compatible_ids = Entries(child->CompatibleIds);
      detected.device_id = First(child->DeviceId);
      detected.description = First(child->DeviceDescription);
      detected.serial_number = First(child->SerialNumber);
      detected.revision = First(child->PnpRevision);
      detected.pdo = filter->ReportedChild;
      out.child = detected;
    }
    return out;
  }
  return std::nullopt;
}

}  // namespace zarksim
