// What an application does with a COM port in a scenario: open it by its
// COM name, optionally set the baud rate, the line control and the
// timeouts, write bytes, read for a while, close. Each step goes through the
// port's stack as real requests; the result records every step's status and
// the bytes that came back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/application.h"

namespace sim {

struct SerialLineFormat {
  UCHAR word_length = 8;  // 5 to 8
  UCHAR parity = 0;       // NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY
  UCHAR stop_bits = 0;    // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
};

struct SerialTimeoutSettings {
  ULONG read_interval = 0;
  ULONG read_multiplier = 0;
  ULONG read_constant = 0;
  ULONG write_multiplier = 0;
  ULONG write_constant = 0;
};

struct SerialSession {
  std::string com_name;  // "COM3"
  std::optional<ULONG> baud_rate;
  std::optional<SerialLineFormat> line;
  std::optional<SerialTimeoutSettings> timeouts;
  std::vector<uint8_t> write;
  // Reads up to read_length bytes for at most read_ms of virtual time (a
  // total read time-out of that length, unless timeouts are given); 0 reads
  // nothing.
  ULONG read_ms = 0;
  ULONG read_length = 256;
};

struct SerialStep {
  std::string name;  // "open", "baud_rate", "line_control", "timeouts", "write", "read", "close"
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
};

struct SerialSessionResult {
  std::vector<SerialStep> steps;
  std::vector<uint8_t> read;
  // The status of the first step that failed (it ended the session; the
  // port was still closed), or STATUS_SUCCESS.
  NTSTATUS status() const;
};

SerialSessionResult RunSerialSession(Application& app, const SerialSession& session);

}  // namespace sim
