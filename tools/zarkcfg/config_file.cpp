#include "tools/zarkcfg/config_file.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "tools/zarkcfg/commands.h"

namespace zarkcfg {

namespace {

constexpr uint8_t kBusMask = 0x1F;
constexpr uint8_t kFifoBit = 0x40;
constexpr uint8_t kActiveBit = 0x80;
constexpr size_t kFlagsByte = 13;
constexpr size_t kFifoByte = 14;

uint32_t FieldNumber(const std::string& text, uint32_t high, const std::string& what) {
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (text.empty() || used != text.size() || text[0] == '-' || text[0] == '+')
    throw UsageError(what + ": \"" + text + "\" is not a number");
  if (value > high) throw UsageError(what + " " + text + " does not fit (at most " + std::to_string(high) + ")");
  return static_cast<uint32_t>(value);
}

}  // namespace

ConfigFile ReadConfigFile(const std::string& path) {
  ConfigFile file;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::ifstream probe(path);
    if (probe.good()) throw std::runtime_error("cannot read " + path);
    return file;  // no file: all records zero
  }
  in.read(reinterpret_cast<char*>(file.bytes.data()), static_cast<std::streamsize>(file.bytes.size()));
  return file;
}

void WriteConfigFile(const std::string& path, const ConfigFile& file) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.bytes.data()), static_cast<std::streamsize>(file.bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

nlohmann::json DescribeConfigFile(const ConfigFile& file) {
  nlohmann::json records = nlohmann::json::array();
  for (size_t r = 0; r < kConfigRecords; ++r) {
    const uint8_t* record = &file.bytes[r * kConfigRecordSize];
    bool empty = true;
    for (size_t b = 0; b < kConfigRecordSize; ++b) empty = empty && record[b] == 0;
    if (empty) continue;
    nlohmann::json com = nlohmann::json::array();
    for (size_t slot = 0; slot < 12; ++slot) com.push_back(record[1 + slot]);
    records.push_back({{"record", r},
                       {"bus", record[0] & kBusMask},
                       {"active", (record[0] & kActiveBit) != 0},
                       {"fifo", (record[0] & kFifoBit) != 0},
                       {"com_numbers", com},
                       {"flags", record[kFlagsByte]},
                       {"fifo_setting", record[kFifoByte]}});
  }
  return {{"records", records}, {"probe", (file.bytes[kFlagsByte] & 0x01) != 0}};
}

std::string ConfigFileText(const ConfigFile& file) {
  const nlohmann::json described = DescribeConfigFile(file);
  std::string text = std::string("UART probing ") + (described["probe"].get<bool>() ? "on" : "off") + "\n";
  for (const nlohmann::json& record : described["records"]) {
    char line[160];
    std::snprintf(line, sizeof line, "record %2d: bus %2d%s%s, flags 0x%02X, FIFO setting %d, COM numbers",
                  record["record"].get<int>(), record["bus"].get<int>(),
                  record["active"].get<bool>() ? ", active" : "", record["fifo"].get<bool>() ? ", FIFO" : "",
                  record["flags"].get<int>(), record["fifo_setting"].get<int>());
    text += line;
    for (const nlohmann::json& com : record["com_numbers"]) text += " " + std::to_string(com.get<int>());
    text += "\n";
  }
  return text;
}

void SetConfigField(ConfigFile* file, const std::string& record_text, const std::string& assignment) {
  const uint32_t r = FieldNumber(record_text, kConfigRecords - 1, "record");
  const size_t equals = assignment.find('=');
  if (equals == std::string::npos) throw UsageError("\"" + assignment + "\": NAME=VALUE expected");
  const std::string name = assignment.substr(0, equals);
  const std::string value = assignment.substr(equals + 1);
  uint8_t* record = &file->bytes[r * kConfigRecordSize];
  if (name == "bus") {
    record[0] = static_cast<uint8_t>((record[0] & ~kBusMask) | FieldNumber(value, 31, name));
  } else if (name == "active" || name == "fifo") {
    const uint8_t bit = name == "active" ? kActiveBit : kFifoBit;
    record[0] = static_cast<uint8_t>(FieldNumber(value, 1, name) ? record[0] | bit : record[0] & ~bit);
  } else if (name == "fifo_setting") {
    record[kFifoByte] = static_cast<uint8_t>(FieldNumber(value, 255, name));
  } else if (name == "flags") {
    record[kFlagsByte] = static_cast<uint8_t>(FieldNumber(value, 255, name));
  } else if (name.rfind("com", 0) == 0 && name.size() > 3) {
    const uint32_t slot = FieldNumber(name.substr(3), 12, "port slot");
    if (slot == 0) throw UsageError("port slots are com1 to com12");
    record[slot] = static_cast<uint8_t>(FieldNumber(value, 255, name));
  } else {
    throw UsageError("unknown field \"" + name + "\" (bus, active, fifo, fifo_setting, flags, com1 to com12)");
  }
}

}  // namespace zarkcfg
