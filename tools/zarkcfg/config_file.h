// The card configuration file ("ZARKCARD.cfg"): 27 records of 16 bytes the
// card driver reads at each bring-up. zarkcfg shows it and sets its fields,
// refusing values the format cannot hold.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zarkcfg {

constexpr size_t kConfigRecords = 27;
constexpr size_t kConfigRecordSize = 16;

struct ConfigFile {
  std::array<uint8_t, kConfigRecords * kConfigRecordSize> bytes{};
};

// The file's first 432 bytes (a shorter file reads as zeros past its end; a
// missing one as all zeros). Throws std::runtime_error when it cannot be read.
ConfigFile ReadConfigFile(const std::string& path);
// Writes the 432 bytes; throws std::runtime_error on failure.
void WriteConfigFile(const std::string& path, const ConfigFile& file);

// Every record that is not all zeros, by its fields.
nlohmann::json DescribeConfigFile(const ConfigFile& file);
std::string ConfigFileText(const ConfigFile& file);

// Sets one field of record r (0 to 26) from "NAME=VALUE": bus (0 to 31),
// active (0 or 1), fifo (0 or 1: FifoSetting applies), fifo_setting (0 to
// 255), flags (0 to 255; read from record 0 only), com1 to com12 (0 to 255).
// Throws UsageError for anything else.
void SetConfigField(ConfigFile* file, const std::string& record, const std::string& assignment);

}  // namespace zarkcfg
