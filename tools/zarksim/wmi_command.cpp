#include "tools/zarksim/wmi_command.h"

#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "sim/kernel/status_names.h"
#include "sim/kernel/utf16_text.h"
#include "sim/kernel/wmi/wmi_service.h"

namespace zarksim {

namespace {

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  std::string text;
  char byte[4];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    text += (text.empty() ? "" : " ") + std::string(byte);
  }
  return text;
}

nlohmann::json Describe(const sim::WmiResult& result) {
  nlohmann::json j;
  j["status"] = sim::StatusName(result.status);
  j["instance_name"] = sim::Utf16ToUtf8(result.instance_name);
  j["wnode_size"] = result.information;
  if (result.status == STATUS_BUFFER_TOO_SMALL) j["size_needed"] = result.size_needed;
  if (NT_SUCCESS(result.status) && !result.data.empty()) {
    j["data"] = HexBytes(result.data);
    if (result.data.size() == sizeof(uint32_t)) {
      uint32_t value = 0;
      std::memcpy(&value, result.data.data(), sizeof value);
      j["value"] = value;
    }
  }
  return j;
}

void PrintTree(const std::string& what, const nlohmann::json& j, std::ostream& out) {
  out << what << ": " << j["status"].get<std::string>() << "\n";
  if (!j["instance_name"].get<std::string>().empty())
    out << "  instance: " << j["instance_name"].get<std::string>() << "\n";
  out << "  WNODE: " << j["wnode_size"].get<uint64_t>() << " bytes\n";
  if (j.contains("data")) out << "  data: " << j["data"].get<std::string>() << "\n";
  if (j.contains("value")) out << "  value: " << j["value"].get<uint32_t>() << "\n";
}

}  // namespace

int RunWmiCommand(const sim::MachineConfig& config, const WmiCommand& command, std::ostream& out,
                  std::ostream& err) {
  const std::optional<GUID> guid = sim::ParseGuid(command.guid);
  if (!guid) {
    err << "zarksim: \"" << command.guid << "\" is not a GUID (e.g. {a0f95fd4-a587-11d2-bb3a-00c04fa330a7})\n";
    return 2;
  }
  sim::Machine machine(config);
  machine.Play();
  sim::WmiService wmi;
  nlohmann::json report;
  report["guid"] = sim::FormatGuid(*guid);
  report["instance"] = command.instance;
  NTSTATUS status = STATUS_SUCCESS;
  if (command.value) {
    std::vector<uint8_t> data(sizeof(uint32_t));
    std::memcpy(data.data(), &*command.value, data.size());
    const sim::WmiResult set = wmi.SetSingleInstance(*guid, command.instance, data);
    report["set"] = Describe(set);
    report["set"]["value"] = *command.value;
    status = set.status;
  }
  // A set is followed by a query, so the value the block holds now shows.
  const sim::WmiResult query = wmi.QuerySingleInstance(*guid, command.instance);
  report["query"] = Describe(query);
  if (NT_SUCCESS(status)) status = query.status;
  machine.Shutdown();
  const auto& findings = machine.verifier().findings();
  report["findings"] = findings.size();

  if (command.json) {
    out << report.dump(2) << "\n";
  } else {
    out << "WMI block " << report["guid"].get<std::string>() << ", instance " << command.instance << "\n";
    if (report.contains("set")) PrintTree("set " + std::to_string(*command.value), report["set"], out);
    PrintTree("query", report["query"], out);
    if (!findings.empty()) out << machine.verifier().Summary();
  }
  if (!findings.empty()) return 1;
  return NT_SUCCESS(status) ? 0 : 3;
}

}  // namespace zarksim
