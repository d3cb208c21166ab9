// A simulated machine: the kernel model, the devices on its bus and the
// drivers bound to them. Constructing a Machine makes the calling thread the
// machine's first simulated thread; everything the caller does between
// Boot() and Shutdown() runs inside the machine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/application.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp/standin_bus.h"

namespace sim {

struct CardConfig {
  USHORT device_id = 0x1104;
  ULONG subsystem = 0;
};

struct MachineConfig {
  uint64_t seed = 1;
  std::vector<CardConfig> cards;
};

class Machine {
 public:
  explicit Machine(const MachineConfig& config = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Binds the drivers and brings up every card of the configuration.
  void Boot();
  // Adds a card while the machine runs (hot plug); returns its PDO.
  DEVICE_OBJECT* PlugCard(const CardConfig& card);
  // Removes every device, unloads every driver, stops every thread and
  // reports what was left behind. Safe to call twice.
  void Shutdown();

  Kernel& kernel() { return *kernel_; }
  Application& app() { return app_; }
  StandinBus& bus() { return *bus_; }
  const Verifier& verifier() const { return *kernel_->verifier; }
  bool shut_down() const { return shut_down_; }

 private:
  MachineConfig config_;
  std::unique_ptr<Kernel> kernel_;
  std::unique_ptr<StandinBus> bus_;
  Application app_;
  unsigned next_slot_ = 0;
  bool shut_down_ = false;
};

}  // namespace sim
