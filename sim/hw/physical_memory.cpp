#include "sim/hw/physical_memory.h"

namespace sim::hw {

bool PhysicalMemory::InWindow(uint64_t address, unsigned width, PciLocation* at, uint32_t* offset) const {
  uint64_t base = ecam_base();
  if (address < base || address + width > base + kEcamSize) return false;
  uint64_t relative = address - base;
  *offset = static_cast<uint32_t>(relative & 0xFFF);
  if (*offset + width > 0x1000) return false;  // an access never spans two functions
  *at = PciLocation{static_cast<uint32_t>(relative >> 20), static_cast<uint32_t>(relative >> 15) & 0x1F,
                    static_cast<uint32_t>(relative >> 12) & 7};
  return true;
}

uint32_t PhysicalMemory::Read(uint64_t address, unsigned width) {
  PciLocation at;
  uint32_t offset = 0;
  if (!InWindow(address, width, &at, &offset)) return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
  return pci_.Read(ConfigPath::Ecam, at, offset, width);
}

void PhysicalMemory::Write(uint64_t address, uint32_t value, unsigned width) {
  PciLocation at;
  uint32_t offset = 0;
  if (InWindow(address, width, &at, &offset)) pci_.Write(ConfigPath::Ecam, at, offset, value, width);
}

}  // namespace sim::hw
