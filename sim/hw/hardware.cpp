#include "sim/hw/hardware.h"

#include <cstdio>
#include <cstdlib>

namespace sim::hw {

namespace {
Hardware* current_hardware = nullptr;
}

Hardware::Hardware(const HostBridgeConfig& host) : pci_(host, counters_), io_(pci_, counters_), memory_(pci_) {
  if (current_hardware) {
    std::fprintf(stderr, "simulator: only one machine's hardware can exist at a time\n");
    std::abort();
  }
  current_hardware = this;
}

Hardware::~Hardware() { current_hardware = nullptr; }

PciBridge* Hardware::AddBridge(const BridgeConfig& config) {
  auto bridge = std::make_unique<PciBridge>(config);
  PciBridge* raw = bridge.get();
  return pci_.Add(std::move(bridge)) ? raw : nullptr;
}

UartCard* Hardware::AddCard(const CardModelConfig& config) {
  auto card = std::make_unique<UartCard>(config);
  UartCard* raw = card.get();
  if (!pci_.Add(std::move(card))) return nullptr;
  io_.Attach(raw, raw);
  cards_.push_back(raw);
  return raw;
}

UartCard* Hardware::CardAt(const PciLocation& location) const {
  for (UartCard* card : cards_)
    if (card->location() == location) return card;
  return nullptr;
}

Hardware& Hw() {
  if (!current_hardware) {
    std::fprintf(stderr, "simulator: a hardware access was made with no machine running\n");
    std::abort();
  }
  return *current_hardware;
}

bool HasHardware() { return current_hardware != nullptr; }

}  // namespace sim::hw
