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

// Whether a receiver set to `receiver` reads what `sender` sends without
// error: the same data bits and parity, and rates within 2 % of each other
// (the usual tolerance of a receiver that samples at the middle of each bit).
// Stop bits do not matter: a receiver checks only the first one.
bool Compatible(const SerialFormat& sender, const SerialFormat& receiver);

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
// its own bits (the line marks after the sender's stop bit), which gives a
// wrong byte, and the character is flagged as a framing error whatever the
// stop-bit sample was: one character sent gives one character received.
// Parity is checked on the sampled bits.
ReceivedCharacter Receive(uint8_t byte, const SerialFormat& sender, const SerialFormat& receiver);

}  // namespace sim::hw
