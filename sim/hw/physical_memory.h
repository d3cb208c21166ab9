// Physical address space as the machine's devices decode it. Only the
// memory-mapped configuration window is modelled: 256 buses of 1 MiB at
// the host bridge's window base, where bus << 20 | device << 15 |
// function << 12 | register addresses a function's configuration space.
// Everything else reads all ones and ignores writes.
#pragma once

#include <cstdint>

#include "sim/hw/pci_topology.h"

namespace sim::hw {

class PhysicalMemory {
 public:
  static constexpr uint64_t kEcamSize = 256ull << 20;

  explicit PhysicalMemory(PciTopology& pci) : pci_(pci) {}

  uint64_t ecam_base() const { return pci_.host_bridge().EcamBase(); }
  uint32_t Read(uint64_t address, unsigned width);
  void Write(uint64_t address, uint32_t value, unsigned width);

 private:
  bool InWindow(uint64_t address, unsigned width, PciLocation* at, uint32_t* offset) const;
  PciTopology& pci_;
};

}  // namespace sim::hw
