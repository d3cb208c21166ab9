// Registry routines shared by the card driver and the port enumerator.
// All run at PASSIVE_LEVEL; every handle they open is closed before they
// return. Value data is never copied past the caller's capacity.
#pragma once

#include <ntddk.h>

// Pool tag of the registry routines' buffers ("TBus" in memory).
#define REGISTRY_POOL_TAG 'suBT'

// Desired access for device keys opened with IoOpenDeviceRegistryKey.
// Their handles are kernel handles used from kernel mode, where a handle's
// granted access is not checked, so READ_CONTROL serves the writes made
// through them as well.
#define DEVICE_KEY_ACCESS READ_CONTROL

// Reads a value of the key at an absolute path (the key is created when it
// is missing). On success *DataLength is the value's full length, at most
// Capacity bytes of it are copied to Buffer and, when ValueType is not
// null, *ValueType is the value's type.
NTSTATUS QueryValueByPath(PCWSTR ValueName, PULONG DataLength, PVOID Buffer, ULONG Capacity, PCWSTR KeyPath,
                          PULONG ValueType);

// Writes a value of the key at an absolute path (the key is created when it
// is missing). DataSize is used for REG_BINARY only: a REG_DWORD is 4 bytes,
// any other type a NUL-terminated wide string.
NTSTATUS SetValueByPath(PCWSTR ValueName, const VOID* Data, ULONG ValueType, PCWSTR KeyPath, ULONG DataSize);

// Reads a value of an open key into Buffer. A value longer than Capacity is
// not copied and gives STATUS_BUFFER_OVERFLOW.
NTSTATUS QueryKeyValue(HANDLE Key, PCWSTR ValueName, PVOID Buffer, ULONG Capacity);

// Reads a REG_DWORD of an open key. A value of another type or size is
// refused with STATUS_OBJECT_TYPE_MISMATCH and *Value is left as it was.
NTSTATUS QueryKeyDword(HANDLE Key, PCWSTR ValueName, PULONG Value);

// Writes a value of an open key.
NTSTATUS SetKeyValue(HANDLE Key, PCWSTR ValueName, ULONG ValueType, const VOID* Data, ULONG DataSize);
