// The card's power state machine. Each set-power and query-power request of
// the card gets a PowerContext; the machine is entered at dispatch, from
// the completion routine of the request it forwarded, and from the callback
// of the device power request it asked for. A table indexed by phase and
// event names the step that continues; steps chain to one another directly
// and pass along the value the entry returns (the dispatch result, or the
// completion routine's result).
#include "card/power/power.h"

namespace {

typedef NTSTATUS PowerStep(PowerContext* Context, PowerEvent Event, NTSTATUS Result);

PowerStep Begin;
PowerStep DeviceDispatch;
PowerStep Forward;
PowerStep RequestDevicePower;
PowerStep SystemUpForwardDone;
PowerStep SystemDownDeviceDone;
PowerStep SystemDownForwardDone;
PowerStep DeviceUpForwardDone;
PowerStep Finish;

IO_COMPLETION_ROUTINE ForwardedIrpDone;
REQUEST_POWER_COMPLETE DeviceIrpDone;

PowerStep* const kSteps[PowerPhaseCount][PowerEventCount] = {
    /* Start */ {Begin, NULL, NULL},
    /* SystemUpForwarded */ {NULL, SystemUpForwardDone, NULL},
    /* SystemUpWaitDevice */ {NULL, NULL, Finish},
    /* SystemDownWaitDevice */ {NULL, NULL, SystemDownDeviceDone},
    /* SystemDownForwarded */ {NULL, SystemDownForwardDone, NULL},
    /* DeviceUpForwarded */ {NULL, DeviceUpForwardDone, NULL},
    /* DeviceDownForwarded */ {NULL, Finish, NULL},
    /* DeviceQueryUpForwarded */ {NULL, Finish, NULL},
    /* DeviceQueryDownForwarded */ {NULL, Finish, NULL},
};

NTSTATUS Enter(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  PowerStep* step = NULL;
  if (Context->Phase >= 0 && Context->Phase < PowerPhaseCount) step = kSteps[Context->Phase][Event];
  return step ? step(Context, Event, Result) : Result;
}

PIO_STACK_LOCATION Stack(PowerContext* Context) { return IoGetCurrentIrpStackLocation(Context->Irp); }

NTSTATUS Begin(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  UNREFERENCED_PARAMETER(Result);
  CardExtension* card = Context->Extension;
  PIRP irp = Context->Irp;
  IoMarkIrpPending(irp);
  NTSTATUS status = IoAcquireRemoveLockEx(&card->RemoveLock, irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) {
    // The removal began in between: the request ends here, holding nothing.
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ExFreePoolWithTag(Context, CARD_POOL_TAG);
    return STATUS_PENDING;
  }
  PIO_STACK_LOCATION stack = Stack(Context);
  if (stack->Parameters.Power.Type == DevicePowerState) return DeviceDispatch(Context, Event, STATUS_PENDING);
  if (static_cast<ULONG>(stack->Parameters.Power.State.SystemState) >= card->CurrentSystemState) {
    Context->Phase = PowerPhaseSystemDownWaitDevice;
    return RequestDevicePower(Context, Event, STATUS_PENDING);
  }
  Context->Phase = PowerPhaseSystemUpForwarded;
  return Forward(Context, Event, STATUS_PENDING);
}

NTSTATUS DeviceDispatch(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  CardExtension* card = Context->Extension;
  const ULONG state = Stack(Context)->Parameters.Power.State.DeviceState;
  if (Context->MinorFunction == IRP_MN_SET_POWER) {
    if (state < card->CurrentDeviceState) {
      Context->Phase = PowerPhaseDeviceUpForwarded;
    } else {
      Context->Phase = PowerPhaseDeviceDownForwarded;
      if (state > card->CurrentDeviceState) card->CurrentDeviceState = state;
    }
  } else {
    Context->Phase = state < card->CurrentDeviceState ? PowerPhaseDeviceQueryUpForwarded : PowerPhaseDeviceQueryDownForwarded;
  }
  return Forward(Context, Event, Result);
}

// The request goes down with the machine's completion routine; the context
// may be gone by the time PoCallDriver returns.
NTSTATUS Forward(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  UNREFERENCED_PARAMETER(Event);
  PIRP irp = Context->Irp;
  PDEVICE_OBJECT lower = Context->Extension->NextLowerDevice;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, ForwardedIrpDone, Context, TRUE, TRUE, TRUE);
  PoCallDriver(lower, irp);
  return Result;
}

