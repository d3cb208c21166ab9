// Pool buffers of the string routines that allocate (paged pool, one tag),
// released by RtlFreeUnicodeString / RtlFreeAnsiString.
#pragma once
#include "nt/ex.h"

namespace sim::rtl {

inline constexpr ULONG kStringPoolTag = 'grtS';  // "Strg" in a pool dump

inline PVOID AllocateStringBuffer(SIZE_T bytes) { return ExAllocatePoolWithTag(PagedPool, bytes, kStringPoolTag); }
inline void FreeStringBuffer(PVOID buffer) { ExFreePoolWithTag(buffer, kStringPoolTag); }

}  // namespace sim::rtl
