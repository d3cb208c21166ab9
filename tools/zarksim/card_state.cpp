#include "tools/zarksim/card_state.h"

#include <cstring>

#include "card/driver/card_extension.h"
#include "tools/zarksim/port_detection.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/io_manager.h"

namespace zarksim {

namespace {

// A port of a card: a child of a node whose function driver is the card
// driver.
bool IsCardPort(const sim::DeviceNode& node) {
  return node.pdo && node.parent && node.parent->service == "zarkcard";
}

}  // namespace

NTSTATUS QueryPortResourceInterface(sim::Machine& machine, sim::DeviceNode& node, PortResourceInterfaceRecord* record) {
  std::memset(record, 0, sizeof *record);
  GUID guid = kPortResourceInterfaceGuid;
  IO_STATUS_BLOCK query = machine.kernel().pnp->SendPnp(&node, IRP_MN_QUERY_INTERFACE, [&](IO_STACK_LOCATION* stack) {
    stack->Parameters.QueryInterface.InterfaceType = &guid;
    stack->Parameters.QueryInterface.Size = sizeof *record;
    stack->Parameters.QueryInterface.Version = 1;
    stack->Parameters.QueryInterface.Interface = reinterpret_cast<INTERFACE*>(record);
    stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  });
  return query.Status;
}

std::optional<sim::PortResourcesSnapshot> QueryPortResources(sim::Machine& machine, sim::DeviceNode& node) {
  if (!IsCardPort(node)) return std::nullopt;
  sim::PortResourcesSnapshot out;
  PortResourceInterfaceRecord record;
  out.status = QueryPortResourceInterface(machine, node, &record);
  if (!NT_SUCCESS(out.status)) return out;
  if (!record.GetPortResources) {
    out.status = STATUS_NOT_SUPPORTED;
  } else {
    PCM_RESOURCE_LIST raw = nullptr;
    PCM_RESOURCE_LIST translated = nullptr;
    out.status = record.GetPortResources(record.Context, node.pdo, &raw, &translated);
    if (NT_SUCCESS(out.status)) {
      out.raw = sim::DescribeResources(raw);
      out.translated = sim::DescribeResources(translated);
    }
    if (raw) ExFreePool(raw);
    if (translated) ExFreePool(translated);
  }
  if (record.InterfaceDereference) record.InterfaceDereference(record.Context);
  return out;
}


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

sim::MachineSnapshot SnapshotWithCardState(sim::Machine& machine, const ProbeWatch* watch) {
  sim::SnapshotProbes probes;
  probes.port_resources = QueryPortResources;
  probes.detection = [watch](sim::Machine& m, sim::DeviceNode& node) {
    std::optional<sim::PortDetectionSnapshot> detection = ReadPortDetection(m, node);
    if (detection && watch) detection->history = watch->Of(&node);
    return detection;
  };
  sim::MachineSnapshot snapshot = sim::TakeSnapshot(machine, probes);
  for (size_t i = 0; i < snapshot.cards.size() && i < machine.cards().size(); ++i)
    snapshot.cards[i].driver = ReadCardDriverState(machine, machine.cards()[i].pdo);
  return snapshot;
}

}  // namespace zarksim
