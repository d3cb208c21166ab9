// Legacy serial mice in the Microsoft protocol: 1200 baud, 7 data bits, no
// parity, one stop bit; DSR is not driven. A mouse runs on the power the
// port's control lines give it: when DTR and RTS are both up (the edge of
// whichever comes last, usually the RTS edge of a reset) it resets and
// sends its identification: "M" (two buttons), "M3" (three buttons) or "B"
// (ballpoint). Then it plays its script of movements, each a packet:
//
//   byte 1: 0 1 L R Y7 Y6 X7 X6     (bit 6 marks the first byte)
//   byte 2: 0 0 X5 X4 X3 X2 X1 X0
//   byte 3: 0 0 Y5 Y4 Y3 Y2 Y1 Y0
//
// with X and Y signed 8-bit counts. A three-button mouse adds a fourth byte
// 0x20 while its middle button is down, and 0x00 in the packet that
// releases it. Dropping DTR or RTS cuts the power: the mouse stops.
#pragma once

#include <string>
#include <vector>

#include "sim/hw/serial_device.h"
#include "sim/hw/serial_line.h"

namespace sim::hw {

struct MouseEvent {
  LONGLONG after = 0;  // since the end of the identification (100 ns units)
  int dx = 0;
  int dy = 0;
  bool left = false;
  bool right = false;
  bool middle = false;
};

// The bytes of one packet; `middle_was` is the middle button in the packet before.
std::string MousePacket(const MouseEvent& event, bool three_buttons, bool middle_was);

class SerialMouse : public SerialDevice {
 public:
  enum class Model { TwoButton, ThreeButton, Ballpoint };
  SerialMouse(Model model, std::vector<MouseEvent> script, LONGLONG answer_delay = 100000);

  void Plugged() override { Check(ControlLines{}); }
  void Unplugged() override;
  void ControlChanged(const ControlLines& before) override { Check(before); }
  std::string kind() const override { return "mouse"; }
  std::string state() const override;
  static std::string Identification(Model model);

 private:
  void Check(const ControlLines& before);
  void PlayFrom(size_t index, LONGLONG base);

  Model model_;
  std::vector<MouseEvent> script_;
  LONGLONG answer_delay_;
  bool powered_ = false;
  unsigned resets_ = 0;
  size_t played_ = 0;
  bool middle_ = false;
  uint64_t event_ = 0;
  SerialSender sender_;
};

}  // namespace sim::hw
