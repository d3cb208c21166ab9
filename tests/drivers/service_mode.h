// What the test driver images share: the DWORD "Mode" of their service key,
// which picks the faults a test asks for.
#pragma once

#include <ntddk.h>

// Opens the service key; *key is NULL when it cannot be opened.
inline void OpenServiceKey(PUNICODE_STRING registry_path, HANDLE* key) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registry_path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(key, KEY_READ, &attributes))) *key = NULL;
}

// The "Mode" value of an open service key, or 0 when it is missing or not
// a DWORD.
inline ULONG QueryServiceMode(HANDLE key) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Mode");
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  ULONG length = 0;
  ULONG mode = 0;
  auto* value = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  if (key && NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, sizeof buffer, &length)) &&
      value->Type == REG_DWORD && value->DataLength == sizeof(ULONG)) {
    RtlCopyMemory(&mode, value->Data, sizeof mode);
  }
  return mode;
}

inline ULONG ReadServiceMode(PUNICODE_STRING registry_path) {
  HANDLE key;
  OpenServiceKey(registry_path, &key);
  ULONG mode = QueryServiceMode(key);
  if (key) ZwClose(key);
  return mode;
}
