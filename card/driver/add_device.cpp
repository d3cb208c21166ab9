// Creation of the card's functional device object.
#include "card/driver/card_driver.h"

#include <ntstrsafe.h>

namespace {

// Numbers the cards in the order they are added: 0, 1, 2, ... never reused.
volatile LONG CardCounter = -1;

const ULONG kNameChars = 32;

// Copies a formatted name into a NonPagedPoolNx buffer of its maximum length.
NTSTATUS CopyName(UNICODE_STRING* target, const WCHAR* text) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, text);
  source.MaximumLength = static_cast<USHORT>(kNameChars * sizeof(WCHAR));
  target->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPoolNx, source.MaximumLength, CARD_POOL_TAG));
  if (!target->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  target->Length = 0;
  target->MaximumLength = source.MaximumLength;
  RtlCopyUnicodeString(target, &source);
  return STATUS_SUCCESS;
}

void FreeName(UNICODE_STRING* name) {
  if (name->Buffer) {
    ExFreePoolWithTag(name->Buffer, CARD_POOL_TAG);
    name->Buffer = NULL;
    name->Length = name->MaximumLength = 0;
  }
}

// Undoes a partly built card device.
void UndoAddDevice(PDEVICE_OBJECT device, CardExtension* card) {
  FreeName(&card->DeviceName);
  FreeName(&card->LinkName);
  if (card->NextLowerDevice) IoDetachDevice(card->NextLowerDevice);
  IoDeleteDevice(device);
}

}  // namespace

NTSTATUS CardAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  LONG number = InterlockedIncrement(&CardCounter);
  WCHAR device_text[kNameChars];
  RtlStringCchPrintfW(device_text, kNameChars, L"\\Device\\ZARKLINK_%d", number);
  UNICODE_STRING device_name;
  RtlInitUnicodeString(&device_name, device_text);

  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(CardExtension), &device_name, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;

  CardExtension* card = static_cast<CardExtension*>(device->DeviceExtension);
  card->Self = device;
  card->PhysicalDeviceObject = PhysicalDeviceObject;
  card->DriverObject = DriverObject;
  IoInitializeRemoveLockEx(&card->RemoveLock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
  card->PnpState = NotStarted;
  card->SavedConfigValid = 0;

  status = CopyName(&card->DeviceName, device_text);
  if (!NT_SUCCESS(status)) {
    UndoAddDevice(device, card);
    return status;
  }

  card->NextLowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (!card->NextLowerDevice) {
    UndoAddDevice(device, card);
    return STATUS_DEVICE_REMOVED;
  }

  device->Flags |= DO_POWER_PAGABLE;
  card->CurrentSystemState = PowerSystemWorking;
  card->CurrentDeviceState = PowerDeviceD0;
  POWER_STATE power;
  power.DeviceState = PowerDeviceD0;
  PoSetPowerState(device, DevicePowerState, power);

  WCHAR link_text[kNameChars];
  RtlStringCchPrintfW(link_text, kNameChars, L"\\DosDevices\\ZARKCARD");
  status = CopyName(&card->LinkName, link_text);
  if (!NT_SUCCESS(status)) {
    UndoAddDevice(device, card);
    return status;
  }

  // The link names the newest card: when an earlier card owns it, it is
  // deleted and created again for this one.
  status = IoCreateSymbolicLink(&card->LinkName, &card->DeviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&card->LinkName);
    status = IoCreateSymbolicLink(&card->LinkName, &card->DeviceName);
    if (!NT_SUCCESS(status)) {
      UndoAddDevice(device, card);
      return status;
    }
  }

  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
  card->WmiValue = 42;
  return STATUS_SUCCESS;
}
