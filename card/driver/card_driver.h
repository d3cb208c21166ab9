// Routines of the card driver that other files of the driver call.
#pragma once

#include "card/driver/card_extension.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

// Driver-wide data.
extern UNICODE_STRING CardRegistryPath;

DRIVER_ADD_DEVICE CardAddDevice;
DRIVER_UNLOAD CardDriverUnload;
DRIVER_DISPATCH CardCreateClose;
DRIVER_DISPATCH CardPnpRouter;
DRIVER_DISPATCH CardPnpDispatch;
DRIVER_DISPATCH PortPnpDispatch;
DRIVER_DISPATCH PowerDispatch;
DRIVER_DISPATCH SystemControl;
DRIVER_DISPATCH DeviceControlDispatch;

// Completes a request with a status, leaving Information as it is; returns the status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
// Completes a request with a status and an Information value; returns the status.
NTSTATUS CompleteRequestWithInformation(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// Passes a request to the lower drivers and waits until they completed it;
// returns its status. The caller completes the request.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT CardDevice, PIRP Irp);

// Answers BusRelations with the card's port devices and passes the request down.
NTSTATUS CardQueryBusRelations(PDEVICE_OBJECT CardDevice, PIRP Irp);

// Deletes the card's port devices and the card's own device object.
void TearDownCard(PDEVICE_OBJECT CardDevice);
