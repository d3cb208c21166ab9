// Raw access codes: a byte of the card's configuration space through its
// bus interface, a byte of an I/O port, a byte of physical memory, a dword
// of a PCI function through the legacy mechanism. Ports, memory and legacy
// functions are bounded to what belongs to the card, so the control device
// cannot be used to reach the rest of the machine.
#include "card/control/control.h"
#include "card/hw/hw_access.h"
#include "card/hw/register_map.h"

namespace {

// "Tag1" in memory.
const ULONG kInterfaceTag = '1gaT';
const ULONG kInterfaceBufferSize = 64;
const ULONG kConfigSpaceLimit = 0xFFF;
const ULONG kFunctionWindow = 0x1000;

ULONG CardDevice(const CardExtension* Card) { return Card->SlotNumber & 0x1F; }
ULONG CardFunction(const CardExtension* Card) { return (Card->SlotNumber >> 5) & 0x7; }

BOOLEAN InRange(const CardRange* Range, ULONGLONG Address) {
  return Address >= Range->Start && Address - Range->Start < Range->Length;
}

BOOLEAN PciNumbersValid(const PciAccessRecord* Record) {
  return Record->Bus <= 255 && Record->Device <= 31 && Record->Function <= 7;
}

ULONG ReturnWhole(BOOLEAN* ReturnRecord) {
  *ReturnRecord = TRUE;
  return sizeof(ControlRecord);
}

ULONG ConfigByte(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord) {
  if (Record->Target > kConfigSpaceLimit) return sizeof(ControlRecord);
  PBUS_INTERFACE_STANDARD bus = AcquireBusInterface(Card);
  if (!bus) return 0;
  if (Code == IOCTL_CARD_READ_CONFIG_BYTE) {
    ULONG value = 0;
    bus->GetBusData(bus->Context, PCI_WHICHSPACE_CONFIG, &value, Record->Target, 1);
    Record->Result = value;
    *ReturnRecord = TRUE;
  } else {
    UCHAR value = static_cast<UCHAR>(Record->Value);
    bus->SetBusData(bus->Context, PCI_WHICHSPACE_CONFIG, &value, Record->Target, 1);
  }
  ReleaseBusInterface(bus);
  return sizeof(ControlRecord);
}

ULONG IoByte(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord) {
  const USHORT port = static_cast<USHORT>(Record->Target);
  if (!IoPortBelongsToCard(Card, port)) return 0;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Card->IoByteLock);
  UCHAR value = 0;
  if (Code == IOCTL_CARD_READ_IO_BYTE)
    value = ReadPortByte(port);
  else
    WritePortByte(port, static_cast<UCHAR>(Record->Value));
  KeReleaseSpinLock(&Card->IoByteLock, irql);
  if (Code == IOCTL_CARD_WRITE_IO_BYTE) return sizeof(ControlRecord);
  Record->Result = value;
  return ReturnWhole(ReturnRecord);
}

ULONG MemoryByte(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord) {
  if (!PhysicalByteBelongsToCard(Card, Record->Target)) return 0;
  if (Code == IOCTL_CARD_WRITE_MEMORY_BYTE) {
    WritePhysicalByte(Record->Target, static_cast<UCHAR>(Record->Value));
    return sizeof(ControlRecord);
  }
  Record->Result = ReadPhysicalByte(Record->Target);
  return ReturnWhole(ReturnRecord);
}

}  // namespace

PBUS_INTERFACE_STANDARD AcquireBusInterface(CardExtension* Card) {
  PBUS_INTERFACE_STANDARD bus =
      static_cast<PBUS_INTERFACE_STANDARD>(ExAllocatePoolWithTag(PagedPool, kInterfaceBufferSize, kInterfaceTag));
  if (!bus) return NULL;
  RtlZeroMemory(bus, kInterfaceBufferSize);
  if (!NT_SUCCESS(QueryBusInterface(Card->NextLowerDevice, bus)) || !bus->GetBusData || !bus->SetBusData) {
    if (bus->InterfaceDereference) bus->InterfaceDereference(bus->Context);
    ExFreePoolWithTag(bus, kInterfaceTag);
    return NULL;
  }
  return bus;
}

void ReleaseBusInterface(PBUS_INTERFACE_STANDARD Interface) {
  if (Interface->InterfaceDereference) Interface->InterfaceDereference(Interface->Context);
  ExFreePoolWithTag(Interface, kInterfaceTag);
}

