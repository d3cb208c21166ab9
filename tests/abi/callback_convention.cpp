// A driver's callbacks as the compiler sees them on the host: declared
// through their role types they have the kernel's calling convention and
// fit the kernel's slots; a plain function (the host's own convention) is
// refused. Compiled, never linked, by the abi.callback_* tests.
#include <ntddk.h>

extern "C" DRIVER_INITIALIZE DriverEntry;

#ifdef PLAIN_CALLBACKS
NTSTATUS Create(PDEVICE_OBJECT DeviceObject, PIRP Irp);
#else
DRIVER_DISPATCH Create;
IO_COMPLETION_ROUTINE Completed;
#endif

NTSTATUS Create(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

#ifndef PLAIN_CALLBACKS
NTSTATUS Completed(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, Completed, &done, TRUE, TRUE, TRUE);
  IoCallDriver(Lower, Irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  return Irp->IoStatus.Status;
}
#endif

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = Create;
#ifndef PLAIN_CALLBACKS
  // A lambda takes the convention the same way.
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = [](PDEVICE_OBJECT DeviceObject, PIRP Irp) NTAPI {
    return Create(DeviceObject, Irp);
  };
#endif
  return STATUS_SUCCESS;
}
