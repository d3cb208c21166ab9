#include "sim/machine/snapshot.h"

#include <set>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pnp/enum_registry.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/pnp/ports_class_installer.h"
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
    if (DeviceNode* node = kernel.pnp->NodeOf(card.pdo)) {
      out.instance_path = node->InstancePath();
      out.initial_flag = kernel.registry->GetDword(DeviceParametersPath(*node), kInitialFlagValue);
    }
  out.uart_base = static_cast<uint16_t>(card.model->Get32(0x24) & 0xFFFC);
  if (auto table = kernel.registry->GetBinary(kComNumConfigKey, kComNumConfigValue))
    for (const ComNumberSnapshot& entry : ParseComNumConfig(*table))
      if (entry.address >= out.uart_base && entry.address < out.uart_base + kCardUartRange) out.com_numbers.push_back(entry);
  for (unsigned n = 0; n < hw::UartCard::kMaxPorts; ++n) out.port_blocks.push_back(card.model->PortBlock(n));
  for (unsigned n = 0; n < hw::UartCard::kMaxPorts; ++n) {
    if (!card.model->UartFitted(n)) continue;
    hw::Uart16550& uart = card.model->uart(n);
    UartSnapshot u;
    u.port = n + 1;
    u.format = uart.format().Describe();
    uint8_t mcr = uart.modem_control();
    u.dtr = mcr & hw::Uart16550::kDtr;
    u.rts = mcr & hw::Uart16550::kRts;
    u.out2 = mcr & hw::Uart16550::kOut2;
    u.loopback = mcr & hw::Uart16550::kLoopback;
    if (const hw::SerialDevice* device = card.model->attached(n)) {
      u.device = device->kind();
      u.device_state = device->state();
    }
    const auto& c = uart.counters();
    u.transmitted = c.transmitted;
    u.received = c.received;
    u.overruns = c.overruns;
    u.framing_errors = c.framing_errors;
    u.parity_errors = c.parity_errors;
    u.interrupts = c.interrupts;
    out.uarts.push_back(u);
  }
  return out;
}

std::vector<RegistryValueSnapshot> ReadValues(Registry& registry, const std::string& path) {
  std::vector<RegistryValueSnapshot> out;
  auto key = registry.FindKey(path);
  if (!key) return out;
  for (const RegistryValue& value : key->values())
    out.push_back(RegistryValueSnapshot{Utf16ToUtf8(value.name), RegistryTypeName(value.type), value.type, value.data});
  return out;
}

// The name of the DOS-device link ("COM3") that leads to a named device of
// the stack.
std::string ComLinkOf(Kernel& kernel, const std::vector<DeviceSnapshot>& stack) {
  for (const auto& link : kernel.names->Links()) {
    std::string name = Utf16ToUtf8(link.name);
    std::string target = Utf16ToUtf8(link.link_target);
    size_t slash = name.rfind('\\');
    std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
    if (leaf.rfind("COM", 0) != 0) continue;
    for (const DeviceSnapshot& device : stack)
      if (!device.name.empty() && device.name == target) return leaf;
  }
  return "";
}

