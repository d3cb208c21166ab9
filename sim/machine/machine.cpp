#include "sim/machine/machine.h"

#include <algorithm>
#include <stdexcept>
#include <cstdio>

#include "sim/hw/devices/device_config.h"
#include "sim/kernel/files/file_system.h"
#include "sim/kernel/image_loader.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/pnp/ports_class_installer.h"
#include "sim/kernel/power/power_manager.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/work_queue.h"

namespace sim {

namespace {
constexpr char kSerialService[] = "KALVOR1110";
// The port enumerator, each port's upper filter, and the bench's stand-in
// that a test takes to hand the serial driver wrong resources.
constexpr char kEnumService[] = "zarkenum";
constexpr char kHandOffService[] = "PortHandOff";

// What the driver package installs: the card driver for the three chips.
const char* const kCardHardwareIds[] = {"PCI\\VEN_1C29&DEV_1104", "PCI\\VEN_1C29&DEV_1108", "PCI\\VEN_1C29&DEV_1112"};
// The card's setup information: only the system and administrators open it.
const char kCardSecurity[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// The k-th card's own I/O block (4 KiB) and memory block (1 MiB).
std::array<uint32_t, 6> DefaultBars(unsigned k) {
  uint32_t io = 0xE000 - 0x1000 * (k % 12);
  uint32_t memory = 0xFE000000u - 0x100000u * (k % 64);
  // The group windows follow each other upwards from BAR5, so the UART in
  // slot s answers at BAR5 + 8s inside its group's window.
  return {io | 0x001, memory, (io + 0x100) | 0x001, (io + 0x240) | 0x001, (io + 0x220) | 0x001, (io + 0x200) | 0x001};
}
}  // namespace

namespace {

constexpr char kHardwareHive[] = "\\Registry\\Machine\\HARDWARE";

// Creates the key and its subkeys (without values) in another registry.
void CopyKeyTree(const Registry& from, const std::shared_ptr<RegistryKey>& key, Registry& to) {
  if (!key) return;
  to.CreateKey(Utf16ToUtf8(key->Path()));
  for (const auto& subkey : key->subkeys()) CopyKeyTree(from, subkey, to);
}

// Drops the keys that do not survive a power cycle.
void DropVolatileKeys(Registry& registry, const std::shared_ptr<RegistryKey>& key) {
  std::vector<std::shared_ptr<RegistryKey>> subkeys = key->subkeys();
  for (const auto& subkey : subkeys) {
    if (subkey->is_volatile()) {
      registry.DeleteTree(Utf16ToUtf8(subkey->Path()));
    } else {
      DropVolatileKeys(registry, subkey);
    }
  }
}

}  // namespace

Machine::Machine(const MachineConfig& config) : config_(config) { PowerOn(nullptr); }

// What outlives a power cycle: the registry (but for its volatile keys and
// the HARDWARE hive, which Windows builds anew at every boot), the files,
// and what the verifier found so far.
struct Machine::Persistent {
  std::unique_ptr<Registry> registry;
  std::unique_ptr<FileSystem> files;
  std::unique_ptr<Verifier> verifier;
  LONGLONG now = 0;
};

void Machine::PowerOn(Persistent* kept) {
  KernelOptions options;
  options.seed = config_.seed;
  options.processors = config_.processors;
  options.preemption = config_.preemption;
  options.images = config_.images;
  kernel_ = std::make_unique<Kernel>(options);
  hardware_ = std::make_unique<hw::Hardware>(config_.host_bridge);
  bus_ = std::make_unique<hw::PciBusDriver>();
  bus_->FailNthConfigRequest(config_.fail_config_request);
  bus_->RestoreHeaderOnD0(config_.pci_restores_header);
  // From S2 down the platform cuts the devices' power once every stack has
  // taken the set-power: the cards reset; bridges keep their settings.
  kernel_->power->OnSystemStateSet([this](SYSTEM_POWER_STATE state) {
    if (state < PowerSystemSleeping2) return;
    for (MachineCard& card : cards_)
      if (card.model) card.model->LosePower();
    bus_->SystemPowerLost();
  });
  for (const char* id : kCardHardwareIds) {
    kernel_->pnp->Bind(id, "zarkcard");
    kernel_->pnp->SetSecurity(id, kCardSecurity);
  }
  // Each port: the serial port driver with the port enumerator above it.
  for (int port = 1; port <= 12; ++port) {
    char id[16];
    std::snprintf(id, sizeof id, "*KVRCOM%02d", port);
    kernel_->pnp->Bind(id, kSerialService, {config_.stand_in_hand_off ? kHandOffService : kEnumService});
  }
  // A serial mouse found on a port gets the bench's mouse driver.
  kernel_->pnp->Bind("SERIAL_MOUSE", "SerialMouse");
  // The ports install into the Ports class, whose installer names them.
  for (int port = 1; port <= 12; ++port) {
    char id[16];
    std::snprintf(id, sizeof id, "*KVRCOM%02d", port);
    kernel_->pnp->SetSetupClass(id, kPortsClass);
  }
  next_root_port_ = 1;
  next_bus_ = 1;
  for (const hw::BridgeConfig& bridge : config_.bridges) {
    hardware_->AddBridge(bridge);
    if (bridge.location.bus == 0) next_root_port_ = std::max(next_root_port_, bridge.location.device + 1);
    next_bus_ = std::max<uint32_t>(next_bus_, bridge.subordinate_bus + 1u);
  }
  for (const CardConfig& card : config_.cards)
    if (card.location) next_bus_ = std::max(next_bus_, card.location->bus + 1);
  if (kept) {
    // The HARDWARE hive is built anew at every boot: the kept registry takes
    // the fresh one's.
    kept->registry->DeleteTree(kHardwareHive);
    CopyKeyTree(*kernel_->registry, kernel_->registry->FindKey(kHardwareHive), *kept->registry);
    kernel_->registry = std::move(kept->registry);
    kernel_->files = std::move(kept->files);
    kernel_->verifier = std::move(kept->verifier);
    kernel_->scheduler->AdvanceClock(kept->now);
    return;
  }
  // The motherboard's own COM1 and COM2 are taken in the COM name database.
  ClaimComNumber(1);
  ClaimComNumber(2);
  for (const RegistryPreset& preset : config_.registry)
    kernel_->registry->SetValue(preset.key, preset.name, preset.type, preset.data);
  if (config_.config_file) kernel_->files->AddFile(kCardConfigFilePath, *config_.config_file);
}


void Machine::Reboot() {
  PowerOff();
  Persistent kept;
  kept.now = kernel_->Now();
  kept.registry = std::move(kernel_->registry);
  kept.files = std::move(kernel_->files);
  kept.verifier = std::move(kernel_->verifier);
  // The old kernel's parts may still report while they go.
  kernel_->registry = std::make_unique<Registry>();
  kernel_->files = std::make_unique<FileSystem>();
  kernel_->verifier = std::make_unique<Verifier>();
  SerialDevices devices = TakeSerialDevices();
  bus_.reset();
  kernel_.reset();
  hardware_.reset();
  cards_.clear();

  DropVolatileKeys(*kept.registry, kept.registry->FindKey("\\Registry"));
  PowerOn(&kept);
  shut_down_ = false;
  powered_down_ = false;
  shutdown_due_ = false;
  BootWith(std::move(devices));
}

Machine::~Machine() {
  Shutdown();
  bus_.reset();
  kernel_.reset();
  hardware_.reset();
}

void Machine::Boot() {
  SerialDevices devices;
  for (size_t i = 0; i < config_.cards.size(); ++i)
    for (const auto& [port, device] : config_.cards[i].devices) devices[{i, port - 1}] = MakeDevice(device);
  BootWith(std::move(devices));
}

// The devices are in their ports before the cards are powered and found.
void Machine::BootWith(SerialDevices devices) {
  std::vector<DEVICE_OBJECT*> found;
  for (size_t i = 0; i < config_.cards.size(); ++i) {
    DEVICE_OBJECT* pdo = InstallCard(config_.cards[i]);
    for (auto it = devices.begin(); it != devices.end(); ++it)
      if (pdo && it->first.first == i && it->second) cards_.back().model->Plug(it->first.second, std::move(it->second));
    found.push_back(pdo);
  }
  for (DEVICE_OBJECT* pdo : found)
    if (pdo) kernel_->pnp->DeviceArrived(pdo);
  kernel_->scheduler->Settle();
}

std::unique_ptr<hw::SerialDevice> Machine::MakeDevice(const hw::AttachedDeviceConfig& config) {
  std::string error;
  std::unique_ptr<hw::SerialDevice> device = hw::MakeSerialDevice(config, &error);
  if (!device && !error.empty()) throw std::invalid_argument("serial device \"" + config.kind + "\": " + error);
  return device;
}

NTSTATUS Machine::PlugOrUnplug(const MachineAction& action) {
  if (action.card >= cards_.size() || action.port < 1 || action.port > hw::UartCard::kMaxPorts) return STATUS_NO_SUCH_DEVICE;
  hw::UartCard& card = *cards_[action.card].model;
  if (action.kind == MachineAction::Kind::Unplug) {
    return card.Unplug(action.port - 1) ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
  }
  card.Plug(action.port - 1, MakeDevice(*action.device));
  return STATUS_SUCCESS;
}

Machine::SerialDevices Machine::TakeSerialDevices() {
  SerialDevices devices;
  for (size_t i = 0; i < cards_.size(); ++i)
    for (unsigned n = 0; n < hw::UartCard::kMaxPorts; ++n)
      if (auto device = cards_[i].model->Unplug(n)) devices[{i, n}] = std::move(device);
  return devices;
}

hw::CardModelConfig Machine::PlaceCard(const CardConfig& card) {
  const unsigned k = static_cast<unsigned>(cards_.size());
  hw::CardModelConfig model;
  model.vendor_id = card.vendor_id;
  model.device_id = card.device_id;
  model.subsystem = card.subsystem;
  model.revision = card.revision;
  model.optional_port_mask = card.optional_port_mask;
  model.absent_uarts = card.absent_uarts;
  model.unavailable_blocks = card.unavailable_blocks;
  model.uart_count = card.uart_count;
  model.interrupt_line = card.interrupt_line.value_or(static_cast<UCHAR>(0x0B + k % 4));
  if (card.command) model.command = *card.command;
  model.bars = card.bars.value_or(DefaultBars(k));
  if (card.location) {
    model.location = *card.location;
    return model;
  }
  // A root port of its own whose windows are exactly the card's blocks.
  uint32_t bus = next_bus_++;
  uint32_t io = model.bars[5] & 0xF000;
  uint32_t memory = model.bars[1] & 0xFFF00000u;
  hw::BridgeConfig port;
  port.location = {0, next_root_port_++, 0};
  port.secondary_bus = port.subordinate_bus = static_cast<uint8_t>(bus);
  port.io_base = port.io_limit = static_cast<uint8_t>(io >> 8);
  port.memory_base = port.memory_limit = static_cast<uint16_t>(memory >> 16);
  hardware_->AddBridge(port);
  model.location = {bus, 0, 0};
  return model;
}

DEVICE_OBJECT* Machine::InstallCard(const CardConfig& card) {
  hw::UartCard* model = hardware_->AddCard(PlaceCard(card));
  if (!model) return nullptr;
  DEVICE_OBJECT* pdo = bus_->CreatePdo(model->location());
  cards_.push_back(MachineCard{model, pdo});
  return pdo;
}

DEVICE_OBJECT* Machine::PlugCard(const CardConfig& card) {
  DEVICE_OBJECT* pdo = InstallCard(card);
  if (pdo) kernel_->pnp->DeviceArrived(pdo);
  return pdo;
}

NTSTATUS Machine::PullCard(size_t i) {
  MachineCard& card = cards_.at(i);
  card.model->set_present(false);
  DeviceNode* node = card.pdo && kernel_->io->IsLiveDevice(card.pdo) ? kernel_->pnp->NodeOf(card.pdo) : nullptr;
  if (!node) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = kernel_->pnp->SurpriseRemove(node);
  if (!kernel_->io->IsLiveDevice(card.pdo)) card.pdo = nullptr;
  return status;
}

const char* MachineActionName(MachineAction::Kind kind) {
  switch (kind) {
    case MachineAction::Kind::Boot: return "boot";
    case MachineAction::Kind::Disable: return "disable";
    case MachineAction::Kind::Enable: return "enable";
    case MachineAction::Kind::Remove: return "remove";
    case MachineAction::Kind::SurpriseRemove: return "surprise_remove";
    case MachineAction::Kind::Rebalance: return "rebalance";
    case MachineAction::Kind::Eject: return "eject";
    case MachineAction::Kind::Plug: return "plug";
    case MachineAction::Kind::Unplug: return "unplug";
    case MachineAction::Kind::Rescan: return "rescan";
    case MachineAction::Kind::Reboot: return "reboot";
    case MachineAction::Kind::Serial: return "serial";
    case MachineAction::Kind::Sleep: return "sleep";
    case MachineAction::Kind::Hibernate: return "hibernate";
    case MachineAction::Kind::Wake: return "wake";
    case MachineAction::Kind::Shutdown: return "shutdown";
  }
  return "?";
}

bool ActsOnDevice(MachineAction::Kind kind) {
  using Kind = MachineAction::Kind;
  return kind != Kind::Boot && kind != Kind::Shutdown && kind != Kind::Reboot && kind != Kind::Serial &&
         kind != Kind::Sleep && kind != Kind::Hibernate && kind != Kind::Wake;
}

std::optional<MachineAction::Kind> MachineActionKind(const std::string& name) {
  for (int k = 0; k <= static_cast<int>(MachineAction::Kind::Shutdown); ++k) {
    auto kind = static_cast<MachineAction::Kind>(k);
    if (name == MachineActionName(kind)) return kind;
  }
  return std::nullopt;
}

void Machine::DelayUntil(LONGLONG time) {
  LONGLONG now = kernel_->Now();
  if (time <= now) return;
  LARGE_INTEGER interval;
  interval.QuadPart = -(time - now);  // relative
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

DeviceNode* Machine::CardNode(size_t i) const {
  if (i >= cards_.size()) return nullptr;
  DEVICE_OBJECT* pdo = cards_[i].pdo;
  if (!pdo || !kernel_->io->IsLiveDevice(pdo)) return nullptr;
  DeviceNode* node = kernel_->pnp->NodeOf(pdo);
  return node && !node->Gone() ? node : nullptr;
}

DeviceNode* Machine::PortNode(size_t i, unsigned port) const {
  DeviceNode* card = CardNode(i);
  if (!card) return nullptr;
  char id[16];
  std::snprintf(id, sizeof id, "*KVRCOM%02u", port);
  for (DeviceNode* child : card->children)
    if (!child->Gone() && std::find(child->hardware_ids.begin(), child->hardware_ids.end(), id) != child->hardware_ids.end())
      return child;
  return nullptr;
}

ActionResult Machine::Perform(const MachineAction& action) {
  ActionResult result;
  result.time = kernel_->Now();
  result.action = action;
  result.status = STATUS_SUCCESS;
  using Kind = MachineAction::Kind;
  if (action.kind == Kind::Boot) {
    Boot();
    return result;
  }
  if (action.kind == Kind::Shutdown) {
    PowerDown();
    Shutdown();
    return result;
  }
  if (action.kind == Kind::Reboot) {
    Reboot();
    return result;
  }
  if (action.kind == Kind::Sleep || action.kind == Kind::Hibernate) {
    result.status = Sleep(action.kind == Kind::Hibernate ? PowerSystemHibernate : action.sleep_state);
    return result;
  }
  if (action.kind == Kind::Wake) {
    result.status = Wake();
    return result;
  }
  if (action.kind == Kind::Serial) {
    result.serial = RunSerialSession(app_, *action.serial);
    result.status = result.serial->status();
    kernel_->scheduler->Settle();
    return result;
  }
  if (action.kind == Kind::Plug || action.kind == Kind::Unplug) {
    result.status = PlugOrUnplug(action);
    kernel_->scheduler->Settle();
    return result;
  }
  DeviceNode* node = action.port ? PortNode(action.card, action.port) : CardNode(action.card);
  if (node) result.target = node->InstancePath();
  PnpManager& pnp = *kernel_->pnp;
  if (action.kind == Kind::SurpriseRemove && !action.port && action.card < cards_.size()) {
    result.status = PullCard(action.card);
  } else if (!node) {
    result.status = STATUS_NO_SUCH_DEVICE;
  } else {
    switch (action.kind) {
      case Kind::Disable: result.status = pnp.DisableDevice(node); break;
      case Kind::Enable: result.status = pnp.EnableDevice(node); break;
      case Kind::Remove: result.status = pnp.RemoveDevice(node); break;
      case Kind::SurpriseRemove: result.status = pnp.SurpriseRemove(node); break;
      case Kind::Rebalance: result.status = pnp.Rebalance(node, action.move_resources); break;
      case Kind::Eject: result.status = pnp.Eject(node); break;
      case Kind::Rescan: pnp.EnumerateNow(node); break;
      default: break;
    }
  }
  // Let the enumerations and work the action caused run out.
  pnp.WaitIdle();
  kernel_->scheduler->Settle();
  for (MachineCard& card : cards_)
    if (card.pdo && !kernel_->io->IsLiveDevice(card.pdo)) card.pdo = nullptr;
  return result;
}

std::vector<ActionResult> Machine::Play() {
  std::vector<ActionResult> results;
  const auto& actions = config_.actions;
  const bool boots = std::any_of(actions.begin(), actions.end(),
                                 [](const MachineAction& a) { return a.kind == MachineAction::Kind::Boot; });
  if (!boots) results.push_back(Perform(MachineAction{}));
  for (const MachineAction& action : actions) {
    DelayUntil(action.time);
    if (action.kind == MachineAction::Kind::Shutdown) {
      // The report is taken now; the shutdown itself is Shutdown's.
      shutdown_due_ = true;
      break;
    }
    results.push_back(Perform(action));
  }
  return results;
}

void Machine::Shutdown() {
  if (shut_down_) return;
  if (shutdown_due_) PowerDown();
  if (powered_down_) {
    // Off since the system shutdown: nothing is removed or unloaded, so
    // nothing is counted as left behind.
    shut_down_ = true;
    kernel_->scheduler->StopOtherThreads();
    return;
  }
  PowerOff();
}

NTSTATUS Machine::Sleep(SYSTEM_POWER_STATE state) {
  const POWER_ACTION action = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
  NTSTATUS status = kernel_->power->SetSystemState(state, action);
  kernel_->scheduler->Settle();
  return status;
}

NTSTATUS Machine::Wake() {
  NTSTATUS status = kernel_->power->SetSystemState(PowerSystemWorking, PowerActionNone);
  kernel_->scheduler->Settle();
  return status;
}

void Machine::PowerDown() {
  if (powered_down_ || shut_down_) return;
  kernel_->power->SetSystemState(PowerSystemShutdown, PowerActionShutdownOff);
  kernel_->scheduler->Settle();
  powered_down_ = true;
}

void Machine::PowerOff() {
  shut_down_ = true;
  kernel_->scheduler->Settle();
  kernel_->pnp->RemoveAll();
  for (MachineCard& card : cards_) card.pdo = nullptr;
  for (const auto& driver : kernel_->io->drivers())
    if (driver->image) kernel_->io->UnloadDriver(driver.get());
  kernel_->scheduler->StopOtherThreads();
  kernel_->io->CheckShutdown();
  kernel_->pool->ReportAllLeaks("at shutdown");
  for (const auto& [handle, entry] : kernel_->handles->All()) {
    kernel_->verifier->Report("handle-leak", ImageName(entry.owner),
                              entry.object->TypeName() + " handle (" + entry.object->Describe() + ") still open at shutdown");
  }
  for (const auto& [address, mapping] : hardware_->mappings().live()) {
    kernel_->verifier->Report("mapping-leak", mapping.owner,
                              "I/O mapping of " + std::to_string(mapping.length) + " bytes at physical " +
                                  Hex(static_cast<ULONG_PTR>(mapping.physical)) + " never unmapped");
  }
}

}  // namespace sim
