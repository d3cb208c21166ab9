#include "sim/machine/machine.h"

#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/work_queue.h"

namespace sim {

namespace {
// What the driver package installs: the card driver for the three chips.
const char* const kCardHardwareIds[] = {"PCI\\VEN_1C29&DEV_1104", "PCI\\VEN_1C29&DEV_1108", "PCI\\VEN_1C29&DEV_1112"};
}  // namespace

Machine::Machine(const MachineConfig& config) : config_(config) {
  KernelOptions options;
  options.seed = config.seed;
  kernel_ = std::make_unique<Kernel>(options);
  bus_ = std::make_unique<StandinBus>();
  for (const char* id : kCardHardwareIds) kernel_->pnp->Bind(id, "zarkcard");
}

Machine::~Machine() {
  Shutdown();
  bus_.reset();
  kernel_.reset();
}

void Machine::Boot() {
  for (const CardConfig& card : config_.cards) PlugCard(card);
  kernel_->scheduler->Settle();
}

DEVICE_OBJECT* Machine::PlugCard(const CardConfig& card) {
  StandinDevice device;
  device.device_id = card.device_id;
  device.subsystem = card.subsystem;
  device.slot = next_slot_++;
  DEVICE_OBJECT* pdo = bus_->AddDevice(device);
  if (pdo) kernel_->pnp->DeviceArrived(pdo);
  return pdo;
}

void Machine::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  kernel_->scheduler->Settle();
  kernel_->pnp->RemoveAll();
  for (const auto& driver : kernel_->io->drivers())
    if (driver->image) kernel_->io->UnloadDriver(driver.get());
  kernel_->scheduler->StopOtherThreads();
  kernel_->io->CheckShutdown();
  kernel_->pool->ReportAllLeaks("at shutdown");
  for (const auto& [handle, entry] : kernel_->handles->All()) {
    kernel_->verifier->Report("handle-leak", ImageName(entry.owner),
                              entry.object->TypeName() + " handle (" + entry.object->Describe() + ") still open at shutdown");
  }
}

}  // namespace sim
