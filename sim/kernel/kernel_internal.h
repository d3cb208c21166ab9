// Helpers shared by the kernel's exported routines.
#pragma once

#include <string>

#include "nt/basetypes.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/verifier.h"

namespace sim {

// The driver (or "kernel") whose code called the exported routine that
// evaluates this macro.
#define SIM_CALLER() (::sim::ImageOf(__builtin_return_address(0)))

// Reports a rule broken by the caller of a kernel routine.
void ReportCaller(const DriverImage* caller, const std::string& rule, const std::string& detail);

// Converts a kernel time-out (negative: relative, positive: absolute, in
// 100 ns units) into an absolute virtual deadline; null means no deadline (-1).
LONGLONG DeadlineFrom(const LARGE_INTEGER* timeout);

std::string Hex(ULONG_PTR value);

}  // namespace sim
