// A simulated machine: the kernel model, the PCI hardware (host bridge,
// bridges, cards), the drivers bound to them, and the files and registry
// values present before boot. Constructing a Machine makes the calling
// thread the machine's first simulated thread; everything the caller does
// between Boot() and Shutdown() runs inside the machine.
#pragma once

#include <array>
#include <map>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/hw/devices/device_config.h"
#include "sim/hw/hardware.h"
#include "sim/hw/pci_bus_driver.h"
#include "sim/kernel/application.h"
#include "sim/kernel/kernel.h"
#include "sim/machine/serial_session.h"

namespace sim {

struct DeviceNode;

// One card. Unset placement puts the card at device 0 of a bus of its own,
// behind a root port of its own at bus 0 whose windows hold the card's BARs;
// unset BARs give each card its own 4 KiB I/O block and 1 MiB memory block.
struct CardConfig {
  USHORT device_id = 0x1104;
  ULONG subsystem = 0;  // subsystem ID << 16 | subsystem vendor ID (register 0x2C)
  USHORT vendor_id = 0x1C29;
  UCHAR revision = 0;
  UCHAR optional_port_mask = 0x3F;  // register 0xF3
  USHORT absent_uarts = 0;          // bit n: UART n not fitted
  USHORT unavailable_blocks = 0;    // bit n: block n marked "not available"
  int uart_count = -1;              // -1: as the Device ID says
  std::optional<UCHAR> interrupt_line;
  std::optional<USHORT> command;
  std::optional<hw::PciLocation> location;
  std::optional<std::array<uint32_t, 6>> bars;
  // The serial devices in its ports at power-on, by port (1 to 12).
  std::map<unsigned, hw::AttachedDeviceConfig> devices;
};

// A user action at a virtual time (100 ns units since power-on). Actions
// run in order; one whose time has passed runs at once.
struct MachineAction {
  enum class Kind {
    Boot,            // bring up the cards of the configuration
    Disable,         // query-remove, remove; the device stays, disabled
    Enable,          // build its stack and start it again
    Remove,          // query-remove, remove; a veto leaves it running
    SurpriseRemove,  // pull the card: its hardware answers nothing
    Rebalance,       // query-stop, stop, start with resources assigned anew
    Eject,           // query-remove, eject, remove
    Plug,            // plug a serial device into a port of a card
    Unplug,          // pull the serial device out of a port
    Rescan,          // "scan for hardware changes": the device's bus relations asked for again
    Reboot,          // power off and boot again; registry and files persist
    Serial,          // an application talks to a COM port (see SerialSession)
    Sleep,           // the system sleeps (S1 or S3: sleep_state)
    Hibernate,       // the system hibernates (S4)
    Wake,            // the system returns to S0
    Shutdown,        // the machine shuts down (its report is taken just before)
  };
  LONGLONG time = 0;
  Kind kind = Kind::Boot;
  size_t card = 0;
  unsigned port = 0;            // 0: the card itself; 1 to 12: that port's device
  bool move_resources = true;   // rebalance: the old ranges stay taken meanwhile
  std::optional<SerialSession> serial;  // serial: what the application does
  std::optional<hw::AttachedDeviceConfig> device;  // plug: the device
  SYSTEM_POWER_STATE sleep_state = PowerSystemSleeping3;  // sleep: S1 or S3
};

// The scenario file's name of each kind ("surprise_remove").
const char* MachineActionName(MachineAction::Kind kind);
std::optional<MachineAction::Kind> MachineActionKind(const std::string& name);
// False for the actions on the whole machine (boot, reboot, shutdown,
// serial, sleep, hibernate, wake).
bool ActsOnDevice(MachineAction::Kind kind);

// What became of an action: the Plug and Play manager's status (a driver's
// veto, STATUS_NO_SUCH_DEVICE for a device that is not there).
struct ActionResult {
  LONGLONG time = 0;  // when it ran
  MachineAction action;
  std::string target;  // the device's instance path, or "" for the machine
  NTSTATUS status = 0;
  std::optional<SerialSessionResult> serial;  // serial: each step and the bytes read
};

// A registry value present before boot.
struct RegistryPreset {
  std::string key;  // "\Registry\Machine\..."
  std::string name;
  ULONG type = 3;   // REG_BINARY
  std::vector<uint8_t> data;
};

struct MachineConfig {
  uint64_t seed = 1;
  int processors = 2;              // virtual processors
  PreemptionOptions preemption;    // how eagerly kernel entries switch contexts
  ImageOptions images;             // the host-built drivers or the Windows images
  hw::HostBridgeConfig host_bridge;
  std::vector<hw::BridgeConfig> bridges;
  std::vector<CardConfig> cards;
  // "\SystemRoot\SysWOW64\ZARKCARD.cfg": unset means no file, an empty
  // vector an empty file.
  std::optional<std::vector<uint8_t>> config_file;
  std::vector<RegistryPreset> registry;
  // The bus driver fails this configuration request (1-based; 0: none).
  unsigned fail_config_request = 0;
  // Each port's upper filter is the bench's PortHandOff, whose knob can hand
  // the serial driver wrong resources, in place of zarkenum.
  bool stand_in_hand_off = false;
  // The PCI bus driver writes a function's saved header back when it
  // returns to D0 after losing power; false leaves the header cleared.
  bool pci_restores_header = true;
  // Run by Machine::Play in order; without a boot action the machine boots
  // at time 0 first.
  std::vector<MachineAction> actions;
};

// Where the card driver's configuration file lives.
inline constexpr char kCardConfigFilePath[] = "\\SystemRoot\\SysWOW64\\ZARKCARD.cfg";

// A card in the machine: its model and its physical device object.
struct MachineCard {
  hw::UartCard* model = nullptr;
  DEVICE_OBJECT* pdo = nullptr;  // null once the device is gone
};

class Machine {
 public:
  explicit Machine(const MachineConfig& config = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Binds the drivers and brings up every card of the configuration.
  void Boot();
  // Adds a card while the machine runs (hot plug); returns its PDO, or null
  // when its location is taken.
  DEVICE_OBJECT* PlugCard(const CardConfig& card);
  // Puts a card on the bus and creates its PDO without reporting it to the
  // Plug and Play manager (for tests that report it themselves).
  DEVICE_OBJECT* InstallCard(const CardConfig& card);
  // Pulls card i out of its slot: from now on it answers nothing (its
  // configuration space and UARTs read all ones), and the Plug and Play
  // manager learns of it as a surprise removal.
  NTSTATUS PullCard(size_t i);
  // Boots and runs the configuration's actions up to its shutdown action,
  // delaying the calling thread in virtual time until each one is due. The
  // caller takes its report and then calls Shutdown (which, after a
  // shutdown action, is the system shutdown: PowerDown).
  std::vector<ActionResult> Play();
  ActionResult Perform(const MachineAction& action);
  // Delays the calling thread until the absolute virtual time (at once when
  // it has passed).
  void DelayUntil(LONGLONG time);
  // The device node of card i, or of port n (1 to 12) of card i; null when
  // there is none (never reported, or removed).
  DeviceNode* CardNode(size_t i) const;
  DeviceNode* PortNode(size_t i, unsigned port) const;

  // Removes every device, unloads every driver, stops every thread and
  // reports what was left behind. Safe to call twice. After a system
  // shutdown (PowerDown) it only stops what still runs: the machine is off.
  void Shutdown();
  // System power: sleep (S1, S3), hibernate (S4), back to S0, and the
  // shutdown Windows does at power-off (S5, then off, with no device
  // removed and no driver unloaded). Each returns the power manager's
  // status (a driver's refusal of the query leaves the machine running).
  // From S2 and deeper the hardware loses power: the cards' registers and
  // UARTs reset; bridges keep their settings.
  NTSTATUS Sleep(SYSTEM_POWER_STATE state);
  NTSTATUS Wake();
  void PowerDown();
  bool powered_down() const { return powered_down_; }
  // Powers the machine off and boots it again: the registry (but for its
  // volatile keys and the HARDWARE hive), the files, the serial devices
  // plugged into the ports and the verifier's findings persist; the
  // hardware starts from power-on and the drivers load afresh.
  void Reboot();

  Kernel& kernel() { return *kernel_; }
  hw::Hardware& hardware() { return *hardware_; }
  Application& app() { return app_; }
  hw::PciBusDriver& bus() { return *bus_; }
  const std::vector<MachineCard>& cards() const { return cards_; }
  const MachineConfig& config() const { return config_; }
  const Verifier& verifier() const { return *kernel_->verifier; }
  bool shut_down() const { return shut_down_; }

 private:
  struct Persistent;
  using SerialDevices = std::map<std::pair<size_t, unsigned>, std::unique_ptr<hw::SerialDevice>>;

  hw::CardModelConfig PlaceCard(const CardConfig& card);
  void PowerOn(Persistent* kept);
  // Ends the boot as a shutdown does: removes the devices, unloads the
  // drivers and reports what they left behind.
  void PowerOff();
  // Unplugs every card's serial devices, keyed by card and UART.
  SerialDevices TakeSerialDevices();
  // Boot with these devices plugged in before the cards come up; without,
  // the configuration's own.
  void BootWith(SerialDevices devices);
  // A device model from its configuration; throws std::invalid_argument for
  // a configuration no device can have.
  static std::unique_ptr<hw::SerialDevice> MakeDevice(const hw::AttachedDeviceConfig& config);
  NTSTATUS PlugOrUnplug(const MachineAction& action);

  MachineConfig config_;
  std::unique_ptr<Kernel> kernel_;
  std::unique_ptr<hw::Hardware> hardware_;
  std::unique_ptr<hw::PciBusDriver> bus_;
  Application app_;
  std::vector<MachineCard> cards_;
  unsigned next_root_port_ = 1;
  uint32_t next_bus_ = 1;
  bool shut_down_ = false;
  bool powered_down_ = false;
  bool shutdown_due_ = false;  // Play reached the configuration's shutdown action
};

}  // namespace sim
