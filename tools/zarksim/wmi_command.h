// zarksim wmi: boots the machine, runs its scenario, then reads or writes a
// WMI data block by GUID through the machine's WMI service and prints what
// came back in the WNODE.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "sim/machine/machine.h"

namespace zarksim {

struct WmiCommand {
  std::string guid;                // "{a0f95fd4-a587-11d2-bb3a-00c04fa330a7}"
  std::optional<uint32_t> value;   // set: the 32-bit value to write; unset: query
  unsigned instance = 0;           // index among the block's instances, by name
  bool json = false;
};

// Exit status: 0 when the request succeeded and the verifier found nothing,
// 1 for verifier findings, 2 for a malformed GUID, 3 when WMI refused the
// request (its status is printed).
int RunWmiCommand(const sim::MachineConfig& config, const WmiCommand& command, std::ostream& out,
                  std::ostream& err);

}  // namespace zarksim
