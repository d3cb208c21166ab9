// What the drivers did to the hardware, for reports and benchmarks.
#pragma once

#include <cstdint>

namespace sim::hw {

// The ways software reaches configuration space.
enum class ConfigPath {
  BusRequest,    // IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG to the PCI bus driver
  BusInterface,  // GetBusData / SetBusData of GUID_BUS_INTERFACE_STANDARD
  LegacyPorts,   // mechanism #1: I/O ports 0xCF8 / 0xCFC
  Ecam,          // memory-mapped configuration space
  Hal,           // HalGetBusDataByOffset / HalSetBusDataByOffset
  Model,         // the simulator itself (reports, tests): not counted
};
constexpr int kCountedConfigPaths = 5;
const char* ConfigPathName(ConfigPath path);

struct HwCounters {
  uint64_t config_reads[kCountedConfigPaths] = {};
  uint64_t config_writes[kCountedConfigPaths] = {};
  uint64_t port_reads = 0;   // IN instructions, 0xCF8/0xCFC included
  uint64_t port_writes = 0;  // OUT instructions
  uint64_t register_reads = 0;   // READ_REGISTER_* through a mapping
  uint64_t register_writes = 0;  // WRITE_REGISTER_*
  uint64_t mappings = 0;         // MmMapIoSpace calls that returned a mapping

  void CountConfig(ConfigPath path, bool write) {
    if (path == ConfigPath::Model) return;
    (write ? config_writes : config_reads)[static_cast<int>(path)]++;
  }
  uint64_t ConfigAccesses(ConfigPath path) const {
    int i = static_cast<int>(path);
    return i < kCountedConfigPaths ? config_reads[i] + config_writes[i] : 0;
  }
};

}  // namespace sim::hw
