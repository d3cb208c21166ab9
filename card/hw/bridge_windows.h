// The bridges above the card, as both the bring-up's bridge fix-up and the
// power path's upstream-port search see them: configuration bytes of other
// functions through the HAL, and the test that a bridge's windows are
// exactly the blocks holding the card's BARs.
#pragma once

#include "card/driver/card_extension.h"

// The last bus a search for the card's bridge looks at.
#define BRIDGE_SEARCH_LAST_BUS 254

// One byte of another function's configuration space; an absent function
// reads 0xFF.
UCHAR HalReadConfigByte(ULONG Bus, ULONG Slot, ULONG Offset);
void HalWriteConfigByte(ULONG Bus, ULONG Slot, ULONG Offset, UCHAR Value);

// The card's I/O and memory BARs from its saved BAR0 and BAR1, flag bits
// included; a role no BAR fills is 0.
void CardBars(const CardExtension* Card, PULONG IoBar, PULONG MemoryBar);

// Tells whether a bridge that holds the card is the one a search wants.
typedef BOOLEAN (*BridgeAccept)(ULONG Bus, ULONG Slot, PVOID Context);

// Searches every bus up to BRIDGE_SEARCH_LAST_BUS, device and function for
// the first function of the class whose windows hold the card's BARs and
// that Accept (when given) takes; FALSE when there is none.
BOOLEAN FindBridgeHoldingCard(const CardExtension* Card, UCHAR SubClass, UCHAR BaseClass, BridgeAccept Accept,
                              PVOID Context, PULONG Bus, PULONG Slot);

// TRUE when the bridge's I/O window is one 4 KB block and its memory window
// one 1 MB block, and they hold the card's I/O and memory BARs.
BOOLEAN BridgeHoldsCard(ULONG Bus, ULONG Slot, ULONG IoBar, ULONG MemoryBar);
