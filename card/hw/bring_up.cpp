// The card bring-up: settings, chip check, header save or restore, port
// count, port blocks, "ComNumConfig" and GPIO, in that order.
#include <ntddk.h>
#include <ntstrsafe.h>

#include "card/hw/bring_up.h"
#include "card/hw/hw_access.h"
#include "card/hw/register_map.h"
#include "common/registry_access.h"
#include "common/settings_records.h"

namespace {


// One-call helpers over CardConfigAccess. The statuses of single register
// accesses are not checked: a failed read gives 0 and the sequence goes on.
UCHAR ReadByte(PDEVICE_OBJECT Device, ULONG Offset) {
  UCHAR value = 0;
  CardConfigAccess(Device, 0, &value, Offset, 1);
  return value;
}

void WriteByte(PDEVICE_OBJECT Device, ULONG Offset, UCHAR Value) { CardConfigAccess(Device, 1, &Value, Offset, 1); }

USHORT ReadWord(PDEVICE_OBJECT Device, ULONG Offset) {
  USHORT value = 0;
  CardConfigAccess(Device, 0, &value, Offset, 2);
  return value;
}

void WriteWord(PDEVICE_OBJECT Device, ULONG Offset, USHORT Value) { CardConfigAccess(Device, 1, &Value, Offset, 2); }

ULONG ReadDword(PDEVICE_OBJECT Device, ULONG Offset) {
  ULONG value = 0;
  CardConfigAccess(Device, 0, &value, Offset, 4);
  return value;
}

void WriteDword(PDEVICE_OBJECT Device, ULONG Offset, ULONG Value) { CardConfigAccess(Device, 1, &Value, Offset, 4); }

// Points port block Block at the UART address Address, enabled, with the
// FIFO setting.
void EnableBlock(PDEVICE_OBJECT Device, ULONG Block, UCHAR Control, UCHAR FifoSetting, USHORT Address) {
  const ULONG block = PORT_BLOCK(Block);
  WriteByte(Device, block + BLOCK_CONTROL, static_cast<UCHAR>(Control | BLOCK_ENABLE));
  WriteByte(Device, block + BLOCK_FIFO, FifoSetting);
  WriteByte(Device, block + BLOCK_ADDRESS_LOW, static_cast<UCHAR>(Address));
  WriteByte(Device, block + BLOCK_ADDRESS_HIGH, static_cast<UCHAR>(Address >> 8));
}

void DisableBlock(PDEVICE_OBJECT Device, ULONG Block) {
  const ULONG block = PORT_BLOCK(Block);
  WriteByte(Device, block + BLOCK_CONTROL, static_cast<UCHAR>(ReadByte(Device, block + BLOCK_CONTROL) & 0x3E));
  WriteByte(Device, block + BLOCK_FIFO, static_cast<UCHAR>(ReadByte(Device, block + BLOCK_FIFO) & 0xCC));
  WriteByte(Device, block + BLOCK_ADDRESS_LOW, 0);
  WriteByte(Device, block + BLOCK_ADDRESS_HIGH, 0);
  WriteByte(Device, block + BLOCK_MODE, static_cast<UCHAR>(ReadByte(Device, block + BLOCK_MODE) & 0x0F));
}

BOOLEAN BlockNotAvailable(UCHAR Control) { return (Control & BLOCK_AVAILABILITY_MASK) == BLOCK_NOT_AVAILABLE; }

ULONG HeaderDword(const UCHAR* Header, ULONG Offset) {
  return static_cast<ULONG>(Header[Offset]) | static_cast<ULONG>(Header[Offset + 1]) << 8 |
         static_cast<ULONG>(Header[Offset + 2]) << 16 | static_cast<ULONG>(Header[Offset + 3]) << 24;
}

// Saves BAR0 to BAR5, the command byte and the interrupt line at the first
// bring-up of the card device; writes them back at every later one.
void SaveOrRestoreHeader(CardExtension* Card, PDEVICE_OBJECT Device, const UCHAR* Header) {
  if (!Card->SavedConfigValid) {
    Card->SavedConfigValid = 1;
    for (ULONG n = 0; n < 6; ++n) SAVED_BAR(Card, n) = HeaderDword(Header, CFG_BAR(n));
    Card->SavedCommand = Header[CFG_COMMAND];
    Card->SavedInterruptLine = Header[CFG_INTERRUPT_LINE];
    return;
  }
  for (ULONG n = 0; n < 6; ++n) WriteDword(Device, CFG_BAR(n), SAVED_BAR(Card, n));
  WriteByte(Device, CFG_COMMAND, Card->SavedCommand);
  WriteByte(Device, CFG_INTERRUPT_LINE, Card->SavedInterruptLine);
}

// Counts the chip's usable ports; sets AbsentPortMask for the ones the
// presence probe does not find.
UCHAR CountPorts(CardExtension* Card, PDEVICE_OBJECT Device, USHORT DeviceId, UCHAR OptionalPortMask, ULONG Bar5) {
  const ULONG ports = ChipPortCount(DeviceId);
  ULONG missing = 0;
  for (ULONG n = 0; n < ports; ++n) {
    if (Card->ProbeEnabled && UartPresenceProbe(UartAddress(Bar5, 8 * n))) {
      Card->AbsentPortMask |= 1u << n;
      ++missing;
    } else if (BlockNotAvailable(ReadByte(Device, PORT_BLOCK(n) + BLOCK_CONTROL))) {
      ++missing;
    } else if (ChipPortMissingByMask(DeviceId, n, OptionalPortMask)) {
      ++missing;
    }
  }
  return static_cast<UCHAR>(ports - missing);
}

// Loads "ComNumConfig" into a zeroed buffer, leaving its last byte 0; a
// missing value, or one that is not binary, is created afresh as zeros.
void LoadComNumberTable(PUCHAR Table) {
  RtlZeroMemory(Table, COM_NUMBER_TABLE_BUFFER_SIZE);
  ULONG length = 0;
  ULONG type = REG_NONE;
  NTSTATUS status = QueryValueByPath(COM_NUMBER_TABLE_VALUE, &length, Table, COM_NUMBER_TABLE_VALUE_SIZE,
                                     COM_NUMBER_TABLE_KEY, &type);
  if (NT_SUCCESS(status) && type == REG_BINARY) return;
  RtlZeroMemory(Table, COM_NUMBER_TABLE_BUFFER_SIZE);
  SetValueByPath(COM_NUMBER_TABLE_VALUE, Table, REG_BINARY, COM_NUMBER_TABLE_KEY, COM_NUMBER_TABLE_VALUE_SIZE);
}

// Writes the "GPIO0" to "GPIO5" values of the card's device key to the GPIO
// register pairs in the memory-mapped configuration space.
void ApplyGpioValues(CardExtension* Card) {
  const ULONG ecam = EcamAddress(Card->BusNumber);
  HANDLE key = NULL;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Card->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, DEVICE_KEY_ACCESS, &key)))
    return;
  for (ULONG g = 0; g < GPIO_GROUPS; ++g) {
    WCHAR name[12];
    RtlStringCchPrintfW(name, sizeof name / sizeof name[0], L"GPIO%d", static_cast<int>(g));
    ULONG value = 0;
    if (!NT_SUCCESS(QueryKeyDword(key, name, &value)) || ecam == 0) continue;
    WritePhysicalByte(ecam + GPIO_LOW_OFFSET(g), static_cast<UCHAR>(value));
    WritePhysicalByte(ecam + GPIO_HIGH_OFFSET(g), static_cast<UCHAR>(value >> 8));
  }
  ZwClose(key);
}

}  // namespace

