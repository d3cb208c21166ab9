#include "tools/zarksim/idstring_command.h"

#include <cctype>
#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

#include "enum/id_string.h"
#include "enum/multi_string.h"
#include "sim/kernel/status_names.h"
#include "sim/machine/machine.h"

namespace zarksim {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// UTF-16 text of the enumerator's strings as UTF-8 for JSON; unpaired
// surrogates become U+FFFD.
std::string Utf8(const std::u16string& text) {
  std::string out;
  for (size_t k = 0; k < text.size(); ++k) {
    uint32_t c = text[k];
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < text.size() && text[k + 1] >= 0xDC00 && text[k + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++k] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The entries of a multi-string, up to the empty entry that ends it.
std::vector<std::string> Entries(const UNICODE_STRING& multi) {
  std::vector<std::string> entries;
  if (multi.Buffer == nullptr) return entries;
  const size_t chars = multi.Length / sizeof(WCHAR);
  size_t pos = 0;
  while (pos < chars) {
    std::u16string entry;
    while (pos < chars && multi.Buffer[pos] != 0) entry += static_cast<char16_t>(multi.Buffer[pos++]);
    entries.push_back(Utf8(entry));
    ++pos;
    if (pos >= chars || multi.Buffer[pos] == 0) break;
  }
  return entries;
}

std::string First(const UNICODE_STRING& multi) {
  std::vector<std::string> entries = Entries(multi);
  return entries.empty() ? std::string() : entries.front();
}

// Runs the parser on a copy in a probe-sized read buffer (256 bytes and a
// terminating 0) and describes the result. Runs inside a machine: the
// parser takes its work area and the identities from pool.
nlohmann::ordered_json DescribeIdString(const std::vector<uint8_t>& bytes) {
  UCHAR buffer[kIdStringMaxBytes + 1] = {};
  std::memcpy(buffer, bytes.data(), bytes.size());
  const ULONG count = static_cast<ULONG>(bytes.size());
  const bool mouse = FindMouseSignature(buffer, count, nullptr) != 0;

  UNICODE_STRING ids[6];
  const NTSTATUS status = ParseIdString(nullptr, buffer, count, &ids[0], &ids[1], &ids[2], &ids[3], &ids[4], &ids[5]);
  const bool parsed = status == STATUS_SUCCESS;
  static const UNICODE_STRING kNone = {0, 0, nullptr};
  auto kept = [&](int k) -> const UNICODE_STRING& { return parsed ? ids[k] : kNone; };

  nlohmann::ordered_json report;
  report["status"] = sim::StatusName(status);
  report["mouse"] = mouse;
  report["hardware_ids"] = Entries(kept(0));
  report["compatible_ids"] = Entries(kept(1));
  report["device_id"] = First(kept(2));
  report["description"] = First(kept(3));
  report["serial_number"] = First(kept(4));
  report["revision"] = First(kept(5));
  for (UNICODE_STRING& id : ids) FreeMultiString(&id);
  return report;
}

}  // namespace

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes, std::string* error) {
  bytes->clear();
  std::istringstream tokens(text);
  std::string token;
  while (tokens >> token) {
    for (char c : token) {
      if (HexValue(c) < 0) {
        *error = "'" + token + "' is not hexadecimal";
        return false;
      }
    }
    if (token.size() % 2 != 0) {
      *error = "'" + token + "' has an odd number of hexadecimal digits (write each byte as two)";
      return false;
    }
    for (size_t k = 0; k < token.size(); k += 2) {
      bytes->push_back(static_cast<uint8_t>(HexValue(token[k]) * 16 + HexValue(token[k + 1])));
    }
  }
  if (bytes->empty()) {
    *error = "no bytes given";
    return false;
  }
  return true;
}

int RunIdStringCommand(const std::string& hex, std::ostream& out, std::ostream& err) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ParseHexBytes(hex, &bytes, &error)) {
    err << "zarksim idstring: " << error << "\n";
    return 1;
  }
  if (bytes.size() > kIdStringMaxBytes) {
    err << "zarksim idstring: " << bytes.size() << " bytes given; a probe reads at most "
        << kIdStringMaxBytes << "\n";
    return 1;
  }

  sim::Machine machine;
  machine.Boot();
  const nlohmann::ordered_json report = DescribeIdString(bytes);
  machine.Shutdown();

  out << report.dump(2) << "\n";
  if (!machine.verifier().clean()) {
    err << "zarksim idstring: the verifier found problems:\n" << machine.verifier().Summary() << "\n";
    return 2;
  }
  return 0;
}

}  // namespace zarksim
