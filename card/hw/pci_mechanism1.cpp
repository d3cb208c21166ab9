// PCI configuration mechanism #1: the address goes to port 0xCF8, the data
// moves through port 0xCFC. Not serialised with other users of the ports.
#include "card/hw/hw_access.h"

namespace {

const USHORT kConfigAddressPort = 0xCF8;
const USHORT kConfigDataPort = 0xCFC;

BOOLEAN SelectRegister(ULONG Bus, ULONG Device, ULONG Function, ULONG Register) {
  if (Bus > 255 || Device > 31 || Function > 7) return FALSE;
  WritePortDword(kConfigAddressPort, 0x80000000u | Bus << 16 | Device << 11 | Function << 8 | (Register & 0xFF));
  return TRUE;
}

}  // namespace

BOOLEAN PciConfigReadDword(ULONG Bus, ULONG Device, ULONG Function, ULONG Register, PULONG Value) {
  if (Bus > 255 || Device > 31 || Function > 7) return FALSE;
  *Value = 0xFFFFFFFF;
  SelectRegister(Bus, Device, Function, Register);
  *Value = ReadPortDword(kConfigDataPort);
  return TRUE;
}

BOOLEAN PciConfigWriteDword(ULONG Bus, ULONG Device, ULONG Function, ULONG Register, const ULONG* Value) {
  if (!SelectRegister(Bus, Device, Function, Register)) return FALSE;
  WritePortDword(kConfigDataPort, *Value);
  return TRUE;
}
