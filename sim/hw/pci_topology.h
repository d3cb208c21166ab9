// The PCI hierarchy of the machine: the host bridge, bridges and endpoint
// functions by bus, device and function. Every path to configuration space
// ends here, so all of them see the same bytes; a function that does not
// exist, or lies behind a bridge whose link is disabled, reads all ones and
// ignores writes.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "sim/hw/host_bridge.h"
#include "sim/hw/hw_counters.h"
#include "sim/hw/pci_bridge.h"
#include "sim/hw/pci_function.h"

namespace sim::hw {

class PciTopology {
 public:
  PciTopology(const HostBridgeConfig& host, HwCounters& counters);

  HostBridge& host_bridge() { return *host_; }
  // Adds a function; false when the location is taken or out of range.
  bool Add(std::unique_ptr<PciFunction> function);
  PciFunction* Find(const PciLocation& location) const;
  const std::vector<PciBridge*>& Bridges() const { return bridges_; }
  bool BusExists(uint32_t bus) const;

  // False when a bridge on the way from bus 0 has its link disabled.
  bool Reachable(const PciLocation& location) const;
  // The function at the location if it exists, is present and is reachable.
  PciFunction* Answering(const PciLocation& location) const;

  // A configuration access of 1, 2 or 4 bytes. Reads that nobody answers
  // give all ones. `limit` caps the offsets the path reaches (256 for the
  // legacy ports); beyond it reads give all ones.
  uint32_t Read(ConfigPath path, const PciLocation& location, uint32_t offset, unsigned width,
                uint32_t limit = PciFunction::kExtendedSize);
  void Write(ConfigPath path, const PciLocation& location, uint32_t offset, uint32_t value, unsigned width,
             uint32_t limit = PciFunction::kExtendedSize);

 private:
  HostBridge* host_;
  HwCounters& counters_;
  std::map<PciLocation, std::unique_ptr<PciFunction>> functions_;
  std::vector<PciBridge*> bridges_;
};

}  // namespace sim::hw
