#include "sim/kernel/pe/kernel_exports.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace sim::pe {

namespace {

// The C runtime routines ntoskrnl exports, which the compiler calls for
// copies and comparisons it does not inline. The host's own take the host's
// calling convention; these take the image's.
__attribute__((ms_abi)) void* ImageMemcpy(void* to, const void* from, size_t size) {
  return std::memcpy(to, from, size);
}
__attribute__((ms_abi)) void* ImageMemmove(void* to, const void* from, size_t size) {
  return std::memmove(to, from, size);
}
__attribute__((ms_abi)) void* ImageMemset(void* to, int value, size_t size) { return std::memset(to, value, size); }
__attribute__((ms_abi)) int ImageMemcmp(const void* a, const void* b, size_t size) { return std::memcmp(a, b, size); }
__attribute__((ms_abi)) size_t ImageStrlen(const char* text) { return std::strlen(text); }
__attribute__((ms_abi)) size_t ImageWcslen(const char16_t* text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

const KernelExport kRuntimeExports[] = {
    {"memcpy", reinterpret_cast<void*>(&ImageMemcpy), false, true},
    {"memmove", reinterpret_cast<void*>(&ImageMemmove), false, true},
    {"memset", reinterpret_cast<void*>(&ImageMemset), false, true},
    {"memcmp", reinterpret_cast<void*>(&ImageMemcmp), false, true},
    {"strlen", reinterpret_cast<void*>(&ImageStrlen), false, true},
    {"wcslen", reinterpret_cast<void*>(&ImageWcslen), false, true},
};

}  // namespace

const KernelExport* FindKernelExport(std::string_view name) {
  static const std::unordered_map<std::string_view, const KernelExport*> by_name = [] {
    std::unordered_map<std::string_view, const KernelExport*> map;
    // A declared routine the kernel does not implement has no address.
    for (size_t i = 0; i < kKernelExportCount; ++i)
      if (kKernelExports[i].address) map.emplace(kKernelExports[i].name, &kKernelExports[i]);
    for (const KernelExport& routine : kRuntimeExports) map.emplace(routine.name, &routine);
    return map;
  }();
  auto it = by_name.find(name);
  return it == by_name.end() ? nullptr : it->second;
}

}  // namespace sim::pe
