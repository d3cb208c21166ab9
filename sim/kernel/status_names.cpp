#include "sim/kernel/status_names.h"

#include <cstdio>
#include <map>

namespace sim {

std::string StatusName(NTSTATUS status) {
  // First name wins for values with two names (STATUS_SUCCESS, STATUS_WAIT_0).
  static const std::map<ULONG, const char*> names = [] {
    std::map<ULONG, const char*> m;
#define X(name, value) m.emplace(value##U, #name);
#include "nt/ntstatus_list.h"
#undef X
    return m;
  }();
  auto it = names.find(static_cast<ULONG>(status));
  if (it != names.end()) return it->second;
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<ULONG>(status));
  return buffer;
}

}  // namespace sim
