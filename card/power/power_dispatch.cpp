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
  // The remove lock keeps the card's removal waiting while the request is
  // on its way down.
  CardExtension* card = static_cast<CardExtension*>(DeviceObject->DeviceExtension);
  NTSTATUS status = IoAcquireRemoveLockEx(&card->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status);
  IoSkipCurrentIrpStackLocation(Irp);
  status = PoCallDriver(card->NextLowerDevice, Irp);
  IoReleaseRemoveLockEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}
