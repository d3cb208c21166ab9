// The card configuration file: 27 records of 16 bytes naming, by PCI bus,
// the cards it describes, their ports' COM numbers and FIFO setting, and in
// the first record the global flags.
#include "card/hw/config_file.h"
#include "common/settings_records.h"

BOOLEAN QueryCardBusNumber(CardExtension* Card, PULONG BusNumber) {
  ULONG bus = 0;
  ULONG length = 0;
  NTSTATUS status = IoGetDeviceProperty(Card->PhysicalDeviceObject, DevicePropertyBusNumber, sizeof bus, &bus, &length);
  if (!NT_SUCCESS(status)) return FALSE;
  *BusNumber = bus;
  return TRUE;
}

NTSTATUS ReadCardConfigFile(CardExtension* Card, PUCHAR Image, PUCHAR FifoSetting) {
  // The property query and the file routines need PASSIVE_LEVEL.
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_DEVICE_CONFIGURATION_ERROR;
  RtlZeroMemory(Image, CONFIG_FILE_SIZE);
  ULONG bus = 0;
  const BOOLEAN bus_known = QueryCardBusNumber(Card, &bus);

  UNICODE_STRING path;
  RtlInitUnicodeString(&path, CONFIG_FILE_PATH);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE file = NULL;
  IO_STATUS_BLOCK io_status;
  // Read access only, so that a read-only file, or one another reader
  // holds open, is still read.
  NTSTATUS status = ZwCreateFile(&file, GENERIC_READ, &attributes, &io_status, NULL, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  if (!NT_SUCCESS(status)) return STATUS_SUCCESS;  // no file: the defaults stand

  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  status = ZwReadFile(file, NULL, NULL, NULL, &io_status, Image, CONFIG_FILE_SIZE, &offset, NULL);
  if (!NT_SUCCESS(status)) {
    ZwClose(file);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }

  const ConfigFileRecord* records = reinterpret_cast<const ConfigFileRecord*>(Image);
  for (ULONG r = 0; r < CONFIG_FILE_RECORDS && bus_known; ++r) {
    const UCHAR selector = records[r].Selector;
    if (!ConfigSelectorMatches(selector, bus)) continue;
    if (selector & CONFIG_SELECTOR_ACTIVE) Card->CardInConfigFile = 1;
    if (selector & CONFIG_SELECTOR_FIFO) *FifoSetting = records[r].FifoSetting;
  }
  const UCHAR flags = records[0].GlobalFlags;
  if (!(flags & CONFIG_FLAG_PROBE)) Card->ProbeEnabled = 0;
  if (flags & CONFIG_FLAG_LINK_BOUNCE) Card->LinkBounceEnabled = 1;
  if (flags & CONFIG_FLAG_BRIDGE_FIXUP) Card->StartBridgeFixup = 1;

  ZwClose(file);
  return STATUS_SUCCESS;
}
