// Plug and Play requests of the card: the start runs the bring-up once the
// lower drivers have started the card; the resource requirements tell the
// card's PCI location; removal tears the card down once every holder of the
// remove lock has left; everything else is passed down its stack.
#include "card/driver/card_driver.h"
#include "card/hw/bring_up.h"

namespace {

NTSTATUS PassDown(CardExtension* card, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(card->NextLowerDevice, Irp);
}

// Start: the lower drivers first, then the card bring-up. Port creation
// joins it here.
NTSTATUS StartCard(PDEVICE_OBJECT DeviceObject, CardExtension* card, PIRP Irp) {
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status);
  status = CardBringUp(DeviceObject);
  if (NT_SUCCESS(status)) card->PnpState = Started;
  return CompleteRequestWithInformation(Irp, status, 0);
}

// Keeps the card's PCI bus and slot numbers for the hardware routines.
void RecordLocation(CardExtension* card, PIO_STACK_LOCATION stack) {
  const IO_RESOURCE_REQUIREMENTS_LIST* list = stack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
  if (!list) return;
  card->BusNumber = list->BusNumber;
  card->SlotNumber = list->SlotNumber;
}

}  // namespace

NTSTATUS CardPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = static_cast<CardExtension*>(DeviceObject->DeviceExtension);
  NTSTATUS status = IoAcquireRemoveLockEx(&card->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) return CompleteRequestWithInformation(Irp, status, 0);

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction == IRP_MN_FILTER_RESOURCE_REQUIREMENTS) RecordLocation(card, stack);
  if (stack->MinorFunction == IRP_MN_START_DEVICE) {
    status = StartCard(DeviceObject, card, Irp);
    IoReleaseRemoveLockEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    return status;
  }
  if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
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
