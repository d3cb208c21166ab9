// Pool buffers of the string routines that allocate (paged pool, one tag),
// released by RtlFreeUnicodeString / RtlFreeAnsiString. The block belongs to
// the driver that called the Rtl routine, so that its leaks are its own.
#pragma once
#include "nt/ex.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pool.h"

namespace sim::rtl {

inline constexpr ULONG kStringPoolTag = 'grtS';  // "Strg" in a pool dump

inline PVOID AllocateStringBuffer(SIZE_T bytes, const DriverImage* caller) {
  return K().pool->Allocate(PagedPool, bytes, kStringPoolTag, caller);
}
inline void FreeStringBuffer(PVOID buffer, const DriverImage* caller) {
  K().pool->Free(buffer, kStringPoolTag, true, caller);
}

}  // namespace sim::rtl
