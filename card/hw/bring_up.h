// The card bring-up and the settings it reads.
#pragma once

#include <ntddk.h>

#include "card/driver/card_extension.h"

// Reads the settings, checks the chip, saves or restores the header
// registers, counts and programs the ports, records new ports in
// "ComNumConfig" and applies the GPIO values. STATUS_SUCCESS, or
// STATUS_DEVICE_CONFIGURATION_ERROR when the card cannot be brought up.
// PASSIVE_LEVEL only.
NTSTATUS CardBringUp(PDEVICE_OBJECT CardDevice);

// Reads the configuration file into Image (CONFIG_FILE_SIZE bytes, zeroed
// first) and sets ProbeEnabled, CardInConfigFile, LinkBounceEnabled,
// StartBridgeFixup and *FifoSetting from it. A missing file leaves the
// defaults; a file that cannot be read is STATUS_DEVICE_CONFIGURATION_ERROR.
NTSTATUS ReadCardConfigFile(CardExtension* Card, PUCHAR Image, PUCHAR FifoSetting);

// The card's PCI bus number as the Plug and Play manager reports it, used
// to find the card's records in the configuration file.
BOOLEAN QueryCardBusNumber(CardExtension* Card, PULONG BusNumber);

// True when a configuration-file selector names the card's bus. Cards on
// buses above 31 are never named.
inline BOOLEAN ConfigSelectorMatches(UCHAR Selector, ULONG BusNumber) {
  return (Selector & 0x1F) == BusNumber;
}

// True when the UART at I/O base Address does not answer: its modem status
// and line status read like an unanswered address (all ones).
BOOLEAN UartPresenceProbe(USHORT Address);

// What the COM-number bookkeeping of one port needs to know.
typedef struct _PortRecordContext {
  CardExtension* Card;
  PUCHAR ComNumberTable;     // COM_NUMBER_TABLE_BUFFER_SIZE bytes
  const UCHAR* ConfigImage;  // CONFIG_FILE_SIZE bytes
  BOOLEAN BusKnown;
  ULONG ConfigBus;           // the bus the configuration file is matched against
  USHORT DeviceId;
} PortRecordContext;

// Records the port at I/O base Address (slot Slot, position Position) in the
// "ComNumConfig" image unless it is there already, taking its COM number
// from the card's active configuration-file record.
void RecordPortComNumber(const PortRecordContext* Context, USHORT Address, ULONG Slot, ULONG Position);
