#include "sim/hw/host_bridge.h"

namespace sim::hw {

HostBridge::HostBridge(const HostBridgeConfig& config) : PciFunction({0, 0, 0}, true) {
  Set32(0x00, config.id_dword);
  Set16(0x04, 0x0006);
  Set8(0x0B, 0x06);  // bridge device, host bridge
  Set8(0x0A, 0x00);
  Set32(0x60, config.register_60);
  SetWritable(0x04, 2, 0xFF);
}

uint32_t HostBridge::EcamBase() const {
  uint32_t id = Get32(0x00);
  if ((id & 0xFFFF) == 0x8086 && id != 0x0F008086 && id != 0x22808086) return Get32(0x60) & 0xFF000000u;
  return 0xE0000000u;
}

}  // namespace sim::hw
