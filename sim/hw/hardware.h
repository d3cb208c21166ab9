// The hardware of the running machine: PCI topology, I/O port space and
// physical memory, with counters of every access. Like the kernel, exactly
// one is current at a time; the HAL's exported routines reach it through
// Hw().
#pragma once

#include <memory>
#include <set>
#include <vector>

#include "sim/hw/hw_counters.h"
#include "sim/kernel/hal/io_mappings.h"
#include "sim/hw/io_space.h"
#include "sim/hw/pci_bridge.h"
#include "sim/hw/pci_topology.h"
#include "sim/hw/physical_memory.h"
#include "sim/hw/uart_card.h"

namespace sim::hw {

class Hardware {
 public:
  explicit Hardware(const HostBridgeConfig& host);
  ~Hardware();
  Hardware(const Hardware&) = delete;
  Hardware& operator=(const Hardware&) = delete;

  // Installs a bridge or a card; null when its location is taken.
  PciBridge* AddBridge(const BridgeConfig& config);
  UartCard* AddCard(const CardModelConfig& config);

  PciTopology& pci() { return pci_; }
  IoSpace& io() { return io_; }
  PhysicalMemory& memory() { return memory_; }
  HwCounters& counters() { return counters_; }
  IoMappings& mappings() { return mappings_; }
  const std::vector<UartCard*>& cards() const { return cards_; }
  UartCard* CardAt(const PciLocation& location) const;
  // Drives the kernel's interrupt lines: each is asserted while some card
  // whose Interrupt Line register names it asserts INTx.
  void DriveInterrupts();

 private:
  HwCounters counters_;
  PciTopology pci_;
  IoSpace io_;
  PhysicalMemory memory_;
  IoMappings mappings_;
  std::vector<UartCard*> cards_;
  std::set<int> driven_lines_;
};

// The current machine's hardware; aborts with a message when none exists.
Hardware& Hw();
bool HasHardware();

}  // namespace sim::hw
