// The control device's parts: the codes' handlers and the bounds of their
// raw access. Every handler works on its own copy of the caller's record
// and returns the Information value; *ReturnRecord says whether the record
// goes back to the caller.
#pragma once

#include <ntddk.h>

#include "card/control/control_codes.h"
#include "card/driver/card_extension.h"

// Keeps the card's I/O and memory ranges from its start's translated list.
void RecordCardRanges(CardExtension* Card, const CM_PARTIAL_RESOURCE_LIST* Translated);

// What raw access may reach: I/O ports in the card's ranges; physical bytes
// in the card's memory ranges or in its function's 4 KiB of the
// memory-mapped configuration window; legacy configuration dwords of the
// card's own function and of the bridges on the path from the root to it.
BOOLEAN IoPortBelongsToCard(const CardExtension* Card, ULONG Port);
BOOLEAN PhysicalByteBelongsToCard(const CardExtension* Card, ULONG Address);
BOOLEAN PciFunctionLeadsToCard(const CardExtension* Card, ULONG Bus, ULONG Device, ULONG Function);

ULONG ServeBatchCode(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord);
ULONG ServeRawCode(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord);
ULONG ServePciCode(CardExtension* Card, ULONG Code, PciAccessRecord* Record, BOOLEAN* ReturnRecord);
ULONG ServePortCode(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord);

// The card's standard bus interface in a zeroed 64-byte buffer from paged
// pool, or null when the buffer or the query fails. Released with
// ReleaseBusInterface.
PBUS_INTERFACE_STANDARD AcquireBusInterface(CardExtension* Card);
void ReleaseBusInterface(PBUS_INTERFACE_STANDARD Interface);
