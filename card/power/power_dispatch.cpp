// Power requests: the card passes them to the bus driver below; a port,
// which has no driver below it, completes them as they come.
#include "card/driver/card_driver.h"

NTSTATUS PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  if (IsPortExtension(DeviceObject->DeviceExtension)) {
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  CardExtension* card = static_cast<CardExtension*>(DeviceObject->DeviceExtension);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(card->NextLowerDevice, Irp);
}
