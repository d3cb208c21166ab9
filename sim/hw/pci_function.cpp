#include "sim/hw/pci_function.h"

#include <cstdio>

namespace sim::hw {

std::string Describe(const PciLocation& location) {
  char text[32];
  std::snprintf(text, sizeof text, "%02x:%02x.%x", location.bus, location.device, location.function);
  return text;
}

PciFunction::PciFunction(PciLocation location, bool extended_space)
    : location_(location), extended_(extended_space) {}

uint32_t PciFunction::Read(uint32_t offset, unsigned width) {
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    uint32_t at = offset + i;
    uint8_t byte = at < size() ? bytes_[at] : 0xFF;
    value |= static_cast<uint32_t>(byte) << (8 * i);
  }
  return value;
}

void PciFunction::Write(uint32_t offset, uint32_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) {
    uint32_t at = offset + i;
    if (at >= size()) break;
    WriteByte(at, static_cast<uint8_t>(value >> (8 * i)), writable_[at]);
  }
  Written();
}

void PciFunction::WriteByte(uint32_t offset, uint8_t value, uint8_t mask) {
  bytes_[offset] = static_cast<uint8_t>((bytes_[offset] & ~mask) | (value & mask));
}

uint16_t PciFunction::Get16(uint32_t offset) const {
  return static_cast<uint16_t>(bytes_.at(offset) | bytes_.at(offset + 1) << 8);
}

uint32_t PciFunction::Get32(uint32_t offset) const {
  return static_cast<uint32_t>(Get16(offset)) | static_cast<uint32_t>(Get16(offset + 2)) << 16;
}

void PciFunction::Set16(uint32_t offset, uint16_t value) {
  Set8(offset, static_cast<uint8_t>(value));
  Set8(offset + 1, static_cast<uint8_t>(value >> 8));
}

void PciFunction::Set32(uint32_t offset, uint32_t value) {
  Set16(offset, static_cast<uint16_t>(value));
  Set16(offset + 2, static_cast<uint16_t>(value >> 16));
}

void PciFunction::SetWritable(uint32_t offset, uint32_t length, uint8_t mask) {
  for (uint32_t i = 0; i < length; ++i) writable_.at(offset + i) = mask;
}

void PciFunction::ClearWritable(uint32_t offset, uint32_t length) {
  for (uint32_t i = offset; i < offset + length && i < bytes_.size(); ++i) bytes_[i] &= static_cast<uint8_t>(~writable_[i]);
}

void PciFunction::DefineBar(unsigned index, uint32_t value, uint32_t size) {
  uint32_t offset = 0x10 + 4 * index;
  if (size == 0) {
    Set32(offset, 0);
    SetWritable(offset, 4, 0);
    return;
  }
  bool io = (value & 1) != 0;
  uint32_t flags = io ? 0x3u : 0xFu;
  uint32_t address_mask = ~(size - 1) & ~flags;
  Set32(offset, value);
  for (unsigned i = 0; i < 4; ++i) writable_[offset + i] = static_cast<uint8_t>(address_mask >> (8 * i));
}

}  // namespace sim::hw
