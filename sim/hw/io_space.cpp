#include "sim/hw/io_space.h"

#include <algorithm>

namespace sim::hw {

namespace {
constexpr uint16_t kConfigAddress = 0xCF8;
constexpr uint16_t kConfigData = 0xCFC;

uint32_t Ones(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }
}  // namespace

IoSpace::IoSpace(PciTopology& pci, HwCounters& counters) : pci_(pci), counters_(counters) {}

void IoSpace::Attach(IoDevice* device, const PciFunction* function) { devices_.push_back({device, function}); }

void IoSpace::Detach(IoDevice* device) {
  devices_.erase(std::remove_if(devices_.begin(), devices_.end(), [device](const Entry& e) { return e.device == device; }),
                 devices_.end());
}

IoDevice* IoSpace::Decoder(uint16_t port) const {
  for (const Entry& entry : devices_) {
    if (entry.function && !pci_.Answering(entry.function->location())) continue;
    if (entry.device->Decodes(port)) return entry.device;
  }
  return nullptr;
}

// Mechanism #1: a 32-bit write to 0xCF8 latches bus, device, function and
// register (bits 1:0 ignored); with bit 31 set, 0xCFC to 0xCFF reach that
// dword of the function's configuration space.
uint32_t IoSpace::Read(uint16_t port, unsigned width) {
  counters_.port_reads++;
  if (port == kConfigAddress && width == 4) return config_address_;
  if (port >= kConfigData && port + width <= kConfigData + 4) {
    if (!(config_address_ & 0x80000000u)) return Ones(width);
    PciLocation at{(config_address_ >> 16) & 0xFF, (config_address_ >> 11) & 0x1F, (config_address_ >> 8) & 7};
    uint32_t offset = (config_address_ & 0xFC) + (port - kConfigData);
    return pci_.Read(ConfigPath::LegacyPorts, at, offset, width, PciFunction::kConventionalSize);
  }
  IoDevice* device = Decoder(port);
  return device ? device->ReadPort(port, width) : Ones(width);
}

void IoSpace::Write(uint16_t port, uint32_t value, unsigned width) {
  counters_.port_writes++;
  if (port == kConfigAddress && width == 4) {
    config_address_ = value & 0x80FFFFFCu;
    return;
  }
  if (port >= kConfigData && port + width <= kConfigData + 4) {
    if (!(config_address_ & 0x80000000u)) return;
    PciLocation at{(config_address_ >> 16) & 0xFF, (config_address_ >> 11) & 0x1F, (config_address_ >> 8) & 7};
    uint32_t offset = (config_address_ & 0xFC) + (port - kConfigData);
    pci_.Write(ConfigPath::LegacyPorts, at, offset, value, width, PciFunction::kConventionalSize);
    return;
  }
  if (IoDevice* device = Decoder(port)) device->WritePort(port, value, width);
}

}  // namespace sim::hw
