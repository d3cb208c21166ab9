// The upstream-bridge fix-up: a search of every bus, device and function for
// the PCI-to-PCI bridge whose windows are exactly the 4 KB I/O block and the
// 1 MB memory block holding the card's BARs.
#include "card/hw/bridge_windows.h"
#include "card/hw/register_map.h"

NTSTATUS FixUpUpstreamBridge(CardExtension* Card, UCHAR SubClass, UCHAR BaseClass) {
  ULONG io_bar = 0;
  ULONG memory_bar = 0;
  CardBars(Card, &io_bar, &memory_bar);
  for (ULONG bus = 0; bus <= BRIDGE_SEARCH_LAST_BUS; ++bus) {
    for (ULONG device = 0; device < 32; ++device) {
      for (ULONG function = 0; function < 8; ++function) {
        const ULONG slot = device | function << 5;
        if (HalReadConfigByte(bus, slot, 0x0B) != BaseClass || HalReadConfigByte(bus, slot, 0x0A) != SubClass) continue;
        if (!BridgeHoldsCard(bus, slot, io_bar, memory_bar)) continue;
        const ULONG offset = device == 1 ? 0x1D4 : 0x114;
        HalWriteConfigByte(bus, slot, offset, 0xFF);
        HalWriteConfigByte(bus, slot, offset + 1, 0xFF);
        return STATUS_SUCCESS;
      }
    }
  }
  return STATUS_SUCCESS;
}
