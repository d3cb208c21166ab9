// The card bring-up: settings, chip check, header save or restore, port
// count, port blocks, "ComNumConfig" and GPIO, in that order.
#include <ntddk.h>
#include <ntstrsafe.h>

#include "card/hw/bring_up.h"
#include "card/hw/com_number_table.h"
#include "card/hw/config_file.h"
#include "card/hw/hw_access.h"
#include "card/hw/register_map.h"
#include "card/hw/uart_probe.h"
#include "common/registry_access.h"
#include "common/settings_records.h"

namespace {

// The card's configuration space through its own stack (the bus driver does
// the access). The statuses of single register accesses are not checked: a
// failed read gives 0 and the sequence goes on.
UCHAR ReadCardConfigByte(PDEVICE_OBJECT Device, ULONG Offset) {
  UCHAR value = 0;
  CardConfigAccess(Device, 0, &value, Offset, 1);
  return value;
}

void WriteCardConfigByte(PDEVICE_OBJECT Device, ULONG Offset, UCHAR Value) {
  CardConfigAccess(Device, 1, &Value, Offset, 1);
}

USHORT ReadCardConfigWord(PDEVICE_OBJECT Device, ULONG Offset) {
  USHORT value = 0;
  CardConfigAccess(Device, 0, &value, Offset, 2);
  return value;
}

void WriteCardConfigWord(PDEVICE_OBJECT Device, ULONG Offset, USHORT Value) {
  CardConfigAccess(Device, 1, &Value, Offset, 2);
}

ULONG ReadCardConfigDword(PDEVICE_OBJECT Device, ULONG Offset) {
  ULONG value = 0;
  CardConfigAccess(Device, 0, &value, Offset, 4);
  return value;
}

void WriteCardConfigDword(PDEVICE_OBJECT Device, ULONG Offset, ULONG Value) {
  CardConfigAccess(Device, 1, &Value, Offset, 4);
}

// The bring-up's working copies, kept in pool so that the routine's frame
// stays small: the configuration file, the card's header and "ComNumConfig".
typedef struct _BringUpBuffers {
  UCHAR ConfigImage[CONFIG_FILE_SIZE];
  UCHAR Header[CFG_HEADER_SIZE];
  UCHAR ComNumberTable[COM_NUMBER_TABLE_BUFFER_SIZE];
} BringUpBuffers;

// Points port block Block at the UART address Address, enabled, with the
// FIFO setting.
void EnableBlock(PDEVICE_OBJECT Device, ULONG Block, UCHAR Control, UCHAR FifoSetting, USHORT Address) {
  const ULONG block = PORT_BLOCK(Block);
  WriteCardConfigByte(Device, block + BLOCK_CONTROL, static_cast<UCHAR>(Control | BLOCK_ENABLE));
  WriteCardConfigByte(Device, block + BLOCK_FIFO, FifoSetting);
  WriteCardConfigByte(Device, block + BLOCK_ADDRESS_LOW, static_cast<UCHAR>(Address));
  WriteCardConfigByte(Device, block + BLOCK_ADDRESS_HIGH, static_cast<UCHAR>(Address >> 8));
}

// Keeps only the bits of Keep in a byte of the card's configuration space.
void ClearCardConfigBits(PDEVICE_OBJECT Device, ULONG Offset, UCHAR Keep) {
  WriteCardConfigByte(Device, Offset, static_cast<UCHAR>(ReadCardConfigByte(Device, Offset) & Keep));
}

void DisableBlock(PDEVICE_OBJECT Device, ULONG Block) {
  const ULONG block = PORT_BLOCK(Block);
  ClearCardConfigBits(Device, block + BLOCK_CONTROL, 0x3E);
  ClearCardConfigBits(Device, block + BLOCK_FIFO, 0xCC);
  WriteCardConfigByte(Device, block + BLOCK_ADDRESS_LOW, 0);
  WriteCardConfigByte(Device, block + BLOCK_ADDRESS_HIGH, 0);
  ClearCardConfigBits(Device, block + BLOCK_MODE, 0x0F);
}

BOOLEAN BlockNotAvailable(UCHAR Control) { return (Control & BLOCK_AVAILABILITY_MASK) == BLOCK_NOT_AVAILABLE; }

ULONG HeaderDword(const UCHAR* Header, ULONG Offset) {
  return static_cast<ULONG>(Header[Offset]) | static_cast<ULONG>(Header[Offset + 1]) << 8 |
         static_cast<ULONG>(Header[Offset + 2]) << 16 | static_cast<ULONG>(Header[Offset + 3]) << 24;
}

// At a start the header holds what the bus driver just assigned: it is
// saved. On a return to D0 the card may have lost it: the saved header is
// written back (a card device that was never started has nothing saved, so
// it is saved then instead).
void SaveOrRestoreHeader(CardExtension* Card, PDEVICE_OBJECT Device, const UCHAR* Header, CardBringUpReason Reason) {
  if (Reason == CardBringUpAtReturnToD0 && Card->SavedConfigValid) {
    for (ULONG n = 0; n < 6; ++n) WriteCardConfigDword(Device, CFG_BAR(n), SAVED_BAR(Card, n));
    WriteCardConfigByte(Device, CFG_COMMAND, Card->SavedCommand);
    WriteCardConfigByte(Device, CFG_INTERRUPT_LINE, Card->SavedInterruptLine);
    return;
  }
  Card->SavedConfigValid = 1;
  for (ULONG n = 0; n < 6; ++n) SAVED_BAR(Card, n) = HeaderDword(Header, CFG_BAR(n));
  Card->SavedCommand = Header[CFG_COMMAND];
  Card->SavedInterruptLine = Header[CFG_INTERRUPT_LINE];
}

USHORT HeaderDeviceId(const UCHAR* Header) {
  return static_cast<USHORT>(Header[CFG_DEVICE_ID] | Header[CFG_DEVICE_ID + 1] << 8);
}

// The UARTs are reached through BAR5, which must be an I/O BAR with a base:
// zero, or a memory BAR (bit 0 clear), leaves nowhere to put them.
BOOLEAN UartRangeValid(ULONG Bar5) { return (Bar5 & 1) && (Bar5 & 0xFFFC) != 0; }

// Counts the chip's usable ports; sets AbsentPortMask for the ones the
// presence probe does not find.
UCHAR CountPorts(CardExtension* Card, PDEVICE_OBJECT Device, USHORT DeviceId, UCHAR OptionalPortMask, ULONG Bar5) {
  const ULONG ports = ChipPortCount(DeviceId);
  ULONG missing = 0;
  for (ULONG n = 0; n < ports; ++n) {
    if (Card->ProbeEnabled && UartAbsent(UartAddress(Bar5, 8 * n))) {
      Card->AbsentPortMask |= 1u << n;
      ++missing;
    } else if (BlockNotAvailable(ReadCardConfigByte(Device, PORT_BLOCK(n) + BLOCK_CONTROL))) {
      ++missing;
    } else if (ChipPortMissingByMask(DeviceId, n, OptionalPortMask)) {
      ++missing;
    }
  }
  return static_cast<UCHAR>(ports - missing);
}

// Writes the "GPIO0" to "GPIO5" values of the card's device key to the GPIO
// register pairs in the card's memory-mapped configuration space. The bus
// number comes from the bus driver: with none, the step is skipped rather
// than writing into another function's configuration space.
void ApplyGpioValues(CardExtension* Card) {
  ULONG bus = 0;
  if (!QueryCardBusNumber(Card, &bus)) return;
  const ULONG ecam = EcamAddress(bus);
  if (ecam == 0) return;
  HANDLE key = NULL;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Card->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, DEVICE_KEY_ACCESS, &key)))
    return;
  for (ULONG g = 0; g < GPIO_GROUPS; ++g) {
    WCHAR name[12];
    RtlStringCchPrintfW(name, sizeof name / sizeof name[0], L"GPIO%d", static_cast<int>(g));
    ULONG value = 0;
    if (!NT_SUCCESS(QueryKeyDword(key, name, &value))) continue;
    WritePhysicalByte(ecam + GPIO_LOW_OFFSET(g), static_cast<UCHAR>(value));
    WritePhysicalByte(ecam + GPIO_HIGH_OFFSET(g), static_cast<UCHAR>(value >> 8));
  }
  ZwClose(key);
}

