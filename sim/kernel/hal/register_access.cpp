// MmMapIoSpace and MmUnmapIoSpace, and the register routines that reach
// device memory through the mappings they hand out.
#include "sim/hw/hardware.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "wdm.h"

namespace {

sim::IoMappings& Mappings() { return sim::hw::Hw().mappings(); }

template <typename T>
T ReadRegister(volatile T* reg, const sim::DriverImage* caller) {
  auto address = reinterpret_cast<uintptr_t>(reg);
  uint64_t physical = 0;
  if (Mappings().Translate(address, sizeof(T), &physical)) {
    sim::hw::Hw().counters().register_reads++;
    return static_cast<T>(sim::hw::Hw().memory().Read(physical, sizeof(T)));
  }
  if (Mappings().InReservation(address)) {
    sim::ReportCaller(caller, "register-access", "READ_REGISTER of " + sim::Hex(address) + ", which no mapping covers");
    return static_cast<T>(~T{0});
  }
  return *reg;  // ordinary memory
}

template <typename T>
void WriteRegister(volatile T* reg, T value, const sim::DriverImage* caller) {
  auto address = reinterpret_cast<uintptr_t>(reg);
  uint64_t physical = 0;
  if (Mappings().Translate(address, sizeof(T), &physical)) {
    sim::hw::Hw().counters().register_writes++;
    sim::hw::Hw().memory().Write(physical, value, sizeof(T));
    return;
  }
  if (Mappings().InReservation(address)) {
    sim::ReportCaller(caller, "register-access", "WRITE_REGISTER of " + sim::Hex(address) + ", which no mapping covers");
    return;
  }
  *reg = value;
}

}  // namespace

extern "C" {

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
  const sim::DriverImage* caller = SIM_CALLER();
  (void)CacheType;
  if (!sim::CheckIrql("MmMapIoSpace", DISPATCH_LEVEL)) return nullptr;
  if (NumberOfBytes == 0) {
    sim::ReportCaller(caller, "mm-map", "MmMapIoSpace of 0 bytes");
    return nullptr;
  }
  uintptr_t address = Mappings().Map(static_cast<uint64_t>(PhysicalAddress.QuadPart), NumberOfBytes, sim::ImageName(caller));
  if (address) sim::hw::Hw().counters().mappings++;
  return reinterpret_cast<PVOID>(address);
}

void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  const sim::DriverImage* caller = SIM_CALLER();
  if (!sim::CheckIrql("MmUnmapIoSpace", DISPATCH_LEVEL)) return;
  auto address = reinterpret_cast<uintptr_t>(BaseAddress);
  const sim::IoMapping* mapping = Mappings().Starting(address);
  if (!mapping) {
    sim::ReportCaller(caller, "mm-unmap", "MmUnmapIoSpace of " + sim::Hex(address) + ", which MmMapIoSpace did not return");
    return;
  }
  if (mapping->length != NumberOfBytes)
    sim::ReportCaller(caller, "mm-unmap",
                      "MmUnmapIoSpace of " + std::to_string(NumberOfBytes) + " bytes of a mapping of " +
                          std::to_string(mapping->length));
  Mappings().Unmap(address);
}

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register) { return ReadRegister(Register, SIM_CALLER()); }
USHORT READ_REGISTER_USHORT(volatile USHORT* Register) { return ReadRegister(Register, SIM_CALLER()); }
ULONG READ_REGISTER_ULONG(volatile ULONG* Register) { return ReadRegister(Register, SIM_CALLER()); }
void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) { WriteRegister(Register, Value, SIM_CALLER()); }
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) { WriteRegister(Register, Value, SIM_CALLER()); }
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) { WriteRegister(Register, Value, SIM_CALLER()); }

}  // extern "C"
