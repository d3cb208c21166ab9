// The open and close handler and the Plug and Play router, for card and
// port devices.
#include "card/driver/card_driver.h"

// An open keeps no state, so its close has nothing to undo; both succeed.
NTSTATUS CardCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequestWithInformation(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS CardPnpRouter(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsPortExtension(DeviceObject->DeviceExtension)) return PortPnpDispatch(DeviceObject, Irp);
  return CardPnpDispatch(DeviceObject, Irp);
}
