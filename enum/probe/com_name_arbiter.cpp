// The port's COM number: its entry in the COM number table the card driver
// keeps is completed (a free number from the COM name database when it has
// none), marked applied, passed to the port driver and claimed in the
// database. An applied entry is never touched again.
#include "common/registry_access.h"
#include "common/settings_records.h"
#include "enum/probe/probe.h"

#define COM_NAME_ARBITER_KEY L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter"
#define COM_DB_SIZE 1024
#define COM_DB_SEARCHED_BYTES 128  // COM1 to COM1024

namespace {

NTSTATUS ReadComDb(PUCHAR db, PULONG length) {
  RtlZeroMemory(db, COM_DB_SIZE);
  *length = 0;
  const NTSTATUS status = QueryValueByPath(L"ComDB", length, db, COM_DB_SIZE, COM_NAME_ARBITER_KEY, NULL);
  // Only what fits the buffer is written back.
  if (*length > COM_DB_SIZE) *length = COM_DB_SIZE;
  return status;
}

// The (n + 1)-th number whose bit is clear, or 0 when there are fewer.
UCHAR FreeComNumber(const UCHAR* db, ULONG n) {
  ULONG seen = 0;
  for (ULONG k = 0; k < COM_DB_SEARCHED_BYTES; ++k)
    for (ULONG b = 0; b < 8; ++b)
      if (!(db[k] & (1u << b)) && ++seen == n + 1) return static_cast<UCHAR>(8 * k + b + 1);
  return 0;
}

NTSTATUS Arbitrate(EnumFilterExtension* filter, PKEVENT event, PUCHAR table, PUCHAR db) {
  ULONG key = 0;
  SendSerialIoctl(IOCTL_PORT_QUERY_KEY, FALSE, filter->NextLowerDevice, event, NULL, 0, &key, sizeof(key));
  // A port driver that did not answer leaves the key 0, which would match
  // the first free entry of the table: such a port has no entry.
  if (key == 0) return STATUS_SUCCESS;

  RtlZeroMemory(table, COM_NUMBER_TABLE_BUFFER_SIZE);
  ULONG length = 0;
  NTSTATUS status = QueryValueByPath(COM_NUMBER_TABLE_VALUE, &length, table, COM_NUMBER_TABLE_BUFFER_SIZE,
                                     COM_NUMBER_TABLE_KEY, NULL);
  if (!NT_SUCCESS(status)) return status;
  ComNumberEntry* entry = NULL;
  for (ULONG offset = 0; offset < COM_NUMBER_TABLE_BUFFER_SIZE; offset += sizeof(ComNumberEntry)) {
    ComNumberEntry* candidate = reinterpret_cast<ComNumberEntry*>(table + offset);
    if (static_cast<ULONG>(ComNumberEntryAddress(candidate)) == key) {
      entry = candidate;
      break;
    }
  }
  if (!entry || entry->Applied) return STATUS_SUCCESS;

  if (entry->ComNumber == 0 && NT_SUCCESS(ReadComDb(db, &length)))
    entry->ComNumber = FreeComNumber(db, (key >> 3) & 0x1F);
  entry->Applied = 1;
  ULONG com_index = static_cast<ULONG>(entry->ComNumber) - 1;
  SetValueByPath(COM_NUMBER_TABLE_VALUE, table, REG_BINARY, COM_NUMBER_TABLE_KEY, COM_NUMBER_TABLE_VALUE_SIZE);
  SendSerialIoctl(IOCTL_PORT_SET_COM_INDEX, FALSE, filter->NextLowerDevice, event, &com_index, sizeof(com_index),
                  NULL, 0);

  status = ReadComDb(db, &length);
  if (!NT_SUCCESS(status)) return status;
  // No number picked: nothing to claim.
  if (entry->ComNumber == 0) return STATUS_SUCCESS;
  db[com_index >> 3] = static_cast<UCHAR>(db[com_index >> 3] | (1u << (com_index & 7)));
  return SetValueByPath(L"ComDB", db, REG_BINARY, COM_NAME_ARBITER_KEY, length);
}

}  // namespace

NTSTATUS ArbitrateComName(EnumFilterExtension* Filter, PKEVENT Event) {
  // Both images are too large for a kernel stack.
  PUCHAR buffers =
      static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, COM_NUMBER_TABLE_BUFFER_SIZE + COM_DB_SIZE, kEnumPoolTag));
  if (!buffers) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = Arbitrate(Filter, Event, buffers, buffers + COM_NUMBER_TABLE_BUFFER_SIZE);
  ExFreePoolWithTag(buffers, kEnumPoolTag);
  return status;
}
