#include "sim/kernel/registry/key_records.h"

#include <algorithm>
#include <cstring>

#include "ntstatus.h"

namespace sim {

namespace {

constexpr ULONG kNoClass = 0xFFFFFFFF;

class RecordWriter {
 public:
  explicit RecordWriter(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  void U32(ULONG v) { Raw(&v, 4); }
  void I64(LONGLONG v) { Raw(&v, 8); }
  void Text(const std::u16string& s) { Raw(s.data(), s.size() * 2); }
  void Bytes(const std::vector<uint8_t>& d) { Raw(d.data(), d.size()); }
  void PadTo(size_t size) { bytes_.resize(std::max(bytes_.size(), size), 0); }
  size_t size() const { return bytes_.size(); }

 private:
  void Raw(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
  }
  std::vector<uint8_t>& bytes_;
};

ULONG Bytes(const std::u16string& s) { return static_cast<ULONG>(s.size() * 2); }
ULONG AlignUlong(ULONG offset) { return (offset + 3) & ~3u; }

}  // namespace

NTSTATUS BuildValueRecord(const RegistryValue& value, KEY_VALUE_INFORMATION_CLASS info_class,
                          InfoRecord& record) {
  record.bytes.clear();
  RecordWriter w(record.bytes);
  const ULONG data_length = static_cast<ULONG>(value.data.size());
  switch (info_class) {
    case KeyValueBasicInformation:
      record.fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      w.U32(0);
      w.U32(value.type);
      w.U32(Bytes(value.name));
      w.Text(value.name);
      return STATUS_SUCCESS;
    case KeyValuePartialInformation:
      record.fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      w.U32(0);
      w.U32(value.type);
      w.U32(data_length);
      w.Bytes(value.data);
      return STATUS_SUCCESS;
    case KeyValueFullInformation: {
      record.fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      const ULONG data_offset = AlignUlong(record.fixed + Bytes(value.name));
      w.U32(0);
      w.U32(value.type);
      w.U32(data_offset);
      w.U32(data_length);
      w.U32(Bytes(value.name));
      w.Text(value.name);
      w.PadTo(data_offset);
      w.Bytes(value.data);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS BuildKeyRecord(const RegistryKey& key, KEY_INFORMATION_CLASS info_class,
                        bool enumerating, InfoRecord& record) {
  record.bytes.clear();
  RecordWriter w(record.bytes);
  const std::u16string& cls = key.class_name();
  switch (info_class) {
    case KeyBasicInformation:
      record.fixed = offsetof(KEY_BASIC_INFORMATION, Name);
      w.I64(key.last_write_time());
      w.U32(0);
      w.U32(Bytes(key.name()));
      w.Text(key.name());
      return STATUS_SUCCESS;
    case KeyNodeInformation: {
      record.fixed = offsetof(KEY_NODE_INFORMATION, Name);
      w.I64(key.last_write_time());
      w.U32(0);
      w.U32(cls.empty() ? kNoClass : record.fixed + Bytes(key.name()));
      w.U32(Bytes(cls));
      w.U32(Bytes(key.name()));
      w.Text(key.name());
      w.Text(cls);
      return STATUS_SUCCESS;
    }
    case KeyFullInformation: {
      record.fixed = offsetof(KEY_FULL_INFORMATION, Class);
      ULONG max_name = 0, max_class = 0, max_value_name = 0, max_value_data = 0;
      for (const auto& sub : key.subkeys()) {
        max_name = std::max(max_name, Bytes(sub->name()));
        max_class = std::max(max_class, Bytes(sub->class_name()));
      }
      for (const auto& v : key.values()) {
        max_value_name = std::max(max_value_name, Bytes(v.name));
        max_value_data = std::max(max_value_data, static_cast<ULONG>(v.data.size()));
      }
      w.I64(key.last_write_time());
      w.U32(0);
      w.U32(cls.empty() ? kNoClass : record.fixed);
      w.U32(Bytes(cls));
      w.U32(static_cast<ULONG>(key.subkeys().size()));
      w.U32(max_name);
      w.U32(max_class);
      w.U32(static_cast<ULONG>(key.values().size()));
      w.U32(max_value_name);
      w.U32(max_value_data);
      w.Text(cls);
      return STATUS_SUCCESS;
    }
    case KeyNameInformation: {
      if (enumerating) return STATUS_INVALID_PARAMETER;
      record.fixed = offsetof(KEY_NAME_INFORMATION, Name);
      std::u16string path = key.Path();
      w.U32(Bytes(path));
      w.Text(path);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS CopyRecord(const InfoRecord& record, PVOID buffer, ULONG length, PULONG result_length) {
  const ULONG full = static_cast<ULONG>(record.bytes.size());
  *result_length = full;
  if (length < record.fixed) return STATUS_BUFFER_TOO_SMALL;
  if (buffer == nullptr) return STATUS_ACCESS_VIOLATION;
  std::memcpy(buffer, record.bytes.data(), std::min(length, full));
  return length < full ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace sim
