#include "sim/kernel/loaded_segments.h"

#include <link.h>

namespace sim {

namespace {

struct Search {
  uintptr_t load_base;
  AddressSpan span;
};

int FindSegments(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<Search*>(data);
  if (info->dlpi_addr != search->load_base) return 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
    const uintptr_t end = begin + segment.p_memsz;
    if (search->span.empty() || begin < search->span.begin) search->span.begin = begin;
    if (end > search->span.end) search->span.end = end;
  }
  return 1;
}

}  // namespace

AddressSpan LoadedSegments(uintptr_t load_base) {
  Search search{load_base, {}};
  dl_iterate_phdr(&FindSegments, &search);
  return search.span;
}

}  // namespace sim
