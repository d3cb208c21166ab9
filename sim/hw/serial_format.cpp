#include "sim/hw/serial_format.h"

#include <cmath>
#include <cstdio>

namespace sim::hw {

namespace {

constexpr double kTicksPerSecond = 1e7;

bool ParityBit(uint8_t data, unsigned data_bits, Parity parity) {
  unsigned ones = 0;
  for (unsigned i = 0; i < data_bits; ++i) ones += (data >> i) & 1;
  switch (parity) {
    case Parity::Odd: return (ones & 1) == 0;
    case Parity::Even: return (ones & 1) != 0;
    case Parity::Mark: return true;
    case Parity::Space: return false;
    case Parity::None: break;
  }
  return true;
}

// The line level at bit position `index` of the sender's frame (0: start
// bit); marking before nothing and after the frame.
bool SenderLevel(uint8_t byte, const SerialFormat& f, unsigned index) {
  if (index == 0) return false;
  if (index <= f.data_bits) return ((byte >> (index - 1)) & 1) != 0;
  if (f.parity != Parity::None && index == f.data_bits + 1u) return ParityBit(byte, f.data_bits, f.parity);
  return true;
}

}  // namespace

LONGLONG SerialFormat::BitTime() const {
  return baud > 0 ? static_cast<LONGLONG>(std::llround(kTicksPerSecond / baud)) : 0;
}

LONGLONG SerialFormat::CharacterTime() const {
  return baud > 0 ? static_cast<LONGLONG>(std::llround(bits() * kTicksPerSecond / baud)) : 0;
}

std::string SerialFormat::Describe() const {
  static const char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  char text[48];
  const char* stop = stop_halves == 3 ? "1.5" : stop_halves == 4 ? "2" : "1";
  std::snprintf(text, sizeof text, "%g %u%c%s", baud, static_cast<unsigned>(data_bits),
                kParity[static_cast<int>(parity)], stop);
  return text;
}

SerialFormat Format(double baud, unsigned data_bits, Parity parity, unsigned stop_bits) {
  SerialFormat f;
  f.baud = baud;
  f.data_bits = static_cast<uint8_t>(data_bits);
  f.parity = parity;
  f.stop_halves = static_cast<uint8_t>(stop_bits * 2);
  return f;
}

bool SameRate(const SerialFormat& sender, const SerialFormat& receiver) {
  if (sender.baud <= 0 || receiver.baud <= 0) return false;
  return std::fabs(sender.baud - receiver.baud) <= 0.02 * receiver.baud;
}

bool Compatible(const SerialFormat& sender, const SerialFormat& receiver) {
  return sender.data_bits == receiver.data_bits && sender.parity == receiver.parity && SameRate(sender, receiver);
}

ReceivedCharacter Receive(uint8_t byte, const SerialFormat& sender, const SerialFormat& receiver) {
  const uint8_t mask = static_cast<uint8_t>((1u << receiver.data_bits) - 1);
  ReceivedCharacter received;
  if (Compatible(sender, receiver)) {
    received.byte = byte & mask & static_cast<uint8_t>((1u << sender.data_bits) - 1);
    return received;
  }
  // Sample k of the receiver lies at (k + 1/2) of its bit times from the
  // start edge; which of the sender's bits is on the line then.
  const bool same_rate = SameRate(sender, receiver);
  auto sample = [&](unsigned k) {
    const double at = (k + 0.5) / receiver.baud;
    return SenderLevel(byte, sender, same_rate ? k : static_cast<unsigned>(std::floor(at * sender.baud)));
  };
  unsigned k = 1;
  for (unsigned i = 0; i < receiver.data_bits; ++i, ++k)
    if (sample(k)) received.byte = static_cast<uint8_t>(received.byte | 1u << i);
  if (receiver.parity != Parity::None) {
    received.parity_error = sample(k) != ParityBit(received.byte, receiver.data_bits, receiver.parity);
    ++k;
  }
  received.framing_error = !sample(k) || !SameRate(sender, receiver);
  return received;
}

}  // namespace sim::hw
