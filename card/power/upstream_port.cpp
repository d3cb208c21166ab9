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

// A PCI Express port has the capability; its offset goes to Context.
BOOLEAN HasExpressCapability(ULONG Bus, ULONG Slot, PVOID Context) {
  const UCHAR capability = FindExpressCapability(Bus, Slot);
  *static_cast<PUCHAR>(Context) = capability;
  return capability != 0;
}

}  // namespace

void FindAndDisableUpstreamPort(CardExtension* Card) {
  Card->UpstreamPort.Found = 0;
  Card->UpstreamPort.CapabilityOffset = 0;
  Card->UpstreamPort.Slot = 0;
  ULONG bus = 0;
  ULONG slot = 0;
  UCHAR capability = 0;
  if (!FindBridgeHoldingCard(Card, 0x04, 0x06, HasExpressCapability, &capability, &bus, &slot)) return;
  Card->UpstreamPort.Bus = bus;
  Card->UpstreamPort.Slot = slot;
  Card->UpstreamPort.CapabilityOffset = capability;
  Card->UpstreamPort.Found = 1;
  const ULONG link_control = capability + kLinkControlOffset;
  HalWriteConfigByte(bus, slot, link_control, static_cast<UCHAR>(HalReadConfigByte(bus, slot, link_control) | kLinkDisable));
}

void EnableUpstreamLink(CardExtension* Card) {
  const CardUpstreamPort* port = &Card->UpstreamPort;
  const ULONG link_control = port->CapabilityOffset + kLinkControlOffset;
  const UCHAR value = HalReadConfigByte(port->Bus, port->Slot, link_control);
  HalWriteConfigByte(port->Bus, port->Slot, link_control, static_cast<UCHAR>(value & ~kLinkDisable));
}
