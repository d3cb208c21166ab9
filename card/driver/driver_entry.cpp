// Driver entry and unload.
#include "card/driver/card_driver.h"

// The registry path the driver was loaded with, NUL-terminated, in paged
// pool; WMI registration hands it out.
UNICODE_STRING CardRegistryPath;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  if (!IoIsWdmVersionAvailable(1, 0)) return STATUS_UNSUCCESSFUL;

  USHORT size = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));
  CardRegistryPath.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, CARD_POOL_TAG));
  if (!CardRegistryPath.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  CardRegistryPath.MaximumLength = size;
  CardRegistryPath.Length = RegistryPath->Length;
  RtlCopyMemory(CardRegistryPath.Buffer, RegistryPath->Buffer, RegistryPath->Length);
  CardRegistryPath.Buffer[RegistryPath->Length / sizeof(WCHAR)] = L'\0';

  DriverObject->DriverUnload = CardDriverUnload;
  DriverObject->DriverExtension->AddDevice = CardAddDevice;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = CardCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CardCreateClose;
  DriverObject->MajorFunction[IRP_MJ_PNP] = CardPnpRouter;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlDispatch;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControl;
  return STATUS_SUCCESS;
}

void CardDriverUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  if (CardRegistryPath.Buffer) {
    ExFreePoolWithTag(CardRegistryPath.Buffer, CARD_POOL_TAG);
    CardRegistryPath.Buffer = NULL;
  }
}
