// Plug and Play: start on the resources the port was given, stop, removal.
#include "sim/serial/serial_port.h"

namespace {

NTSTATUS NTAPI SignalLowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits until the lower drivers completed it.
NTSTATUS ForwardAndWait(PSERIAL_EXTENSION Ext, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalLowerDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Ext->Lower, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS Complete(PSERIAL_EXTENSION Ext, PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  IoReleaseRemoveLock(&Ext->RemoveLock, Irp);
  return Status;
}

NTSTATUS PassDown(PSERIAL_EXTENSION Ext, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(Ext->Lower, Irp);
  IoReleaseRemoveLock(&Ext->RemoveLock, Irp);
  return status;
}

// Finds the I/O range and the interrupt in the translated list.
NTSTATUS TakeResources(PSERIAL_EXTENSION Ext, PCM_RESOURCE_LIST Translated) {
  BOOLEAN have_port = FALSE;
  BOOLEAN have_interrupt = FALSE;
  if (!Translated || Translated->Count == 0) return STATUS_DEVICE_CONFIGURATION_ERROR;
  PCM_PARTIAL_RESOURCE_LIST partial = &Translated->List[0].PartialResourceList;
  for (ULONG i = 0; i < partial->Count; ++i) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &partial->PartialDescriptors[i];
    if (d->Type == CmResourceTypePort && !have_port) {
      Ext->Port = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(d->u.Port.Start.QuadPart));
      Ext->PortLength = d->u.Port.Length;
      have_port = TRUE;
    } else if (d->Type == CmResourceTypeInterrupt && !have_interrupt) {
      Ext->Vector = d->u.Interrupt.Vector;
      Ext->Irql = static_cast<KIRQL>(d->u.Interrupt.Level);
      Ext->Affinity = d->u.Interrupt.Affinity;
      Ext->InterruptMode = d->Flags & CM_RESOURCE_INTERRUPT_LATCHED ? Latched : LevelSensitive;
      Ext->ShareVector = d->ShareDisposition == CmResourceShareShared;
      have_interrupt = TRUE;
    }
  }
  if (!have_port || !have_interrupt || Ext->PortLength < UART_REGISTER_COUNT) return STATUS_DEVICE_CONFIGURATION_ERROR;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SerialStartDevice(PSERIAL_EXTENSION Ext, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = TakeResources(Ext, stack->Parameters.StartDevice.AllocatedResourcesTranslated);
  if (!NT_SUCCESS(status)) return status;
  if (!SerialUartAnswers(Ext)) return STATUS_DEVICE_NOT_CONNECTED;
  SerialReadDeviceKey(Ext, TRUE);

  // Quiet before the line is shared with it.
  SerialWriteRegister(Ext, UART_IER, 0);
  SerialWriteRegister(Ext, UART_MCR, 0);
  status = IoConnectInterrupt(&Ext->Interrupt, SerialIsr, Ext, NULL, Ext->Vector, Ext->Irql, Ext->Irql,
                              Ext->InterruptMode, Ext->ShareVector, Ext->Affinity, FALSE);
  if (!NT_SUCCESS(status)) {
    Ext->Interrupt = NULL;
    return status;
  }

  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  Ext->PnpState = SerialStarted;
  Ext->HardwareReady = Ext->DevicePower == PowerDeviceD0;
  if (Ext->HardwareReady) {
    // A port restarted while open carries on where it was.
    SerialProgram(Ext);
    SerialStartNextWrite(Ext, &done);
  }
  KeReleaseSpinLock(&Ext->ControlLock, irql);
  SerialCompleteList(Ext, &done);
  SerialPublishName(Ext);
  return STATUS_SUCCESS;
}

void SerialStopDevice(PSERIAL_EXTENSION Ext, NTSTATUS Status) {
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  SerialQuiet(Ext);
  SerialEndPending(Ext, TRUE, TRUE, TRUE, Status, &done);
  // The interrupt service routine may still run until the disconnect; the
  // ring and the transmit state stay valid for it.
  Ext->HardwareReady = FALSE;
  PKINTERRUPT interrupt = Ext->Interrupt;
  Ext->Interrupt = NULL;
  KeReleaseSpinLock(&Ext->ControlLock, irql);
  SerialCompleteList(Ext, &done);
  if (interrupt) IoDisconnectInterrupt(interrupt);
  SerialWithdrawName(Ext);
}

namespace {

// Nothing of the port may run once its device object goes.
void Quiesce(PSERIAL_EXTENSION Ext) {
  KeCancelTimer(&Ext->ReadTotalTimer);
  KeCancelTimer(&Ext->ReadIntervalTimer);
  KeCancelTimer(&Ext->WriteTotalTimer);
  KeRemoveQueueDpc(&Ext->Self->Dpc);
  KeFlushQueuedDpcs();
}

void Remove(PSERIAL_EXTENSION Ext, PIRP Irp) {
  if (Ext->PnpState != SerialSurpriseRemoved && Ext->PnpState != SerialStopped &&
      Ext->PnpState != SerialNotStarted)
    SerialStopDevice(Ext, STATUS_DELETE_PENDING);
  Ext->PnpState = SerialRemoved;
  IoReleaseRemoveLockAndWait(&Ext->RemoveLock, Irp);
  Quiesce(Ext);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  IoCallDriver(Ext->Lower, Irp);
  IoDetachDevice(Ext->Lower);
  ExFreePoolWithTag(Ext->RxBuffer, SERIAL_POOL_TAG);
  Ext->RxBuffer = NULL;
  IoDeleteDevice(Ext->Self);
}

void SetState(PSERIAL_EXTENSION Ext, SERIAL_PNP_STATE State) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  Ext->PnpState = State;
  KeReleaseSpinLock(&Ext->ControlLock, irql);
}

}  // namespace

NTSTATUS SerialPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return SerialCompleteNow(Irp, status, Irp->IoStatus.Information);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(ext, Irp);
      if (NT_SUCCESS(status)) status = SerialStartDevice(ext, Irp);
      return Complete(ext, Irp, status);
    case IRP_MN_QUERY_STOP_DEVICE:
      ext->StateBeforeQuery = ext->PnpState;
      SetState(ext, SerialStopPending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (ext->PnpState == SerialStopPending) SetState(ext, ext->StateBeforeQuery);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);
    case IRP_MN_STOP_DEVICE:
      SerialStopDevice(ext, STATUS_CANCELLED);
      SetState(ext, SerialStopped);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      // An open port stays: its user has to close it first.
      if (ext->OpenCount > 0) return Complete(ext, Irp, STATUS_DEVICE_BUSY);
      ext->StateBeforeQuery = ext->PnpState;
      SetState(ext, SerialRemovePending);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (ext->PnpState == SerialRemovePending) SetState(ext, ext->StateBeforeQuery);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      SerialStopDevice(ext, STATUS_DELETE_PENDING);
      SetState(ext, SerialSurpriseRemoved);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);
    case IRP_MN_REMOVE_DEVICE:
      Remove(ext, Irp);
      return STATUS_SUCCESS;
    default:
      return PassDown(ext, Irp);
  }
}
