// What a person looks at after a boot: the device stacks with their names
// and drivers, the symbolic links, the cards with their port blocks, the
// COM number table, the hardware access counts and the verifier's findings.
// Taken while the machine runs, rendered by the tools as a tree or as JSON.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/verifier.h"

namespace sim {

class Machine;

struct DeviceSnapshot {
  std::string name;    // "\Device\ZARKLINK_0", or "" for an unnamed device
  std::string driver;  // service name of the owning driver
  std::string kind;    // "PDO", "FDO" or "filter"
  std::vector<std::string> flags;
};

struct StackSnapshot {
  std::string instance_path;
  std::string state;
  std::vector<std::string> hardware_ids;
  std::vector<DeviceSnapshot> devices;  // bottom (PDO) first
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

struct CardSnapshot {
  std::string location;  // "01:00.0"
  uint16_t vendor_id = 0;
  uint16_t device_id = 0;
  std::string instance_path;  // "" when the device has gone
  std::optional<CardDriverState> driver;  // unset when the card driver has no device for it
  std::vector<std::array<uint8_t, 8>> port_blocks;  // the twelve blocks at 0x40
};

// One used entry of "ComNumConfig".
struct ComNumberSnapshot {
  unsigned index = 0;
  uint16_t address = 0;
  uint8_t com_number = 0;
  uint8_t applied = 0;
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
  std::vector<StackSnapshot> stacks;
  std::vector<DeviceSnapshot> other_devices;  // devices in no Plug and Play stack
  std::vector<LinkSnapshot> links;
  std::vector<std::string> loaded_drivers;
  long long virtual_time_us = 0;
  std::vector<CardSnapshot> cards;
  bool com_num_config_present = false;
  std::vector<ComNumberSnapshot> com_num_config;
  HardwareCounts hardware;
};

// Where the card driver keeps the COM number table.
inline constexpr char kComNumConfigKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110";
inline constexpr char kComNumConfigValue[] = "ComNumConfig";

MachineSnapshot TakeSnapshot(Machine& machine);
// The used entries of a "ComNumConfig" value (four zero bytes are free).
std::vector<ComNumberSnapshot> ParseComNumConfig(const std::vector<uint8_t>& bytes);

}  // namespace sim
