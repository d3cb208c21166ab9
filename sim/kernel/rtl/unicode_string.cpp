// Counted strings: initialisation, copying, appending and comparison.
#include "nt/rtl.h"
#include "ntstatus.h"
#include "sim/kernel/rtl/character_tables.h"

namespace {

constexpr USHORT kMaxUnicodeBytes = 0xFFFC;  // leaves room for the NUL
constexpr USHORT kMaxAnsiBytes = 0xFFFE;

template <typename Char>
SIZE_T CountUntilNul(const Char* s) {
  SIZE_T n = 0;
  while (s[n] != 0) ++n;
  return n;
}

WCHAR Fold(WCHAR c, BOOLEAN caseInsensitive) {
  return caseInsensitive ? static_cast<WCHAR>(sim::rtl::UpcaseChar(static_cast<char16_t>(c))) : c;
}

UCHAR FoldAnsi(CHAR c, BOOLEAN caseInsensitive) {
  return static_cast<UCHAR>(caseInsensitive ? RtlUpperChar(c) : c);
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  SIZE_T bytes = CountUntilNul(SourceString) * sizeof(WCHAR);
  if (bytes > kMaxUnicodeBytes) bytes = kMaxUnicodeBytes;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  SIZE_T bytes = CountUntilNul(SourceString);
  if (bytes > kMaxAnsiBytes - 1) bytes = kMaxAnsiBytes - 1;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
  RtlInitAnsiString(DestinationString, SourceString);
}

// Copies as much as the destination holds, and a NUL when there is room.
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                         : DestinationString->MaximumLength;
  bytes &= static_cast<USHORT>(~1u);
  RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

VOID NTAPI RtlCopyString(PSTRING DestinationString, const STRING* SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                         : DestinationString->MaximumLength;
  RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes < DestinationString->MaximumLength) DestinationString->Buffer[bytes] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  USHORT bytes = Source->Length;
  if (bytes == 0) return STATUS_SUCCESS;
  if (static_cast<ULONG>(Destination->Length) + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  RtlMoveMemory(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer, bytes);
  Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  SIZE_T bytes = CountUntilNul(Source) * sizeof(WCHAR);
  if (bytes > kMaxUnicodeBytes) return STATUS_BUFFER_TOO_SMALL;
  UNICODE_STRING source;
  source.Length = source.MaximumLength = static_cast<USHORT>(bytes);
  source.Buffer = const_cast<PWSTR>(Source);
  return RtlAppendUnicodeStringToString(Destination, &source);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  USHORT chars1 = String1->Length / sizeof(WCHAR);
  USHORT chars2 = String2->Length / sizeof(WCHAR);
  USHORT common = chars1 < chars2 ? chars1 : chars2;
  for (USHORT i = 0; i < common; ++i) {
    WCHAR a = Fold(String1->Buffer[i], CaseInSensitive);
    WCHAR b = Fold(String2->Buffer[i], CaseInSensitive);
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(chars1) - static_cast<LONG>(chars2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length / sizeof(WCHAR) != String2->Length / sizeof(WCHAR)) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  USHORT chars = String1->Length / sizeof(WCHAR);
  if (chars > String2->Length / sizeof(WCHAR)) return FALSE;
  for (USHORT i = 0; i < chars; ++i) {
    if (Fold(String1->Buffer[i], CaseInSensitive) != Fold(String2->Buffer[i], CaseInSensitive)) return FALSE;
  }
  return TRUE;
}

LONG NTAPI RtlCompareString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive) {
  USHORT common = String1->Length < String2->Length ? String1->Length : String2->Length;
  for (USHORT i = 0; i < common; ++i) {
    UCHAR a = FoldAnsi(String1->Buffer[i], CaseInSensitive);
    UCHAR b = FoldAnsi(String2->Buffer[i], CaseInSensitive);
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareString(String1, String2, CaseInSensitive) == 0;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  return static_cast<WCHAR>(sim::rtl::UpcaseChar(static_cast<char16_t>(SourceCharacter)));
}

WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter) {
  return static_cast<WCHAR>(sim::rtl::DowncaseChar(static_cast<char16_t>(SourceCharacter)));
}

// Upper case in the ANSI code page: through UTF-16 and back.
CHAR NTAPI RtlUpperChar(CHAR Character) {
  char16_t wide = sim::rtl::AnsiToUnicodeChar(static_cast<unsigned char>(Character));
  char16_t upper = sim::rtl::UpcaseChar(wide);
  unsigned char back = sim::rtl::UnicodeToAnsiChar(upper);
  return static_cast<CHAR>(back == '?' && wide != u'?' ? static_cast<unsigned char>(Character) : back);
}

SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  const auto* a = static_cast<const UCHAR*>(Source1);
  const auto* b = static_cast<const UCHAR*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}

}  // extern "C"
