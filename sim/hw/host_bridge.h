// The host bridge at bus 0, device 0, function 0. Its identity dword
// (register 0x00) and register 0x60 are settings of the machine; they also
// decide where the platform places memory-mapped configuration space.
#pragma once

#include "sim/hw/pci_function.h"

namespace sim::hw {

struct HostBridgeConfig {
  uint32_t id_dword = 0x14501022;  // vendor in bits 15:0, device in 31:16
  uint32_t register_60 = 0;
};

class HostBridge : public PciFunction {
 public:
  explicit HostBridge(const HostBridgeConfig& config);
  // Physical base of the configuration window: bits 31:24 of register 0x60
  // on the Intel chipsets that keep it there, 0xE0000000 otherwise.
  uint32_t EcamBase() const;
};

}  // namespace sim::hw
