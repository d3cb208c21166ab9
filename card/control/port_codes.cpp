// Per-port codes (clock, FIFO, mode: the card's port block at once, then
// the port's device key), the GPIO code (the card's device key only; the
// next bring-up applies it) and the configuration window's address.
#include <ntddk.h>
#include <ntstrsafe.h>

#include "card/control/control.h"
#include "card/hw/register_map.h"
#include "common/registry_access.h"

namespace {

const ULONG kDefaultClockRate = 1843200;
// Port n's block bytes as the codes number ports (1 to 12).
ULONG ClockByte(ULONG Port) { return PORT_BLOCK(Port - 1) + BLOCK_CONTROL; }
ULONG FifoByte(ULONG Port) { return PORT_BLOCK(Port - 1) + BLOCK_FIFO; }
ULONG ModeByte(ULONG Port) { return PORT_BLOCK(Port - 1) + BLOCK_MODE; }
const UCHAR kModeBits = 0x30;
const UCHAR kMode485 = 0x10;

UCHAR ReadBlockByte(PBUS_INTERFACE_STANDARD Bus, ULONG Offset) {
  UCHAR value = 0;
  Bus->GetBusData(Bus->Context, PCI_WHICHSPACE_CONFIG, &value, Offset, 1);
  return value;
}

void WriteBlockByte(PBUS_INTERFACE_STANDARD Bus, ULONG Offset, UCHAR Value) {
  Bus->SetBusData(Bus->Context, PCI_WHICHSPACE_CONFIG, &Value, Offset, 1);
}

HANDLE OpenDeviceKey(PDEVICE_OBJECT Device) {
  HANDLE key = NULL;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, DEVICE_KEY_ACCESS, &key))) return NULL;
  return key;
}

void SetDeviceDword(PDEVICE_OBJECT Device, PCWSTR Name, ULONG Value) {
  HANDLE key = OpenDeviceKey(Device);
  if (!key) return;
  SetKeyValue(key, Name, REG_DWORD, &Value, sizeof Value);
  ZwClose(key);
}

ULONG Digit(WCHAR Unit) { return Unit >= L'0' && Unit <= L'9' ? static_cast<ULONG>(Unit - L'0') : 0; }

// COM number from the 4th and 5th units of "PortName": COM7 is 7, COM12 is
// 12, a longer name gives its first two digits.
ULONG ComNumber(const WCHAR* Name) {
  return Name[4] != 0 ? 10 * Digit(Name[3]) + Digit(Name[4]) : Digit(Name[3]);
}

ULONG ClockRateClass(ULONG Rate) {
  if (Rate <= 1843200) return 1;
  if (Rate <= 14769000) return 2;
  if (Rate <= 18432000) return 3;
  return 4;
}

// 16 times the clock choice that bits 7:4 of the clock byte show.
ULONG ClockChoice(UCHAR ClockByteValue) {
  switch (ClockByteValue >> 4) {
    case 0x0:
      return 0x10;
    case 0x4:
      return 0x30;
    case 0x8:
      return 0x40;
    default:
      return 0x20;
  }
}

// The COM number and clock-rate class from the port's device key, added to
// the clock choice; 0 when the key cannot be opened.
ULONG PortInfo(PDEVICE_OBJECT Port, ULONG Choice) {
  HANDLE key = OpenDeviceKey(Port);
  if (!key) return 0;
  WCHAR name[7];
  RtlZeroMemory(name, sizeof name);
  // The name is taken only when it fits.
  if (!NT_SUCCESS(QueryKeyValue(key, L"PortName", name, sizeof name))) RtlZeroMemory(name, sizeof name);
  ULONG rate = 0;
  if (!NT_SUCCESS(QueryKeyValue(key, L"ClockRate", &rate, sizeof rate))) rate = kDefaultClockRate;
  ZwClose(key);
  return Choice + ComNumber(name) * 256 + ClockRateClass(rate);
}

