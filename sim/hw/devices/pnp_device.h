// A serial plug-and-play device as Microsoft and Hayes's published standard
// for external COM devices (version 1.00) describes it: it answers the COM
// enumerator's DTR-then-RTS sequence with its identification string at 1200
// baud 7N1.
//
// PnpResponder holds that behaviour so that devices with another job (the
// modem) can embed it; PnpDevice is a device that does nothing else.
#pragma once

#include <cstdint>
#include <string>

#include "sim/hw/serial_device.h"
#include "sim/hw/serial_line.h"

namespace sim::hw {

// The fields of an identification string. Begin and End PnP, the revision,
// the EISA manufacturer ID and the product ID are always sent; the optional
// fields each follow an extend character ('\\'), in this order, and only
// the ones before the last non-empty one are sent empty.
struct PnpIdFields {
  std::string other_id;     // before Begin PnP, e.g. "M" for a mouse (at most 16 characters)
  unsigned revision = 100;  // PnP revision times 100 (1.00 -> 0x01,0x24)
  std::string eisa_id = "ZRK";
  std::string product_id = "0001";  // four hexadecimal digits
  std::string serial;       // eight hexadecimal digits
  std::string device_class; // "MODEM", "MOUSE", ...
  std::string compatible;   // compatible device IDs, comma-separated
  std::string user_name;
  // The two-digit hexadecimal checksum before End PnP: the 8-bit sum of
  // every character from Begin PnP to End PnP inclusive, the checksum
  // excluded. Sent when set, or (unset) when some optional field is.
  int checksum = -1;        // -1: when some optional field is, 0: never, 1: always
  // 6-bit form: Begin and End PnP are 0x08 and 0x09, the extend character
  // 0x3C, and every character of the fields is sent less 0x20; the checksum
  // is taken over the characters as sent.
  bool six_bit = false;
};

// The string a device sends, Other ID included.
std::string BuildPnpId(const PnpIdFields& fields);

struct PnpBehaviour {
  std::string id;                       // the bytes sent (see BuildPnpId)
  LONGLONG answer_delay = 100000;       // RTS (or power) edge to the first start bit: 10 ms
  LONGLONG gap = 0;                     // between characters
  enum class Dsr { Normal, Never, Late };
  Dsr dsr = Dsr::Normal;                // DSR raised at power-up, never, or dsr_delay after it
  LONGLONG dsr_delay = 5000000;         // 500 ms
  unsigned answer_attempt = 1;          // answers the n-th enumeration sequence (and later ones)
  // A device powered from DTR is off while DTR is low. A modem has its own
  // supply and tells the enumerator from other programs by the time
  // signature: RTS must rise 150 to 250 ms after DTR.
  bool powered_by_dtr = true;
  bool time_signature = false;
};

class PnpResponder {
 public:
  explicit PnpResponder(PnpBehaviour behaviour) : behaviour_(std::move(behaviour)) {}

  void Plugged(SerialLine& line);
  void ControlChanged(SerialLine& line, const ControlLines& before);
  void Unplugged();

  bool powered() const { return powered_; }
  bool sending() const { return sender_.busy() || answer_event_ != 0; }
  unsigned sequences() const { return sequences_; }  // enumeration sequences seen
  unsigned answers() const { return answers_; }
  std::string state() const;

 private:
  void PowerUp(SerialLine& line);
  void PowerDown(SerialLine& line);
  void Sequence(SerialLine& line);
  void SetDsr(SerialLine& line, bool on);

  PnpBehaviour behaviour_;
  bool powered_ = false;
  bool armed_ = false;      // idle since power-up or since DTR and RTS were both low
  LONGLONG dtr_rose_ = -1;
  unsigned sequences_ = 0;
  unsigned answers_ = 0;
  uint64_t answer_event_ = 0;
  uint64_t dsr_event_ = 0;
  SerialSender sender_;
};

class PnpDevice : public SerialDevice {
 public:
  explicit PnpDevice(PnpBehaviour behaviour) : responder_(std::move(behaviour)) {}
  void Plugged() override { responder_.Plugged(line()); }
  void Unplugged() override { responder_.Unplugged(); }
  void ControlChanged(const ControlLines& before) override { responder_.ControlChanged(line(), before); }
  std::string kind() const override { return "pnp"; }
  std::string state() const override { return responder_.state(); }
  const PnpResponder& responder() const { return responder_; }

 private:
  PnpResponder responder_;
};

// The format of identification strings: 1200 baud, 7 data bits, no parity, 1 stop bit.
SerialFormat PnpIdFormat();

}  // namespace sim::hw
