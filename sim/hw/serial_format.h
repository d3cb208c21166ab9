// Characters on an asynchronous serial line: the word format they are sent
// in, how long one takes, and what a receiver set to some format makes of
// a character sent in another.
#pragma once

#include <cstdint>
#include <string>

#include "nt/basetypes.h"

namespace sim::hw {

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };

struct SerialFormat {
  double baud = 9600;
  uint8_t data_bits = 8;      // 5 to 8
  Parity parity = Parity::None;
  uint8_t stop_halves = 2;    // stop bits in halves: 2 (one), 3 (one and a half), 4 (two)

  // Bits on the line per character: start, data, parity, stop.
  double bits() const { return 1 + data_bits + (parity == Parity::None ? 0 : 1) + stop_halves / 2.0; }
  // One bit and one character, in 100 ns units (rounded).
  LONGLONG BitTime() const;
  LONGLONG CharacterTime() const;
  std::string Describe() const;  // "1200 7N1"
  bool operator==(const SerialFormat&) const = default;
};

// Common formats devices use.
SerialFormat Format(double baud, unsigned data_bits, Parity parity = Parity::None, unsigned stop_bits = 1);

// Whether a receiver set to `receiver` reads what `sender` sends exactly:
// the same data bits and parity, and rates within 2 % of each other (the
// usual tolerance of a receiver that samples at the middle of each bit).
// Stop bits do not matter: a receiver checks only the first one.
bool Compatible(const SerialFormat& sender, const SerialFormat& receiver);
// Whether the two rates are within that tolerance.
bool SameRate(const SerialFormat& sender, const SerialFormat& receiver);

// One character as a receiver holds it.
struct ReceivedCharacter {
  uint8_t byte = 0;
  bool parity_error = false;
  bool framing_error = false;
  bool break_detected = false;
};

// What a receiver makes of `byte` sent in `sender`. A compatible format
// gives the byte exactly. Otherwise the receiver, started by the falling
// edge of the start bit, samples the sender's bit stream at the middles of
// its own bits (the line marks after the sender's last stop bit): data and
// parity come from those samples, and a spacing stop-bit sample is a
// framing error. At another rate the character is always a framing error
// (the receiver has lost the frame, whatever its stop sample): one
// character sent gives one character received. So 7N2 read as 8N1 at the
// same rate gives the byte with bit 7 set and no error, while anything
// sent at 1200 baud and read at 9600 is a framing error with a wrong byte.
ReceivedCharacter Receive(uint8_t byte, const SerialFormat& sender, const SerialFormat& receiver);

}  // namespace sim::hw
