// The open handler and the Plug and Play router, for card and port devices.
#include "card/driver/card_driver.h"

NTSTATUS CardCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequestWithInformation(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS CardPnpRouter(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsPortExtension(DeviceObject->DeviceExtension)) return PortPnpDispatch(DeviceObject, Irp);
  return CardPnpDispatch(DeviceObject, Irp);
}
