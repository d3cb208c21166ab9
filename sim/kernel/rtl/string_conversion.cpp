// Conversions between ANSI and UTF-16 counted strings, and the routines
// that allocate a destination from pool (freed with RtlFree*String).
#include "nt/rtl.h"
#include "ntstatus.h"
#include "sim/kernel/rtl/character_tables.h"
#include "sim/kernel/rtl/string_pool.h"

extern "C" {

ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) {
  return (static_cast<ULONG>(AnsiString->Length) + 1) * sizeof(WCHAR);
}

ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) {
  return UnicodeString->Length / sizeof(WCHAR) + 1;
}

// The destination gets the whole string and a NUL, or nothing at all.
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  ULONG size = RtlxAnsiStringToUnicodeSize(SourceString);
  if (size > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(sim::rtl::AllocateStringBuffer(size, SIM_CALLER()));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(size);
  } else if (size > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  USHORT chars = SourceString->Length;
  for (USHORT i = 0; i < chars; ++i)
    DestinationString->Buffer[i] =
        static_cast<WCHAR>(sim::rtl::AnsiToUnicodeChar(static_cast<unsigned char>(SourceString->Buffer[i])));
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  ULONG size = RtlxUnicodeStringToAnsiSize(SourceString);
  if (size > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PCHAR>(sim::rtl::AllocateStringBuffer(size, SIM_CALLER()));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(size);
  } else if (size > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  USHORT chars = static_cast<USHORT>(size - 1);
  for (USHORT i = 0; i < chars; ++i)
    DestinationString->Buffer[i] =
        static_cast<CHAR>(sim::rtl::UnicodeToAnsiChar(static_cast<char16_t>(SourceString->Buffer[i])));
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = chars;
  return STATUS_SUCCESS;
}

// Upper-cases into the destination; the result is not NUL-terminated.
NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  USHORT bytes = SourceString->Length;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(sim::rtl::AllocateStringBuffer(bytes, SIM_CALLER()));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = bytes;
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < bytes / sizeof(WCHAR); ++i)
    DestinationString->Buffer[i] = RtlUpcaseUnicodeChar(SourceString->Buffer[i]);
  DestinationString->Length = bytes;
  return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer == nullptr) return;
  sim::rtl::FreeStringBuffer(UnicodeString->Buffer, SIM_CALLER());
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer == nullptr) return;
  sim::rtl::FreeStringBuffer(AnsiString->Buffer, SIM_CALLER());
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

}  // extern "C"
