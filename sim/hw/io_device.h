// Something that answers in I/O port space. The device that decodes the
// first port of an access takes the whole access; the bytes of it that the
// device does not decode read as all ones.
#pragma once

#include <cstdint>

namespace sim::hw {

class IoDevice {
 public:
  virtual ~IoDevice() = default;
  virtual bool Decodes(uint16_t port) const = 0;
  virtual uint32_t ReadPort(uint16_t port, unsigned width) = 0;
  virtual void WritePort(uint16_t port, uint32_t value, unsigned width) = 0;
};

}  // namespace sim::hw