// Enables the usable ports, packed: the s-th enabled port answers at
// A(8 * s). The pass ends at the chip's last counted port. New ports go
// into the "ComNumConfig" image when the configuration file describes the
// card; TRUE when one did.
BOOLEAN EnablePorts(CardExtension* Card, PDEVICE_OBJECT Device, BringUpBuffers* Buffers, BOOLEAN TableUsable,
                    UCHAR FifoSetting) {
  const USHORT device_id = HeaderDeviceId(Buffers->Header);
  const UCHAR optional_mask = Buffers->Header[CFG_OPTIONAL_PORT_MASK];
  const ULONG bar5 = SAVED_BAR(Card, 5);

  PortRecordContext record;
  record.Card = Card;
  record.ComNumberTable = Buffers->ComNumberTable;
  record.ConfigImage = Buffers->ConfigImage;
  record.ConfigBus = 0;
  record.BusKnown = Card->CardInConfigFile ? QueryCardBusNumber(Card, &record.ConfigBus) : FALSE;
  record.DeviceId = device_id;

  BOOLEAN recorded = FALSE;
  ULONG slot = 0;
  for (ULONG n = 0; n < CARD_MAX_PORTS; ++n) {
    const UCHAR control = ReadCardConfigByte(Device, PORT_BLOCK(n) + BLOCK_CONTROL);
    const ULONG optional_bit = OptionalPortBit(n);
    if ((optional_bit && !(optional_mask & optional_bit)) || BlockNotAvailable(control) ||
        (Card->AbsentPortMask & (1u << n)))
      continue;
    const USHORT address = UartAddress(bar5, 8 * slot);
    EnableBlock(Device, n, control, FifoSetting, address);
    Card->EnabledPortMask |= 1u << n;
    if (Card->CardInConfigFile && TableUsable && RecordPortComNumber(&record, address, slot, n)) recorded = TRUE;
    if (slot + 1 == Card->PortCount && PortInChipsLastGroup(device_id, n)) break;
    ++slot;
  }
  return recorded;
}

