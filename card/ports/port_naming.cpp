// The naming pass of a card: the check pass, the renumbering pass and the
// configured-numbers pass, chosen by the card's "InitialFlag" and by whether
// the configuration file lists the card.
//
// Choices made here:
// - When the walk finds none of the card's instances, no port path is
//   known: the check pass changes nothing, and the renumbering pass writes
//   nothing and counts as failed, so "InitialFlag" stays 1 and the next
//   request tries again (the serial service lists a port only once it runs).
// - A "ComNumConfig" entry whose COM number is 0 gives no number (the port
//   enumerator picks one): the configured-numbers pass skips it.
// - Values longer than their buffers are refused, never cut: an over-long
//   "Enum" value ends the walk, an over-long "FriendlyName", "PortName" (by
//   path), "PortAddr" or "CompleteFlag" reads as failed, an over-long
//   "ComNumConfig" as absent; an over-long "PortName" through the port's key
//   reads as no number, which neither pass corrects (there is no COM0).
// - The renumbering hands the card's numbers out again only to the ports
//   that held one, so no number is lost to an empty slot or to a port
//   without a number, and no two ports end up with the same name.
#include "card/ports/port_naming.h"

#include <ntstrsafe.h>

#include "common/registry_access.h"

namespace {

const WCHAR kCompleteFlagKey[] = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZARKLINK";
const UCHAR kNoChange = 255;

NTSTATUS OpenDeviceKey(PDEVICE_OBJECT Device, PHANDLE Key) {
  return IoOpenDeviceRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, DEVICE_KEY_ACCESS, Key);
}

// The card's "InitialFlag", low 16 bits; FALSE when it cannot be read.
BOOLEAN ReadInitialFlag(CardExtension* Card, PULONG Flag) {
  HANDLE key = NULL;
  if (!NT_SUCCESS(OpenDeviceKey(Card->PhysicalDeviceObject, &key))) return FALSE;
  ULONG value = 0;
  const NTSTATUS status = QueryKeyDword(key, L"InitialFlag", &value);
  ZwClose(key);
  *Flag = value & 0xFFFF;
  return NT_SUCCESS(status);
}

NTSTATUS WriteInitialFlag(CardExtension* Card, ULONG Value) {
  HANDLE key = NULL;
  NTSTATUS status = OpenDeviceKey(Card->PhysicalDeviceObject, &key);
  if (!NT_SUCCESS(status)) return status;
  status = SetKeyValue(key, L"InitialFlag", REG_DWORD, &Value, sizeof Value);
  ZwClose(key);
  return status;
}

NTSTATUS WritePortNameByKey(HANDLE Key, ULONG Number) {
  WCHAR name[NAMING_PORT_NAME_CHARS + 1];
  RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), L"COM%d", static_cast<int>(Number));
  size_t chars = 0;
  RtlStringCchLengthW(name, RTL_NUMBER_OF(name), &chars);
  return SetKeyValue(Key, L"PortName", REG_SZ, name, static_cast<ULONG>((chars + 1) * sizeof(WCHAR)));
}

NTSTATUS WritePortNameByPath(PCWSTR KeyPath, ULONG Number) {
  WCHAR name[NAMING_PORT_NAME_CHARS + 1];
  RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), L"COM%d", static_cast<int>(Number));
  return SetValueByPath(L"PortName", name, REG_SZ, KeyPath, 0);
}

NTSTATUS WriteFriendlyName(PCWSTR InstanceKey, ULONG Number) {
  WCHAR text[40];
  RtlStringCchPrintfW(text, RTL_NUMBER_OF(text), L"Communications Port (COM%d)", static_cast<int>(Number));
  return SetValueByPath(L"FriendlyName", text, REG_SZ, InstanceKey, 0);
}

// The port device of a slot, once the Plug and Play manager knows it (a
// port made at the card's latest start may not have been enumerated yet).
PDEVICE_OBJECT NamedPort(const CardExtension* Card, ULONG Slot) {
  PDEVICE_OBJECT device = Card->PortDevices[Slot];
  return device && static_cast<PortExtension*>(device->DeviceExtension)->Enumerated ? device : NULL;
}

// The card's lowest occupied slot and the COM number its port holds, by
// which the walk recognises the card's instances.
void NoteFirstSlot(NamingWork* Work) {
  for (ULONG slot = 0; slot < CARD_MAX_PORTS; ++slot) {
    if (!NamedPort(Work->Card, slot)) continue;
    Work->FirstSlot = slot;
    HANDLE key = NULL;
    if (!NT_SUCCESS(OpenDeviceKey(NamedPort(Work->Card, slot), &key))) return;
    if (NT_SUCCESS(ReadPortNameByKey(key, Work))) Work->FirstSlotNumber = PortNameNumber(Work->PortName);
    ZwClose(key);
    return;
  }
}

