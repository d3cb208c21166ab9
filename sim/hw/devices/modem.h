// An external modem on its own power supply: DSR up while it is plugged
// in, CTS following RTS, DCD down (no carrier). It answers every command
// line (any characters ended by CR) with "\r\nOK\r\n" at the rate and in
// the format the line was sent in, and it answers the COM enumerator with
// its plug-and-play identification when RTS rises 150 to 250 ms after DTR.
#pragma once

#include <deque>
#include <string>

#include "sim/hw/devices/pnp_device.h"

namespace sim::hw {

class Modem : public SerialDevice {
 public:
  // behaviour.powered_by_dtr and time_signature are set by the modem.
  Modem(PnpBehaviour behaviour, LONGLONG reply_delay = 10000, bool echo = false);

  void Plugged() override;
  void Unplugged() override;
  void ControlChanged(const ControlLines& before) override;
  void Received(uint8_t byte, const SerialFormat& format) override;
  std::string kind() const override { return "modem"; }
  std::string state() const override;

  const PnpResponder& responder() const { return responder_; }
  unsigned commands() const { return commands_; }

 private:
  void FollowRts();
  void SendNext(LONGLONG start);
  struct Reply {
    std::string bytes;
    SerialFormat format;
  };
  std::deque<Reply> queue_;

  PnpResponder responder_;
  LONGLONG reply_delay_;
  bool echo_;
  std::string command_;
  unsigned commands_ = 0;
  SerialSender replies_;
};

}  // namespace sim::hw
