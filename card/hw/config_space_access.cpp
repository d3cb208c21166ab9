// Configuration-space requests and the bus interface query, sent to the top
// of the device stack and waited for.
#include <ntddk.h>
#include <initguid.h>
#include <wdmguid.h>

#include "card/hw/hw_access.h"

namespace {

typedef void (*FillStack)(PIO_STACK_LOCATION Stack, PVOID Context);

// Sends a Plug and Play request with one minor function to the top of the
// stack that holds Device and returns its final status.
NTSTATUS SendPnpAndWait(PDEVICE_OBJECT Device, UCHAR MinorFunction, FillStack Fill, PVOID Context) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Device);
  IO_STATUS_BLOCK io_status;
  io_status.Status = STATUS_NOT_SUPPORTED;
  io_status.Information = 0;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &event, &io_status);
  if (!irp) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MinorFunction = MinorFunction;
  Fill(stack, Context);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = io_status.Status;
  }
  ObDereferenceObject(top);
  return status;
}

struct ConfigRequest {
  PVOID Buffer;
  ULONG Offset;
  ULONG Length;
};

void FillConfig(PIO_STACK_LOCATION Stack, PVOID Context) {
  const ConfigRequest* request = static_cast<const ConfigRequest*>(Context);
  Stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
  Stack->Parameters.ReadWriteConfig.Buffer = request->Buffer;
  Stack->Parameters.ReadWriteConfig.Offset = request->Offset;
  Stack->Parameters.ReadWriteConfig.Length = request->Length;
}

void FillInterface(PIO_STACK_LOCATION Stack, PVOID Context) {
  Stack->Parameters.QueryInterface.InterfaceType = &GUID_BUS_INTERFACE_STANDARD;
  Stack->Parameters.QueryInterface.Size = sizeof(BUS_INTERFACE_STANDARD);
  Stack->Parameters.QueryInterface.Version = 1;
  Stack->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(Context);
  Stack->Parameters.QueryInterface.InterfaceSpecificData = NULL;
}

}  // namespace

NTSTATUS CardConfigAccess(PDEVICE_OBJECT Device, ULONG Write, PVOID Buffer, ULONG Offset, ULONG Length) {
  ConfigRequest request = {Buffer, Offset, Length};
  return SendPnpAndWait(Device, Write ? IRP_MN_WRITE_CONFIG : IRP_MN_READ_CONFIG, FillConfig, &request);
}

NTSTATUS QueryBusInterface(PDEVICE_OBJECT Device, PBUS_INTERFACE_STANDARD Interface) {
  return SendPnpAndWait(Device, IRP_MN_QUERY_INTERFACE, FillInterface, Interface);
}
