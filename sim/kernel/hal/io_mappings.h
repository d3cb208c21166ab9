// Mappings of physical device memory handed out by MmMapIoSpace. Their
// virtual addresses lie in a reservation with no access rights, so a driver
// that dereferences one directly faults; READ_REGISTER_* and
// WRITE_REGISTER_* translate them back to physical addresses.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct IoMapping {
  uintptr_t virtual_base = 0;  // what MmMapIoSpace returned
  uint64_t physical = 0;
  uint64_t length = 0;
  std::string owner;  // the driver that mapped it, for reports
};

class IoMappings {
 public:
  IoMappings();
  // Mappings still present are reported by the machine before this.
  ~IoMappings();

  // The virtual address of a new mapping, or 0 when the reservation is full.
  uintptr_t Map(uint64_t physical, uint64_t length, std::string owner);
  // The mapping that starts at the address, or null.
  const IoMapping* Starting(uintptr_t address) const;
  void Unmap(uintptr_t address);
  // The physical address of [address, address + width), or false when the
  // range is not inside one mapping.
  bool Translate(uintptr_t address, unsigned width, uint64_t* physical) const;
  // True when the address lies in the reservation (mapped or not).
  bool InReservation(uintptr_t address) const;
  const std::map<uintptr_t, IoMapping>& live() const { return live_; }

 private:
  uintptr_t reservation_ = 0;
  std::vector<bool> pages_used_;
  std::map<uintptr_t, IoMapping> live_;
};

}  // namespace sim
