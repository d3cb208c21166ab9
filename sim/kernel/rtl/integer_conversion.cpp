// Integers to and from text in bases 2, 8, 10 and 16.
#include "nt/rtl.h"
#include "ntstatus.h"

namespace {

bool ValidBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

// Digits of value, most significant first, upper-case; returns their count.
int ToDigits(ULONGLONG value, ULONG base, char (&digits)[65]) {
  char reversed[64];
  int count = 0;
  do {
    reversed[count++] = "0123456789ABCDEF"[value % base];
    value /= base;
  } while (value != 0);
  for (int i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
  digits[count] = 0;
  return count;
}

NTSTATUS ToUnicodeString(ULONGLONG value, ULONG base, PUNICODE_STRING string) {
  if (base == 0) base = 10;
  if (!ValidBase(base)) return STATUS_INVALID_PARAMETER;
  char digits[65];
  int count = ToDigits(value, base, digits);
  // The text and its NUL must fit.
  if ((static_cast<ULONG>(count) + 1) * sizeof(WCHAR) > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i <= count; ++i) string->Buffer[i] = static_cast<WCHAR>(digits[i]);
  string->Length = static_cast<USHORT>(count * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

int DigitValue(ULONG c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return 99;
}

// Parses [white space][sign][prefix when base is 0]digits..., stopping at the
// first character that is not a digit of the base. The result wraps modulo
// 2^32 as the kernel's does; a leading '-' negates it.
template <typename Char>
NTSTATUS ParseInteger(const Char* text, SIZE_T length, ULONG base, PULONG value) {
  SIZE_T i = 0;
  while (i < length && static_cast<ULONG>(text[i]) <= ' ') ++i;
  if (i == length) return STATUS_INVALID_PARAMETER;
  bool negative = false;
  if (text[i] == '-' || text[i] == '+') {
    negative = text[i] == '-';
    ++i;
  }
  if (base == 0) {
    base = 10;
    if (i + 1 < length && text[i] == '0') {
      Char marker = text[i + 1];
      if (marker == 'x') base = 16;
      else if (marker == 'o') base = 8;
      else if (marker == 'b') base = 2;
      if (base != 10) i += 2;
    }
  } else if (!ValidBase(base)) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG result = 0;
  for (; i < length; ++i) {
    int digit = DigitValue(static_cast<ULONG>(text[i]));
    if (digit >= static_cast<int>(base)) break;
    result = result * base + static_cast<ULONG>(digit);
  }
  *value = negative ? 0u - result : result;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  return ToUnicodeString(Value, Base, String);
}

NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String) {
  return ToUnicodeString(Value, Base, String);
}

// Writes the digits, and a NUL when OutputLength leaves room for it.
NTSTATUS NTAPI RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PCHAR String) {
  if (Base == 0) Base = 10;
  if (!ValidBase(Base)) return STATUS_INVALID_PARAMETER;
  char digits[65];
  int count = ToDigits(Value, Base, digits);
  if (OutputLength < 0) OutputLength = count + 1;
  if (count > OutputLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < count; ++i) String[i] = digits[i];
  if (count < OutputLength) String[count] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  return ParseInteger(String->Buffer, String->Length / sizeof(WCHAR), Base, Value);
}

NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value) {
  SIZE_T length = 0;
  while (String[length] != 0) ++length;
  return ParseInteger(String, length, Base, Value);
}

}  // extern "C"
