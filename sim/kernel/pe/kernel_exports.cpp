#include "sim/kernel/pe/kernel_exports.h"

#include <string>
#include <unordered_map>

namespace sim::pe {

const KernelExport* FindKernelExport(std::string_view name) {
  static const std::unordered_map<std::string_view, const KernelExport*> by_name = [] {
    std::unordered_map<std::string_view, const KernelExport*> map;
    // A declared routine the kernel does not implement has no address.
    for (size_t i = 0; i < kKernelExportCount; ++i)
      if (kKernelExports[i].address) map.emplace(kKernelExports[i].name, &kKernelExports[i]);
    return map;
  }();
  auto it = by_name.find(name);
  return it == by_name.end() ? nullptr : it->second;
}

}  // namespace sim::pe