// Every system request reaches the card as a request for D0, with the
// system request's minor function.
NTSTATUS RequestDevicePower(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  NTSTATUS status = PoRequestPowerIrp(Context->Extension->PhysicalDeviceObject, Context->MinorFunction, state,
                                      DeviceIrpDone, Context, NULL);
  if (NT_SUCCESS(status)) return Result;
  Context->Status = status;
  return Finish(Context, Event, Result);
}

NTSTATUS SystemUpForwardDone(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  UNREFERENCED_PARAMETER(Result);
  if (!NT_SUCCESS(Context->Status)) return Finish(Context, Event, Result);
  if (Context->MinorFunction == IRP_MN_SET_POWER)
    Context->Extension->CurrentSystemState = Stack(Context)->Parameters.Power.State.SystemState;
  Context->Phase = PowerPhaseSystemUpWaitDevice;
  return RequestDevicePower(Context, Event, STATUS_MORE_PROCESSING_REQUIRED);
}

NTSTATUS SystemDownDeviceDone(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  if (!NT_SUCCESS(Context->Status)) return Finish(Context, Event, Result);
  Context->Phase = PowerPhaseSystemDownForwarded;
  return Forward(Context, Event, Result);
}

NTSTATUS SystemDownForwardDone(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  if (Context->MinorFunction == IRP_MN_SET_POWER)
    Context->Extension->CurrentSystemState = Stack(Context)->Parameters.Power.State.SystemState;
  return Finish(Context, Event, Result);
}

NTSTATUS DeviceUpForwardDone(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  if (NT_SUCCESS(Context->Status) && Context->MinorFunction == IRP_MN_SET_POWER)
    Context->Extension->CurrentDeviceState = Stack(Context)->Parameters.Power.State.DeviceState;
  return Finish(Context, Event, Result);
}

// From the completion routine, completion goes on with the status the
// lower drivers set; from anywhere else the request is completed here.
NTSTATUS Finish(PowerContext* Context, PowerEvent Event, NTSTATUS Result) {
  CardExtension* card = Context->Extension;
  PIRP irp = Context->Irp;
  PoStartNextPowerIrp(irp);
  if (Event == PowerEventIrpCompleted) {
    Result = Context->Status;
  } else {
    irp->IoStatus.Status = Context->Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  IoReleaseRemoveLockEx(&card->RemoveLock, irp, sizeof(IO_REMOVE_LOCK));
  ExFreePoolWithTag(Context, CARD_POOL_TAG);
  return Result;
}

NTSTATUS ForwardedIrpDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PowerContext* context = static_cast<PowerContext*>(Context);
  context->Status = Irp->IoStatus.Status;
  return Enter(context, PowerEventIrpCompleted, STATUS_CONTINUE_COMPLETION);
}

void DeviceIrpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                   PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  PowerContext* context = static_cast<PowerContext*>(Context);
  context->Status = IoStatus->Status;
  Enter(context, PowerEventDeviceIrpCompleted, STATUS_SUCCESS);
}

}  // namespace

NTSTATUS RunCardPowerMachine(CardExtension* Card, PIRP Irp) {
  PowerContext* context =
      static_cast<PowerContext*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PowerContext), CARD_POOL_TAG));
  if (!context) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(context, sizeof(PowerContext));
  context->Extension = Card;
  context->Irp = Irp;
  context->Phase = PowerPhaseStart;
  context->Status = STATUS_SUCCESS;
  context->MinorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  return Enter(context, PowerEventDispatch, STATUS_SUCCESS);
}
