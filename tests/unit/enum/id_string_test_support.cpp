#include "id_string_test_support.h"

#include <cstring>
#include <memory>

#include "enum/id_string.h"
#include "enum/multi_string.h"

namespace enum_test {

std::vector<std::string> Entries(const UNICODE_STRING& multi) {
  std::vector<std::string> entries;
  if (multi.Buffer == nullptr) return entries;
  const size_t chars = multi.Length / sizeof(WCHAR);
  size_t pos = 0;
  while (pos < chars) {
    std::string entry;
    while (pos < chars && multi.Buffer[pos] != 0) entry += static_cast<char>(multi.Buffer[pos++]);
    entries.push_back(entry);
    ++pos;
    if (pos >= chars || multi.Buffer[pos] == 0) break;
  }
  return entries;
}

std::u16string Raw(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

namespace {

// Everything after the revision: the device ID, the optional fields and,
// when there are any, the checksum, then ')'.
std::string Body(const IdFields& f) {
  const std::optional<std::string>* optional[] = {&f.serial, &f.class_name, &f.compatible, &f.description};
  int last = -1;
  for (int k = 0; k < 4; ++k) {
    if (optional[k]->has_value()) last = k;
  }
  std::string body = f.id;
  for (int k = 0; k <= last; ++k) body += "\\" + optional[k]->value_or("");
  if (last >= 0) body += f.checksum;
  return body + ")";
}

}  // namespace

std::string AsciiForm(const IdFields& f) { return f.prefix + "(" + f.revision + Body(f); }

std::string SixBitForm(const IdFields& f) {
  std::string text = f.prefix + "\x08" + f.revision;
  for (char c : Body(f)) text += static_cast<char>(static_cast<unsigned char>(c) - 0x20);
  return text;
}

bool operator==(const ParsedIds& a, const ParsedIds& b) {
  return a.status == b.status && a.hardware_ids == b.hardware_ids &&
         a.raw_compatible_ids == b.raw_compatible_ids && a.device_id == b.device_id &&
         a.description == b.description && a.serial_number == b.serial_number &&
         a.revision == b.revision;
}

std::ostream& operator<<(std::ostream& out, const ParsedIds& ids) {
  auto list = [&out](const char* name, const std::vector<std::string>& entries) {
    out << " " << name << "=[";
    for (const std::string& e : entries) out << "\"" << e << "\"";
    out << "]";
  };
  out << "status=0x" << std::hex << static_cast<ULONG>(ids.status) << std::dec;
  list("hardware", ids.hardware_ids);
  list("compatible", ids.compatible_ids);
  list("device", ids.device_id);
  list("description", ids.description);
  list("serial", ids.serial_number);
  list("revision", ids.revision);
  return out;
}

ParsedIds Parse(const std::string& bytes) {
  std::unique_ptr<UCHAR[]> buffer(new UCHAR[bytes.size()]);
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  UNICODE_STRING out[6];
  std::memset(out, 0xA5, sizeof out);
  ParsedIds ids;
  ids.status = ParseIdString(nullptr, buffer.get(), static_cast<ULONG>(bytes.size()), &out[0],
                             &out[1], &out[2], &out[3], &out[4], &out[5]);
  ids.hardware_ids = Entries(out[0]);
  ids.compatible_ids = Entries(out[1]);
  ids.raw_compatible_ids = Raw(out[1]);
  ids.device_id = Entries(out[2]);
  ids.description = Entries(out[3]);
  ids.serial_number = Entries(out[4]);
  ids.revision = Entries(out[5]);
  ids.bytes_after.assign(buffer.get(), buffer.get() + bytes.size());
  for (UNICODE_STRING& s : out) FreeMultiString(&s);
  return ids;
}

}  // namespace enum_test
