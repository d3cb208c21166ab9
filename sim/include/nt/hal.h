// Hardware access: I/O ports, memory-mapped registers, physical memory
// mappings and the bus data of other PCI functions.
#pragma once
#include "nt/basetypes.h"
#include "nt/resources.h"

// I/O ports.
NTHALAPI UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
NTHALAPI USHORT NTAPI READ_PORT_USHORT(PUSHORT Port);
NTHALAPI ULONG NTAPI READ_PORT_ULONG(PULONG Port);
NTHALAPI void NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
NTHALAPI void NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
NTHALAPI void NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value);

// Memory-mapped registers (addresses from MmMapIoSpace).
NTKERNELAPI UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR* Register);
NTKERNELAPI USHORT NTAPI READ_REGISTER_USHORT(volatile USHORT* Register);
NTKERNELAPI ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG* Register);
NTKERNELAPI void NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value);
NTKERNELAPI void NTAPI WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value);
NTKERNELAPI void NTAPI WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);

typedef enum _MEMORY_CACHING_TYPE {
  MmNonCached = 0,
  MmCached = 1,
  MmWriteCombined = 2,
  MmHardwareCoherentCached,
  MmNonCachedUnordered,
  MmUSWCCached,
  MmMaximumCacheType,
  MmNotMapped = -1
} MEMORY_CACHING_TYPE;

NTKERNELAPI PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                     MEMORY_CACHING_TYPE CacheType);
NTKERNELAPI void NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

// Configuration space of any PCI function (BusDataType PCIConfiguration).
NTHALAPI ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                           PVOID Buffer, ULONG Offset, ULONG Length);
NTHALAPI ULONG NTAPI HalSetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                           PVOID Buffer, ULONG Offset, ULONG Length);
