// The port's names: the settings of its device key, the \DosDevices link,
// the SERIALCOMM entry, and renaming to another COM number (FriendlyName
// and the COM name database follow). All at PASSIVE_LEVEL.
#include "sim/serial/serial_port.h"

namespace {

const WCHAR kComDbKey[] = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
const ULONG kComDbBytes = PORT_MAX_COM_NUMBER / 8;

// What ZwQueryKey returns for KeyNameInformation (KEY_NAME_INFORMATION,
// which not every copy of the kernel headers declares).
struct KeyNameRecord {
  ULONG NameLength;
  WCHAR Name[1];
};

void Lock() { KeWaitForSingleObject(&SerialNamesLock, Executive, KernelMode, FALSE, NULL); }
void Unlock() { KeSetEvent(&SerialNamesLock, IO_NO_INCREMENT, FALSE); }

// The value's data into Buffer; its length, or 0 when it is missing, of
// another type, or larger than the buffer.
ULONG QueryValue(HANDLE Key, PCWSTR Name, ULONG Type, PVOID Buffer, ULONG Length) {
  UCHAR record[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64];
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  ULONG result = 0;
  PKEY_VALUE_PARTIAL_INFORMATION info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(record);
  NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, sizeof(record), &result);
  if (!NT_SUCCESS(status) || info->Type != Type || info->DataLength > Length) return 0;
  RtlCopyMemory(Buffer, info->Data, info->DataLength);
  return info->DataLength;
}

NTSTATUS SetValue(HANDLE Key, PCWSTR Name, ULONG Type, const void* Data, ULONG Length) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  return ZwSetValueKey(Key, &name, 0, Type, const_cast<PVOID>(Data), Length);
}

ULONG TextBytes(PCWSTR Text) {
  size_t length = 0;
  RtlStringCchLengthW(Text, NTSTRSAFE_MAX_CCH, &length);
  return static_cast<ULONG>((length + 1) * sizeof(WCHAR));
}

BOOLEAN SameName(PCWSTR A, PCWSTR B) {
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, A);
  RtlInitUnicodeString(&b, B);
  return RtlEqualUnicodeString(&a, &b, TRUE);
}

// The COM number of "COMn", or 0.
ULONG ComNumber(PCWSTR Name) {
  if ((Name[0] | 0x20) != L'c' || (Name[1] | 0x20) != L'o' || (Name[2] | 0x20) != L'm' || !Name[3]) return 0;
  ULONG number = 0;
  for (PCWSTR p = Name + 3; *p; ++p) {
    if (*p < L'0' || *p > L'9' || number > PORT_MAX_COM_NUMBER) return 0;
    number = number * 10 + (*p - L'0');
  }
  return number <= PORT_MAX_COM_NUMBER ? number : 0;
}

NTSTATUS CreateLink(PSERIAL_EXTENSION Ext, PCWSTR PortName) {
  WCHAR link[32];
  RtlStringCchPrintfW(link, RTL_NUMBER_OF(link), L"\\DosDevices\\%ws", PortName);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, link);
  return IoCreateSymbolicLink(&name, &Ext->DeviceName);
}

void DeleteLink(PCWSTR PortName) {
  WCHAR link[32];
  RtlStringCchPrintfW(link, RTL_NUMBER_OF(link), L"\\DosDevices\\%ws", PortName);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, link);
  IoDeleteSymbolicLink(&name);
}

void WriteSerialComm(PSERIAL_EXTENSION Ext) {
  Ext->SerialCommWritten = NT_SUCCESS(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM",
                                                            Ext->DeviceNameBuffer, REG_SZ, Ext->PortName,
                                                            TextBytes(Ext->PortName)));
}

void Publish(PSERIAL_EXTENSION Ext) {
  if (!Ext->PortName[0]) return;
  if (!Ext->LinkCreated) Ext->LinkCreated = NT_SUCCESS(CreateLink(Ext, Ext->PortName));
  if (Ext->LinkCreated) WriteSerialComm(Ext);
}

