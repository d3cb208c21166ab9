// The PCI Express port above the card: found by the windows that hold the
// card's BARs, its link disabled before a sleep and enabled again on the
// way back to D0.
#include "card/power/power.h"

#include "card/hw/hw_access.h"

namespace {

const ULONG kLastBus = 254;
const UCHAR kExpressCapabilityId = 0x10;
const ULONG kLinkControlOffset = 0x10;
const UCHAR kLinkDisable = 0x10;

UCHAR ReadByte(ULONG Bus, ULONG Slot, ULONG Offset) {
  UCHAR value = 0xFF;
  HalGetBusDataByOffset(PCIConfiguration, Bus, Slot, &value, Offset, 1);
  return value;
}

void WriteByte(ULONG Bus, ULONG Slot, ULONG Offset, UCHAR Value) {
  HalSetBusDataByOffset(PCIConfiguration, Bus, Slot, &Value, Offset, 1);
}

// The card's I/O and memory BARs from the saved BAR0 and BAR1, flag bits
// included; a role no BAR fills is 0.
void CardBars(const CardExtension* Card, PULONG IoBar, PULONG MemoryBar) {
  const ULONG bar0 = SAVED_BAR(Card, 0);
  const ULONG bar1 = SAVED_BAR(Card, 1);
  *IoBar = 0;
  *MemoryBar = 0;
  if (bar1 & 1) {
    *IoBar = bar1;
    if (!(bar0 & 1)) *MemoryBar = bar0;
  } else {
    *MemoryBar = bar1;
    if (bar0 & 1) *IoBar = bar0;
  }
}

BOOLEAN WindowsHoldCard(ULONG Bus, ULONG Slot, ULONG IoBar, ULONG MemoryBar) {
  const ULONG io_base_byte = ReadByte(Bus, Slot, 0x1C);
  const ULONG io_limit_byte = ReadByte(Bus, Slot, 0x1D);
  const ULONG mem_base_low = ReadByte(Bus, Slot, 0x20);
  const ULONG mem_base_high = ReadByte(Bus, Slot, 0x21);
  const ULONG mem_limit_low = ReadByte(Bus, Slot, 0x22);
  const ULONG mem_limit_high = ReadByte(Bus, Slot, 0x23);
  const ULONG io_base = (io_base_byte & 0xF0) * 0x100;
  const ULONG io_limit = io_limit_byte * 0x100 | 0xFFF;
  const ULONG mem_base = ((mem_base_high * 0x100) | (mem_base_low & 0xF0)) * 0x10000;
  const ULONG mem_limit = ((mem_limit_high * 0x100) | mem_limit_low) * 0x10000 | 0xFFFFF;
  return (io_limit_byte & 0xF0) == (io_base_byte & 0xF0) && (mem_limit & 0xFFF00000u) == mem_base &&
         mem_base <= MemoryBar && MemoryBar <= mem_limit && io_base <= IoBar && IoBar <= io_limit;
}

// Walks the bridge's capability list for the PCI Express capability; 0
// when the list ends, or runs past the most entries a list can hold,
// without one.
UCHAR FindExpressCapability(ULONG Bus, ULONG Slot) {
  UCHAR offset = ReadByte(Bus, Slot, 0x34);
  for (ULONG step = 0; offset != 0 && step < CAPABILITY_WALK_LIMIT; ++step) {
    if (ReadByte(Bus, Slot, offset) == kExpressCapabilityId) return offset;
    offset = ReadByte(Bus, Slot, offset + 1UL);
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
  for (ULONG bus = 0; bus <= kLastBus; ++bus) {
    for (ULONG device = 0; device < 32; ++device) {
      for (ULONG function = 0; function < 8; ++function) {
        const ULONG slot = device + 32 * function;
        const UCHAR sub_class = ReadByte(bus, slot, 0x0A);
        const UCHAR base_class = ReadByte(bus, slot, 0x0B);
        if (base_class != 0x06 || sub_class != 0x04) continue;
        if (!WindowsHoldCard(bus, slot, io_bar, memory_bar)) continue;
        const UCHAR capability = FindExpressCapability(bus, slot);
        if (!capability) continue;
        Card->UpstreamPort.Bus = bus;
        Card->UpstreamPort.Slot = slot;
        Card->UpstreamPort.CapabilityOffset = capability;
        Card->UpstreamPort.Found = 1;
        const ULONG link_control = capability + kLinkControlOffset;
        WriteByte(bus, slot, link_control, static_cast<UCHAR>(ReadByte(bus, slot, link_control) | kLinkDisable));
        return;
      }
    }
  }
}

void EnableUpstreamLink(CardExtension* Card) {
  const CardUpstreamPort* port = &Card->UpstreamPort;
  const ULONG link_control = port->CapabilityOffset + kLinkControlOffset;
  const UCHAR value = ReadByte(port->Bus, port->Slot, link_control);
  WriteByte(port->Bus, port->Slot, link_control, static_cast<UCHAR>(value & ~kLinkDisable));
}
