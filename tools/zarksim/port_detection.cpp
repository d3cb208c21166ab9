#include "tools/zarksim/port_detection.h"

#include <string>
#include <vector>

#include "enum/driver/enum_driver.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp/pnp_manager.h"
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

ProbeWatch::ProbeWatch(sim::Machine& machine) : machine_(machine), kernel_(&machine.kernel()) {
  kernel_->io->ObserveCalls([this](DEVICE_OBJECT* target, IRP* irp, const IO_STACK_LOCATION* stack,
                                   const sim::DriverImage* caller) {
    const UCHAR major = stack->MajorFunction;
    if (major != IRP_MJ_CREATE && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) return;
    // The probe's own request: allocated by zarkenum, not one it passes on.
    const sim::IrpRecord* record = kernel_->io->FindIrp(irp);
    if (stack->FileObject || !record || record->owner != caller || sim::ImageName(caller) != "zarkenum" ||
        kernel_->io->DriverNameOf(target) != "KALVOR1110")
      return;
    const sim::DeviceNode* port = kernel_->pnp->StackNode(target);
    std::vector<sim::ProbeTimesSnapshot>& probes = log_[port];
    const LONGLONG now = kernel_->Now();
    if (major == IRP_MJ_CREATE) {
      probes.push_back({now, -1, false});
    } else if (!probes.empty() && major == IRP_MJ_CLEANUP) {
      probes.back().opened = NT_SUCCESS(irp->IoStatus.Status);  // still the open's status
    } else if (!probes.empty()) {
      probes.back().end = now;
    }
  });
}

ProbeWatch::~ProbeWatch() {
  if (&machine_.kernel() == kernel_) kernel_->io->ObserveCalls({});
}

std::vector<sim::ProbeTimesSnapshot> ProbeWatch::Of(const sim::DeviceNode* port) const {
  auto it = log_.find(port);
  return it == log_.end() ? std::vector<sim::ProbeTimesSnapshot>{} : it->second;
}

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
