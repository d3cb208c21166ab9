#include "sim/hw/pci_bridge.h"

namespace sim::hw {

PciBridge::PciBridge(const BridgeConfig& config) : PciFunction(config.location, true) {
  Set16(0x00, config.vendor_id);
  Set16(0x02, config.device_id);
  Set16(0x04, 0x0007);
  Set16(0x06, 0x0010);  // capability list
  Set8(0x0B, 0x06);     // bridge device
  Set8(0x0A, 0x04);     // PCI-to-PCI
  Set8(0x0E, 0x01);     // type 1 header
  Set8(0x18, static_cast<uint8_t>(config.location.bus));
  Set8(0x19, config.secondary_bus);
  Set8(0x1A, config.subordinate_bus);
  // I/O base and limit carry the 16-bit decode type (0) in bits 3:0.
  Set8(0x1C, config.io_base & 0xF0);
  Set8(0x1D, config.io_limit & 0xF0);
  Set16(0x20, config.memory_base & 0xFFF0);
  Set16(0x22, config.memory_limit & 0xFFF0);
  Set8(0x34, kExpressCapability);
  Set8(0x3D, 0x01);
  // PCI Express capability, version 2, root port.
  Set8(kExpressCapability, 0x10);
  Set8(kExpressCapability + 1, 0x00);
  Set16(kExpressCapability + 2, 0x0042);
  Set16(kExpressCapability + 0x12, 0x1011);  // Link Status: x1, 2.5 GT/s

  SetWritable(0x04, 2, 0xFF);
  SetWritable(0x18, 3, 0xFF);
  SetWritable(0x1C, 2, 0xF0);
  SetWritable(0x20, 4, 0xFF);
  SetWritable(0x20, 1, 0xF0);  // bits 3:0 of the memory base and limit are read-only
  SetWritable(0x22, 1, 0xF0);
  SetWritable(0x3C, 1, 0xFF);
  SetWritable(0x3E, 2, 0xFF);
  SetWritable(kLinkControl, 2, 0xFF);
  // Extended configuration space: plain device-specific registers.
  SetWritable(0x100, kExtendedSize - 0x100, 0xFF);
}

}  // namespace sim::hw
