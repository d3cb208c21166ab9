#include "sim/machine/snapshot.h"

#include <set>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/machine/machine.h"

namespace sim {

namespace {

DeviceSnapshot Describe(const DeviceRecord& record, const char* kind) {
  DeviceSnapshot device;
  device.name = Utf16ToUtf8(record.name);
  device.driver = record.driver ? record.driver->name : "?";
  device.kind = kind;
  ULONG flags = record.device->Flags;
  if (flags & DO_DEVICE_INITIALIZING) device.flags.push_back("initializing");
  if (flags & DO_POWER_PAGABLE) device.flags.push_back("power-pagable");
  if (flags & DO_BUS_ENUMERATED_DEVICE) device.flags.push_back("bus-enumerated");
  return device;
}

}  // namespace

MachineSnapshot TakeSnapshot(Machine& machine) {
  Kernel& kernel = machine.kernel();
  MachineSnapshot snapshot;
  std::set<const DEVICE_OBJECT*> in_stacks;
  for (DeviceNode* node : kernel.pnp->LiveNodes()) {
    StackSnapshot stack;
    stack.instance_path = node->InstancePath();
    stack.state = DeviceNodeStateName(node->state);
    stack.hardware_ids = node->hardware_ids;
    int level = 0;
    for (DEVICE_OBJECT* device = node->pdo; device; device = device->AttachedDevice, ++level) {
      const DeviceRecord* record = kernel.io->FindDevice(device);
      if (!record) break;
      const char* kind = level == 0 ? "PDO" : (node->function_driver && record->driver == node->function_driver ? "FDO" : "filter");
      stack.devices.push_back(Describe(*record, kind));
      in_stacks.insert(device);
    }
    snapshot.stacks.push_back(std::move(stack));
  }
  for (const auto& [device, record] : kernel.io->devices()) {
    if (record->deleted || in_stacks.count(device)) continue;
    snapshot.other_devices.push_back(Describe(*record, "device"));
  }
  for (const auto& link : kernel.names->Links())
    snapshot.links.push_back(LinkSnapshot{Utf16ToUtf8(link.name), Utf16ToUtf8(link.link_target)});
  for (const auto& driver : kernel.io->drivers())
    if (driver->image) snapshot.loaded_drivers.push_back(driver->name);
  snapshot.virtual_time_us = kernel.Now() / 10;
  return snapshot;
}

}  // namespace sim
