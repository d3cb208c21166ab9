// AddDevice: the filter device above a port's serial driver.
#include "enum/driver/enum_driver.h"

namespace {

// "SkipEnumerations" from the port's device key: a 4-byte value, anything
// else counts as 0. The key's open status is the caller's to return.
NTSTATUS ReadSkipEnumerations(EnumFilterExtension* filter) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(filter->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ,
                                            &key);
  if (!NT_SUCCESS(status)) return status;
  static const WCHAR kName[] = L"SkipEnumerations";
  ULONG length = 0;
  if (!NT_SUCCESS(ReadKeyValue(key, kName, sizeof(kName), &filter->SkipEnumerations, sizeof(ULONG), &length)) ||
      length != sizeof(ULONG))
    filter->SkipEnumerations = 0;
  ZwClose(key);
  return status;
}

}  // namespace

NTSTATUS EnumAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(EnumFilterExtension), NULL, FILE_DEVICE_BUS_EXTENDER, 0, TRUE,
                                   &device);
  if (!NT_SUCCESS(status)) return status;
  EnumFilterExtension* filter = FilterOf(device);
  RtlZeroMemory(filter, sizeof(*filter));
  filter->Self = device;
  filter->IsFilter = 1;
  filter->DevicePowerState = PowerDeviceD0;
  filter->PhysicalDeviceObject = PhysicalDeviceObject;

  filter->NextLowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (!filter->NextLowerDevice) {
    IoDeleteDevice(device);
    return STATUS_UNSUCCESSFUL;
  }
  // Requests reach the serial driver buffered the way it asks for.
  if (filter->NextLowerDevice->Flags & DO_BUFFERED_IO)
    device->Flags |= DO_BUFFERED_IO;
  else if (filter->NextLowerDevice->Flags & DO_DIRECT_IO)
    device->Flags |= DO_DIRECT_IO;

  filter->OutstandingIo = 1;
  KeInitializeEvent(&filter->RemoveEvent, SynchronizationEvent, FALSE);
  KeInitializeSemaphore(&filter->OpenSemaphore, 1, 1);
  KeInitializeSpinLock(&filter->ProbeLock);
  KeInitializeEvent(&filter->ProbeIdle, NotificationEvent, TRUE);

  status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR, NULL,
                                     &filter->InterfaceName);
  if (NT_SUCCESS(status)) {
    IoSetDeviceInterfaceState(&filter->InterfaceName, TRUE);
    status = ReadSkipEnumerations(filter);
  }
  if (!NT_SUCCESS(status)) {
    if (filter->InterfaceName.Buffer) {
      IoSetDeviceInterfaceState(&filter->InterfaceName, FALSE);
      RtlFreeUnicodeString(&filter->InterfaceName);
    }
    IoDetachDevice(filter->NextLowerDevice);
    IoDeleteDevice(device);
    return status;
  }
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}
