// The card's children: every port device it has (retired ones aside),
// behind whatever the request already carried, in slot order.
#include "card/driver/card_driver.h"

namespace {

ULONG RelationsSize(ULONG entries) {
  if (entries == 0) entries = 1;
  return FIELD_OFFSET(DEVICE_RELATIONS, Objects) + entries * sizeof(PDEVICE_OBJECT);
}

}  // namespace

NTSTATUS CardQueryBusRelations(PDEVICE_OBJECT CardDevice, PIRP Irp) {
  CardExtension* card = static_cast<CardExtension*>(CardDevice->DeviceExtension);
  PDEVICE_RELATIONS old_list = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
  ULONG ports = 0;
  for (int slot = 0; slot < CARD_MAX_PORTS; ++slot)
    if (card->PortDevices[slot]) ++ports;
  const ULONG old_count = old_list ? old_list->Count : 0;
  const ULONG room = old_list ? old_count + ports : CARD_MAX_PORTS;

  PDEVICE_RELATIONS list =
      static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, RelationsSize(room), CARD_POOL_TAG));
  if (!list) {
    Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    list->Count = old_count;
    if (old_list) {
      RtlCopyMemory(list->Objects, old_list->Objects, old_count * sizeof(PDEVICE_OBJECT));
      ExFreePool(old_list);
    }
    for (int slot = 0; slot < CARD_MAX_PORTS; ++slot) {
      if (!card->PortDevices[slot]) continue;
      ObReferenceObject(card->PortDevices[slot]);
      list->Objects[list->Count++] = card->PortDevices[slot];
    }
    // Retired port devices are left out: from now on their removal deletes them.
    for (int i = 0; i < CARD_MAX_PORTS; ++i)
      if (card->RetiredPorts[i]) static_cast<PortExtension*>(card->RetiredPorts[i]->DeviceExtension)->ReportedGone = TRUE;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  // The bus driver below may add children of its own.
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(card->NextLowerDevice, Irp);
}
