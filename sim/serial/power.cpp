// Power: the UART falls silent before the device leaves D0 and is
// programmed again from the kept settings once the lower drivers have
// brought it back to D0. As the stack's power policy owner the driver
// turns each system set-power into a device set-power: once the system
// request has come back up, it asks for D0 (working) or D3 (any sleep
// state, hibernate, shutdown) and completes the system request when that
// device request is done.
#include "sim/serial/serial_port.h"

namespace {

NTSTATUS NTAPI PoweredUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  LIST_ENTRY done;
  InitializeListHead(&done);
  if (NT_SUCCESS(Irp->IoStatus.Status)) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->ControlLock, &irql);
    ext->DevicePower = PowerDeviceD0;
    ext->HardwareReady = ext->Interrupt != NULL;
    if (ext->HardwareReady) {
      SerialProgram(ext);
      // A write cut short by the power-down carries on from where it was.
      if (ext->CurrentWrite) SerialKickTransmitter(ext);
      SerialStartNextWrite(ext, &done);
    }
    KeReleaseSpinLock(&ext->ControlLock, irql);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(ext->Self, DevicePowerState, state);
  }
  PoStartNextPowerIrp(Irp);
  SerialCompleteList(ext, &done);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return STATUS_CONTINUE_COMPLETION;
}

REQUEST_POWER_COMPLETE DevicePowerDone;
IO_COMPLETION_ROUTINE SystemPowerDone;

void DevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                     PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  PIRP system_irp = static_cast<PIRP>(Context);
  PSERIAL_EXTENSION ext = SerialExt(IoGetCurrentIrpStackLocation(system_irp)->DeviceObject);
  system_irp->IoStatus.Status = IoStatus->Status;
  PoStartNextPowerIrp(system_irp);
  IoCompleteRequest(system_irp, IO_NO_INCREMENT);
  IoReleaseRemoveLock(&ext->RemoveLock, system_irp);
}

NTSTATUS SystemPowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  if (NT_SUCCESS(Irp->IoStatus.Status)) {
    POWER_STATE device;
    device.DeviceState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState == PowerSystemWorking
                             ? PowerDeviceD0
                             : PowerDeviceD3;
    NTSTATUS status = PoRequestPowerIrp(ext->Pdo, IRP_MN_SET_POWER, device, DevicePowerDone, Irp, NULL);
    if (NT_SUCCESS(status)) return STATUS_MORE_PROCESSING_REQUIRED;
    Irp->IoStatus.Status = status;
  }
  PoStartNextPowerIrp(Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return STATUS_CONTINUE_COMPLETION;
}

}  // namespace

NTSTATUS SerialPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    return SerialCompleteNow(Irp, status, Irp->IoStatus.Information);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState) {
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SystemPowerDone, ext, TRUE, TRUE, TRUE);
    PoCallDriver(ext->Lower, Irp);
    return STATUS_PENDING;
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    const DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
    if (target == PowerDeviceD0) {
      IoMarkIrpPending(Irp);
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, PoweredUp, ext, TRUE, TRUE, TRUE);
      PoCallDriver(ext->Lower, Irp);
      return STATUS_PENDING;
    }
    if (ext->DevicePower == PowerDeviceD0) {
      // What the UART holds is the driver's settings, kept in the
      // extension; the requests in flight wait for D0.
      KIRQL irql;
      KeAcquireSpinLock(&ext->ControlLock, &irql);
      SerialQuiet(ext);
      ext->HardwareReady = FALSE;
      ext->DevicePower = target;
      KeReleaseSpinLock(&ext->ControlLock, irql);
      PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    }
  }
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  status = PoCallDriver(ext->Lower, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}
