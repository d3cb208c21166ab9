// The card bring-up.
#pragma once

#include <ntddk.h>

// Why the bring-up runs. At a Plug and Play start the bus driver has just
// programmed the resources it assigned, so the header registers are taken
// as they are and saved; on a return to D0 the card may have lost them, so
// the saved ones are written back.
typedef enum _CardBringUpReason {
  CardBringUpAtStart,
  CardBringUpAtReturnToD0,
} CardBringUpReason;

// Reads the settings, checks the chip, saves or restores the header
// registers, counts and programs the ports, records new ports in
// "ComNumConfig" and applies the GPIO values. STATUS_SUCCESS, or
// STATUS_DEVICE_CONFIGURATION_ERROR when the card cannot be brought up
// (called above PASSIVE_LEVEL, configuration file unreadable, not the
// card's header, or no pool for the working buffers: then no register of
// the card is touched). A card whose BAR5 is not an I/O range gets no
// usable port: PortCount 0, every block disabled, no UART touched.
// PASSIVE_LEVEL only.
NTSTATUS CardBringUp(PDEVICE_OBJECT CardDevice, CardBringUpReason Reason);