// Check pass: a friendly name out of step with its port name is corrected,
// and the card is marked for a renumbering at the next request.
void CheckPass(NamingWork* Work) {
  NoteFirstSlot(Work);
  WalkSerialEnum(Work, FindCardInstance);
  if (!Work->CardKeyKnown) return;
  for (ULONG slot = 0; slot < CARD_MAX_PORTS; ++slot) {
    if (!NamedPort(Work->Card, slot)) continue;
    HANDLE key = NULL;
    if (!NT_SUCCESS(OpenDeviceKey(NamedPort(Work->Card, slot), &key))) continue;
    if (NT_SUCCESS(ReadPortNameByKey(key, Work))) {
      const ULONG number = PortNameNumber(Work->PortName);
      BuildPortKey(Work, slot + 1);
      if (number != 0 &&
          NT_SUCCESS(ReadTextByPath(L"FriendlyName", Work->PortKey, Work->FriendlyName, NAMING_TEXT_CHARS)) &&
          FriendlyNameNumber(Work->FriendlyName) != number) {
        WriteFriendlyName(Work->PortKey, number);
        WriteInitialFlag(Work->Card, 1);
      }
    }
    ZwClose(key);
  }
}

// Hands the numbers the card's ports hold out again in ascending order,
// the lowest to the first port that holds one.
void SortNumbers(NamingWork* Work) {
  ULONG holders = 0;
  for (ULONG slot = 0; slot < CARD_MAX_PORTS; ++slot)
    if (NamedPort(Work->Card, slot) && Work->CurrentNumbers[slot] != 0) holders |= 1u << slot;
  for (ULONG position = 0; position < CARD_MAX_PORTS; ++position) {
    Work->NewNumbers[position] = kNoChange;
    if (!(holders & (1u << position)) || Work->CurrentNumbers[position] == kNoChange) continue;
    ULONG lowest = CARD_MAX_PORTS;
    for (ULONG slot = 0; slot < CARD_MAX_PORTS; ++slot) {
      const UCHAR number = Work->CurrentNumbers[slot];
      if (number != 0 && number != kNoChange && (lowest == CARD_MAX_PORTS || number < Work->CurrentNumbers[lowest]))
        lowest = slot;
    }
    if (lowest == CARD_MAX_PORTS) continue;
    Work->NewNumbers[position] = Work->CurrentNumbers[lowest];
    Work->CurrentNumbers[lowest] = 0;
  }
}

// Gives each port its new number, in "PortName" and "FriendlyName"; FALSE
// when any step failed.
BOOLEAN ApplyNumbers(NamingWork* Work) {
  BOOLEAN ok = TRUE;
  for (ULONG slot = 0; slot < CARD_MAX_PORTS; ++slot) {
    if (!NamedPort(Work->Card, slot)) continue;
    HANDLE key = NULL;
    if (!NT_SUCCESS(OpenDeviceKey(NamedPort(Work->Card, slot), &key))) {
      ok = FALSE;
      continue;
    }
    if (!NT_SUCCESS(ReadPortNameByKey(key, Work))) {
      ok = FALSE;
      ZwClose(key);
      continue;
    }
    const ULONG port_number = PortNameNumber(Work->PortName);
    BuildPortKey(Work, slot + 1);
    ReadTextByPath(L"FriendlyName", Work->PortKey, Work->FriendlyName, NAMING_TEXT_CHARS);
    if (Work->FriendlyName[0] != L'C') ok = FALSE;
    const ULONG wanted = Work->NewNumbers[slot];
    if (wanted != kNoChange && (port_number != wanted || FriendlyNameNumber(Work->FriendlyName) != wanted)) {
      if (!NT_SUCCESS(WritePortNameByKey(key, wanted))) ok = FALSE;
      if (!NT_SUCCESS(WriteFriendlyName(Work->PortKey, wanted))) ok = FALSE;
    }
    ZwClose(key);
  }
  return ok;
}

// Marks the card's bus in "CompleteFlag": bit (bus % 32), low 16 bits only.
void MarkRenumbered(CardExtension* Card) {
  ULONG flag = 0;
  if (!NT_SUCCESS(ReadDwordByPath(L"CompleteFlag", kCompleteFlagKey, &flag))) flag = 0;
  const ULONG bit = Card->BusNumber % 32;
  if (bit < 16) flag |= 1u << bit;
  SetValueByPath(L"CompleteFlag", &flag, REG_DWORD, kCompleteFlagKey, sizeof flag);
}

