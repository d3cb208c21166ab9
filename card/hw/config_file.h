// The card configuration file and the bus number its records are matched
// against.
#pragma once

#include <ntddk.h>

#include "card/driver/card_extension.h"

// Reads the configuration file into Image (CONFIG_FILE_SIZE bytes, zeroed
// first) and sets ProbeEnabled, CardInConfigFile, LinkBounceEnabled,
// StartBridgeFixup and *FifoSetting from it. A missing file leaves the
// defaults; a file that cannot be read is STATUS_DEVICE_CONFIGURATION_ERROR.
NTSTATUS ReadCardConfigFile(CardExtension* Card, PUCHAR Image, PUCHAR FifoSetting);

// The card's PCI bus number as the bus driver reports it (device property),
// FALSE when it does not.
BOOLEAN QueryCardBusNumber(CardExtension* Card, PULONG BusNumber);

// True when a configuration-file selector names the card's bus. Cards on
// buses above 31 are never named.
inline BOOLEAN ConfigSelectorMatches(UCHAR Selector, ULONG BusNumber) {
  return (Selector & 0x1F) == BusNumber;
}
