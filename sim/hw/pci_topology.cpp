#include "sim/hw/pci_topology.h"

namespace sim::hw {

const char* ConfigPathName(ConfigPath path) {
  switch (path) {
    case ConfigPath::BusRequest: return "bus_request";
    case ConfigPath::BusInterface: return "bus_interface";
    case ConfigPath::LegacyPorts: return "legacy_ports";
    case ConfigPath::Ecam: return "ecam";
    case ConfigPath::Hal: return "hal";
    case ConfigPath::Model: return "model";
  }
  return "?";
}

PciTopology::PciTopology(const HostBridgeConfig& host, HwCounters& counters) : counters_(counters) {
  auto bridge = std::make_unique<HostBridge>(host);
  host_ = bridge.get();
  functions_[host_->location()] = std::move(bridge);
}

bool PciTopology::Add(std::unique_ptr<PciFunction> function) {
  const PciLocation& at = function->location();
  if (at.bus > 255 || at.device > 31 || at.function > 7 || functions_.count(at)) return false;
  if (auto* bridge = dynamic_cast<PciBridge*>(function.get())) bridges_.push_back(bridge);
  functions_[at] = std::move(function);
  return true;
}

PciFunction* PciTopology::Find(const PciLocation& location) const {
  auto it = functions_.find(location);
  return it == functions_.end() ? nullptr : it->second.get();
}

bool PciTopology::BusExists(uint32_t bus) const {
  if (bus == 0) return true;
  for (PciBridge* bridge : Bridges())
    if (bridge->Forwards(bus)) return true;
  return false;
}

// Walks up from the function's bus through the bridge whose secondary bus
// it is. A bus no bridge leads to counts as a root bus of the host bridge.
bool PciTopology::Reachable(const PciLocation& location) const {
  uint32_t bus = location.bus;
  for (int depth = 0; bus != 0 && depth < 256; ++depth) {
    PciBridge* parent = nullptr;
    for (PciBridge* bridge : Bridges())
      if (bridge->secondary_bus() == bus && bridge->location().bus != bus) parent = bridge;
    if (!parent) return true;
    if (parent->link_disabled()) return false;
    bus = parent->location().bus;
  }
  return true;
}

PciFunction* PciTopology::Answering(const PciLocation& location) const {
  PciFunction* function = Find(location);
  return function && function->present() && Reachable(location) ? function : nullptr;
}

uint32_t PciTopology::Read(ConfigPath path, const PciLocation& location, uint32_t offset, unsigned width,
                           uint32_t limit) {
  counters_.CountConfig(path, false);
  PciFunction* function = Answering(location);
  uint32_t ones = width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
  if (!function || offset + width > limit) return ones;
  return function->Read(offset, width);
}

void PciTopology::Write(ConfigPath path, const PciLocation& location, uint32_t offset, uint32_t value,
                        unsigned width, uint32_t limit) {
  counters_.CountConfig(path, true);
  PciFunction* function = Answering(location);
  if (!function || offset + width > limit) return;
  function->Write(offset, value, width);
}

}  // namespace sim::hw