// FriendlyName lives on the instance key, the parent of the device key.
void WriteFriendlyName(HANDLE DeviceKey, PCWSTR PortName) {
  const ULONG size = sizeof(KeyNameRecord) + 512 * sizeof(WCHAR);
  KeyNameRecord* info = static_cast<KeyNameRecord*>(ExAllocatePoolWithTag(PagedPool, size, SERIAL_POOL_TAG));
  if (!info) return;
  ULONG result = 0;
  if (NT_SUCCESS(ZwQueryKey(DeviceKey, KeyNameInformation, info, size - sizeof(WCHAR), &result))) {
    USHORT length = static_cast<USHORT>(info->NameLength);
    while (length > 0 && info->Name[length / sizeof(WCHAR) - 1] != L'\\') length -= sizeof(WCHAR);
    if (length > sizeof(WCHAR)) {
      UNICODE_STRING path = {static_cast<USHORT>(length - sizeof(WCHAR)), static_cast<USHORT>(length), info->Name};
      OBJECT_ATTRIBUTES attributes;
      InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
      HANDLE instance;
      if (NT_SUCCESS(ZwOpenKey(&instance, KEY_SET_VALUE, &attributes))) {
        WCHAR friendly[64];
        RtlStringCchPrintfW(friendly, RTL_NUMBER_OF(friendly), L"Communications Port (%ws)", PortName);
        SetValue(instance, L"FriendlyName", REG_SZ, friendly, TextBytes(friendly));
        ZwClose(instance);
      }
    }
  }
  ExFreePoolWithTag(info, SERIAL_POOL_TAG);
}

// Claims the new number in the COM name database and releases the old one.
void UpdateComDb(ULONG Claim, ULONG Release) {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, kComDbKey);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
  HANDLE key;
  if (!NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL))) return;
  UCHAR bits[kComDbBytes];
  RtlZeroMemory(bits, sizeof(bits));
  ULONG length = QueryValue(key, L"ComDB", REG_BINARY, bits, sizeof(bits));
  if (Claim) {
    bits[(Claim - 1) / 8] |= static_cast<UCHAR>(1u << ((Claim - 1) % 8));
    if (length < (Claim - 1) / 8 + 1) length = (Claim - 1) / 8 + 1;
  }
  if (Release && (Release - 1) / 8 < length) bits[(Release - 1) / 8] &= static_cast<UCHAR>(~(1u << ((Release - 1) % 8)));
  SetValue(key, L"ComDB", REG_BINARY, bits, length);
  ZwClose(key);
}

}  // namespace

void SerialReadDeviceKey(PSERIAL_EXTENSION Ext, BOOLEAN WritePortAddress) {
  HANDLE key;
  Ext->ClockRate = SERIAL_DEFAULT_CLOCK;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Ext->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) return;
  ULONG clock = 0;
  if (QueryValue(key, L"ClockRate", REG_DWORD, &clock, sizeof(clock)) == sizeof(clock) && clock >= 16)
    Ext->ClockRate = clock;
  Lock();
  WCHAR name[RTL_NUMBER_OF(Ext->PortName)];
  RtlZeroMemory(name, sizeof(name));
  const ULONG length = QueryValue(key, L"PortName", REG_SZ, name, sizeof(name) - sizeof(WCHAR));
  if (length >= 2 * sizeof(WCHAR)) RtlCopyMemory(Ext->PortName, name, sizeof(name));
  else Ext->PortName[0] = 0;
  Unlock();
  if (WritePortAddress) {
    ULONG address = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Ext->Port));
    SetValue(key, L"PortAddr", REG_DWORD, &address, sizeof(address));
  }
  ZwClose(key);
}

void SerialPublishName(PSERIAL_EXTENSION Ext) {
  Lock();
  Publish(Ext);
  Unlock();
}

void SerialWithdrawName(PSERIAL_EXTENSION Ext) {
  Lock();
  if (Ext->LinkCreated) DeleteLink(Ext->PortName);
  if (Ext->SerialCommWritten) RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Ext->DeviceNameBuffer);
  Ext->LinkCreated = FALSE;
  Ext->SerialCommWritten = FALSE;
  Unlock();
}

NTSTATUS SerialSetComIndex(PSERIAL_EXTENSION Ext, ULONG Index) {
  if (Index >= PORT_MAX_COM_NUMBER) return STATUS_INVALID_PARAMETER;
  WCHAR name[RTL_NUMBER_OF(Ext->PortName)];
  RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), L"COM%lu", Index + 1);
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(Ext->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
  if (!NT_SUCCESS(status)) return status;
  Lock();
  if (Ext->PortName[0] && SameName(Ext->PortName, name)) {
    Unlock();
    ZwClose(key);
    return STATUS_SUCCESS;
  }
  // The new link first: if the name is taken, nothing changes.
  if (Ext->LinkCreated) {
    status = CreateLink(Ext, name);
    if (!NT_SUCCESS(status)) {
      Unlock();
      ZwClose(key);
      return status;
    }
    DeleteLink(Ext->PortName);
  }
  const ULONG old_number = ComNumber(Ext->PortName);
  RtlCopyMemory(Ext->PortName, name, sizeof(name));
  if (Ext->LinkCreated) WriteSerialComm(Ext);
  else if (Ext->PnpState == SerialStarted) Publish(Ext);
  SetValue(key, L"PortName", REG_SZ, name, TextBytes(name));
  WriteFriendlyName(key, name);
  UpdateComDb(Index + 1, old_number);
  Unlock();
  ZwClose(key);
  return STATUS_SUCCESS;
}
