// Single bytes of physical memory (the memory-mapped configuration space),
// each access mapping and unmapping its own non-cached window.
#include "card/hw/hw_access.h"

namespace {

// A locked read-modify-write is a full barrier on x64.
void FullMemoryBarrier() {
  volatile LONG fence = 0;
  InterlockedOr(&fence, 0);
}

}  // namespace

ULONG ReadPhysicalByte(ULONG Address) {
  PHYSICAL_ADDRESS physical;
  physical.QuadPart = Address & 0xFFFFFFFCu;
  PVOID mapping = MmMapIoSpace(physical, 4, MmNonCached);
  if (!mapping) return 0xFF;
  // One 32-bit access; the byte is taken from its lane.
  ULONG dword = READ_REGISTER_ULONG(static_cast<volatile ULONG*>(mapping));
  MmUnmapIoSpace(mapping, 4);
  return (dword >> (8 * (Address & 3))) & 0xFF;
}

void WritePhysicalByte(ULONG Address, UCHAR Value) {
  PHYSICAL_ADDRESS physical;
  physical.QuadPart = Address;
  PVOID mapping = MmMapIoSpace(physical, 1, MmNonCached);
  if (!mapping) return;
  WRITE_REGISTER_UCHAR(static_cast<volatile UCHAR*>(mapping), Value);
  FullMemoryBarrier();
  MmUnmapIoSpace(mapping, 1);
}
