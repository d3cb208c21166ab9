// The card driver's only ways to reach hardware: the card's configuration
// space through its device stack, the PCI bus interface, configuration
// mechanism #1 (ports 0xCF8/0xCFC), single bytes of physical memory, port
// input and output, and a delay.
#pragma once

#include <ntddk.h>

// Reads (Write == 0) or writes Length bytes of the card's configuration
// space at Offset through the stack that holds Device (the card's device or
// a port's). Waits for the bus driver; PASSIVE_LEVEL only.
NTSTATUS CardConfigAccess(PDEVICE_OBJECT Device, ULONG Write, PVOID Buffer, ULONG Offset, ULONG Length);

// Fills a zeroed BUS_INTERFACE_STANDARD from the stack that holds Device.
// PASSIVE_LEVEL only. The caller dereferences and frees the interface.
NTSTATUS QueryBusInterface(PDEVICE_OBJECT Device, PBUS_INTERFACE_STANDARD Interface);

// Configuration mechanism #1. FALSE, with no port access, for a bus above
// 255, a device above 31 or a function above 7.
BOOLEAN PciConfigReadDword(ULONG Bus, ULONG Device, ULONG Function, ULONG Register, PULONG Value);
BOOLEAN PciConfigWriteDword(ULONG Bus, ULONG Device, ULONG Function, ULONG Register, const ULONG* Value);

// One byte of physical memory, mapped for the one access. A byte that cannot
// be mapped reads as 0xFF and is not written.
ULONG ReadPhysicalByte(ULONG Address);
void WritePhysicalByte(ULONG Address, UCHAR Value);

UCHAR ReadPortByte(USHORT Port);
UCHAR WritePortByte(USHORT Port, UCHAR Value);
ULONG ReadPortDword(USHORT Port);
void WritePortDword(USHORT Port, ULONG Value);

// Sleeps below DISPATCH_LEVEL, spins at or above it.
void DelayMicroseconds(ULONG Count);
