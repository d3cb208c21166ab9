// Requests only the card's own bus can answer: a port re-issues them to the
// top of the card's stack in a request of its own and answers with the
// card's result.
#include "card/driver/card_driver.h"
#include "card/ports/ports.h"

namespace {

// Minor functions whose port request fails (STATUS_UNSUCCESSFUL) when the
// card's stack leaves the forwarded request unhandled; the others then keep
// the status they came with.
const BOOLEAN kFailIfUnhandled[IRP_MN_QUERY_LEGACY_BUS_INFORMATION + 1] = {
    FALSE,  // 0 IRP_MN_START_DEVICE
    FALSE,  // 1 IRP_MN_QUERY_REMOVE_DEVICE
    FALSE,  // 2 IRP_MN_REMOVE_DEVICE
    FALSE,  // 3 IRP_MN_CANCEL_REMOVE_DEVICE
    FALSE,  // 4 IRP_MN_STOP_DEVICE
    FALSE,  // 5 IRP_MN_QUERY_STOP_DEVICE
    FALSE,  // 6 IRP_MN_CANCEL_STOP_DEVICE
    FALSE,  // 7 IRP_MN_QUERY_DEVICE_RELATIONS
    FALSE,  // 8 IRP_MN_QUERY_INTERFACE
    FALSE,  // 9 IRP_MN_QUERY_CAPABILITIES
    FALSE,  // 10 IRP_MN_QUERY_RESOURCES
    FALSE,  // 11 IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    FALSE,  // 12 IRP_MN_QUERY_DEVICE_TEXT
    FALSE,  // 13 IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    FALSE,  // 14
    TRUE,   // 15 IRP_MN_READ_CONFIG
    TRUE,   // 16 IRP_MN_WRITE_CONFIG
    TRUE,   // 17 IRP_MN_EJECT
    TRUE,   // 18 IRP_MN_SET_LOCK
    FALSE,  // 19 IRP_MN_QUERY_ID
    FALSE,  // 20 IRP_MN_QUERY_PNP_DEVICE_STATE
    TRUE,   // 21 IRP_MN_QUERY_BUS_INFORMATION
    FALSE,  // 22 IRP_MN_DEVICE_USAGE_NOTIFICATION
    FALSE,  // 23 IRP_MN_SURPRISE_REMOVAL
    TRUE,   // 24 IRP_MN_QUERY_LEGACY_BUS_INFORMATION
};

BOOLEAN FailIfUnhandled(UCHAR minor) {
  return minor < sizeof(kFailIfUnhandled) / sizeof(kFailIfUnhandled[0]) ? kFailIfUnhandled[minor] : FALSE;
}

// Runs when the card's stack has completed the forwarded request; Context
// holds the fail-if-unhandled mark. The forwarded request's first stack
// location carries the port's request and the card's top device.
IO_COMPLETION_ROUTINE ParentCompleted;

NTSTATUS ParentCompleted(PDEVICE_OBJECT DeviceObject, PIRP ParentIrp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(ParentIrp);
  PIRP port_irp = static_cast<PIRP>(own->Parameters.Others.Argument1);
  ObDereferenceObject(own->DeviceObject);

  // Unhandled, the port's request keeps what the drivers above it set
  // (Information included), unless its minor function must fail then.
  if (ParentIrp->IoStatus.Status == STATUS_NOT_SUPPORTED) {
    if (Context) port_irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  } else {
    port_irp->IoStatus.Status = ParentIrp->IoStatus.Status;
    port_irp->IoStatus.Information = ParentIrp->IoStatus.Information;
  }

  IoFreeIrp(ParentIrp);
  IoCompleteRequest(port_irp, IO_NO_INCREMENT);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS ForwardToParent(PDEVICE_OBJECT PortDevice, PIRP Irp) {
  PortExtension* port = static_cast<PortExtension*>(PortDevice->DeviceExtension);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(port->ParentFdo);
  PIRP parent_irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
  if (!parent_irp) {
    ObDereferenceObject(top);
    return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
  }

  // The extra first location remembers the port's request and the target.
  IoSetNextIrpStackLocation(parent_irp);
  PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(parent_irp);
  own->DeviceObject = top;
  own->Parameters.Others.Argument1 = Irp;

  PIO_STACK_LOCATION request = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(parent_irp);
  RtlCopyMemory(next, request, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
  const BOOLEAN fail_if_unhandled = FailIfUnhandled(request->MinorFunction);
  IoSetCompletionRoutine(parent_irp, ParentCompleted, fail_if_unhandled ? reinterpret_cast<PVOID>(1) : NULL, TRUE,
                         TRUE, TRUE);

  parent_irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoMarkIrpPending(Irp);
  IoCallDriver(top, parent_irp);
  return STATUS_PENDING;
}
