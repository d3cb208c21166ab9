// The card's port devices: their creation at the card's start, their share
// of the card's resources, their identities and their Plug and Play requests.
#pragma once

#include <ntddk.h>

#include "card/driver/card_extension.h"
#include "enum/serial/port_resource_interface.h"

// Brings the card up, records each slot's share of the card's resources
// from the start request's partial lists (either may be null) and creates
// the port devices the card lacks. PASSIVE_LEVEL only.
NTSTATUS StartCardAndCreatePorts(PDEVICE_OBJECT CardDevice, const CM_PARTIAL_RESOURCE_LIST* RawList,
                                 const CM_PARTIAL_RESOURCE_LIST* TranslatedList);

// Creates the port device of the slot that SlotBit (DEVICE_FLAG_SLOT) names.
NTSTATUS CreatePortDevice(CardExtension* Card, ULONG SlotBit, PDEVICE_OBJECT* Device);

// The routine of the port resource interface; Context is the CardExtension.
// Each list holds the port's UART range (its 8 bytes, never a neighbour's)
// and the card's interrupt.
GET_PORT_RESOURCES GetPortResources;

// Handlers of the port devices' Plug and Play table. Each completes the
// request (ForwardToParent possibly later) and returns its status.
NTSTATUS PortQueryResourceRequirements(PDEVICE_OBJECT PortDevice, PIRP Irp);
NTSTATUS PortQueryId(PDEVICE_OBJECT PortDevice, PIRP Irp);
NTSTATUS PortQueryRelations(PDEVICE_OBJECT PortDevice, PIRP Irp);
NTSTATUS PortQueryInterface(PDEVICE_OBJECT PortDevice, PIRP Irp);

// Re-issues a port's request to the top of the card's stack in a request of
// its own and answers the port's request with the card's result. Returns
// STATUS_PENDING, or STATUS_INSUFFICIENT_RESOURCES when no request could be
// built (the port's request is then completed with it).
NTSTATUS ForwardToParent(PDEVICE_OBJECT PortDevice, PIRP Irp);

inline CardExtension* ParentCardOf(PDEVICE_OBJECT PortDevice) {
  PortExtension* port = static_cast<PortExtension*>(PortDevice->DeviceExtension);
  return static_cast<CardExtension*>(port->ParentFdo->DeviceExtension);
}
