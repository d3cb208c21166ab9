// The requests a probe sends to the serial driver below the filter, and its
// timed waits.
#include "enum/probe/probe.h"

PIRP AllocateProbeIrp(EnumFilterExtension* Filter) {
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(Filter->NextLowerDevice->StackSize + 1), FALSE);
  // The first location is the filter's own; the port's driver gets the next.
  if (irp) IoSetNextIrpStackLocation(irp);
  return irp;
}

NTSTATUS SendSerialIoctl(ULONG Code, BOOLEAN Internal, PDEVICE_OBJECT Device, PKEVENT Event, PVOID Input,
                         ULONG InputLength, PVOID Output, ULONG OutputLength) {
  KeClearEvent(Event);
  IO_STATUS_BLOCK io;
  io.Status = STATUS_SUCCESS;
  io.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(Code, Device, Input, InputLength, Output, OutputLength, Internal, Event, &io);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(Device, irp);
  if (status == STATUS_PENDING) status = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
  return status == STATUS_SUCCESS ? io.Status : status;
}

NTSTATUS SendOpenCloseRequest(PIRP ProbeIrp, UCHAR MajorFunction, PKEVENT Event, PDEVICE_OBJECT Device) {
  IoGetNextIrpStackLocation(ProbeIrp)->MajorFunction = MajorFunction;
  KeClearEvent(Event);
  IoSetCompletionRoutine(ProbeIrp, SignalAndKeepQuiet, Event, TRUE, TRUE, TRUE);
  const NTSTATUS status = IoCallDriver(Device, ProbeIrp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
  return status == STATUS_SUCCESS || status == STATUS_PENDING ? ProbeIrp->IoStatus.Status : status;
}

NTSTATUS WaitWithTimer(PKTIMER Timer, LONGLONG DueTime) {
  LARGE_INTEGER due;
  due.QuadPart = DueTime;
  KeSetTimer(Timer, due, NULL);
  return KeWaitForSingleObject(Timer, Executive, KernelMode, FALSE, NULL);
}
