// Power requests. A port completes its own, touching no hardware; the card,
// as the power policy owner of its stack, runs set-power and query-power
// through its state machine, re-programming the card on every set-power to
// D0 and, after a sleep, bouncing the link of the PCI Express port above
// it. Other power requests of the card pass down.
#include "card/hw/bring_up.h"
#include "card/hw/hw_access.h"
#include "card/power/power.h"

namespace {

typedef NTSTATUS PortPowerHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp);

PortPowerHandler PortWaitWake;
PortPowerHandler PortSetPower;
PortPowerHandler PortQueryPower;
PortPowerHandler PortPassStatus;

// Port requests by minor function; anything past the table as
// IRP_MN_POWER_SEQUENCE.
PortPowerHandler* const kPortHandlers[] = {
    PortWaitWake,    // IRP_MN_WAIT_WAKE
    PortPassStatus,  // IRP_MN_POWER_SEQUENCE
    PortSetPower,    // IRP_MN_SET_POWER
    PortQueryPower,  // IRP_MN_QUERY_POWER
};

NTSTATUS PortWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PoStartNextPowerIrp(Irp);
  return CompleteRequestWithInformation(Irp, STATUS_NOT_SUPPORTED, 0);
}

NTSTATUS PortSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PoStartNextPowerIrp(Irp);
  if (stack->Parameters.Power.Type == DevicePowerState)
    PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
  return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS PortQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PoStartNextPowerIrp(Irp);
  return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS PortPassStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PoStartNextPowerIrp(Irp);
  return CompleteRequest(Irp, Irp->IoStatus.Status);
}

NTSTATUS PortPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  PortPowerHandler* handler = minor < sizeof(kPortHandlers) / sizeof(kPortHandlers[0]) ? kPortHandlers[minor] : PortPassStatus;
  return handler(DeviceObject, Irp);
}

// Before the state machine, in this order: a system sleep that cuts the
// card's power (S3, hibernate, shutdown) is noted; a device request after
// such a sleep searches for the port above the card and disables its link
// (when the settings ask for the bounce); a device request for D0 enables
// the link again, gives it 100 microseconds and re-programs the card.
void SetPowerPreSteps(CardExtension* Card, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.Power.Type == SystemPowerState) {
    const SYSTEM_POWER_STATE state = Stack->Parameters.Power.State.SystemState;
    if (state == PowerSystemSleeping3 || state == PowerSystemHibernate || state == PowerSystemShutdown)
      Card->SleepRequested = 1;
    return;
  }
  if (Stack->Parameters.Power.Type != DevicePowerState) return;
  if (Card->SleepRequested == 1 && Card->LinkBounceEnabled == 1) FindAndDisableUpstreamPort(Card);
  if (Stack->Parameters.Power.State.DeviceState != PowerDeviceD0) return;
  if (Card->UpstreamPort.Found) {
    EnableUpstreamLink(Card);
    DelayMicroseconds(100);
  }
  // Its result is not the power path's concern: a card that cannot be
  // brought up still takes the power request.
  CardBringUp(Card->Self, CardBringUpAtReturnToD0);
}

NTSTATUS CardPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CardExtension* card = static_cast<CardExtension*>(DeviceObject->DeviceExtension);
  NTSTATUS status = IoAcquireRemoveLockEx(&card->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    return CompleteRequestWithInformation(Irp, status, 0);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      SetPowerPreSteps(card, stack);
      status = RunCardPowerMachine(card, Irp);
      break;
    case IRP_MN_QUERY_POWER:
      status = RunCardPowerMachine(card, Irp);
      break;
    default:
      PoStartNextPowerIrp(Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      status = PoCallDriver(card->NextLowerDevice, Irp);
      break;
  }
  IoReleaseRemoveLockEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}

}  // namespace

NTSTATUS PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsPortExtension(DeviceObject->DeviceExtension)) return PortPower(DeviceObject, Irp);
  return CardPower(DeviceObject, Irp);
}
