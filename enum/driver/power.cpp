// Power: the filter records its device power state around the port's own
// handling; the child has no hardware and answers every request itself.
#include "enum/driver/enum_driver.h"

namespace {

IO_COMPLETION_ROUTINE PowerUpDone;

// A device power-up is recorded once the drivers below have powered up.
NTSTATUS PowerUpDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  EnumFilterExtension* filter = FilterOf(DeviceObject);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    filter->DevicePowerState = stack->Parameters.Power.State.DeviceState;
    PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
  }
  PoStartNextPowerIrp(Irp);
  ReleaseIo(filter);
  return STATUS_SUCCESS;
}

NTSTATUS FilterPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  EnumFilterExtension* filter = FilterOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const UCHAR minor = stack->MinorFunction;
  const POWER_STATE_TYPE type = stack->Parameters.Power.Type;
  const POWER_STATE state = stack->Parameters.Power.State;
  if (!NT_SUCCESS(AcquireIo(filter))) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }
  bool going_up = false;
  if (minor == IRP_MN_SET_POWER) {
    if (filter->Started != 1) {
      Irp->IoStatus.Status = STATUS_SUCCESS;
    } else if (type == DevicePowerState) {
      Irp->IoStatus.Status = STATUS_SUCCESS;
      if (state.DeviceState > filter->DevicePowerState) {
        PoSetPowerState(DeviceObject, DevicePowerState, state);
        filter->DevicePowerState = state.DeviceState;
      } else if (state.DeviceState < filter->DevicePowerState) {
        going_up = true;
      }
    }
  } else if (minor == IRP_MN_QUERY_POWER) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  IoCopyCurrentIrpStackLocationToNext(Irp);
  if (going_up) {
    // One more count, for the completion routine: this request already
    // holds one, so removal cannot pass it in between.
    InterlockedIncrement(&filter->OutstandingIo);
    IoSetCompletionRoutine(Irp, PowerUpDone, NULL, TRUE, TRUE, TRUE);
  } else {
    PoStartNextPowerIrp(Irp);
  }
  const NTSTATUS status = PoCallDriver(filter->NextLowerDevice, Irp);
  ReleaseIo(filter);
  return status;
}

NTSTATUS ChildPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  EnumChildExtension* child = ChildOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = Irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == SystemPowerState) {
        status = STATUS_SUCCESS;
      } else if (stack->Parameters.Power.Type == DevicePowerState) {
        if (stack->Parameters.Power.State.DeviceState != child->DevicePowerState) {
          PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
          child->DevicePowerState = stack->Parameters.Power.State.DeviceState;
        }
        status = STATUS_SUCCESS;
      } else {
        status = STATUS_NOT_SUPPORTED;
      }
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE:
    case IRP_MN_POWER_SEQUENCE:
      status = STATUS_NOT_SUPPORTED;
      break;
    default:
      break;
  }
  Irp->IoStatus.Status = status;
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return HeaderOf(DeviceObject)->IsFilter ? FilterPower(DeviceObject, Irp) : ChildPower(DeviceObject, Irp);
}
