// Plug and Play requests of the card: its state, its start (bring-up and
// port devices), its children, its capabilities, the refusal to stop or
// leave while a port's user holds the port resource interface (and to
// leave at all while pinned), and its teardown. Everything else goes down
// the stack to the PCI bus driver.
#include "card/control/control.h"
#include "card/driver/card_driver.h"
#include "card/ports/ports.h"

namespace {

CardExtension* CardOf(PDEVICE_OBJECT DeviceObject) { return static_cast<CardExtension*>(DeviceObject->DeviceExtension); }

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(CardOf(DeviceObject)->NextLowerDevice, Irp);
}

// The first partial list of a start list, or null when there is none.
const CM_PARTIAL_RESOURCE_LIST* FirstPartialList(const CM_RESOURCE_LIST* list) {
  return list && list->Count ? &list->List[0].PartialResourceList : NULL;
}

// The lower drivers first, then the bring-up and the port devices.
NTSTATUS StartCard(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  status = StartCardAndCreatePorts(DeviceObject, FirstPartialList(stack->Parameters.StartDevice.AllocatedResources),
                                   FirstPartialList(stack->Parameters.StartDevice.AllocatedResourcesTranslated));
  if (NT_SUCCESS(status)) {
    RecordCardRanges(CardOf(DeviceObject), FirstPartialList(stack->Parameters.StartDevice.AllocatedResourcesTranslated));
    CardOf(DeviceObject)->PnpState = Started;
  }
  return CompleteRequestWithInformation(Irp, status, 0);
}

// A pinned card stays in service: it refuses a removal it is asked about
// (a user's remove or disable), so its devices never outlive its node.
NTSTATUS QueryRemoveCard(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = CardOf(DeviceObject);
  if (card->InterfaceReferences != 0 || card->PinnedCard) return CompleteRequest(Irp, STATUS_UNSUCCESSFUL);
  card->PreviousPnpState = card->PnpState;
  card->PnpState = RemovePending;
  return PassDown(DeviceObject, Irp);
}

// Releases the remove lock itself: a removal waits for every other holder.
// Every card goes with its removal, a pinned one too: it gets here only
// when it was not asked (surprise removal, a failed start).
NTSTATUS RemoveCard(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = CardOf(DeviceObject);
  card->PnpState = Deleted;
  IoReleaseRemoveLockAndWaitEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  Irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = PassDown(DeviceObject, Irp);
  TearDownCard(DeviceObject);
  return status;
}

NTSTATUS CancelRemoveCard(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = CardOf(DeviceObject);
  if (card->PnpState != RemovePending) return PassDown(DeviceObject, Irp);
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) card->PnpState = card->PreviousPnpState;
  return CompleteRequest(Irp, status);
}

// Stop changes the state only: the hardware, the resources and the port
// devices stay as they are until the next start.
NTSTATUS StopCard(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = CardOf(DeviceObject);
  if (card->PinnedCard) return CompleteRequest(Irp, STATUS_SUCCESS);
  if (card->PnpState == StopPending) card->PnpState = NotStarted;
  return PassDown(DeviceObject, Irp);
}

NTSTATUS QueryStopCard(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = CardOf(DeviceObject);
  if (card->InterfaceReferences != 0) return CompleteRequest(Irp, STATUS_UNSUCCESSFUL);
  if (card->PnpState == Started) card->PnpState = StopPending;
  return PassDown(DeviceObject, Irp);
}

NTSTATUS CancelStopCard(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = CardOf(DeviceObject);
  if (card->PnpState != StopPending) return PassDown(DeviceObject, Irp);
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) card->PnpState = Started;
  return CompleteRequest(Irp, status);
}

NTSTATUS QueryCardRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != BusRelations)
    return PassDown(DeviceObject, Irp);
  return CardQueryBusRelations(DeviceObject, Irp);
}

// Keeps what the lower drivers report of the card's capabilities.
NTSTATUS QueryCardCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  if (!capabilities || capabilities->Version < 1) return PassDown(DeviceObject, Irp);
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) RtlCopyMemory(&CardOf(DeviceObject)->ParentCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
  return CompleteRequest(Irp, status);
}

NTSTATUS SurpriseRemoveCard(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = CardOf(DeviceObject);
  card->PnpState = SurpriseRemovePending;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(DeviceObject, Irp);
}

typedef NTSTATUS (*CardPnpHandler)(PDEVICE_OBJECT CardDevice, PIRP Irp);

const CardPnpHandler kCardPnpHandlers[IRP_MN_SURPRISE_REMOVAL + 1] = {
    StartCard,              // 0 IRP_MN_START_DEVICE
    QueryRemoveCard,        // 1 IRP_MN_QUERY_REMOVE_DEVICE
    RemoveCard,             // 2 IRP_MN_REMOVE_DEVICE
    CancelRemoveCard,       // 3 IRP_MN_CANCEL_REMOVE_DEVICE
    StopCard,               // 4 IRP_MN_STOP_DEVICE
    QueryStopCard,          // 5 IRP_MN_QUERY_STOP_DEVICE
    CancelStopCard,         // 6 IRP_MN_CANCEL_STOP_DEVICE
    QueryCardRelations,     // 7 IRP_MN_QUERY_DEVICE_RELATIONS
    PassDown,               // 8 IRP_MN_QUERY_INTERFACE
    QueryCardCapabilities,  // 9 IRP_MN_QUERY_CAPABILITIES
    PassDown,               // 10 IRP_MN_QUERY_RESOURCES
    PassDown,               // 11 IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    PassDown,               // 12 IRP_MN_QUERY_DEVICE_TEXT
    PassDown,               // 13 IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    PassDown,               // 14
    PassDown,               // 15 IRP_MN_READ_CONFIG
    PassDown,               // 16 IRP_MN_WRITE_CONFIG
    PassDown,               // 17 IRP_MN_EJECT
    PassDown,               // 18 IRP_MN_SET_LOCK
    PassDown,               // 19 IRP_MN_QUERY_ID
    PassDown,               // 20 IRP_MN_QUERY_PNP_DEVICE_STATE
    PassDown,               // 21 IRP_MN_QUERY_BUS_INFORMATION
    PassDown,               // 22 IRP_MN_DEVICE_USAGE_NOTIFICATION
    SurpriseRemoveCard,     // 23 IRP_MN_SURPRISE_REMOVAL
};

// Keeps the card's PCI bus and slot numbers for the hardware routines.
void RecordLocation(CardExtension* card, PIO_STACK_LOCATION stack) {
  const IO_RESOURCE_REQUIREMENTS_LIST* list = stack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
  if (!list) return;
  card->BusNumber = list->BusNumber;
  card->SlotNumber = list->SlotNumber;
}

}  // namespace

NTSTATUS CardPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = CardOf(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLockEx(&card->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) return CompleteRequestWithInformation(Irp, status, 0);

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const UCHAR minor = stack->MinorFunction;
  if (minor >= sizeof(kCardPnpHandlers) / sizeof(kCardPnpHandlers[0])) {
    status = PassDown(DeviceObject, Irp);
    IoReleaseRemoveLockEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    return status;
  }
  if (minor == IRP_MN_FILTER_RESOURCE_REQUIREMENTS) RecordLocation(card, stack);
  status = kCardPnpHandlers[minor](DeviceObject, Irp);
  if (minor != IRP_MN_REMOVE_DEVICE) IoReleaseRemoveLockEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}
