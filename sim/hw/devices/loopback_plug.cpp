#include "sim/hw/devices/loopback_plug.h"

#include "sim/hw/serial_line.h"

namespace sim::hw {

void LoopbackPlug::Plugged() { Follow(); }

void LoopbackPlug::ControlChanged(const ControlLines&) { Follow(); }

void LoopbackPlug::Follow() {
  const ControlLines& control = line().control();
  ModemLines modem;
  modem.cts = control.rts;
  modem.dsr = modem.dcd = control.dtr;
  if (!(modem == line().modem())) line().SetModem(modem);
  line().SetBreak(control.brk);
}

void LoopbackPlug::Received(uint8_t byte, const SerialFormat& format) {
  // The wire carried it while it was being sent: it ends now at the UART.
  ++echoed_;
  line().Send(byte, format, line().Now() - format.CharacterTime());
}

std::string LoopbackPlug::state() const { return "echoed " + std::to_string(echoed_); }

}  // namespace sim::hw
