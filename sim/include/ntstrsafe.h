// Safe string routines of the kernel: every result is NUL-terminated within
// the destination's size. A destination too small gets the truncated text
// and STATUS_BUFFER_OVERFLOW; a size of zero (or above NTSTRSAFE_MAX_CCH) is
// STATUS_INVALID_PARAMETER. As on Windows these are inline; the printf forms
// format through the kernel's _vsnwprintf / _vsnprintf, and their argument
// lists are Windows ones (__builtin_ms_va_list on the host).
#pragma once
// As on Windows, <wdm.h> or <ntddk.h> must come first.
#ifndef NT_SUCCESS
#error "include <wdm.h> or <ntddk.h> before this header, as the Windows kernel headers require"
#endif

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767
typedef const WCHAR* NTSTRSAFE_PCWSTR;
typedef const CHAR* NTSTRSAFE_PCSTR;
typedef WCHAR* NTSTRSAFE_PWSTR;
typedef CHAR* NTSTRSAFE_PSTR;

namespace ntstrsafe_detail {

inline int VFormat(WCHAR* d, size_t n, const WCHAR* f, __builtin_ms_va_list a) { return _vsnwprintf(d, n, f, a); }
inline int VFormat(CHAR* d, size_t n, const CHAR* f, __builtin_ms_va_list a) { return _vsnprintf(d, n, f, a); }

template <typename Char>
NTSTATUS Length(const Char* psz, size_t cchMax, size_t* pcchLength) {
  if (psz == nullptr || cchMax > NTSTRSAFE_MAX_CCH) {
    if (pcchLength != nullptr) *pcchLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = 0;
  while (n < cchMax && psz[n] != 0) ++n;
  NTSTATUS status = n == cchMax ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
  if (pcchLength != nullptr) *pcchLength = NT_SUCCESS(status) ? n : 0;
  return status;
}

// Copies at most cchToCopy characters of src, truncating to the destination.
template <typename Char>
NTSTATUS CopyN(Char* dest, size_t cchDest, const Char* src, size_t cchToCopy) {
  if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t i = 0;
  while (i + 1 < cchDest && i < cchToCopy && src[i] != 0) {
    dest[i] = src[i];
    ++i;
  }
  dest[i] = 0;
  bool more = i < cchToCopy && src[i] != 0;
  return more ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename Char>
NTSTATUS CatN(Char* dest, size_t cchDest, const Char* src, size_t cchToAppend) {
  if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t used = 0;
  NTSTATUS status = Length(dest, cchDest, &used);
  if (!NT_SUCCESS(status)) return status;
  return CopyN(dest + used, cchDest - used, src, cchToAppend);
}

template <typename Char>
NTSTATUS VPrintf(Char* dest, size_t cchDest, const Char* format, __builtin_ms_va_list args) {
  if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t cchMax = cchDest - 1;
  int written = VFormat(dest, cchMax, format, args);
  if (written < 0 || static_cast<size_t>(written) > cchMax) {
    dest[cchMax] = 0;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (static_cast<size_t>(written) == cchMax) dest[cchMax] = 0;
  return STATUS_SUCCESS;
}

}  // namespace ntstrsafe_detail

// Length.
inline NTSTATUS NTAPI RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
  return ntstrsafe_detail::Length(psz, cchMax, pcchLength);
}
inline NTSTATUS NTAPI RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax, size_t* pcchLength) {
  return ntstrsafe_detail::Length(psz, cchMax, pcchLength);
}
inline NTSTATUS NTAPI RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
  size_t cch = 0;
  NTSTATUS status = ntstrsafe_detail::Length(psz, cbMax / sizeof(WCHAR), &cch);
  if (pcbLength != nullptr) *pcbLength = cch * sizeof(WCHAR);
  return status;
}
inline NTSTATUS NTAPI RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t* pcbLength) {
  return ntstrsafe_detail::Length(psz, cbMax, pcbLength);
}

// Copy.
inline NTSTATUS NTAPI RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
  return ntstrsafe_detail::CopyN(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS NTAPI RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
  return ntstrsafe_detail::CopyN(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS NTAPI RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
  return ntstrsafe_detail::CopyN(pszDest, cbDest / sizeof(WCHAR), pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS NTAPI RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
  return ntstrsafe_detail::CopyN(pszDest, cbDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS NTAPI RtlStringCchCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc,
                                         size_t cchToCopy) {
  if (cchToCopy > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  return ntstrsafe_detail::CopyN(pszDest, cchDest, pszSrc, cchToCopy);
}
inline NTSTATUS NTAPI RtlStringCbCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc,
                                        size_t cbToCopy) {
  return RtlStringCchCopyNW(pszDest, cbDest / sizeof(WCHAR), pszSrc, cbToCopy / sizeof(WCHAR));
}

// Concatenation: the destination must already hold a NUL-terminated string.
inline NTSTATUS NTAPI RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
  return ntstrsafe_detail::CatN(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS NTAPI RtlStringCchCatA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
  return ntstrsafe_detail::CatN(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS NTAPI RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
  return ntstrsafe_detail::CatN(pszDest, cbDest / sizeof(WCHAR), pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS NTAPI RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
  return ntstrsafe_detail::CatN(pszDest, cbDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS NTAPI RtlStringCchCatNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc,
                                        size_t cchToAppend) {
  if (cchToAppend > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  return ntstrsafe_detail::CatN(pszDest, cchDest, pszSrc, cchToAppend);
}

// Formatting.
inline NTSTATUS NTAPI RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                                           __builtin_ms_va_list argList) {
  return ntstrsafe_detail::VPrintf(pszDest, cchDest, pszFormat, argList);
}
inline NTSTATUS NTAPI RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat,
                                           __builtin_ms_va_list argList) {
  return ntstrsafe_detail::VPrintf(pszDest, cchDest, pszFormat, argList);
}
inline NTSTATUS NTAPI RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                                          __builtin_ms_va_list argList) {
  return ntstrsafe_detail::VPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}
inline NTSTATUS NTAPI RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat,
                                          __builtin_ms_va_list argList) {
  return ntstrsafe_detail::VPrintf(pszDest, cbDest, pszFormat, argList);
}
inline NTSTATUS __cdecl RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, pszFormat);
  NTSTATUS status = ntstrsafe_detail::VPrintf(pszDest, cchDest, pszFormat, args);
  __builtin_ms_va_end(args);
  return status;
}
inline NTSTATUS __cdecl RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, pszFormat);
  NTSTATUS status = ntstrsafe_detail::VPrintf(pszDest, cchDest, pszFormat, args);
  __builtin_ms_va_end(args);
  return status;
}
inline NTSTATUS __cdecl RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, pszFormat);
  NTSTATUS status = ntstrsafe_detail::VPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
  __builtin_ms_va_end(args);
  return status;
}
inline NTSTATUS __cdecl RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, pszFormat);
  NTSTATUS status = ntstrsafe_detail::VPrintf(pszDest, cbDest, pszFormat, args);
  __builtin_ms_va_end(args);
  return status;
}
