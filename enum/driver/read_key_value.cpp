// One registry value of an open key, copied into the caller's buffer.
#include "enum/driver/enum_driver.h"

NTSTATUS ReadKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, PVOID Buffer, ULONG Capacity,
                      PULONG DataLength) {
  const ULONG size = NameSize + Capacity + sizeof(KEY_VALUE_FULL_INFORMATION);
  PKEY_VALUE_FULL_INFORMATION info =
      static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, kEnumPoolTag));
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  *DataLength = 0;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  ULONG returned = 0;
  NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &returned);
  if (NT_SUCCESS(status) && info->DataLength <= Capacity) {
    RtlCopyMemory(Buffer, reinterpret_cast<PUCHAR>(info) + info->DataOffset, info->DataLength);
    *DataLength = info->DataLength;
  }
  ExFreePoolWithTag(info, kEnumPoolTag);
  // A value that did not fit the work buffer is a value too long for the
  // caller's.
  if (status == STATUS_BUFFER_OVERFLOW) return STATUS_BUFFER_TOO_SMALL;
  if (NT_WARNING(status)) return STATUS_UNSUCCESSFUL;
  return status;
}
