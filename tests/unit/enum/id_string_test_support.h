// Helpers for the identification-string tests: building strings in both
// encodings, running the parser on an exactly sized copy, and reading the
// multi-strings it produced.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <ntddk.h>

namespace enum_test {

// The entries of a multi-string up to its first empty entry after the first;
// [] for an empty string (null buffer), [""] for a lone empty entry.
std::vector<std::string> Entries(const UNICODE_STRING& multi);
// Every UTF-16 unit of the string, NULs included.
std::u16string Raw(const UNICODE_STRING& s);

// The fields of an identification string. Optional fields are written up to
// the last one that is set (earlier unset ones as empty fields), and the
// checksum only when any optional field is written.
struct IdFields {
  std::string prefix;
  std::string revision = std::string("\x01\x24", 2);
  std::string id = "ABC1234";
  std::optional<std::string> serial;
  std::optional<std::string> class_name;
  std::optional<std::string> compatible;
  std::optional<std::string> description;
  std::string checksum = "5A";
};

// '(' rev id ['\' fields...] [checksum] ')' after the prefix.
std::string AsciiForm(const IdFields& fields);
// The same string in the 6-bit form: 0x08, the revision as is, every later
// character 0x20 lower, 0x09 at the end.
std::string SixBitForm(const IdFields& fields);

struct ParsedIds {
  NTSTATUS status = 0;
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
  std::vector<std::string> device_id;
  std::vector<std::string> description;
  std::vector<std::string> serial_number;
  std::vector<std::string> revision;
  std::u16string raw_compatible_ids;
  std::vector<UCHAR> bytes_after;  // the buffer as the parser left it
};
// Equal identities and status (the buffers may differ).
bool operator==(const ParsedIds& a, const ParsedIds& b);
std::ostream& operator<<(std::ostream& out, const ParsedIds& ids);

// Runs ParseIdString on a heap copy of exactly bytes.size() bytes (so that
// AddressSanitizer sees any access past them) and frees the outputs.
ParsedIds Parse(const std::string& bytes);

}  // namespace enum_test
