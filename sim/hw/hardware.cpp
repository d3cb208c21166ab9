#include "sim/hw/hardware.h"

#include <cstdio>
#include <cstdlib>

#include "sim/kernel/interrupts.h"
#include "sim/kernel/kernel.h"

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

Hardware::~Hardware() {
  for (UartCard* card : cards_) card->OnInterruptChange(nullptr);
  for (int line : driven_lines_)
    if (HasKernel() && K().interrupts) K().interrupts->SetLine(static_cast<ULONG>(line), false);
  current_hardware = nullptr;
}

void Hardware::DriveInterrupts() {
  std::set<int> asserted;
  for (UartCard* card : cards_)
    if (card->InterruptAsserted()) asserted.insert(card->interrupt_line());
  if (!HasKernel() || !K().interrupts) return;
  for (int line : driven_lines_)
    if (!asserted.count(line)) K().interrupts->SetLine(static_cast<ULONG>(line), false);
  for (int line : asserted)
    if (!driven_lines_.count(line)) K().interrupts->SetLine(static_cast<ULONG>(line), true);
  driven_lines_ = asserted;
}

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
  raw->OnInterruptChange([this] { DriveInterrupts(); });
  raw->UpdateInterrupt();
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