DeviceNodeSnapshot DescribeNode(Machine& machine, DeviceNode& node, const SnapshotProbes& probes,
                                std::set<const DEVICE_OBJECT*>* in_stacks) {
  Kernel& kernel = machine.kernel();
  DeviceNodeSnapshot out;
  out.instance_path = node.InstancePath();
  out.state = DeviceNodeStateName(node.state);
  if (node.state == DeviceNode::State::Failed) out.problem = node.problem;
  out.hardware_ids = node.hardware_ids;
  out.service = node.service;
  int level = 0;
  for (DEVICE_OBJECT* device = node.pdo; device; device = device->AttachedDevice, ++level) {
    const DeviceRecord* record = kernel.io->FindDevice(device);
    if (!record) break;
    const char* kind = level == 0 ? "PDO" : (node.function_driver && record->driver == node.function_driver ? "FDO" : "filter");
    out.devices.push_back(Describe(*record, kind));
    in_stacks->insert(device);
  }
  out.raw_resources = DescribeResources(node.resources.Raw());
  out.translated_resources = DescribeResources(node.resources.Translated());
  if (!node.device_id.empty()) out.device_parameters = ReadValues(*kernel.registry, DeviceParametersPath(node));
  if (probes.port_resources) out.port_resources = probes.port_resources(machine, node);
  if (!node.device_id.empty()) {
    if (auto name = kernel.registry->GetString(DeviceParametersPath(node), "PortName")) out.port_name = Utf16ToUtf8(*name);
    if (auto name = kernel.registry->GetString(InstanceKeyPath(node), "FriendlyName")) out.friendly_name = Utf16ToUtf8(*name);
    out.com_name = ComLinkOf(kernel, out.devices);
  }
  if (probes.detection) out.detection = probes.detection(machine, node);
  for (DeviceNode* child : node.children) {
    if (child->Gone()) continue;
    out.children.push_back(DescribeNode(machine, *child, probes, in_stacks));
    if (out.detection && out.detection->child && out.detection->child->pdo == child->pdo) {
      out.detection->child->instance_path = child->InstancePath();
      out.detection->child->driver = child->service;
    }
  }
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

std::string RegistryTypeName(ULONG type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "type " + std::to_string(type);
  }
}

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

MachineSnapshot TakeSnapshot(Machine& machine, const SnapshotProbes& probes) {
  Kernel& kernel = machine.kernel();
  MachineSnapshot snapshot;
  std::set<const DEVICE_OBJECT*> in_stacks;
  std::set<std::string> removed;
  for (const auto& node : kernel.pnp->nodes()) {
    if (node->Gone()) {
      removed.insert(node->InstancePath());
      continue;
    }
    if (node->parent && !node->parent->Gone()) continue;  // listed under its parent
    snapshot.device_tree.push_back(DescribeNode(machine, *node, probes, &in_stacks));
  }
  // A device that left and came back is listed once, as it is now.
  std::set<std::string> live;
  for (DeviceNode* node : kernel.pnp->LiveNodes()) live.insert(node->InstancePath());
  for (const std::string& path : removed)
    if (!live.count(path)) snapshot.removed_devices.push_back(path);
  for (const auto& [device, record] : kernel.io->devices()) {
    if (record->deleted || in_stacks.count(device)) continue;
    snapshot.other_devices.push_back(Describe(*record, "device"));
  }
  for (const auto& link : kernel.names->Links())
    snapshot.links.push_back(LinkSnapshot{Utf16ToUtf8(link.name), Utf16ToUtf8(link.link_target)});
  for (const auto& driver : kernel.io->drivers())
    if (driver->image) snapshot.loaded_drivers.push_back(driver->name);
  snapshot.virtual_time_us = kernel.Now() / 10;
  snapshot.seed = kernel.scheduler->options().seed;
  snapshot.processors = kernel.scheduler->processor_count();
  snapshot.images = ImageKindName(machine.config().images.kind);
  snapshot.kernel_entries = kernel.scheduler->kernel_entries();
  snapshot.context_switches = kernel.scheduler->switches();
  for (const MachineCard& card : machine.cards()) snapshot.cards.push_back(DescribeCard(kernel, card));
  if (auto table = kernel.registry->GetBinary(kComNumConfigKey, kComNumConfigValue)) {
    snapshot.com_num_config_present = true;
    snapshot.com_num_config = ParseComNumConfig(*table);
  }
  snapshot.complete_flag = kernel.registry->GetDword(kCompleteFlagKey, kCompleteFlagValue);
  snapshot.hardware = CountHardware(machine.hardware());
  snapshot.com_db = ComNumbersInUse();
  if (kernel.registry->KeyExists(kSerialCommKey))
    for (const std::string& name : kernel.registry->ValueNames(kSerialCommKey))
      if (auto com_name = kernel.registry->GetString(kSerialCommKey, name))
        snapshot.serial_comm.push_back(LinkSnapshot{name, Utf16ToUtf8(*com_name)});
  return snapshot;
}

}  // namespace sim
