#include "tools/zarksim/card_state.h"

#include "card/driver/card_extension.h"
#include "sim/kernel/io_manager.h"
#include "tools/zarksim/port_resources.h"

namespace zarksim {

std::optional<sim::CardDriverState> ReadCardDriverState(sim::Machine& machine, DEVICE_OBJECT* pdo) {
  sim::IoManager& io = *machine.kernel().io;
  if (!pdo || !io.IsLiveDevice(pdo)) return std::nullopt;
  for (DEVICE_OBJECT* device = pdo->AttachedDevice; device; device = device->AttachedDevice) {
    const sim::DeviceRecord* record = io.FindDevice(device);
    if (!record || !record->driver || record->driver->name != "zarkcard") continue;
    const auto* card = static_cast<const CardExtension*>(device->DeviceExtension);
    return sim::CardDriverState{card->PortCount, card->AbsentPortMask, card->PinnedCard != 0};
  }
  return std::nullopt;
}

sim::MachineSnapshot SnapshotWithCardState(sim::Machine& machine) {
  sim::SnapshotProbes probes;
  probes.port_resources = QueryPortResources;
  sim::MachineSnapshot snapshot = sim::TakeSnapshot(machine, probes);
  for (size_t i = 0; i < snapshot.cards.size() && i < machine.cards().size(); ++i)
    snapshot.cards[i].driver = ReadCardDriverState(machine, machine.cards()[i].pdo);
  return snapshot;
}

}  // namespace zarksim
