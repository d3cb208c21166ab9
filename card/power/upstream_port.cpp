// The PCI Express port above the card: found by the windows that hold the
// card's BARs, its link disabled before a sleep and enabled again on the
// way back to D0.
#include "card/power/power.h"

#include "card/hw/bridge_windows.h"

namespace {

const UCHAR kExpressCapabilityId = 0x10;
const ULONG kLinkControlOffset = 0x10;
const UCHAR kLinkDisable = 0x10;

// Walks the bridge's capability list for the PCI Express capability; 0
// when the list ends, or runs past the most entries a list can hold,
// without one.
UCHAR FindExpressCapability(ULONG Bus, ULONG Slot) {
  UCHAR offset = HalReadConfigByte(Bus, Slot, 0x34);
  for (ULONG step = 0; offset != 0 && step < CAPABILITY_WALK_LIMIT; ++step) {
    if (HalReadConfigByte(Bus, Slot, offset) == kExpressCapabilityId) return offset;
    offset = HalReadConfigByte(Bus, Slot, offset + 1UL);
  }
  return 0;
}

}  // namespace

void FindAndDisableUpstreamPort(CardExtension* Card) {
  Card->UpstreamPort.Found = 0;
  Card->UpstreamPort.CapabilityOffset = 0;
  Card->UpstreamPort.Slot = 0;
  ULONG io_bar = 0;
  ULONG memory_bar = 0;
  CardBars(Card, &io_bar, &memory_bar);
  for (ULONG bus = 0; bus <= BRIDGE_SEARCH_LAST_BUS; ++bus) {
    for (ULONG device = 0; device < 32; ++device) {
      for (ULONG function = 0; function < 8; ++function) {
        const ULONG slot = device + 32 * function;
        const UCHAR sub_class = HalReadConfigByte(bus, slot, 0x0A);
        const UCHAR base_class = HalReadConfigByte(bus, slot, 0x0B);
        if (base_class != 0x06 || sub_class != 0x04) continue;
        if (!BridgeHoldsCard(bus, slot, io_bar, memory_bar)) continue;
        const UCHAR capability = FindExpressCapability(bus, slot);
        if (!capability) continue;
        Card->UpstreamPort.Bus = bus;
        Card->UpstreamPort.Slot = slot;
        Card->UpstreamPort.CapabilityOffset = capability;
        Card->UpstreamPort.Found = 1;
        const ULONG link_control = capability + kLinkControlOffset;
        HalWriteConfigByte(bus, slot, link_control, static_cast<UCHAR>(HalReadConfigByte(bus, slot, link_control) | kLinkDisable));
        return;
      }
    }
  }
}

void EnableUpstreamLink(CardExtension* Card) {
  const CardUpstreamPort* port = &Card->UpstreamPort;
  const ULONG link_control = port->CapabilityOffset + kLinkControlOffset;
  const UCHAR value = HalReadConfigByte(port->Bus, port->Slot, link_control);
  HalWriteConfigByte(port->Bus, port->Slot, link_control, static_cast<UCHAR>(value & ~kLinkDisable));
}
