// GUIDs in registry form: "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
#include "nt/rtl.h"
#include "ntstatus.h"
#include "sim/kernel/rtl/string_pool.h"

namespace {

constexpr USHORT kGuidChars = 38;

// Reads `digits` hexadecimal characters at text[at].
bool ReadHex(PCWSTR text, int at, int digits, ULONG* value) {
  ULONG result = 0;
  for (int i = 0; i < digits; ++i) {
    WCHAR c = text[at + i];
    ULONG d;
    if (c >= L'0' && c <= L'9') d = c - L'0';
    else if (c >= L'a' && c <= L'f') d = c - L'a' + 10;
    else if (c >= L'A' && c <= L'F') d = c - L'A' + 10;
    else return false;
    result = result * 16 + d;
  }
  *value = result;
  return true;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
  USHORT size = (kGuidChars + 1) * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(sim::rtl::AllocateStringBuffer(size, SIM_CALLER()));
  if (buffer == nullptr) return STATUS_NO_MEMORY;
  _snwprintf(buffer, kGuidChars + 1, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
             Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
             Guid.Data4[6], Guid.Data4[7]);
  GuidString->Buffer = buffer;
  GuidString->Length = kGuidChars * sizeof(WCHAR);
  GuidString->MaximumLength = size;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
  if (GuidString->Length != kGuidChars * sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  PCWSTR s = GuidString->Buffer;
  if (s[0] != L'{' || s[9] != L'-' || s[14] != L'-' || s[19] != L'-' || s[24] != L'-' || s[37] != L'}')
    return STATUS_INVALID_PARAMETER;
  ULONG data1, data2, data3, byte;
  GUID result;
  if (!ReadHex(s, 1, 8, &data1) || !ReadHex(s, 10, 4, &data2) || !ReadHex(s, 15, 4, &data3))
    return STATUS_INVALID_PARAMETER;
  result.Data1 = data1;
  result.Data2 = static_cast<USHORT>(data2);
  result.Data3 = static_cast<USHORT>(data3);
  static constexpr int kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(s, kByteAt[i], 2, &byte)) return STATUS_INVALID_PARAMETER;
    result.Data4[i] = static_cast<UCHAR>(byte);
  }
  *Guid = result;
  return STATUS_SUCCESS;
}

}  // extern "C"
