// One PCI function's configuration space as hardware holds it: 256 bytes,
// or 4 KiB for a PCI Express function, with a write mask per byte so that
// read-only bits keep their values whatever software writes. Models derive
// from it and hook writes that have side effects.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sim::hw {

struct PciLocation {
  uint32_t bus = 0;
  uint32_t device = 0;
  uint32_t function = 0;
  bool operator==(const PciLocation&) const = default;
  auto operator<=>(const PciLocation&) const = default;
};

std::string Describe(const PciLocation& location);  // "00:1c.0"

class PciFunction {
 public:
  static constexpr uint32_t kConventionalSize = 0x100;
  static constexpr uint32_t kExtendedSize = 0x1000;

  PciFunction(PciLocation location, bool extended_space);
  virtual ~PciFunction() = default;
  PciFunction(const PciFunction&) = delete;
  PciFunction& operator=(const PciFunction&) = delete;

  const PciLocation& location() const { return location_; }
  // Bytes of configuration space this function answers (256 or 4096).
  uint32_t size() const { return extended_ ? kExtendedSize : kConventionalSize; }

  // Software's view: a read or write of 1, 2 or 4 bytes (little-endian).
  // Offsets past size() read all ones and ignore writes.
  uint32_t Read(uint32_t offset, unsigned width);
  void Write(uint32_t offset, uint32_t value, unsigned width);

  uint16_t vendor_id() const { return Get16(0x00); }
  uint16_t device_id() const { return Get16(0x02); }
  uint8_t base_class() const { return bytes_[0x0B]; }
  uint8_t sub_class() const { return bytes_[0x0A]; }
  uint8_t header_type() const { return bytes_[0x0E] & 0x7F; }

  // A function pulled out of its slot answers nothing any more.
  bool present() const { return present_; }
  void set_present(bool present) {
    present_ = present;
    PresenceChanged();
  }

  // Hardware's view: sets bytes whatever the write mask says.
  uint8_t Get8(uint32_t offset) const { return bytes_.at(offset); }
  uint16_t Get16(uint32_t offset) const;
  uint32_t Get32(uint32_t offset) const;
  void Set8(uint32_t offset, uint8_t value) { bytes_.at(offset) = value; }
  void Set16(uint32_t offset, uint16_t value);
  void Set32(uint32_t offset, uint32_t value);
  // Which bits of a byte software may change.
  void SetWritable(uint32_t offset, uint32_t length, uint8_t mask = 0xFF);
  // A reset: every bit software may change goes back to 0; read-only bits
  // (identity, straps, BAR flags) stay.
  void ClearWritable(uint32_t offset, uint32_t length);

 protected:
  // One byte written by software, after the write mask; the default stores
  // it. Models override it for registers with side effects.
  virtual void WriteByte(uint32_t offset, uint8_t value, uint8_t mask);
  // After each software write, whole (a model re-evaluates what depends on
  // several bytes at once).
  virtual void Written() {}
  // The function was pulled out or put back.
  virtual void PresenceChanged() {}
  // A base address register of the given size (a power of two; 0: none)
  // whose low flag bits (bit 0 set for I/O) are read-only.
  void DefineBar(unsigned index, uint32_t value, uint32_t size);

 private:
  PciLocation location_;
  bool extended_;
  bool present_ = true;
  std::array<uint8_t, kExtendedSize> bytes_{};
  std::array<uint8_t, kExtendedSize> writable_{};
};

}  // namespace sim::hw
