// Plug and Play requests of a port device. A port keeps no Plug and Play
// state: lifecycle requests are accepted as they come, identities and
// requirements are the port's own, and what only the card's bus knows is
// asked of the card's stack.
#include "card/driver/card_driver.h"

#include <initguid.h>

#include "enum/serial/port_resource_interface.h"
#include "card/ports/ports.h"

namespace {

// Status STATUS_SUCCESS, Information unchanged.
NTSTATUS Accept(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS); }

// Completed as it came.
NTSTATUS Leave(PDEVICE_OBJECT, PIRP Irp) {
  const NTSTATUS status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// A port the card still reports survives its removal (the card's teardown
// deletes it, or the next enumeration finds it again). A retired port the
// card has left out of its relations is deleted, and its slot gets the
// device of the UART now behind it.
NTSTATUS RemovePort(PDEVICE_OBJECT PortDevice, PIRP Irp) {
  PortExtension* port = static_cast<PortExtension*>(PortDevice->DeviceExtension);
  if (!port->ReportedGone) {
    // Its node is gone until an enumeration finds the port again.
    port->Enumerated = FALSE;
    return Accept(PortDevice, Irp);
  }
  CardExtension* card = ParentCardOf(PortDevice);
  const int slot = PortSlotFromFlags(port->DeviceFlags);
  for (int i = 0; i < CARD_MAX_PORTS; ++i)
    if (card->RetiredPorts[i] == PortDevice) card->RetiredPorts[i] = NULL;
  const NTSTATUS status = CompleteRequest(Irp, STATUS_SUCCESS);
  IoDeleteDevice(PortDevice);

  if (card->PnpState == Started && slot >= 0 && slot < card->PortCount && !card->PortDevices[slot]) {
    PDEVICE_OBJECT replacement = NULL;
    if (NT_SUCCESS(CreatePortDevice(card, DEVICE_FLAG_SLOT(slot), &replacement)))
      IoInvalidateDeviceRelations(card->PhysicalDeviceObject, BusRelations);
  }
  return status;
}

typedef NTSTATUS (*PortPnpHandler)(PDEVICE_OBJECT PortDevice, PIRP Irp);

const PortPnpHandler kPortPnpHandlers[IRP_MN_QUERY_LEGACY_BUS_INFORMATION + 1] = {
    Accept,                         // 0 IRP_MN_START_DEVICE
    Accept,                         // 1 IRP_MN_QUERY_REMOVE_DEVICE
    RemovePort,                     // 2 IRP_MN_REMOVE_DEVICE
    Accept,                         // 3 IRP_MN_CANCEL_REMOVE_DEVICE
    Accept,                         // 4 IRP_MN_STOP_DEVICE
    Accept,                         // 5 IRP_MN_QUERY_STOP_DEVICE
    Accept,                         // 6 IRP_MN_CANCEL_STOP_DEVICE
    PortQueryRelations,             // 7 IRP_MN_QUERY_DEVICE_RELATIONS
    PortQueryInterface,             // 8 IRP_MN_QUERY_INTERFACE
    ForwardToParent,                // 9 IRP_MN_QUERY_CAPABILITIES: the card's PCI capabilities
    Accept,                         // 10 IRP_MN_QUERY_RESOURCES: no boot configuration
    PortQueryResourceRequirements,  // 11 IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    Leave,                          // 12 IRP_MN_QUERY_DEVICE_TEXT
    Accept,                         // 13 IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    Accept,                         // 14
    ForwardToParent,                // 15 IRP_MN_READ_CONFIG: the card's configuration space
    ForwardToParent,                // 16 IRP_MN_WRITE_CONFIG
    ForwardToParent,                // 17 IRP_MN_EJECT
    ForwardToParent,                // 18 IRP_MN_SET_LOCK
    PortQueryId,                    // 19 IRP_MN_QUERY_ID
    ForwardToParent,                // 20 IRP_MN_QUERY_PNP_DEVICE_STATE
    ForwardToParent,                // 21 IRP_MN_QUERY_BUS_INFORMATION
    ForwardToParent,                // 22 IRP_MN_DEVICE_USAGE_NOTIFICATION
    Accept,                         // 23 IRP_MN_SURPRISE_REMOVAL
    ForwardToParent,                // 24 IRP_MN_QUERY_LEGACY_BUS_INFORMATION
};

// The interface's reference count lives in the card: while a port's user
// holds it, the card refuses to stop or leave, and its device object stays.
void NTAPI ReferencePortInterface(PVOID Context) {
  CardExtension* card = static_cast<CardExtension*>(Context);
  ObReferenceObject(card->Self);
  InterlockedIncrement(&card->InterfaceReferences);
}

// A dereference without a reference changes nothing: the count never goes
// below zero, and only a counted reference gives back its object reference.
void NTAPI DereferencePortInterface(PVOID Context) {
  CardExtension* card = static_cast<CardExtension*>(Context);
  for (;;) {
    const LONG count = card->InterfaceReferences;
    if (count <= 0) return;
    if (InterlockedCompareExchange(&card->InterfaceReferences, count - 1, count) == count) break;
  }
  ObDereferenceObject(card->Self);
}

}  // namespace

NTSTATUS PortQueryInterface(PDEVICE_OBJECT PortDevice, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
  if (!type || !IsEqualGUID(*type, GUID_PORT_RESOURCE_INTERFACE)) return ForwardToParent(PortDevice, Irp);
  if (stack->Parameters.QueryInterface.Version == 0) return Leave(PortDevice, Irp);
  if (stack->Parameters.QueryInterface.Size < sizeof(PortResourceInterface) || !stack->Parameters.QueryInterface.Interface)
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);

  PortResourceInterface* port_interface = reinterpret_cast<PortResourceInterface*>(stack->Parameters.QueryInterface.Interface);
  CardExtension* card = ParentCardOf(PortDevice);
  port_interface->Size = sizeof(PortResourceInterface);
  port_interface->Version = PORT_RESOURCE_INTERFACE_VERSION;
  port_interface->Context = card;
  port_interface->InterfaceReference = ReferencePortInterface;
  port_interface->InterfaceDereference = DereferencePortInterface;
  port_interface->GetPortResources = GetPortResources;
  // The caller's reference, dropped with InterfaceDereference.
  port_interface->InterfaceReference(card);
  return CompleteRequestWithInformation(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS PortPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  static_cast<PortExtension*>(DeviceObject->DeviceExtension)->Enumerated = TRUE;
  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (minor >= sizeof(kPortPnpHandlers) / sizeof(kPortPnpHandlers[0])) return Leave(DeviceObject, Irp);
  return kPortPnpHandlers[minor](DeviceObject, Irp);
}
