#include "sim/kernel/hal/io_mappings.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace sim {

namespace {
constexpr uintptr_t kPage = 0x1000;
constexpr size_t kPages = 4096;  // 16 MiB of address space

// One reservation for the process, shared by the machines it runs in turn.
uintptr_t Reservation() {
  static uintptr_t base = [] {
    void* p = mmap(nullptr, kPages * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
      std::perror("simulator: reserving address space for I/O mappings");
      std::abort();
    }
    return reinterpret_cast<uintptr_t>(p);
  }();
  return base;
}
}  // namespace

IoMappings::IoMappings() : reservation_(Reservation()), pages_used_(kPages, false) {}
IoMappings::~IoMappings() = default;

uintptr_t IoMappings::Map(uint64_t physical, uint64_t length, std::string owner) {
  if (length == 0) return 0;
  uint64_t in_page = physical & (kPage - 1);
  size_t pages = static_cast<size_t>((in_page + length + kPage - 1) / kPage);
  for (size_t first = 0; first + pages <= kPages; ++first) {
    size_t run = 0;
    while (run < pages && !pages_used_[first + run]) ++run;
    if (run < pages) {
      first += run;
      continue;
    }
    for (size_t i = 0; i < pages; ++i) pages_used_[first + i] = true;
    uintptr_t address = reservation_ + first * kPage + static_cast<uintptr_t>(in_page);
    live_[address] = IoMapping{address, physical, length, std::move(owner)};
    return address;
  }
  return 0;
}

const IoMapping* IoMappings::Starting(uintptr_t address) const {
  auto it = live_.find(address);
  return it == live_.end() ? nullptr : &it->second;
}

void IoMappings::Unmap(uintptr_t address) {
  auto it = live_.find(address);
  if (it == live_.end()) return;
  const IoMapping& mapping = it->second;
  size_t first = (mapping.virtual_base - reservation_) / kPage;
  size_t last = (mapping.virtual_base + mapping.length - 1 - reservation_) / kPage;
  for (size_t page = first; page <= last; ++page) pages_used_[page] = false;
  live_.erase(it);
}

bool IoMappings::Translate(uintptr_t address, unsigned width, uint64_t* physical) const {
  auto it = live_.upper_bound(address);
  if (it == live_.begin()) return false;
  --it;
  const IoMapping& mapping = it->second;
  if (address < mapping.virtual_base || address + width > mapping.virtual_base + mapping.length) return false;
  *physical = mapping.physical + (address - mapping.virtual_base);
  return true;
}

bool IoMappings::InReservation(uintptr_t address) const {
  return address >= reservation_ && address < reservation_ + kPages * kPage;
}

}  // namespace sim
