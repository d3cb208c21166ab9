// What a person looks at after a boot: the device stacks with their names
// and drivers, the symbolic links, and the verifier's findings. Taken while
// the machine runs, rendered by the tools as a tree or as JSON.
#pragma once

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

struct MachineSnapshot {
  std::vector<StackSnapshot> stacks;
  std::vector<DeviceSnapshot> other_devices;  // devices in no Plug and Play stack
  std::vector<LinkSnapshot> links;
  std::vector<std::string> loaded_drivers;
  long long virtual_time_us = 0;
};

MachineSnapshot TakeSnapshot(Machine& machine);

}  // namespace sim
