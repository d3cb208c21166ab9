// A PCI-to-PCI bridge (a PCI Express root or downstream port): bus numbers,
// I/O and memory windows, a capability list holding a PCI Express
// capability whose Link Control register can disable the link, and 4 KiB
// of configuration space. While the link is disabled nothing below the
// bridge is reachable.
#pragma once

#include "sim/hw/pci_function.h"

namespace sim::hw {

struct BridgeConfig {
  PciLocation location{0, 1, 0};
  uint16_t vendor_id = 0x1022;
  uint16_t device_id = 0x1453;
  uint8_t secondary_bus = 1;
  uint8_t subordinate_bus = 1;
  // Register values as software reads them (offsets 0x1C, 0x1D, 0x20, 0x22).
  uint8_t io_base = 0xF0;
  uint8_t io_limit = 0x00;
  uint16_t memory_base = 0xFFF0;
  uint16_t memory_limit = 0x0000;
};

class PciBridge : public PciFunction {
 public:
  static constexpr uint32_t kExpressCapability = 0x40;
  static constexpr uint32_t kLinkControl = kExpressCapability + 0x10;
  static constexpr uint16_t kLinkDisable = 0x0010;

  explicit PciBridge(const BridgeConfig& config);
  uint8_t secondary_bus() const { return Get8(0x19); }
  uint8_t subordinate_bus() const { return Get8(0x1A); }
  bool link_disabled() const { return (Get16(kLinkControl) & kLinkDisable) != 0; }
  // True when the bus lies below this bridge.
  bool Forwards(uint32_t bus) const { return bus >= secondary_bus() && bus <= subordinate_bus() && bus != 0; }
};

}  // namespace sim::hw
