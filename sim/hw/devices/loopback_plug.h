// A loopback plug: TX wired to RX, RTS to CTS, DTR to DSR and DCD. What the
// UART sends comes back as it is sent, so each character arrives at the
// instant its stop bit ends; a break comes back as a break.
#pragma once

#include "sim/hw/serial_device.h"

namespace sim::hw {

class LoopbackPlug : public SerialDevice {
 public:
  void Plugged() override;
  void ControlChanged(const ControlLines& before) override;
  void Received(uint8_t byte, const SerialFormat& format) override;
  std::string kind() const override { return "loopback"; }
  std::string state() const override;

 private:
  void Follow();
  uint64_t echoed_ = 0;
};

}  // namespace sim::hw
