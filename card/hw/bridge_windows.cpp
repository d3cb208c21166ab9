#include "card/hw/bridge_windows.h"

UCHAR HalReadConfigByte(ULONG Bus, ULONG Slot, ULONG Offset) {
  UCHAR value = 0xFF;
  HalGetBusDataByOffset(PCIConfiguration, Bus, Slot, &value, Offset, 1);
  return value;
}

void HalWriteConfigByte(ULONG Bus, ULONG Slot, ULONG Offset, UCHAR Value) {
  HalSetBusDataByOffset(PCIConfiguration, Bus, Slot, &Value, Offset, 1);
}

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

BOOLEAN BridgeHoldsCard(ULONG Bus, ULONG Slot, ULONG IoBar, ULONG MemoryBar) {
  const ULONG io_base = static_cast<ULONG>(HalReadConfigByte(Bus, Slot, 0x1C) & 0xF0) << 8;
  const ULONG io_limit = static_cast<ULONG>(HalReadConfigByte(Bus, Slot, 0x1D)) << 8 | 0xFFF;
  const ULONG mem_base_low = HalReadConfigByte(Bus, Slot, 0x20);
  const ULONG mem_base_high = HalReadConfigByte(Bus, Slot, 0x21);
  const ULONG mem_limit_low = HalReadConfigByte(Bus, Slot, 0x22);
  const ULONG mem_limit_high = HalReadConfigByte(Bus, Slot, 0x23);
  const ULONG mem_base = ((mem_base_low & 0xF0) | mem_base_high << 8) << 16;
  const ULONG mem_limit = (mem_limit_high << 8 | mem_limit_low) << 16 | 0xFFFFF;
  return (io_limit & 0xF000) == io_base && (mem_limit & 0xFFF00000u) == mem_base && mem_base <= MemoryBar &&
         MemoryBar <= mem_limit && io_base <= IoBar && IoBar <= io_limit;
}

BOOLEAN FindBridgeHoldingCard(const CardExtension* Card, UCHAR SubClass, UCHAR BaseClass, BridgeAccept Accept,
                              PVOID Context, PULONG Bus, PULONG Slot) {
  ULONG io_bar = 0;
  ULONG memory_bar = 0;
  CardBars(Card, &io_bar, &memory_bar);
  for (ULONG bus = 0; bus <= BRIDGE_SEARCH_LAST_BUS; ++bus) {
    for (ULONG device = 0; device < 32; ++device) {
      for (ULONG function = 0; function < 8; ++function) {
        const ULONG slot = device | function << 5;
        if (HalReadConfigByte(bus, slot, 0x0B) != BaseClass || HalReadConfigByte(bus, slot, 0x0A) != SubClass) continue;
        if (!BridgeHoldsCard(bus, slot, io_bar, memory_bar)) continue;
        if (Accept && !Accept(bus, slot, Context)) continue;
        *Bus = bus;
        *Slot = slot;
        return TRUE;
      }
    }
  }
  return FALSE;
}
