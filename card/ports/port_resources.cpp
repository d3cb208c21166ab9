// A port's resources: the requirements it states (one I/O range, the
// card's shared interrupt) and the real lists it hands out through the
// port resource interface (its UART's window in the card's range).
#include "card/driver/card_driver.h"
#include "card/hw/hw_access.h"
#include "card/ports/ports.h"

namespace {

// Count 1, one full descriptor of two partial descriptors.
const ULONG kPortListSize = sizeof(CM_RESOURCE_LIST) + sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
// One alternative list of two descriptors.
const ULONG kRequirementsSize = sizeof(IO_RESOURCE_REQUIREMENTS_LIST) + sizeof(IO_RESOURCE_DESCRIPTOR);

// The UARTs of a group of four lie 8 bytes apart in the group's window,
// and each decodes those 8 bytes.
const ULONG kUartStride = 8;

const ULONG kConfigHeaderSize = 256;
const ULONG kInterruptLineOffset = 0x3C;

int SlotOfDevice(const CardExtension* card, PDEVICE_OBJECT device) {
  for (int slot = 0; slot < CARD_MAX_PORTS; ++slot)
    if (device && card->PortDevices[slot] == device) return slot;
  return -1;
}

void FillPortList(PCM_RESOURCE_LIST list, const CM_PARTIAL_RESOURCE_DESCRIPTOR* window,
                  const CM_PARTIAL_RESOURCE_DESCRIPTOR* interrupt) {
  RtlZeroMemory(list, kPortListSize);
  list->Count = 1;
  list->List[0].InterfaceType = Internal;
  list->List[0].BusNumber = 0;
  CM_PARTIAL_RESOURCE_LIST* partial = &list->List[0].PartialResourceList;
  partial->Version = 1;
  partial->Revision = 1;
  partial->Count = 2;
  partial->PartialDescriptors[0] = *window;
  partial->PartialDescriptors[1] = *interrupt;
}

}  // namespace

NTSTATUS GetPortResources(PVOID Context, PDEVICE_OBJECT PortDevice, PCM_RESOURCE_LIST* RawList,
                          PCM_RESOURCE_LIST* TranslatedList) {
  CardExtension* card = static_cast<CardExtension*>(Context);
  const int slot = SlotOfDevice(card, PortDevice);
  if (slot < 0) return STATUS_DEVICE_CONFIGURATION_ERROR;

  PCM_RESOURCE_LIST raw = static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(PagedPool, kPortListSize, CARD_POOL_TAG));
  PCM_RESOURCE_LIST translated =
      static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(PagedPool, kPortListSize, CARD_POOL_TAG));
  if (!raw || !translated) {
    if (raw) ExFreePoolWithTag(raw, CARD_POOL_TAG);
    if (translated) ExFreePoolWithTag(translated, CARD_POOL_TAG);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FillPortList(raw, &card->PortResources[slot].Raw, &card->InterruptRaw);
  FillPortList(translated, &card->PortResources[slot].Translated, &card->InterruptTranslated);

  // Move each range to this slot's UART within its group's window and cut
  // it to the UART's own registers: the group's window holds its
  // neighbours too, and two ports never share an exclusive range.
  const ULONG offset = kUartStride * (slot % 4);
  CM_PARTIAL_RESOURCE_LIST* raw_partial = &raw->List[0].PartialResourceList;
  CM_PARTIAL_RESOURCE_LIST* translated_partial = &translated->List[0].PartialResourceList;
  for (ULONG i = 0; i < raw_partial->Count; ++i) {
    const UCHAR type = raw_partial->PartialDescriptors[i].Type;
    if (type != CmResourceTypePort && type != CmResourceTypeMemory) continue;
    raw_partial->PartialDescriptors[i].u.Generic.Start.LowPart += offset;
    raw_partial->PartialDescriptors[i].u.Generic.Length = kUartStride;
    translated_partial->PartialDescriptors[i].u.Generic.Start.LowPart += offset;
    translated_partial->PartialDescriptors[i].u.Generic.Length = kUartStride;
  }
  *RawList = raw;
  *TranslatedList = translated;
  return STATUS_SUCCESS;
}

NTSTATUS PortQueryResourceRequirements(PDEVICE_OBJECT PortDevice, PIRP Irp) {
  // The card's interrupt line, read through the port's own stack (the port
  // forwards the read to the card's stack). Without it the port's
  // interrupt is unknown, so the request fails rather than state a guess.
  UCHAR header[kConfigHeaderSize];
  RtlZeroMemory(header, sizeof(header));
  NTSTATUS status = CardConfigAccess(PortDevice, 0, header, 0, sizeof(header));
  if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status);

  PIO_RESOURCE_REQUIREMENTS_LIST list =
      static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(ExAllocatePoolWithTag(PagedPool, kRequirementsSize, CARD_POOL_TAG));
  if (!list) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
  RtlZeroMemory(list, kRequirementsSize);
  list->ListSize = kRequirementsSize;
  list->InterfaceType = PNPBus;
  list->BusNumber = 0;
  list->SlotNumber = 0;
  list->AlternativeLists = 1;
  // The second descriptor lies past the declared one-element array, so both
  // are reached through a pointer to the alternative list.
  IO_RESOURCE_LIST* alternative = &list->List[0];
  alternative->Version = 1;
  alternative->Revision = 1;
  alternative->Count = 2;

  IO_RESOURCE_DESCRIPTOR* window = &alternative->Descriptors[0];
  window->Type = CmResourceTypePort;
  window->ShareDisposition = CmResourceShareDeviceExclusive;
  window->Flags = CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_16_BIT_DECODE | CM_RESOURCE_PORT_POSITIVE_DECODE |
                  CM_RESOURCE_PORT_BAR;

  IO_RESOURCE_DESCRIPTOR* interrupt = &alternative->Descriptors[1];
  interrupt->Type = CmResourceTypeInterrupt;
  interrupt->ShareDisposition = CmResourceShareShared;
  interrupt->Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  interrupt->u.Interrupt.MinimumVector = header[kInterruptLineOffset];
  interrupt->u.Interrupt.MaximumVector = header[kInterruptLineOffset];

  return CompleteRequestWithInformation(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(list));
}
