// `zarksim idstring HEX`: shows what the port enumerator makes of the bytes a
// serial device sent, as JSON.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace zarksim {

// Reads bytes written as hexadecimal: pairs of digits, optionally grouped
// into whitespace-separated tokens ("28 01 24 41", "28012441"). On a
// malformed text returns false with a message in *error.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes, std::string* error);

// Parses the received bytes as the enumerator does, inside a bare simulated
// machine, and prints {"status", "mouse", "hardware_ids", "compatible_ids",
// "device_id", "description", "serial_number", "revision"} to out. A rejected
// string reports its status with empty identities, as the enumerator keeps
// none of them. Returns 0; 1 (message on err) for malformed hexadecimal or
// more bytes than a probe reads; 2 when the machine's verifier found
// anything (the findings on err).
int RunIdStringCommand(const std::string& hex, std::ostream& out, std::ostream& err);

}  // namespace zarksim
