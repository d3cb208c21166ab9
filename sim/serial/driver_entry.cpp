// Driver entry, AddDevice, and opening and closing a port.
#include "sim/serial/serial_port.h"

KEVENT SerialNamesLock;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  KeInitializeEvent(&SerialNamesLock, SynchronizationEvent, TRUE);
  DriverObject->DriverUnload = SerialUnload;
  DriverObject->DriverExtension->AddDevice = SerialAddDevice;
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = SerialPassDown;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = SerialCreate;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SerialCleanup;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = SerialClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = SerialRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = SerialWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SerialDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = SerialInternalDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = SerialPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = SerialPower;
  return STATUS_SUCCESS;
}

void SerialUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

namespace {

void SetDefaults(PSERIAL_EXTENSION Ext) {
  SERIAL_SETTINGS* s = &Ext->Settings;
  s->BaudRate = SERIAL_DEFAULT_BAUD;
  s->LineControl.WordLength = 8;
  s->LineControl.Parity = NO_PARITY;
  s->LineControl.StopBits = STOP_BIT_1;
  s->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  s->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  s->HandFlow.XonLimit = SERIAL_DEFAULT_QUEUE / 5;
  s->HandFlow.XoffLimit = SERIAL_DEFAULT_QUEUE / 5;
  s->Chars.XonChar = 0x11;
  s->Chars.XoffChar = 0x13;
  s->Fcr = FCR_ENABLE | 0x80;  // receive interrupt at 8 bytes
  s->TxFifo = UART_FIFO_DEPTH;
}

}  // namespace

NTSTATUS SerialAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PUCHAR ring = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, SERIAL_DEFAULT_QUEUE, SERIAL_POOL_TAG));
  if (!ring) return STATUS_INSUFFICIENT_RESOURCES;

  // \Device\Serial<k>: the first k no other port holds.
  WCHAR name[32];
  UNICODE_STRING device_name;
  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
  ULONG index = 0;
  for (; index < 1000 && status == STATUS_OBJECT_NAME_COLLISION; ++index) {
    RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), L"\\Device\\Serial%lu", index);
    RtlInitUnicodeString(&device_name, name);
    status = IoCreateDevice(DriverObject, sizeof(SERIAL_EXTENSION), &device_name, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, TRUE, &device);
  }
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(ring, SERIAL_POOL_TAG);
    return status;
  }
  PSERIAL_EXTENSION ext = SerialExt(device);
  RtlZeroMemory(ext, sizeof(*ext));
  ext->Self = device;
  ext->Pdo = PhysicalDeviceObject;
  ext->DeviceIndex = index - 1;
  RtlCopyMemory(ext->DeviceNameBuffer, name, sizeof(name));
  RtlInitUnicodeString(&ext->DeviceName, ext->DeviceNameBuffer);
  ext->PnpState = SerialNotStarted;
  ext->DevicePower = PowerDeviceD0;
  ext->ClockRate = SERIAL_DEFAULT_CLOCK;
  ext->RxBuffer = ring;
  ext->RxSize = SERIAL_DEFAULT_QUEUE;
  IoInitializeRemoveLock(&ext->RemoveLock, SERIAL_POOL_TAG, 0, 0);
  KeInitializeSpinLock(&ext->ControlLock);
  InitializeListHead(&ext->ReadQueue);
  InitializeListHead(&ext->WriteQueue);
  KeInitializeTimer(&ext->ReadTotalTimer);
  KeInitializeTimer(&ext->ReadIntervalTimer);
  KeInitializeTimer(&ext->WriteTotalTimer);
  KeInitializeDpc(&ext->ReadTotalDpc, SerialReadTotalTimeout, ext);
  KeInitializeDpc(&ext->ReadIntervalDpc, SerialReadIntervalTimeout, ext);
  KeInitializeDpc(&ext->WriteTotalDpc, SerialWriteTotalTimeout, ext);
  IoInitializeDpcRequest(device, SerialIsrDpc);
  SetDefaults(ext);

  ext->Lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (!ext->Lower) {
    ExFreePoolWithTag(ring, SERIAL_POOL_TAG);
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

namespace {

}  // namespace

NTSTATUS SerialCompleteNow(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return SerialCompleteNow(Irp, status, 0);
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
    IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    return SerialCompleteNow(Irp, STATUS_NOT_A_DIRECTORY, 0);
  }
  if (InterlockedCompareExchange(&ext->OpenCount, 1, 0) != 0) {
    IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    return SerialCompleteNow(Irp, STATUS_ACCESS_DENIED, 0);
  }
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  if (ext->PnpState != SerialStarted) {
    status = ext->PnpState == SerialRemovePending || ext->PnpState >= SerialSurpriseRemoved ? STATUS_DELETE_PENDING
                                                                                          : STATUS_DEVICE_NOT_READY;
    ext->OpenCount = 0;
  } else {
    // A fresh open: no errors, nothing received, the default handshake
    // lines raised, and the UART's interrupts on.
    ext->Errors = 0;
    ext->EventHistory = 0;
    ext->WaitMask = 0;
    SerialPurgeReceive(ext);
    ext->Settings.Mcr = 0;
    if ((ext->Settings.HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL)
      ext->Settings.Mcr |= MCR_DTR;
    if ((ext->Settings.HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL) ext->Settings.Mcr |= MCR_RTS;
    SerialApplyModemControl(ext);
  }
  KeReleaseSpinLock(&ext->ControlLock, irql);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return SerialCompleteNow(Irp, status, 0);
}

NTSTATUS SerialCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  SerialEndPending(ext, TRUE, TRUE, TRUE, STATUS_CANCELLED, &done);
  KeReleaseSpinLock(&ext->ControlLock, irql);
  SerialCompleteList(ext, &done);
  return SerialCompleteNow(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  // DTR and RTS drop and the UART falls silent until the next open.
  ext->Settings.Mcr = 0;
  ext->Settings.Break = FALSE;
  ext->OpenCount = 0;
  SerialQuiet(ext);
  if (ext->HardwareReady) SerialProgram(ext);
  ext->WaitMask = 0;
  KeReleaseSpinLock(&ext->ControlLock, irql);
  return SerialCompleteNow(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return SerialCompleteNow(Irp, status, 0);
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(ext->Lower, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}