// The bring-up proper, with its working buffers.
NTSTATUS BringUpCard(CardExtension* Card, PDEVICE_OBJECT Device, CardBringUpReason Reason, BringUpBuffers* Buffers) {
  UCHAR fifo = DEFAULT_FIFO_SETTING;
  if (!NT_SUCCESS(ReadCardConfigFile(Card, Buffers->ConfigImage, &fifo))) return STATUS_DEVICE_CONFIGURATION_ERROR;

  UCHAR* header = Buffers->Header;
  RtlZeroMemory(header, CFG_HEADER_SIZE);
  if (!NT_SUCCESS(CardConfigAccess(Device, 0, header, 0, CFG_HEADER_SIZE))) return STATUS_DEVICE_CONFIGURATION_ERROR;
  if ((header[CFG_VENDOR_ID] | header[CFG_VENDOR_ID + 1] << 8) != CARD_VENDOR_ID)
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  const USHORT device_id = HeaderDeviceId(header);

  SaveOrRestoreHeader(Card, Device, header, Reason);
  const ULONG bar5 = SAVED_BAR(Card, 5);
  // Without a UART range no port is usable: the UARTs are neither probed
  // nor given addresses, and every block stays disabled below.
  const BOOLEAN uarts_reachable = UartRangeValid(bar5);

  if (Card->StartBridgeFixup) FixUpUpstreamBridge(Card, 4, 6);

  if (uarts_reachable) {
    // Provisional addressing: every UART answers at its own address, so
    // that the presence probe can reach it.
    for (ULONG n = 0; n < CARD_MAX_PORTS; ++n)
      EnableBlock(Device, n, ReadCardConfigByte(Device, PORT_BLOCK(n) + BLOCK_CONTROL), fifo, UartAddress(bar5, 8 * n));
    Card->PortCount = CountPorts(Card, Device, device_id, header[CFG_OPTIONAL_PORT_MASK], bar5);
  }

  for (ULONG n = 0; n < CARD_MAX_PORTS; ++n) DisableBlock(Device, n);

  WriteCardConfigWord(Device, CFG_BAR0_COPY, static_cast<USHORT>(ReadCardConfigWord(Device, CFG_BAR(0)) & ~3u));
  WriteCardConfigWord(Device, CFG_BAR2_COPY, static_cast<USHORT>(ReadCardConfigWord(Device, CFG_BAR(2)) & ~3u));
  WriteCardConfigByte(Device, CFG_GLOBAL_B9, static_cast<UCHAR>(ReadCardConfigByte(Device, CFG_GLOBAL_B9) | 0xE1));

  Card->PinnedCard = 0;
  if (ReadCardConfigDword(Device, CFG_SUBSYSTEM) == PINNED_CARD_SUBSYSTEM) Card->PinnedCard = 1;

  // "ComNumConfig" is shared with the other cards and the port enumerator:
  // it is written back only when this card added an entry.
  const BOOLEAN table_usable = LoadComNumberTable(Buffers->ComNumberTable);
  if (uarts_reachable && EnablePorts(Card, Device, Buffers, table_usable, fifo))
    SaveComNumberTable(Buffers->ComNumberTable);

  ApplyGpioValues(Card);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CardBringUp(PDEVICE_OBJECT CardDevice, CardBringUpReason Reason) {
  CardExtension* card = static_cast<CardExtension*>(CardDevice->DeviceExtension);
  card->PortCount = 0;
  card->AbsentPortMask = 0;
  card->EnabledPortMask = 0;
  card->ProbeEnabled = 1;
  card->CardInConfigFile = 0;
  card->SleepRequested = 0;

  // The file, the registry and paged pool all need PASSIVE_LEVEL.
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_DEVICE_CONFIGURATION_ERROR;
  BringUpBuffers* buffers =
      static_cast<BringUpBuffers*>(ExAllocatePoolWithTag(PagedPool, sizeof(BringUpBuffers), CARD_POOL_TAG));
  // Without them the card cannot be brought up; its start fails as for a
  // card the driver cannot configure, with no register touched.
  if (!buffers) return STATUS_DEVICE_CONFIGURATION_ERROR;
  const NTSTATUS status = BringUpCard(card, CardDevice, Reason, buffers);
  ExFreePoolWithTag(buffers, CARD_POOL_TAG);
  return status;
}
