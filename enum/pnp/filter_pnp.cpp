// Plug and Play of the filter: the start that hands the serial driver the
// port's own resources, the removal, and the child in bus relations.
#include "enum/driver/enum_driver.h"
#include "enum/serial/port_resource_interface.h"

namespace {

// Sends the IRP's next location down and waits for it; returns the status
// the drivers below left in the IRP.
NTSTATUS SendDownAndWait(EnumFilterExtension* filter, PIRP Irp, PKEVENT done) {
  IoSetCompletionRoutine(Irp, SignalAndKeep, done, TRUE, TRUE, TRUE);
  if (IoCallDriver(filter->NextLowerDevice, Irp) == STATUS_PENDING)
    KeWaitForSingleObject(done, Executive, KernelMode, FALSE, NULL);
  return Irp->IoStatus.Status;
}

NTSTATUS Complete(EnumFilterExtension* filter, PIRP Irp, NTSTATUS status) {
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  ReleaseIo(filter);
  return status;
}

NTSTATUS PassDown(EnumFilterExtension* filter, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  const NTSTATUS status = IoCallDriver(filter->NextLowerDevice, Irp);
  ReleaseIo(filter);
  return status;
}

// The port's stack below is asked for the port resource interface with the
// start request itself; the start then goes down with the lists the card
// driver computed for this port, whatever the manager assigned.
NTSTATUS Start(EnumFilterExtension* filter, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  const NTSTATUS arrived_status = Irp->IoStatus.Status;
  PortResourceInterface port;
  RtlZeroMemory(&port, sizeof(port));
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &GUID_PORT_RESOURCE_INTERFACE;
  next->Parameters.QueryInterface.Size = sizeof(port);
  next->Parameters.QueryInterface.Version = PORT_RESOURCE_INTERFACE_VERSION;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&port);
  next->Parameters.QueryInterface.InterfaceSpecificData = NULL;
  // A query no driver below answers must not read as success.
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  NTSTATUS status = SendDownAndWait(filter, Irp, &done);
  if (NT_SUCCESS(status) && !port.GetPortResources) status = STATUS_NOT_SUPPORTED;
  if (!NT_SUCCESS(status)) return Complete(filter, Irp, status);

  PCM_RESOURCE_LIST raw = NULL;
  PCM_RESOURCE_LIST translated = NULL;
  status = port.GetPortResources(port.Context, filter->PhysicalDeviceObject, &raw, &translated);
  port.InterfaceDereference(port.Context);
  if (!NT_SUCCESS(status)) {
    if (raw) ExFreePool(raw);
    if (translated) ExFreePool(translated);
    return Complete(filter, Irp, status);
  }

  KeClearEvent(&done);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  next->Parameters.StartDevice.AllocatedResources = raw;
  next->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
  Irp->IoStatus.Status = arrived_status;
  status = SendDownAndWait(filter, Irp, &done);
  // The lists are ours now; they carry the card driver's tag.
  ExFreePool(raw);
  ExFreePool(translated);
  if (NT_SUCCESS(status)) filter->Started = 1;
  return Complete(filter, Irp, status);
}

// Deletes a child the filter still holds when it goes itself: a child that
// was never reported, or one the manager removed while the port still held
// the device. Nothing else would ever delete it.
void DropChildAtRemoval(PDEVICE_OBJECT child) {
  if (!child) return;
  EnumChildExtension* extension = ChildOf(child);
  extension->Present = 0;
  DeleteChild(child, extension);
}

NTSTATUS Remove(EnumFilterExtension* filter, PIRP Irp) {
  StopProbeThread(filter);
  filter->Removed = 1;
  IoSetDeviceInterfaceState(&filter->InterfaceName, FALSE);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  const NTSTATUS status = IoCallDriver(filter->NextLowerDevice, Irp);
  // Once for this request, once for the initial count.
  InterlockedDecrement(&filter->OutstandingIo);
  if (InterlockedDecrement(&filter->OutstandingIo) != 0)
    KeWaitForSingleObject(&filter->RemoveEvent, Executive, KernelMode, FALSE, NULL);
  IoDetachDevice(filter->NextLowerDevice);
  RtlFreeUnicodeString(&filter->InterfaceName);

  // No probe runs any more: the child fields are the removal's alone.
  PDEVICE_OBJECT reported = filter->ReportedChild;
  PDEVICE_OBJECT pending = filter->PendingChild;
  filter->ReportedChild = filter->PendingChild = NULL;
  filter->ReportedChildExtension = filter->PendingChildExtension = NULL;
  filter->ReportedChildCount = filter->PendingChildCount = 0;
  DropChildAtRemoval(reported);
  if (pending != reported) DropChildAtRemoval(pending);
  IoDeleteDevice(filter->Self);
  return status;
}

// Bus relations: whatever a driver above reported, then the child.
NTSTATUS ReportRelations(EnumFilterExtension* filter, PIRP Irp) {
  UpdateChildren(filter);
  PDEVICE_RELATIONS old = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
  const ULONG n = old ? old->Count : 0;
  const ULONG count = n + filter->ReportedChildCount;
  PDEVICE_RELATIONS list = static_cast<PDEVICE_RELATIONS>(
      ExAllocatePoolWithTag(NonPagedPoolNx, 16 + 8 * count, kEnumPoolTag));
  if (!list) return Complete(filter, Irp, STATUS_INSUFFICIENT_RESOURCES);
  for (ULONG i = 0; i < n; ++i) list->Objects[i] = old->Objects[i];
  list->Count = count;
  if (filter->ReportedChildCount == 1) {
    list->Objects[count - 1] = filter->ReportedChild;
    ObReferenceObject(filter->ReportedChild);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  if (old) ExFreePool(old);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
  return PassDown(filter, Irp);
}

NTSTATUS Capabilities(EnumFilterExtension* filter, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  const NTSTATUS status = SendDownAndWait(filter, Irp, &done);
  if (NT_SUCCESS(status)) {
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    filter->SystemWake = capabilities->SystemWake;
    filter->DeviceWake = capabilities->DeviceWake;
  }
  return Complete(filter, Irp, status);
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (HeaderOf(DeviceObject)->Removed) return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE, Irp->IoStatus.Information);
  return HeaderOf(DeviceObject)->IsFilter ? FilterPnp(DeviceObject, Irp) : ChildPnp(DeviceObject, Irp);
}

NTSTATUS FilterPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  EnumFilterExtension* filter = FilterOf(DeviceObject);
  NTSTATUS status = AcquireIo(filter);
  if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, Irp->IoStatus.Information);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      if (filter->Started) return Complete(filter, Irp, STATUS_SUCCESS);
      return Start(filter, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      StopProbeThread(filter);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(filter, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return Remove(filter, Irp);
    case IRP_MN_STOP_DEVICE:
      StopProbeThread(filter);
      filter->Started = 0;
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(filter, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      // A reported child or a running probe holds the port.
      if (filter->ReportedChild || (filter->ProbeFlags & PROBE_RUNNING))
        return Complete(filter, Irp, STATUS_UNSUCCESSFUL);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(filter, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(filter, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return ReportRelations(filter, Irp);
      return PassDown(filter, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
      return Capabilities(filter, Irp);
    default:
      return PassDown(filter, Irp);
  }
}
