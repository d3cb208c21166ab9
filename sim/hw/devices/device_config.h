// What is plugged into a serial port, as a scenario describes it, and the
// device model made from it.
//
// Knobs of AttachedDeviceConfig (times in milliseconds of virtual time):
//
//   kind          "none" (empty port: lines low, no bytes), "loopback", "pnp",
//                 "mouse", "modem", "raw" or "chatty"
//
//   pnp, modem    the identification string, either given whole or built:
//     id          the bytes as sent, Other ID to End PnP (overrides the fields)
//     other_id    characters before Begin PnP, at most 16 ("M" for a mouse)
//     eisa        manufacturer ID, 3 letters ("ZRK")
//     product     product ID, 4 hexadecimal digits ("0001")
//     serial      serial number, 8 hexadecimal digits (optional)
//     class       class name, e.g. "MODEM" (optional)
//     compatible  compatible device IDs, comma-separated (optional)
//     user        user-legible name (optional)
//     rev         PnP revision times 100 (100 = 1.00)
//     checksum    "auto" (when an optional field is present), "yes" or "no"
//     six_bit     true: the 6-bit form (Begin PnP 0x08, characters less 0x20)
//     delay_ms    from the enumerator's RTS edge to the first start bit (10)
//     gap_ms      between characters of the string (0)
//     attempt     answer from the n-th enumeration sequence on (1; 2: only the second)
//   pnp only      (powered from DTR, answers DTR and RTS both up at 1200 7N1)
//     dsr         "normal" (up at power-up), "never", or "late" (dsr_delay_ms after it)
//     dsr_delay_ms  (500)
//   modem only    (own power: DSR up, CTS follows RTS; answers the
//                 enumerator only when RTS rises 150-250 ms after DTR)
//     reply_delay_ms  from a command's CR to its "\r\nOK\r\n" (1)
//     echo        true: echoes each character it receives
//
//   mouse         (powered by DTR and RTS; answers power-up at 1200 7N1)
//     model       "M" (two buttons), "M3" (three buttons), "B" (ballpoint)
//     delay_ms    from power-up to the identification (10)
//     packets     movements after the identification: after_ms (since the
//                 identification ended), dx, dy, left, right, middle
//
//   raw           sends `bytes` after each trigger
//     bytes       the bytes
//     trigger     "plug" (once, when plugged in), "rts" (RTS rising), "dtr" (DTR rising)
//     delay_ms    from the trigger to the first start bit (0)
//     gap_ms      between characters (0)
//   chatty        sends `bytes` (default 0x55) over and over from plug-in, never stopping
//     bytes, gap_ms
//   raw, chatty   the format they send in:
//     baud (9600), data_bits (8), parity ("N", "O", "E", "M", "S"), stop_bits (1, 1.5, 2)
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/hw/serial_device.h"

namespace sim::hw {

struct MousePacketConfig {
  double after_ms = 0;
  int dx = 0;
  int dy = 0;
  bool left = false;
  bool right = false;
  bool middle = false;
};

struct AttachedDeviceConfig {
  std::string kind = "none";
  // pnp, modem
  std::string id;
  bool has_id = false;  // `id` was given (it may be empty: a device that sends nothing)
  std::string other_id;
  std::string eisa = "ZRK";
  std::string product = "0001";
  std::string serial;
  std::string device_class;  // "class"
  std::string compatible;
  std::string user;
  unsigned rev = 100;
  std::string checksum = "auto";
  bool six_bit = false;
  double delay_ms = -1;  // -1: the kind's default
  double gap_ms = 0;
  unsigned attempt = 1;
  std::string dsr = "normal";
  double dsr_delay_ms = 500;
  double reply_delay_ms = 1;
  bool echo = false;
  // mouse
  std::string model = "M";
  std::vector<MousePacketConfig> packets;
  // raw, chatty
  std::string bytes;
  std::string trigger = "plug";
  double baud = 9600;
  unsigned data_bits = 8;
  std::string parity = "N";
  double stop_bits = 1;
};

// The device the configuration describes. Null for "none" (error left
// empty), and null with a message in *error for a bad configuration.
std::unique_ptr<SerialDevice> MakeSerialDevice(const AttachedDeviceConfig& config, std::string* error);

}  // namespace sim::hw
