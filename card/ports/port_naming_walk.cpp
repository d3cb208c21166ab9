// The serial service's Enum list as the naming pass reads it: the walk over
// its values, the recognition of this card's own port instances among them,
// the instance paths of a card's ports, and the value reads of the pass.
#include "card/ports/port_naming.h"

#include <ntstrsafe.h>

#include "common/registry_access.h"

namespace {

const WCHAR kSerialEnumKey[] = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110\\Enum";
const WCHAR kEnumRoot[] = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
const ULONG kEnumRootChars = RTL_NUMBER_OF(kEnumRoot) - 1;

// An instance path of a port: "ZARKLINK\*KVRCOMnn\<instance ID>". Its 17th
// and 18th characters are the port number's digits.
const WCHAR kBusName[] = L"ZARKLINK";
const ULONG kBusNameChars = RTL_NUMBER_OF(kBusName) - 1;
const ULONG kPortDigit = 16;  // zero-based index of the first digit

BOOLEAN BeginsWithBusName(const WCHAR* Text) {
  for (ULONG i = 0; i < kBusNameChars; ++i)
    if (Text[i] != kBusName[i]) return FALSE;
  return TRUE;
}

// A value that begins with the bus name and is long enough to hold a port
// number.
BOOLEAN NamesPort(const WCHAR* Text) {
  if (!BeginsWithBusName(Text)) return FALSE;
  for (ULONG i = kBusNameChars; i <= kPortDigit + 1; ++i)
    if (Text[i] == 0) return FALSE;
  return TRUE;
}

// Rewrites the port number inside an instance key ("...\Enum\" + instance path).
void SetPortDigits(PWCHAR InstanceKey, ULONG Port) {
  InstanceKey[kEnumRootChars + kPortDigit] = static_cast<WCHAR>(L'0' + Port / 10);
  InstanceKey[kEnumRootChars + kPortDigit + 1] = static_cast<WCHAR>(L'0' + Port % 10);
}

ULONG DigitValue(WCHAR Char) { return Char >= L'0' && Char <= L'9' ? static_cast<ULONG>(Char - L'0') : 0; }

// Three, two or one digits from First on; a character that is not a digit
// counts as 0.
ULONG Digits(const WCHAR* First, BOOLEAN Three, BOOLEAN Two) {
  if (Three) return DigitValue(First[0]) * 100 + DigitValue(First[1]) * 10 + DigitValue(First[2]);
  if (Two) return DigitValue(First[0]) * 10 + DigitValue(First[1]);
  return DigitValue(First[0]);
}

}  // namespace

ULONG PortNameNumber(const WCHAR* PortName) {
  // "COM" and up to three digits; the name is NUL-padded to 7 characters.
  return Digits(PortName + 3, PortName[5] != 0, PortName[4] != 0);
}

ULONG FriendlyNameNumber(const WCHAR* FriendlyName) {
  // "Communications Port (COM" is 24 characters; the closing parenthesis
  // follows the digits. The buffer is NUL-padded to 256 characters.
  return Digits(FriendlyName + 24, FriendlyName[27] != 0, FriendlyName[26] != 0);
}

NTSTATUS ReadTextByPath(PCWSTR ValueName, PCWSTR KeyPath, PWCHAR Buffer, ULONG Chars) {
  const ULONG capacity = Chars * sizeof(WCHAR);
  RtlZeroMemory(Buffer, capacity);
  ULONG length = 0;
  NTSTATUS status = QueryValueByPath(ValueName, &length, Buffer, capacity, KeyPath, NULL);
  if (!NT_SUCCESS(status)) return status;
  if (length > capacity || Buffer[Chars - 1] != 0) {
    RtlZeroMemory(Buffer, capacity);
    return STATUS_BUFFER_OVERFLOW;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReadDwordByPath(PCWSTR ValueName, PCWSTR KeyPath, PULONG Value) {
  ULONG data = 0;
  ULONG length = 0;
  NTSTATUS status = QueryValueByPath(ValueName, &length, &data, sizeof data, KeyPath, NULL);
  if (!NT_SUCCESS(status)) return status;
  if (length > sizeof data) return STATUS_BUFFER_OVERFLOW;
  *Value = data;
  return STATUS_SUCCESS;
}

NTSTATUS ReadPortNameByKey(HANDLE Key, NamingWork* Work) {
  RtlZeroMemory(Work->PortName, sizeof Work->PortName);
  NTSTATUS status = QueryKeyValue(Key, L"PortName", Work->PortName, sizeof Work->PortName);
  if (status == STATUS_BUFFER_OVERFLOW || (NT_SUCCESS(status) && Work->PortName[NAMING_PORT_NAME_CHARS - 1] != 0)) {
    RtlZeroMemory(Work->PortName, sizeof Work->PortName);
    return STATUS_SUCCESS;
  }
  return status;
}

BOOLEAN AppendParameters(PWCHAR KeyPath) {
  return NT_SUCCESS(RtlStringCchCatW(KeyPath, NAMING_PATH_CHARS, L"\\Device Parameters"));
}

void BuildPortKey(NamingWork* Work, ULONG Port) {
  RtlCopyMemory(Work->PortKey, Work->CardKey, sizeof Work->PortKey);
  SetPortDigits(Work->PortKey, Port);
}

void WalkSerialEnum(NamingWork* Work, NamingVisit Visit) {
  for (ULONG index = 0; index <= 255; ++index) {
    WCHAR name[4];
    RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), L"%d", static_cast<int>(index));
    if (!NT_SUCCESS(ReadTextByPath(name, kSerialEnumKey, Work->EnumValue, NAMING_TEXT_CHARS))) return;
    if (NamesPort(Work->EnumValue) &&
        NT_SUCCESS(RtlStringCchCopyW(Work->InstanceKey, NAMING_PATH_CHARS, kEnumRoot)) &&
        NT_SUCCESS(RtlStringCchCatW(Work->InstanceKey, NAMING_PATH_CHARS, Work->EnumValue)) && Visit(Work))
      return;
    // The list ends early when its second-to-last value is no port of ours.
    if (index == 254 && !BeginsWithBusName(Work->EnumValue)) return;
  }
}

// The card is recognised by its first port's COM name: the walked value's
// port in that slot must hold, in its own "Device Parameters", the name the
// card's port device key holds. COM names are unique system-wide, and the
// device key is that very key when the value is one of this card's ports,
// so a card whose friendly names are out of step (what the check pass
// repairs) is still found, and another card's ports never match.
BOOLEAN FindCardInstance(NamingWork* Work) {
  if (Work->FirstSlotNumber == 0) return FALSE;
  RtlCopyMemory(Work->PortKey, Work->InstanceKey, sizeof Work->PortKey);
  SetPortDigits(Work->PortKey, Work->FirstSlot + 1);
  if (!AppendParameters(Work->PortKey)) return FALSE;
  WCHAR name[NAMING_PORT_NAME_CHARS];
  if (!NT_SUCCESS(ReadTextByPath(L"PortName", Work->PortKey, name, NAMING_PORT_NAME_CHARS))) return FALSE;
  if (PortNameNumber(name) != Work->FirstSlotNumber) return FALSE;
  // Ports 10 to 12 carry a '1' in the 17th character: both digits are set.
  RtlCopyMemory(Work->CardKey, Work->InstanceKey, sizeof Work->CardKey);
  SetPortDigits(Work->CardKey, 1);
  Work->CardKeyKnown = TRUE;
  return TRUE;
}
