// Passing a request down the card's stack and waiting for the lower drivers.
#include "card/driver/card_driver.h"

namespace {

IO_COMPLETION_ROUTINE SignalAndHalt;

NTSTATUS SignalAndHalt(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS ForwardAndWait(PDEVICE_OBJECT CardDevice, PIRP Irp) {
  CardExtension* card = static_cast<CardExtension*>(CardDevice->DeviceExtension);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalAndHalt, &event, TRUE, TRUE, TRUE);
  IoCallDriver(card->NextLowerDevice, Irp);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  return Irp->IoStatus.Status;
}