void SetClock(PBUS_INTERFACE_STANDARD Bus, PDEVICE_OBJECT Port, ULONG PortNumber, ULONG Choice) {
  UCHAR byte = 0x00;
  ULONG rate = 24000000;
  switch (Choice) {
    case 1:
      byte = 0x01, rate = 1843200;
      break;
    case 2:
      byte = 0xC1, rate = 14769000;
      break;
    case 3:
      byte = 0x41, rate = 18432000;
      break;
    case 4:
      byte = 0x81;
      break;
    default:
      break;
  }
  WriteBlockByte(Bus, ClockByte(PortNumber), byte);
  ReleaseBusInterface(Bus);
  SetDeviceDword(Port, L"ClockRate", rate);
}

// The port block and the device key of port n, 1 to 12, whose slot has a
// port device; any other number is refused before anything is touched.
ULONG ServeOnePort(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord) {
  const ULONG n = Record->Target;
  if (n < 1 || n > CARD_MAX_PORTS || !Card->PortDevices[n - 1]) return 0;
  PDEVICE_OBJECT port = Card->PortDevices[n - 1];
  PBUS_INTERFACE_STANDARD bus = AcquireBusInterface(Card);
  if (!bus) return 0;
  switch (Code) {
    case IOCTL_CARD_GET_PORT_INFO: {
      const ULONG choice = ClockChoice(ReadBlockByte(bus, ClockByte(n)));
      ReleaseBusInterface(bus);
      Record->Result = PortInfo(port, choice);
      *ReturnRecord = TRUE;
      break;
    }
    case IOCTL_CARD_SET_PORT_CLOCK:
      SetClock(bus, port, n, Record->Value);
      break;
    case IOCTL_CARD_GET_PORT_FIFO:
      Record->Result = (ReadBlockByte(bus, FifoByte(n)) & 0x0F) + 1u;
      ReleaseBusInterface(bus);
      *ReturnRecord = TRUE;
      break;
    case IOCTL_CARD_SET_PORT_FIFO:
      WriteBlockByte(bus, FifoByte(n), static_cast<UCHAR>(Record->Value - 1));
      ReleaseBusInterface(bus);
      SetDeviceDword(port, L"FifoSpeed", Record->Value - 1);
      break;
    default: {  // IOCTL_CARD_SET_PORT_MODE
      UCHAR mode = static_cast<UCHAR>(ReadBlockByte(bus, ModeByte(n)) & ~kModeBits);
      if (Record->Value == 485) mode |= kMode485;
      WriteBlockByte(bus, ModeByte(n), mode);
      ReleaseBusInterface(bus);
      SetDeviceDword(port, L"Mode", Record->Value);
      break;
    }
  }
  return sizeof(ControlRecord);
}

// "GPIO%d" under the card's device key; a number whose name does not fit
// ten units with the terminator is refused.
ULONG SetGpio(CardExtension* Card, const ControlRecord* Record) {
  WCHAR name[10];
  RtlZeroMemory(name, sizeof name);
  if (!NT_SUCCESS(RtlStringCbPrintfW(name, sizeof name, L"GPIO%d", static_cast<LONG>(Record->Target)))) return 0;
  SetDeviceDword(Card->PhysicalDeviceObject, name, Record->Value);
  return sizeof(ControlRecord);
}

}  // namespace

ULONG ServePortCode(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord) {
  switch (Code) {
    case IOCTL_CARD_GET_PORT_INFO:
    case IOCTL_CARD_SET_PORT_CLOCK:
    case IOCTL_CARD_GET_PORT_FIFO:
    case IOCTL_CARD_SET_PORT_FIFO:
    case IOCTL_CARD_SET_PORT_MODE:
      return ServeOnePort(Card, Code, Record, ReturnRecord);
    case IOCTL_CARD_SET_GPIO:
      return SetGpio(Card, Record);
    case IOCTL_CARD_GET_CONFIG_WINDOW:
      // 0 when the machine has no window the driver can use.
      Record->Result = EcamAddress(Card->BusNumber);
      *ReturnRecord = TRUE;
      return sizeof(ControlRecord);
    default:
      return 0;
  }
}