void RecordCardRanges(CardExtension* Card, const CM_PARTIAL_RESOURCE_LIST* Translated) {
  Card->RangeCount = 0;
  if (!Translated) return;
  for (ULONG i = 0; i < Translated->Count && Card->RangeCount < CARD_MAX_RANGES; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR* descriptor = &Translated->PartialDescriptors[i];
    if (descriptor->Type != CmResourceTypePort && descriptor->Type != CmResourceTypeMemory) continue;
    CardRange* range = &Card->Ranges[Card->RangeCount++];
    // Port and Memory share their layout: Start, then Length.
    range->Start = static_cast<ULONGLONG>(descriptor->u.Port.Start.QuadPart);
    range->Length = descriptor->u.Port.Length;
    range->Io = descriptor->Type == CmResourceTypePort;
  }
}

BOOLEAN IoPortBelongsToCard(const CardExtension* Card, ULONG Port) {
  for (ULONG i = 0; i < Card->RangeCount; ++i)
    if (Card->Ranges[i].Io && InRange(&Card->Ranges[i], Port)) return TRUE;
  return FALSE;
}

BOOLEAN PhysicalByteBelongsToCard(const CardExtension* Card, ULONG Address) {
  for (ULONG i = 0; i < Card->RangeCount; ++i)
    if (!Card->Ranges[i].Io && InRange(&Card->Ranges[i], Address)) return TRUE;
  const ULONG window = EcamAddress(Card->BusNumber);
  if (window == 0) return FALSE;
  const ULONG function_base = window + (CardDevice(Card) << 15 | CardFunction(Card) << 12);
  return Address >= function_base && Address - function_base < kFunctionWindow;
}

// A bridge leads to the card when the card's bus lies in its secondary to
// subordinate range: in a consistent hierarchy those are exactly the
// bridges on the card's path from the root.
BOOLEAN PciFunctionLeadsToCard(const CardExtension* Card, ULONG Bus, ULONG Device, ULONG Function) {
  if (Bus == Card->BusNumber && Device == CardDevice(Card) && Function == CardFunction(Card)) return TRUE;
  ULONG header = 0xFFFFFFFF;
  ULONG buses = 0;
  if (!PciConfigReadDword(Bus, Device, Function, 0x0C, &header) || ((header >> 16) & 0x7F) != 1) return FALSE;
  if (!PciConfigReadDword(Bus, Device, Function, 0x18, &buses)) return FALSE;
  const ULONG primary = buses & 0xFF;
  const ULONG secondary = (buses >> 8) & 0xFF;
  const ULONG subordinate = (buses >> 16) & 0xFF;
  return primary == Bus && secondary > Bus && secondary <= Card->BusNumber && Card->BusNumber <= subordinate;
}

ULONG ServeRawCode(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord) {
  switch (Code) {
    case IOCTL_CARD_READ_CONFIG_BYTE:
    case IOCTL_CARD_WRITE_CONFIG_BYTE:
      return ConfigByte(Card, Code, Record, ReturnRecord);
    case IOCTL_CARD_READ_IO_BYTE:
    case IOCTL_CARD_WRITE_IO_BYTE:
      return IoByte(Card, Code, Record, ReturnRecord);
    case IOCTL_CARD_READ_MEMORY_BYTE:
    case IOCTL_CARD_WRITE_MEMORY_BYTE:
      return MemoryByte(Card, Code, Record, ReturnRecord);
    default:
      return 0;
  }
}

// Numbers no function can have make the legacy access do nothing; such a
// request returns its record as sent, as it always has.
ULONG ServePciCode(CardExtension* Card, ULONG Code, PciAccessRecord* Record, BOOLEAN* ReturnRecord) {
  const ULONG offset = Record->Offset & 0xFF;
  const BOOLEAN legacy = Code == IOCTL_CARD_READ_PCI_DWORD || Record->Width == 4;
  if (legacy && PciNumbersValid(Record) &&
      !PciFunctionLeadsToCard(Card, Record->Bus, Record->Device, Record->Function))
    return 0;
  if (Code == IOCTL_CARD_READ_PCI_DWORD) {
    ULONG data = Record->Data;
    PciConfigReadDword(Record->Bus, Record->Device, Record->Function, offset, &data);
    Record->Data = data;
  } else if (Record->Width == 1 || Record->Width == 2) {
    ULONG data = Record->Data;
    CardConfigAccess(Card->Self, TRUE, &data, offset, Record->Width);
  } else if (Record->Width == 4) {
    const ULONG data = Record->Data;
    PciConfigWriteDword(Record->Bus, Record->Device, Record->Function, offset, &data);
  }
  *ReturnRecord = TRUE;
  return sizeof(PciAccessRecord);
}
