// The registry outside a machine: no kernel runs, so no clock stamps keys.
#include "sim/kernel/kernel.h"

namespace sim {

bool HasKernel() { return false; }
Kernel& K() { __builtin_trap(); }
LONGLONG Kernel::Now() const { return 0; }

}  // namespace sim
