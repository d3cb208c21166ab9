#include "sim/machine/snapshot.h"

#include <set>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/registry/registry.h"
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

CardSnapshot DescribeCard(Kernel& kernel, const MachineCard& card) {
  CardSnapshot out;
  out.location = hw::Describe(card.model->location());
  out.vendor_id = card.model->vendor_id();
  out.device_id = card.model->device_id();
  if (card.pdo && kernel.io->IsLiveDevice(card.pdo))
    if (DeviceNode* node = kernel.pnp->NodeOf(card.pdo)) out.instance_path = node->InstancePath();
  for (unsigned n = 0; n < hw::UartCard::kMaxPorts; ++n) out.port_blocks.push_back(card.model->PortBlock(n));
  return out;
}

HardwareCounts CountHardware(hw::Hardware& hardware) {
  HardwareCounts out;
  const hw::HwCounters& c = hardware.counters();
  for (hw::ConfigPath path : {hw::ConfigPath::BusRequest, hw::ConfigPath::BusInterface, hw::ConfigPath::LegacyPorts,
                              hw::ConfigPath::Ecam, hw::ConfigPath::Hal}) {
    int i = static_cast<int>(path);
    out.config.push_back(ConfigAccessCount{hw::ConfigPathName(path), c.config_reads[i], c.config_writes[i]});
  }
  out.port_reads = c.port_reads;
  out.port_writes = c.port_writes;
  out.register_reads = c.register_reads;
  out.register_writes = c.register_writes;
  return out;
}

}  // namespace

std::vector<ComNumberSnapshot> ParseComNumConfig(const std::vector<uint8_t>& bytes) {
  std::vector<ComNumberSnapshot> out;
  for (size_t at = 0; at < bytes.size(); at += 4) {
    uint8_t entry[4] = {};
    for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i) entry[i] = bytes[at + i];
    if (!entry[0] && !entry[1] && !entry[2] && !entry[3]) continue;
    out.push_back(ComNumberSnapshot{static_cast<unsigned>(at / 4), static_cast<uint16_t>(entry[0] << 8 | entry[1]),
                                    entry[2], entry[3]});
  }
  return out;
}

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
  for (const MachineCard& card : machine.cards()) snapshot.cards.push_back(DescribeCard(kernel, card));
  if (auto table = kernel.registry->GetBinary(kComNumConfigKey, kComNumConfigValue)) {
    snapshot.com_num_config_present = true;
    snapshot.com_num_config = ParseComNumConfig(*table);
  }
  snapshot.hardware = CountHardware(machine.hardware());
  return snapshot;
}

}  // namespace sim
