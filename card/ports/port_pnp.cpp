// Plug and Play requests of a port device: completed as they come until
// the ports answer them.
#include "card/driver/card_driver.h"

NTSTATUS PortPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  NTSTATUS status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
