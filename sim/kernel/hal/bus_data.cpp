// HalGetBusDataByOffset and HalSetBusDataByOffset for PCIConfiguration: the
// configuration space of any function, by bus and PCI_SLOT_NUMBER.
#include <algorithm>

#include "sim/hw/hardware.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "wdm.h"

namespace {

// Bytes transferred, as the HAL reports them: 0 for a bus that does not
// exist, 2 (the invalid vendor ID) for an empty slot, otherwise what lies
// within the function's configuration space. Reads nobody answers fill
// the buffer with all ones.
ULONG Access(bool write, BUS_DATA_TYPE type, ULONG bus, ULONG slot, PVOID buffer, ULONG offset, ULONG length,
             const sim::DriverImage* caller) {
  const char* routine = write ? "HalSetBusDataByOffset" : "HalGetBusDataByOffset";
  if (!sim::CheckIrql(routine, DISPATCH_LEVEL)) return 0;
  if (type != PCIConfiguration) {
    sim::ReportCaller(caller, "hal-bus-data", std::string(routine) + " with bus data type " + std::to_string(type));
    return 0;
  }
  auto* bytes = static_cast<UCHAR*>(buffer);
  if (!write)
    for (ULONG i = 0; i < length; ++i) bytes[i] = 0xFF;
  sim::hw::Hardware& hw = sim::hw::Hw();
  if (bus > 255 || !hw.pci().BusExists(bus)) return 0;
  PCI_SLOT_NUMBER slot_number;
  slot_number.u.AsULONG = slot;
  sim::hw::PciLocation at{bus, slot_number.u.bits.DeviceNumber, slot_number.u.bits.FunctionNumber};
  sim::hw::PciFunction* function = hw.pci().Answering(at);
  ULONG size = function ? function->size() : 0;
  ULONG count = offset < size ? std::min(length, size - offset) : 0;
  for (ULONG i = 0; i < count; ++i) {
    if (write) {
      hw.pci().Write(sim::hw::ConfigPath::Hal, at, offset + i, bytes[i], 1);
    } else {
      bytes[i] = static_cast<UCHAR>(hw.pci().Read(sim::hw::ConfigPath::Hal, at, offset + i, 1));
    }
  }
  if (!function) {
    hw.counters().CountConfig(sim::hw::ConfigPath::Hal, write);
    return 2;
  }
  return count;
}

}  // namespace

extern "C" {

ULONG HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer, ULONG Offset,
                            ULONG Length) {
  return Access(false, BusDataType, BusNumber, SlotNumber, Buffer, Offset, Length, SIM_CALLER());
}

ULONG HalSetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer, ULONG Offset,
                            ULONG Length) {
  return Access(true, BusDataType, BusNumber, SlotNumber, Buffer, Offset, Length, SIM_CALLER());
}

}  // extern "C"
