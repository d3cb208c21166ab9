// Ordinary traffic: every request the filter does not serve itself goes on
// to the port's serial driver, from the filter and from its child alike.
#include "enum/driver/enum_driver.h"

NTSTATUS DispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  EnumFilterExtension* filter = OwningFilter(DeviceObject);
  const bool open = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE;
  // An open passed down and a probe never overlap.
  if (open) {
    NTSTATUS status = KeWaitForSingleObject(&filter->OpenSemaphore, Executive, KernelMode, FALSE, NULL);
    if (status != STATUS_SUCCESS) return CompleteRequest(Irp, status, 0);
  }
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(filter->NextLowerDevice, Irp);
  if (open) KeReleaseSemaphore(&filter->OpenSemaphore, IO_NO_INCREMENT, 1, FALSE);
  return status;
}

// Opens pass through; a close waits for the port below and completes here.
NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) return DispatchPassThrough(DeviceObject, Irp);
  EnumFilterExtension* filter = OwningFilter(DeviceObject);
  KEVENT done;
  KeInitializeEvent(&done, SynchronizationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(filter->NextLowerDevice, Irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  const NTSTATUS status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
