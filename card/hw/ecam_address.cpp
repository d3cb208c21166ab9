// Where the memory-mapped configuration space of a bus lies, as the host
// bridge tells: Intel host bridges other than two older ones hold the base
// in register 0x60; elsewhere it is taken to be 0xE0000000.
#include "card/hw/hw_access.h"
#include "card/hw/register_map.h"

namespace {

const ULONG kDefaultBase = 0xE0000000u;
const ULONG kBusStride = 0x100000u;
const ULONG kFunctionSpace = 0x1000u;

}  // namespace

ULONG EcamAddress(ULONG BusNumber) {
  ULONG id = 0xFFFFFFFF;
  PciConfigReadDword(0, 0, 0, 0x00, &id);
  ULONG base = kDefaultBase;
  if ((id & 0xFFFF) == 0x8086 && id != 0x0F008086u && id != 0x22808086u) {
    ULONG bar = 0;
    PciConfigReadDword(0, 0, 0, 0x60, &bar);
    base = bar & 0xFF000000u;
  }
  // A base of 0 (the window is not set up) or a bus beyond the 32-bit
  // address space would send the accesses into ordinary memory.
  ULONGLONG address = static_cast<ULONGLONG>(base) + static_cast<ULONGLONG>(BusNumber) * kBusStride;
  if (base == 0 || address + kFunctionSpace > 0x100000000ull) return 0;
  return static_cast<ULONG>(address);
}