NTSTATUS CardBringUp(PDEVICE_OBJECT CardDevice) {
  CardExtension* card = static_cast<CardExtension*>(CardDevice->DeviceExtension);
  card->PortCount = 0;
  card->AbsentPortMask = 0;
  card->EnabledPortMask = 0;
  card->ProbeEnabled = 1;
  card->CardInConfigFile = 0;
  card->SleepRequested = 0;
  UCHAR fifo = DEFAULT_FIFO_SETTING;

  UCHAR config_image[CONFIG_FILE_SIZE];
  if (!NT_SUCCESS(ReadCardConfigFile(card, config_image, &fifo))) return STATUS_DEVICE_CONFIGURATION_ERROR;

  UCHAR header[CFG_HEADER_SIZE];
  RtlZeroMemory(header, sizeof header);
  if (!NT_SUCCESS(CardConfigAccess(CardDevice, 0, header, 0, sizeof header))) return STATUS_DEVICE_CONFIGURATION_ERROR;
  if ((header[CFG_VENDOR_ID] | header[CFG_VENDOR_ID + 1] << 8) != CARD_VENDOR_ID)
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  const USHORT device_id = static_cast<USHORT>(header[CFG_DEVICE_ID] | header[CFG_DEVICE_ID + 1] << 8);
  const UCHAR optional_mask = header[CFG_OPTIONAL_PORT_MASK];

  SaveOrRestoreHeader(card, CardDevice, header);
  const ULONG bar5 = SAVED_BAR(card, 5);

  if (card->StartBridgeFixup) FixUpUpstreamBridge(card, 4, 6);

  // Provisional addressing: every UART answers at its own address, so that
  // the presence probe can reach it.
  for (ULONG n = 0; n < CARD_MAX_PORTS; ++n)
    EnableBlock(CardDevice, n, ReadByte(CardDevice, PORT_BLOCK(n) + BLOCK_CONTROL), fifo, UartAddress(bar5, 8 * n));

  card->PortCount = CountPorts(card, CardDevice, device_id, optional_mask, bar5);

  for (ULONG n = 0; n < CARD_MAX_PORTS; ++n) DisableBlock(CardDevice, n);

  WriteWord(CardDevice, CFG_BAR0_COPY, static_cast<USHORT>(ReadWord(CardDevice, CFG_BAR(0)) & ~3u));
  WriteWord(CardDevice, CFG_BAR2_COPY, static_cast<USHORT>(ReadWord(CardDevice, CFG_BAR(2)) & ~3u));
  WriteByte(CardDevice, CFG_GLOBAL_B9, static_cast<UCHAR>(ReadByte(CardDevice, CFG_GLOBAL_B9) | 0xE1));

  card->PinnedCard = 0;
  if (ReadDword(CardDevice, CFG_SUBSYSTEM) == PINNED_CARD_SUBSYSTEM) card->PinnedCard = 1;

  UCHAR table[COM_NUMBER_TABLE_BUFFER_SIZE];
  LoadComNumberTable(table);

  PortRecordContext record;
  record.Card = card;
  record.ComNumberTable = table;
  record.ConfigImage = config_image;
  record.ConfigBus = 0;
  record.BusKnown = card->CardInConfigFile ? QueryCardBusNumber(card, &record.ConfigBus) : FALSE;
  record.DeviceId = device_id;

  // Enable the usable ports, packed: the s-th enabled port answers at
  // A(8 * s). The pass ends at the chip's last counted port.
  ULONG slot = 0;
  for (ULONG n = 0; n < CARD_MAX_PORTS; ++n) {
    const UCHAR control = ReadByte(CardDevice, PORT_BLOCK(n) + BLOCK_CONTROL);
    const ULONG optional_bit = OptionalPortBit(n);
    if ((optional_bit && !(optional_mask & optional_bit)) || BlockNotAvailable(control) ||
        (card->AbsentPortMask & (1u << n)))
      continue;
    const USHORT address = UartAddress(bar5, 8 * slot);
    EnableBlock(CardDevice, n, control, fifo, address);
    card->EnabledPortMask |= 1u << n;
    if (card->CardInConfigFile) RecordPortComNumber(&record, address, slot, n);
    if (slot + 1 == card->PortCount && PortInChipsLastGroup(device_id, n)) break;
    ++slot;
  }

  SetValueByPath(COM_NUMBER_TABLE_VALUE, table, REG_BINARY, COM_NUMBER_TABLE_KEY, COM_NUMBER_TABLE_VALUE_SIZE);

  ApplyGpioValues(card);
  return STATUS_SUCCESS;
}
