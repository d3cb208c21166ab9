// Where a loaded shared object lies: the span of its loaded segments,
// found from its load address. Naming a caller's image or telling whether
// a routine is the kernel's is then a range check, not a dladdr symbol search.
#pragma once

#include <cstdint>

namespace sim {

struct AddressSpan {
  uintptr_t begin = 0;
  uintptr_t end = 0;
  bool Contains(const void* address) const {
    const auto at = reinterpret_cast<uintptr_t>(address);
    return at >= begin && at < end;
  }
  bool empty() const { return begin >= end; }
};

// The span of the object loaded at `load_base` (its link map's l_addr);
// empty when no loaded object has that base.
AddressSpan LoadedSegments(uintptr_t load_base);

}  // namespace sim
