// The formatting engine behind the kernel's printf family (_vsnwprintf and
// friends, and so the RtlStringCch/CbPrintf routines of ntstrsafe.h).
#pragma once
#include <stdarg.h>
#include <stddef.h>

namespace sim::rtl {

// Formats into Buffer, writing at most Count characters, with the results of
// Windows' _vsnwprintf / _vsnprintf: the number of characters written when the
// text fits (NUL-terminated when there is room for the NUL too), -1 when it
// was cut off at Count characters. The arguments come as a Windows caller
// passes them.
int FormatWide(char16_t* buffer, size_t count, const char16_t* format, __builtin_ms_va_list args);
int FormatNarrow(char* buffer, size_t count, const char* format, __builtin_ms_va_list args);

}  // namespace sim::rtl
