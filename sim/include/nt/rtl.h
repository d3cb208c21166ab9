// Run-time library: counted strings, conversions and comparisons.
// Buffers that these routines allocate come from paged pool and are released
// with RtlFreeUnicodeString / RtlFreeAnsiString.
#pragma once
#include "nt/basetypes.h"

#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

typedef const CHAR* PCSZ;
typedef STRING OEM_STRING, *POEM_STRING;
typedef const STRING* PCOEM_STRING;

// Initialisation.
FORCEINLINE VOID RtlInitEmptyUnicodeString(PUNICODE_STRING UnicodeString, PWSTR Buffer, USHORT BufferSize) {
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = BufferSize;
  UnicodeString->Buffer = Buffer;
}
FORCEINLINE VOID RtlInitEmptyAnsiString(PANSI_STRING AnsiString, PCHAR Buffer, USHORT BufferSize) {
  AnsiString->Length = 0;
  AnsiString->MaximumLength = BufferSize;
  AnsiString->Buffer = Buffer;
}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size) \
  WCHAR _var##_buffer[_size];                    \
  UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}
#define DECLARE_CONST_UNICODE_STRING(_var, _string) \
  const WCHAR _var##_buffer[] = _string;            \
  const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWSTR)_var##_buffer}
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
NTSYSAPI VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString);

// Copying and appending.
NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI VOID NTAPI RtlCopyString(PSTRING DestinationString, const STRING* SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);

// Conversions between ANSI and UTF-16 (the system code page is Windows-1252's
// Latin-1 range: characters above 0xFF become '?').
NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString);
NTSYSAPI ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString);
#define RtlAnsiStringToUnicodeSize(String) RtlxAnsiStringToUnicodeSize(String)
#define RtlUnicodeStringToAnsiSize(String) RtlxUnicodeStringToAnsiSize(String)
NTSYSAPI NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);

// Comparisons.
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive);
NTSYSAPI LONG NTAPI RtlCompareString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive);
NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI CHAR NTAPI RtlUpperChar(CHAR Character);

// Integers.
NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSYSAPI NTSTATUS NTAPI RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PCHAR String);
NTSYSAPI NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value);

// GUIDs as "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
NTSYSAPI NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);
NTSYSAPI NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);

// The kernel's printf family (formats as Windows' C runtime: in the wide
// functions %s and %c take wide arguments, %S/%hs and %C/%hc narrow ones).
// Their argument lists are Windows ones: the va_list a Windows caller passes
// is __builtin_ms_va_list on the host.
extern "C" int __cdecl _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format,
                                   __builtin_ms_va_list Arguments);
extern "C" int __cdecl _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...);
extern "C" int __cdecl _vsnprintf(CHAR* Buffer, size_t Count, const CHAR* Format, __builtin_ms_va_list Arguments);
extern "C" int __cdecl _snprintf(CHAR* Buffer, size_t Count, const CHAR* Format, ...);

// Registry values by path (PASSIVE_LEVEL). RelativeTo names the root Path
// is below; RTL_REGISTRY_HANDLE makes Path an open key handle. Writing
// creates a missing key whose parent exists.
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000
NTSYSAPI NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                              PVOID ValueData, ULONG ValueLength);
NTSYSAPI NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);

