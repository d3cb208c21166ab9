#include "common/registry_access.h"

namespace {

// Length in bytes of a NUL-terminated wide string, without the NUL.
ULONG WideStringBytes(PCWSTR text) {
  ULONG chars = 0;
  while (text[chars] != 0) ++chars;
  return chars * sizeof(WCHAR);
}

// Opens the key at an absolute path, creating it when it does not exist.
NTSTATUS OpenOrCreateKey(PCWSTR KeyPath, PHANDLE Key) {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, KeyPath);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  NTSTATUS status = ZwOpenKey(Key, KEY_ALL_ACCESS, &attributes);
  if (status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
  return ZwCreateKey(Key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
}

// Reads a value of an open key into Buffer when it fits; reports its type
// and length either way.
NTSTATUS QueryKeyValueInfo(HANDLE Key, PCWSTR ValueName, PVOID Buffer, ULONG Capacity, PULONG Type,
                           PULONG Length) {
  const ULONG name_bytes = WideStringBytes(ValueName);
  if (Capacity > MAXULONG - 16 - name_bytes - sizeof(KEY_VALUE_PARTIAL_INFORMATION))
    return STATUS_INVALID_PARAMETER;
  const ULONG size = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + Capacity + 16 + name_bytes;
  PKEY_VALUE_PARTIAL_INFORMATION info =
      static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, REGISTRY_POOL_TAG));
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  ULONG result = 0;
  NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, size, &result);
  if (NT_SUCCESS(status)) {
    *Type = info->Type;
    *Length = info->DataLength;
    if (info->DataLength <= Capacity)
      RtlCopyMemory(Buffer, info->Data, info->DataLength);
    else
      status = STATUS_BUFFER_OVERFLOW;
  }
  ExFreePoolWithTag(info, REGISTRY_POOL_TAG);
  return status;
}

}  // namespace

NTSTATUS QueryValueByPath(PCWSTR ValueName, PULONG DataLength, PVOID Buffer, ULONG Capacity, PCWSTR KeyPath,
                          PULONG ValueType) {
  HANDLE key = NULL;
  NTSTATUS status = OpenOrCreateKey(KeyPath, &key);
  if (!NT_SUCCESS(status)) return status;

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  // A first query into a small buffer learns the value's size.
  UCHAR probe[16];
  ULONG needed = 0;
  status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, probe, sizeof probe, &needed);
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) {
    ZwClose(key);
    return status;
  }
  PKEY_VALUE_PARTIAL_INFORMATION info = needed == 0 ? NULL
      : static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(NonPagedPoolNx, needed, REGISTRY_POOL_TAG));
  if (!info) {
    ZwClose(key);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG result = 0;
  status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, needed, &result);
  if (NT_SUCCESS(status)) {
    *DataLength = info->DataLength;
    if (ValueType) *ValueType = info->Type;
    RtlCopyMemory(Buffer, info->Data, info->DataLength < Capacity ? info->DataLength : Capacity);
  }
  ExFreePoolWithTag(info, REGISTRY_POOL_TAG);
  ZwClose(key);
  return status;
}

NTSTATUS SetValueByPath(PCWSTR ValueName, const VOID* Data, ULONG ValueType, PCWSTR KeyPath, ULONG DataSize) {
  HANDLE key = NULL;
  NTSTATUS status = OpenOrCreateKey(KeyPath, &key);
  if (!NT_SUCCESS(status)) return status;

  ULONG size = DataSize;
  if (ValueType == REG_DWORD)
    size = sizeof(ULONG);
  else if (ValueType != REG_BINARY)
    size = WideStringBytes(static_cast<PCWSTR>(Data)) + sizeof(WCHAR);

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  status = ZwSetValueKey(key, &name, 0, ValueType, const_cast<PVOID>(Data), size);
  ZwClose(key);
  return status;
}

NTSTATUS QueryKeyValue(HANDLE Key, PCWSTR ValueName, PVOID Buffer, ULONG Capacity) {
  ULONG type = 0;
  ULONG length = 0;
  return QueryKeyValueInfo(Key, ValueName, Buffer, Capacity, &type, &length);
}

NTSTATUS QueryKeyDword(HANDLE Key, PCWSTR ValueName, PULONG Value) {
  ULONG data = 0;
  ULONG type = 0;
  ULONG length = 0;
  NTSTATUS status = QueryKeyValueInfo(Key, ValueName, &data, sizeof data, &type, &length);
  if (status == STATUS_BUFFER_OVERFLOW) return STATUS_OBJECT_TYPE_MISMATCH;
  if (!NT_SUCCESS(status)) return status;
  if (type != REG_DWORD || length != sizeof data) return STATUS_OBJECT_TYPE_MISMATCH;
  *Value = data;
  return STATUS_SUCCESS;
}

NTSTATUS SetKeyValue(HANDLE Key, PCWSTR ValueName, ULONG ValueType, const VOID* Data, ULONG DataSize) {
  const ULONG name_bytes = WideStringBytes(ValueName);
  if (name_bytes > MAXUSHORT - sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  PWCHAR copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, name_bytes + sizeof(WCHAR), REGISTRY_POOL_TAG));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, ValueName, name_bytes);
  copy[name_bytes / sizeof(WCHAR)] = 0;
  UNICODE_STRING name;
  name.Buffer = copy;
  name.Length = static_cast<USHORT>(name_bytes);
  name.MaximumLength = static_cast<USHORT>(name_bytes + sizeof(WCHAR));
  NTSTATUS status = ZwSetValueKey(Key, &name, 0, ValueType, const_cast<PVOID>(Data), DataSize);
  ExFreePoolWithTag(copy, REGISTRY_POOL_TAG);
  return status;
}
