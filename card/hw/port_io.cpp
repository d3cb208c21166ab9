// Port input and output, one IN or OUT instruction each.
#include "card/hw/hw_access.h"

UCHAR ReadPortByte(USHORT Port) { return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Port))); }

UCHAR WritePortByte(USHORT Port, UCHAR Value) {
  WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Port)), Value);
  return Value;
}

ULONG ReadPortDword(USHORT Port) { return READ_PORT_ULONG(reinterpret_cast<PULONG>(static_cast<ULONG_PTR>(Port))); }

void WritePortDword(USHORT Port, ULONG Value) {
  WRITE_PORT_ULONG(reinterpret_cast<PULONG>(static_cast<ULONG_PTR>(Port)), Value);
}
