// What a person looks at after a boot: the device stacks with their names
// and drivers, the symbolic links, the cards with their port blocks, the
// COM number table, the hardware access counts and the verifier's findings.
// Taken while the machine runs, rendered by the tools as a tree or as JSON.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/verifier.h"
#include "sim/machine/machine.h"

namespace sim {

struct DeviceNode;

struct DeviceSnapshot {
  std::string name;    // "\Device\ZARKLINK_0", or "" for an unnamed device
  std::string driver;  // service name of the owning driver
  std::string kind;    // "PDO", "FDO" or "filter"
  std::vector<std::string> flags;
};

// A value of a device's "Device Parameters" key.
struct RegistryValueSnapshot {
  std::string name;
  std::string type;  // "REG_DWORD", "REG_SZ", ...
  ULONG type_code = 0;
  std::vector<uint8_t> data;
};

// What a port device hands out through the port resource interface: its
// I/O window and interrupt as readable lines (DescribeResources).
struct PortResourcesSnapshot {
  NTSTATUS status = 0;  // of the interface query, or of GetPortResources
  std::vector<std::string> raw;
  std::vector<std::string> translated;
};

// The device the port enumerator reports on a port: its identities (as
// the identification string or the mouse table gave them), the child's
// node and driver, and how many probes the port has had.
struct DetectedChildSnapshot {
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
  std::string device_id;
  std::string description;
  std::string serial_number;
  std::string revision;
  std::string instance_path;  // "" while the Plug and Play manager has no node for it
  std::string driver;         // the child's function driver, "" for none
  const DEVICE_OBJECT* pdo = nullptr;
};

// One probe of a port, in virtual time (100 ns units since power-on).
struct ProbeTimesSnapshot {
  LONGLONG start = 0;  // the probe's open of the port
  LONGLONG end = -1;   // its close; -1: not closed (yet)
  bool opened = false; // false: the port could not be opened (an application held it)
};

struct PortDetectionSnapshot {
  unsigned probes = 0;      // probes started on the port
  bool probing = false;     // one runs now
  std::optional<DetectedChildSnapshot> child;
  std::vector<ProbeTimesSnapshot> history;  // when followed (zarksim)
};

// One device node as Device Manager lists it, with its children.
struct DeviceNodeSnapshot {
  std::string instance_path;
  std::string state;  // "started", "stopped", "disabled", "no driver", "problem", ...
  std::optional<NTSTATUS> problem;  // the status that failed the node
  std::vector<std::string> hardware_ids;
  std::string service;                  // the bound function driver, "" for none
  std::vector<DeviceSnapshot> devices;  // the driver stack, bottom (PDO) first
  std::vector<std::string> raw_resources;         // assigned at start
  std::vector<std::string> translated_resources;
  std::vector<RegistryValueSnapshot> device_parameters;
  std::optional<PortResourcesSnapshot> port_resources;  // ports of a card only
  std::optional<PortDetectionSnapshot> detection;       // ports with the port enumerator only
  // A serial port's names: the COM link that opens its stack ("COM3", "" for
  // none), its "PortName" and its instance's "FriendlyName" (unset: absent).
  std::string com_name;
  std::optional<std::string> port_name;
  std::optional<std::string> friendly_name;
  std::vector<DeviceNodeSnapshot> children;
};

struct LinkSnapshot {
  std::string name;
  std::string target;
};

// What the card driver made of a card, read from its device extension.
struct CardDriverState {
  unsigned port_count = 0;
  uint32_t absent_port_mask = 0;
  bool pinned_card = false;
};

// A UART of a card as the hardware holds it, and the device in its port.
struct UartSnapshot {
  unsigned port = 0;          // 1 to 12
  std::string format;         // "9600 8N1" as programmed
  bool dtr = false, rts = false, out2 = false, loopback = false;
  std::string device;         // the kind of device in the port, "" for none
  std::string device_state;
  uint64_t transmitted = 0, received = 0, overruns = 0, framing_errors = 0, parity_errors = 0, interrupts = 0;
};

// One used entry of "ComNumConfig".
struct ComNumberSnapshot {
  unsigned index = 0;
  uint16_t address = 0;
  uint8_t com_number = 0;
  uint8_t applied = 0;
};

struct CardSnapshot {
  std::string location;  // "01:00.0"
  uint16_t vendor_id = 0;
  uint16_t device_id = 0;
  std::string instance_path;  // "" when the device has gone
  std::optional<CardDriverState> driver;  // unset when the card driver has no device for it
  std::vector<std::array<uint8_t, 8>> port_blocks;  // the twelve blocks at 0x40
  std::vector<UartSnapshot> uarts;                  // the fitted UARTs
  // "InitialFlag" of the card's device key (unset: absent or no REG_DWORD).
  std::optional<uint32_t> initial_flag;
  // The card's UART range: BAR5 & 0xFFFC, twelve UARTs of 8 bytes; and the
  // entries of "ComNumConfig" whose address lies in it.
  uint16_t uart_base = 0;
  std::vector<ComNumberSnapshot> com_numbers;
};

struct ConfigAccessCount {
  std::string path;  // "bus_request", "bus_interface", "legacy_ports", "ecam", "hal"
  uint64_t reads = 0;
  uint64_t writes = 0;
};

struct HardwareCounts {
  std::vector<ConfigAccessCount> config;
  uint64_t port_reads = 0;
  uint64_t port_writes = 0;
  uint64_t register_reads = 0;
  uint64_t register_writes = 0;
};

struct MachineSnapshot {
  std::vector<DeviceNodeSnapshot> device_tree;  // the root devices with their children
  std::vector<std::string> removed_devices;     // instance paths of nodes that left the tree
  std::vector<ActionResult> actions;            // what the scenario's actions did (filled by the runner)
  std::vector<DeviceSnapshot> other_devices;  // devices in no Plug and Play stack
  std::vector<LinkSnapshot> links;
  std::vector<std::string> loaded_drivers;
  long long virtual_time_us = 0;
  uint64_t seed = 0;
  int processors = 0;
  std::string images;            // "host" or "sys": which build of the drivers ran
  uint64_t kernel_entries = 0;   // kernel routines the drivers called
  uint64_t context_switches = 0;
  std::vector<CardSnapshot> cards;
  bool com_num_config_present = false;
  std::vector<ComNumberSnapshot> com_num_config;
  // "CompleteFlag" of the card driver's service key: bit n, a card on bus n
  // has sorted its COM names (unset: absent or no REG_DWORD).
  std::optional<uint32_t> complete_flag;
  HardwareCounts hardware;
  std::vector<unsigned> com_db;  // COM numbers the COM name database marks in use
  std::vector<LinkSnapshot> serial_comm;  // "SERIALCOMM": device name -> COM name
};

// Where serial port drivers list their ports.
inline constexpr char kSerialCommKey[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Where the card driver keeps the COM number table.
inline constexpr char kComNumConfigKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110";
inline constexpr char kComNumConfigValue[] = "ComNumConfig";
// Where the card driver keeps its naming flags: "InitialFlag" in each card's
// device key, "CompleteFlag" under its service key.
inline constexpr char kInitialFlagValue[] = "InitialFlag";
inline constexpr char kCompleteFlagKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZARKLINK";
inline constexpr char kCompleteFlagValue[] = "CompleteFlag";
// The card's UARTs: twelve of 8 bytes from BAR5 & 0xFFFC.
inline constexpr unsigned kCardUartRange = 12 * 8;

// Asks a node for what only a tool that knows the drivers can read (the
// port resource interface); unset leaves the field empty.
struct SnapshotProbes {
  std::function<std::optional<PortResourcesSnapshot>(Machine&, DeviceNode&)> port_resources;
  std::function<std::optional<PortDetectionSnapshot>(Machine&, DeviceNode&)> detection;
};

MachineSnapshot TakeSnapshot(Machine& machine, const SnapshotProbes& probes = {});
// The name of a registry value type ("REG_DWORD").
std::string RegistryTypeName(ULONG type);
// The used entries of a "ComNumConfig" value (four zero bytes are free).
std::vector<ComNumberSnapshot> ParseComNumConfig(const std::vector<uint8_t>& bytes);

}  // namespace sim
