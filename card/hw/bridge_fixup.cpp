// The upstream-bridge fix-up: a search of every bus, device and function for
// the PCI-to-PCI bridge whose windows are exactly the 4 KB I/O block and the
// 1 MB memory block holding the card's BARs.
#include "card/hw/bridge_windows.h"
#include "card/hw/register_map.h"

NTSTATUS FixUpUpstreamBridge(CardExtension* Card, UCHAR SubClass, UCHAR BaseClass) {
  ULONG bus = 0;
  ULONG slot = 0;
  if (!FindBridgeHoldingCard(Card, SubClass, BaseClass, NULL, NULL, &bus, &slot)) return STATUS_SUCCESS;
  const ULONG device = slot & 31;
  const ULONG offset = device == 1 ? 0x1D4 : 0x114;
  HalWriteConfigByte(bus, slot, offset, 0xFF);
  HalWriteConfigByte(bus, slot, offset + 1, 0xFF);
  return STATUS_SUCCESS;
}
