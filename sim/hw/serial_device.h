// Something plugged into a serial port: a mouse, a modem, a loopback plug.
// The port's SerialLine is its whole world: it sends characters in virtual
// time through it, drives the modem status inputs of the UART (CTS, DSR,
// RI, DCD), schedules its own events on it, and hears from it about the
// UART's control outputs (DTR, RTS, break) and the characters the UART sent.
#pragma once

#include <cstdint>
#include <string>

#include "sim/hw/serial_format.h"

namespace sim::hw {

class SerialLine;

// The UART's outputs as the far end sees them.
struct ControlLines {
  bool dtr = false;
  bool rts = false;
  bool brk = false;  // the UART holds the line spacing
  bool operator==(const ControlLines&) const = default;
};

// The far end's outputs: the UART's modem status inputs.
struct ModemLines {
  bool cts = false;
  bool dsr = false;
  bool ri = false;
  bool dcd = false;
  bool operator==(const ModemLines&) const = default;
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Called by the line when the device is plugged in and before it is
  // unplugged. line() is valid between the two.
  void Attach(SerialLine* line) { line_ = line; }
  virtual void Plugged() {}
  // The line cancels the device's events and drops its outputs afterwards.
  virtual void Unplugged() {}

  // DTR, RTS or break changed; line().control() has the new state.
  virtual void ControlChanged(const ControlLines& before) { (void)before; }
  // A character the UART sent, whole, in the format it was sent in.
  virtual void Received(uint8_t byte, const SerialFormat& format) {
    (void)byte;
    (void)format;
  }

  // For reports: what it is ("pnp", "mouse") and a short state.
  virtual std::string kind() const = 0;
  virtual std::string state() const = 0;

 protected:
  SerialLine& line() const { return *line_; }
  bool attached() const { return line_ != nullptr; }

 private:
  SerialLine* line_ = nullptr;
};

}  // namespace sim::hw
