// The kernel model's export table for loaded PE images: one entry per
// routine or variable the kernel headers declare, generated at build time
// from those declarations (sim/kernel/pe/generate_exports.cmake).
#pragma once

#include <cstddef>
#include <string_view>

namespace sim::pe {

struct KernelExport {
  const char* name;
  void* address;  // the routine, or the variable an image's data import points at
  bool data;
  // A C runtime routine (memcpy, ...): library code, which a host-built
  // image links from the C library, so calling it is no kernel entry.
  bool runtime = false;
};

extern const KernelExport kKernelExports[];
extern const size_t kKernelExportCount;

// The export of that name: a kernel routine or variable, or one of the C
// runtime routines the kernel exports (memcpy and the like); or null (also for a routine that is declared
// but not implemented).
const KernelExport* FindKernelExport(std::string_view name);

}  // namespace sim::pe
