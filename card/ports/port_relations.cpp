// Relations queries of a port device: a port is its own target device.
// Other relation types are completed as they came. Every relations query,
// whatever its type, runs the naming pass of the port's card, which never
// changes the request's outcome.
#include "card/driver/card_driver.h"
#include "card/ports/port_naming.h"
#include "card/ports/ports.h"

NTSTATUS PortQueryRelations(PDEVICE_OBJECT PortDevice, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = Irp->IoStatus.Status;
  if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
    PDEVICE_RELATIONS relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), CARD_POOL_TAG));
    if (relations) {
      relations->Count = 1;
      relations->Objects[0] = PortDevice;
      ObReferenceObject(PortDevice);
      if (Irp->IoStatus.Information) ExFreePool(reinterpret_cast<PVOID>(Irp->IoStatus.Information));
      Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      status = STATUS_SUCCESS;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  RunNamingPass(ParentCardOf(PortDevice));
  return CompleteRequest(Irp, status);
}
