#include "support/pool_failure.h"

#include <ntddk.h>

namespace {

unsigned failing_call = 0;  // 0: none
unsigned calls = 0;

}  // namespace

namespace sim::test {

PoolFailure::PoolFailure(unsigned nth) {
  failing_call = nth;
  calls = 0;
}

PoolFailure::~PoolFailure() { failing_call = 0; }

}  // namespace sim::test

// The program links with --wrap=ExAllocatePoolWithTag: the calls made by
// the code linked into it come here, while the driver images loaded into a
// machine keep calling the kernel's routine (and its own fault plan).
extern "C" PVOID NTAPI __real_ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag);

extern "C" PVOID NTAPI __wrap_ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
  if (failing_call != 0 && ++calls == failing_call) return nullptr;
  return __real_ExAllocatePoolWithTag(type, size, tag);
}
