// NTSTATUS values by name, for reports and tools.
#pragma once

#include <string>

#include "nt/basetypes.h"

namespace sim {

// "STATUS_SUCCESS" for 0, the hexadecimal value ("0xC0001234") for a status
// the model does not name.
std::string StatusName(NTSTATUS status);

}  // namespace sim