// Renumbering pass: the card's numbers are sorted into port order. Only a
// pass in which every step succeeded clears "InitialFlag".
void RenumberPass(NamingWork* Work) {
  BOOLEAN ok = TRUE;
  BOOLEAN first = TRUE;
  for (ULONG slot = 0; slot < CARD_MAX_PORTS; ++slot) {
    Work->CurrentNumbers[slot] = 0;
    if (!NamedPort(Work->Card, slot)) continue;
    HANDLE key = NULL;
    if (!NT_SUCCESS(OpenDeviceKey(NamedPort(Work->Card, slot), &key))) {
      ok = FALSE;
      continue;
    }
    const NTSTATUS status = ReadPortNameByKey(key, Work);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return;  // nothing written; "InitialFlag" stays 1
    const ULONG number = PortNameNumber(Work->PortName);
    Work->CurrentNumbers[slot] = static_cast<UCHAR>(number);
    if (first) {
      Work->FirstSlot = slot;
      Work->FirstSlotNumber = number;
      first = FALSE;
    }
  }
  WalkSerialEnum(Work, FindCardInstance);
  SortNumbers(Work);
  if (!Work->CardKeyKnown || !ApplyNumbers(Work) || !ok) return;
  WriteInitialFlag(Work->Card, 0);
  MarkRenumbered(Work->Card);
}

// For each walked port instance, the entries of "ComNumConfig" that name its
// UART address give its COM number.
BOOLEAN ApplyConfiguredNumbers(NamingWork* Work) {
  RtlCopyMemory(Work->PortKey, Work->InstanceKey, sizeof Work->PortKey);
  if (!AppendParameters(Work->PortKey)) return FALSE;
  ULONG address = 0;
  if (!NT_SUCCESS(ReadDwordByPath(L"PortAddr", Work->PortKey, &address)) || address == 0) return FALSE;
  const ComNumberEntry* entries = reinterpret_cast<const ComNumberEntry*>(Work->ComTable);
  for (ULONG e = 0; e < COM_NUMBER_TABLE_ENTRIES; ++e) {
    const ULONG number = entries[e].ComNumber;
    if (ComNumberEntryAddress(&entries[e]) != address || number == 0) continue;
    if (!NT_SUCCESS(ReadTextByPath(L"PortName", Work->PortKey, Work->PortName, NAMING_PORT_NAME_CHARS))) break;
    if (PortNameNumber(Work->PortName) != number) WritePortNameByPath(Work->PortKey, number);
    if (!NT_SUCCESS(ReadTextByPath(L"FriendlyName", Work->InstanceKey, Work->FriendlyName, NAMING_TEXT_CHARS))) break;
    if (FriendlyNameNumber(Work->FriendlyName) != number) WriteFriendlyName(Work->InstanceKey, number);
  }
  return FALSE;
}

// Configured-numbers pass: runs while the card's "InitialFlag" is 2, which
// the bring-up sets when it records a new port of a listed card.
void ConfiguredNumbersPass(NamingWork* Work) {
  ULONG length = 0;
  if (!NT_SUCCESS(QueryValueByPath(COM_NUMBER_TABLE_VALUE, &length, Work->ComTable, sizeof Work->ComTable,
                                   COM_NUMBER_TABLE_KEY, NULL)) ||
      length > sizeof Work->ComTable)
    RtlZeroMemory(Work->ComTable, sizeof Work->ComTable);
  ULONG flag = 0;
  if (!ReadInitialFlag(Work->Card, &flag) || flag != 2) return;
  WalkSerialEnum(Work, ApplyConfiguredNumbers);
}

}  // namespace

void RunNamingPass(CardExtension* Card) {
  NamingWork* work = static_cast<NamingWork*>(ExAllocatePoolWithTag(PagedPool, sizeof(NamingWork), CARD_POOL_TAG));
  if (!work) return;  // the names wait for the next request
  RtlZeroMemory(work, sizeof *work);
  work->Card = Card;
  ULONG flag = 0;
  if (Card->CardInConfigFile)
    ConfiguredNumbersPass(work);
  else if (ReadInitialFlag(Card, &flag) && flag == 1)
    RenumberPass(work);
  else
    CheckPass(work);
  ExFreePoolWithTag(work, CARD_POOL_TAG);
}
