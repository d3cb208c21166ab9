// Bookkeeping of new ports in the shared "ComNumConfig" table: a port is
// recorded once, by I/O address, with the COM number its card's active
// configuration-file record gives for its slot.
#include "card/hw/bring_up.h"
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

void RecordPortComNumber(const PortRecordContext* Context, USHORT Address, ULONG Slot, ULONG Position) {
  ComNumberEntry* entries = reinterpret_cast<ComNumberEntry*>(Context->ComNumberTable);
  ComNumberEntry* free_entry = NULL;
  for (ULONG i = 0; i < COM_NUMBER_TABLE_ENTRIES; ++i) {
    if (ComNumberEntryAddress(&entries[i]) == Address) return;  // already recorded
    if (ComNumberEntryIsFree(&entries[i])) {
      free_entry = &entries[i];
      break;
    }
  }
  if (!free_entry) return;  // the table is full

  MarkNewPort(Context, Position);

  const ConfigFileRecord* record = ActiveRecord(Context);
  if (!record) return;
  free_entry->AddressHigh = static_cast<UCHAR>(Address >> 8);
  free_entry->AddressLow = static_cast<UCHAR>(Address);
  // A slot in another group of four than the port's position has no record
  // byte of its own: the port enumerator picks the number.
  free_entry->ComNumber = Slot / 4 == Position / 4 ? record->ComNumbers[Slot] : 0;
  free_entry->Applied = 0;
}
