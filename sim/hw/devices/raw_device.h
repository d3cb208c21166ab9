// Devices that just send bytes. RawDevice sends its bytes, with a gap
// between them, each time its trigger happens (RTS rising, DTR rising, or
// once when it is plugged in). ChattyDevice never stops: from the moment it
// is plugged in it sends its pattern over and over, whatever the lines do,
// possibly at a rate or in a format nobody listens at (line noise).
#pragma once

#include <string>

#include "sim/hw/serial_device.h"
#include "sim/hw/serial_line.h"

namespace sim::hw {

class RawDevice : public SerialDevice {
 public:
  enum class Trigger { Plug, RtsRise, DtrRise };
  RawDevice(std::string bytes, SerialFormat format, Trigger trigger, LONGLONG delay, LONGLONG gap);

  void Plugged() override;
  void Unplugged() override { sender_.Stop(); }
  void ControlChanged(const ControlLines& before) override;
  std::string kind() const override { return "raw"; }
  std::string state() const override;

 private:
  void Fire();

  std::string bytes_;
  SerialFormat format_;
  Trigger trigger_;
  LONGLONG delay_;
  LONGLONG gap_;
  unsigned fired_ = 0;
  SerialSender sender_;
};

class ChattyDevice : public SerialDevice {
 public:
  ChattyDevice(std::string pattern, SerialFormat format, LONGLONG gap);

  void Plugged() override { Next(line().Now()); }
  void Unplugged() override { sender_.Stop(); }
  std::string kind() const override { return "chatty"; }
  std::string state() const override;

 private:
  void Next(LONGLONG start);

  std::string pattern_;
  SerialFormat format_;
  LONGLONG gap_;
  uint64_t rounds_ = 0;
  SerialSender sender_;
};

}  // namespace sim::hw
