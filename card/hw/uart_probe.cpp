// The UART presence probe: an unanswered I/O address reads all ones, so a
// UART is absent when its modem status shows all four lines and its line
// status a break after a loopback pulse.
#include "card/hw/uart_probe.h"
#include "card/hw/hw_access.h"

namespace {

const USHORT kModemControl = 4;
const USHORT kLineStatus = 5;
const USHORT kModemStatus = 6;
const ULONG kLoopback = 0x10;

}  // namespace

BOOLEAN UartAbsent(USHORT Address) {
  const ULONG modem_status = ReadPortDword(static_cast<USHORT>(Address + kModemStatus));
  WritePortDword(static_cast<USHORT>(Address + kModemControl), kLoopback);
  WritePortDword(static_cast<USHORT>(Address + kModemControl), 0);
  DelayMicroseconds(100);
  const ULONG line_status = ReadPortDword(static_cast<USHORT>(Address + kLineStatus));
  return (modem_status & 0xF0) == 0xF0 && (line_status & 0x10) != 0;
}
