// The identification strings a bus driver returns for IRP_MN_QUERY_ID, read
// and checked as Windows checks them: device and instance IDs are single
// strings (REG_SZ), hardware and compatible IDs lists (REG_MULTI_SZ); every
// character lies above 0x20 and at most 0x7F and is not a comma; an instance
// ID holds no backslash; every ID is shorter than MAX_DEVICE_ID_LEN.
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

namespace sim {

inline constexpr size_t kMaxDeviceIdLength = 200;  // MAX_DEVICE_ID_LEN

struct IdAnswer {
  std::vector<std::string> ids;  // as readable text (bad characters as \xNN)
  std::string problem;           // empty when the answer is valid
};

// Reads the answer in buffer, of which chars characters are allocated.
IdAnswer ReadIdAnswer(BUS_QUERY_ID_TYPE type, const WCHAR* buffer, size_t chars);

// The longest device ID plus instance ID Windows accepts: it adds a
// separator, and for an instance ID unique only on its bus a prefix too.
size_t MaxInstancePathLength(bool unique_id);

const char* IdTypeName(BUS_QUERY_ID_TYPE type);

}  // namespace sim
