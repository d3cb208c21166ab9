// IRQL rules of kernel routines. A routine called above the highest IRQL at
// which the platform allows it is a verifier finding naming the routine and
// the caller's IRQL.
#pragma once

#include "nt/basetypes.h"

namespace sim {

// Returns true when the current thread's IRQL is at most max_irql; otherwise
// reports "irql" for the routine and returns false.
bool CheckIrql(const char* routine, KIRQL max_irql);

}  // namespace sim
