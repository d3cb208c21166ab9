#include "pool_failure.h"

#include <dlfcn.h>

#include <cstdlib>

#include <ntddk.h>

namespace {

unsigned failing_call = 0;  // 0: none
unsigned calls = 0;

using AllocateRoutine = PVOID(NTAPI*)(POOL_TYPE, SIZE_T, ULONG);

AllocateRoutine KernelAllocate() {
  static const auto routine = reinterpret_cast<AllocateRoutine>(dlsym(RTLD_NEXT, "ExAllocatePoolWithTag"));
  if (routine == nullptr) std::abort();
  return routine;
}

}  // namespace

namespace enum_test {

PoolFailure::PoolFailure(unsigned nth) {
  failing_call = nth;
  calls = 0;
}

PoolFailure::~PoolFailure() { failing_call = 0; }

}  // namespace enum_test

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
  if (failing_call != 0 && ++calls == failing_call) return nullptr;
  return KernelAllocate()(type, size, tag);
}
