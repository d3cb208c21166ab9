#include "sim/kernel/pnp/device_ids.h"

#include <cstdio>

namespace sim {

namespace {

bool ValidIdChar(WCHAR c) { return c > 0x20 && c <= 0x7F && c != L','; }

std::string Readable(const WCHAR* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] >= 0x20 && text[i] < 0x7F) {
      out += static_cast<char>(text[i]);
    } else {
      char escaped[12];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(text[i]));
      out += escaped;
    }
  }
  return out;
}

}  // namespace

const char* IdTypeName(BUS_QUERY_ID_TYPE type) {
  switch (type) {
    case BusQueryDeviceID: return "device ID";
    case BusQueryHardwareIDs: return "hardware ID";
    case BusQueryCompatibleIDs: return "compatible ID";
    case BusQueryInstanceID: return "instance ID";
    default: return "ID";
  }
}

size_t MaxInstancePathLength(bool unique_id) { return unique_id ? kMaxDeviceIdLength - 1 : kMaxDeviceIdLength - 28; }

IdAnswer ReadIdAnswer(BUS_QUERY_ID_TYPE type, const WCHAR* buffer, size_t chars) {
  IdAnswer answer;
  const bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
  const std::string kind = IdTypeName(type);
  size_t pos = 0;
  for (;;) {
    size_t length = 0;
    while (pos + length < chars && buffer[pos + length] != 0) ++length;
    const WCHAR* id = buffer + pos;
    if (pos + length == chars) {
      if (length) answer.ids.push_back(Readable(id, length));
      answer.problem = multi ? "the list does not end in two NULs within its allocation"
                             : "the " + kind + " is not NUL-terminated within its allocation";
      return answer;
    }
    if (length == 0 && (multi || pos > 0)) return answer;  // the list's terminator
    answer.ids.push_back(Readable(id, length));
    if (answer.problem.empty()) {
      for (size_t i = 0; i < length; ++i) {
        if (!ValidIdChar(id[i])) {
          char what[64];
          std::snprintf(what, sizeof what, "character 0x%02X is not allowed in an ID", static_cast<unsigned>(id[i]));
          answer.problem = what;
          break;
        }
        if (type == BusQueryInstanceID && id[i] == L'\\') {
          answer.problem = "an instance ID holds no backslash";
          break;
        }
      }
    }
    if (answer.problem.empty() && length >= kMaxDeviceIdLength)
      answer.problem = "the " + kind + " is " + std::to_string(length) + " characters long, MAX_DEVICE_ID_LEN is 200";
    if (!multi) return answer;
    pos += length + 1;
  }
}

}  // namespace sim
