// The kernel's exported printf routines, as ntoskrnl has them: Windows
// calling convention and Windows argument lists (nt/rtl.h declares them).
#include "nt/rtl.h"
#include "sim/kernel/rtl/kernel_format.h"

static_assert(sizeof(WCHAR) == sizeof(char16_t));

extern "C" int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, __builtin_ms_va_list Arguments) {
  return sim::rtl::FormatWide(reinterpret_cast<char16_t*>(Buffer), Count,
                              reinterpret_cast<const char16_t*>(Format), Arguments);
}

extern "C" int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  int result = _vsnwprintf(Buffer, Count, Format, args);
  __builtin_ms_va_end(args);
  return result;
}

extern "C" int _vsnprintf(CHAR* Buffer, size_t Count, const CHAR* Format, __builtin_ms_va_list Arguments) {
  return sim::rtl::FormatNarrow(Buffer, Count, Format, Arguments);
}

extern "C" int _snprintf(CHAR* Buffer, size_t Count, const CHAR* Format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  int result = _vsnprintf(Buffer, Count, Format, args);
  __builtin_ms_va_end(args);
  return result;
}
