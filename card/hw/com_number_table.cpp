// Bookkeeping of new ports in the shared "ComNumConfig" table: a port is
// recorded once, by I/O address, with the COM number its card's active
// configuration-file record gives for its slot.
#include "card/hw/com_number_table.h"
#include "card/hw/config_file.h"
#include "card/hw/register_map.h"
#include "common/registry_access.h"
#include "common/settings_records.h"

namespace {

// Turns "InitialFlag" 1 into 2, so that the next naming pass enforces the
// configured numbers.
void MarkNewPort(const PortRecordContext* Context, ULONG Position) {
  HANDLE key = NULL;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Context->Card->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                          DEVICE_KEY_ACCESS, &key)))
    return;
  ULONG flag = 0;
  if (!NT_SUCCESS(QueryKeyDword(key, L"InitialFlag", &flag))) flag = 0;
  if (flag == 1 && PortInChipsLastGroup(Context->DeviceId, Position)) {
    const ULONG two = 2;
    SetKeyValue(key, L"InitialFlag", REG_DWORD, &two, sizeof two);
  }
  ZwClose(key);
}

// The card's first active record, looked for up to the first empty selector.
const ConfigFileRecord* ActiveRecord(const PortRecordContext* Context) {
  if (!Context->BusKnown) return NULL;
  const ConfigFileRecord* records = reinterpret_cast<const ConfigFileRecord*>(Context->ConfigImage);
  for (ULONG r = 0; r < CONFIG_FILE_RECORDS; ++r) {
    const UCHAR selector = records[r].Selector;
    if (selector == 0) break;
    if (ConfigSelectorMatches(selector, Context->ConfigBus) && (selector & CONFIG_SELECTOR_ACTIVE)) return &records[r];
  }
  return NULL;
}

}  // namespace

BOOLEAN LoadComNumberTable(PUCHAR Table) {
  RtlZeroMemory(Table, COM_NUMBER_TABLE_BUFFER_SIZE);
  ULONG length = 0;
  ULONG type = REG_NONE;
  NTSTATUS status = QueryValueByPath(COM_NUMBER_TABLE_VALUE, &length, Table, COM_NUMBER_TABLE_VALUE_SIZE,
                                     COM_NUMBER_TABLE_KEY, &type);
  if (NT_SUCCESS(status)) return type == REG_BINARY;
  RtlZeroMemory(Table, COM_NUMBER_TABLE_BUFFER_SIZE);
  if (status != STATUS_OBJECT_NAME_NOT_FOUND) return FALSE;
  SetValueByPath(COM_NUMBER_TABLE_VALUE, Table, REG_BINARY, COM_NUMBER_TABLE_KEY, COM_NUMBER_TABLE_VALUE_SIZE);
  return TRUE;
}

void SaveComNumberTable(const UCHAR* Table) {
  SetValueByPath(COM_NUMBER_TABLE_VALUE, Table, REG_BINARY, COM_NUMBER_TABLE_KEY, COM_NUMBER_TABLE_VALUE_SIZE);
}

BOOLEAN RecordPortComNumber(const PortRecordContext* Context, USHORT Address, ULONG Slot, ULONG Position) {
  ComNumberEntry* entries = reinterpret_cast<ComNumberEntry*>(Context->ComNumberTable);
  ComNumberEntry* free_entry = NULL;
  for (ULONG i = 0; i < COM_NUMBER_TABLE_ENTRIES; ++i) {
    if (ComNumberEntryAddress(&entries[i]) == Address) return FALSE;  // already recorded
    if (ComNumberEntryIsFree(&entries[i])) {
      free_entry = &entries[i];
      break;
    }
  }
  if (!free_entry) return FALSE;  // the table is full

  MarkNewPort(Context, Position);

  const ConfigFileRecord* record = ActiveRecord(Context);
  if (!record) return FALSE;
  free_entry->AddressHigh = static_cast<UCHAR>(Address >> 8);
  free_entry->AddressLow = static_cast<UCHAR>(Address);
  // A slot in another group of four than the port's position has no record
  // byte of its own: the port enumerator picks the number.
  free_entry->ComNumber = Slot / 4 == Position / 4 ? record->ComNumbers[Slot] : 0;
  free_entry->Applied = 0;
  return TRUE;
}
