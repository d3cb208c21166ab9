// READ_PORT_* and WRITE_PORT_*: one IN or OUT on the machine's I/O space.
#include "sim/hw/hardware.h"
#include "wdm.h"

namespace {
uint16_t PortOf(const void* port) { return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(port)); }
uint32_t In(const void* port, unsigned width) { return sim::hw::Hw().io().Read(PortOf(port), width); }
void Out(const void* port, uint32_t value, unsigned width) { sim::hw::Hw().io().Write(PortOf(port), value, width); }
}  // namespace

extern "C" {

UCHAR READ_PORT_UCHAR(PUCHAR Port) { return static_cast<UCHAR>(In(Port, 1)); }
USHORT READ_PORT_USHORT(PUSHORT Port) { return static_cast<USHORT>(In(Port, 2)); }
ULONG READ_PORT_ULONG(PULONG Port) { return In(Port, 4); }
void WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) { Out(Port, Value, 1); }
void WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) { Out(Port, Value, 2); }
void WRITE_PORT_ULONG(PULONG Port, ULONG Value) { Out(Port, Value, 4); }

}  // extern "C"
