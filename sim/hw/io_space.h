// I/O port space of the machine. Each IN or OUT goes to the device that
// decodes its first port; a port nobody decodes reads all ones. Ports
// 0xCF8 to 0xCFF belong to the host bridge (configuration mechanism #1).
#pragma once

#include <vector>

#include "sim/hw/hw_counters.h"
#include "sim/hw/io_device.h"
#include "sim/hw/pci_topology.h"

namespace sim::hw {

class IoSpace {
 public:
  IoSpace(PciTopology& pci, HwCounters& counters);

  // A device and the PCI function whose reachability gates it (may be null).
  void Attach(IoDevice* device, const PciFunction* function);
  void Detach(IoDevice* device);

  uint32_t Read(uint16_t port, unsigned width);
  void Write(uint16_t port, uint32_t value, unsigned width);

  uint32_t config_address() const { return config_address_; }

 private:
  IoDevice* Decoder(uint16_t port) const;

  PciTopology& pci_;
  HwCounters& counters_;
  uint32_t config_address_ = 0;  // the latch at 0xCF8
  struct Entry {
    IoDevice* device;
    const PciFunction* function;
  };
  std::vector<Entry> devices_;
};

}  // namespace sim::hw
