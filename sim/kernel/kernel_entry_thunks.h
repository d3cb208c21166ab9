// Kernel entries as preemption points. A loaded driver image calls the
// kernel through its procedure linkage table; every slot bound to a kernel
// routine is redirected through a small thunk that first lets the scheduler
// switch to another context, then jumps on to the routine with the
// arguments, the stack and the return address untouched. So every kernel
// routine a driver imports is a preemption point without any routine having
// to say so.
#pragma once

#include <cstddef>
#include <string>

// What every thunk calls before the routine: the scheduler's kernel entry.
extern "C" void sim_kernel_entry_hook();

namespace sim {

// Redirects the image's procedure linkage slots that lead into the kernel.
// Returns how many were redirected, or -1 (with *error) when the image's
// dynamic section cannot be read.
int InstallKernelEntryThunks(void* dl_handle, std::string* error);

// The thunk that enters a kernel routine, for loaders that bind an image's
// imports themselves; null when out of memory.
void* KernelEntryThunk(void* routine);

}  // namespace sim
