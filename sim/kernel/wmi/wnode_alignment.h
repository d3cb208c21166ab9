// WNODE records place their parts (instance names, data blocks) on
// 8-byte boundaries; the WMI library and the WMI service both lay them out.
#pragma once

#include "wdm.h"

namespace sim {

constexpr ULONG WnodeAlign(ULONG n) { return (n + 7) & ~7u; }

}  // namespace sim
