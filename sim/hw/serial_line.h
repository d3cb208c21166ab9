// The serial line between a UART and the device plugged into its port.
// Characters take their whole frame time (start, data, parity and stop bits
// at the sender's rate) and arrive when their stop bit ends; the receiver
// reads them in its own format (see Receive in serial_format.h). Control
// lines change at the virtual time they are written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/hw/hw_events.h"
#include "sim/hw/serial_device.h"
#include "sim/hw/serial_format.h"

namespace sim::hw {

class Uart16550;

class SerialLine {
 public:
  explicit SerialLine(Uart16550& uart);
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // --- Plugging ---------------------------------------------------------
  // Plugs the device in (unplugging what was there).
  void Plug(std::unique_ptr<SerialDevice> device);
  // Unplugs the device: its events are cancelled, characters it was
  // sending are lost, and its outputs drop. Returns it (null if none).
  std::unique_ptr<SerialDevice> Unplug();
  SerialDevice* device() const { return device_.get(); }

  // --- The device's side ------------------------------------------------
  LONGLONG Now() const { return HwNow(); }
  // Sends a character. Its start bit begins at `start` (now when -1), or
  // when the device's previous character ends if that is later; returns the
  // time its stop bit ends, when the UART has it.
  LONGLONG Send(uint8_t byte, const SerialFormat& format, LONGLONG start = -1);
  // When the device's transmitter is free again.
  LONGLONG sending_until() const { return sending_until_; }
  // Holds the line spacing (break) or lets it mark again.
  void SetBreak(bool spacing);
  void SetModem(const ModemLines& lines);
  const ModemLines& modem() const { return modem_; }
  // The UART's outputs as the device sees them.
  const ControlLines& control() const { return control_; }
  // The device's own events; cancelled when it is unplugged.
  uint64_t At(LONGLONG due, std::function<void()> action) { return device_events_.At(due, std::move(action)); }
  bool Cancel(uint64_t id) { return device_events_.Cancel(id); }

  // --- The UART's side --------------------------------------------------
  // A character whose stop bit ends now.
  void FromUart(uint8_t byte, const SerialFormat& format);
  void SetControl(const ControlLines& lines);

  // Characters each way that reached the other end.
  uint64_t to_device() const { return to_device_; }
  uint64_t to_uart() const { return to_uart_; }

 private:
  Uart16550& uart_;
  std::unique_ptr<SerialDevice> device_;
  HwEvents device_events_;
  ControlLines control_;
  ModemLines modem_;
  bool spacing_ = false;
  LONGLONG sending_until_ = 0;
  uint64_t to_device_ = 0;
  uint64_t to_uart_ = 0;
};

// A device's transmitter: sends a string of bytes one character after
// another, with a gap between them, and stops on demand (power lost, device
// reset); a character already on the line ends normally.
class SerialSender {
 public:
  // Replaces what was being sent. The first start bit begins at `start`
  // (or when the line is free); `done` runs when the last stop bit ends.
  void Start(SerialLine& line, std::string bytes, const SerialFormat& format, LONGLONG start, LONGLONG gap,
             std::function<void()> done = {});
  void Stop();
  bool busy() const { return line_ != nullptr; }
  // Bytes whose start bit has gone out.
  uint64_t sent() const { return sent_; }

 private:
  void Next(LONGLONG start);

  SerialLine* line_ = nullptr;
  std::string bytes_;
  size_t next_ = 0;
  SerialFormat format_;
  LONGLONG gap_ = 0;
  uint64_t event_ = 0;
  uint64_t sent_ = 0;
  std::function<void()> done_;
};

}  // namespace sim::hw
