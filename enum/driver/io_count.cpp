// Requests in progress on a filter, so that its removal can wait for them,
// and the completion routines of requests sent down and waited for.
#include "enum/driver/enum_driver.h"

NTSTATUS AcquireIo(EnumFilterExtension* Filter) {
  InterlockedIncrement(&Filter->OutstandingIo);
  if (Filter->Removed) {
    ReleaseIo(Filter);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

VOID ReleaseIo(EnumFilterExtension* Filter) {
  if (InterlockedDecrement(&Filter->OutstandingIo) == 0) KeSetEvent(&Filter->RemoveEvent, 0, FALSE);
}

NTSTATUS SignalAndKeep(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SignalAndKeepQuiet(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
