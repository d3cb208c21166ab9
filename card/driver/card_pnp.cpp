// Plug and Play requests of the card: passed down its stack; removal
// tears the card down once every holder of the remove lock has left.
#include "card/driver/card_driver.h"

namespace {

NTSTATUS PassDown(CardExtension* card, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(card->NextLowerDevice, Irp);
}

}  // namespace

NTSTATUS CardPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = static_cast<CardExtension*>(DeviceObject->DeviceExtension);
  NTSTATUS status = IoAcquireRemoveLockEx(&card->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) return CompleteRequestWithInformation(Irp, status, 0);

  if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    card->PnpState = Deleted;
    IoReleaseRemoveLockAndWaitEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = PassDown(card, Irp);
    TearDownCard(DeviceObject);
    return status;
  }
  status = PassDown(card, Irp);
  IoReleaseRemoveLockEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}
