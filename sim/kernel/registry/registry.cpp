#include "sim/kernel/registry/registry.h"

#include <algorithm>

#include "ntstatus.h"
#include "nt/zw.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/utf16_text.h"

namespace sim {

// ---- RegistryKey

RegistryKey::RegistryKey(std::u16string name, RegistryKey* parent, bool is_volatile)
    : name_(std::move(name)), parent_(parent), volatile_(is_volatile) {}

std::u16string RegistryKey::Path() const {
  if (!saved_path_.empty()) return saved_path_;
  if (parent_ == nullptr) return u"\\" + name_;
  return parent_->Path() + u"\\" + name_;
}

std::shared_ptr<RegistryKey> RegistryKey::FindSubkey(std::u16string_view name) const {
  auto it = std::lower_bound(subkeys_.begin(), subkeys_.end(), name,
                             [](const std::shared_ptr<RegistryKey>& key, std::u16string_view n) {
                               return CompareIgnoreCase(key->name(), n) < 0;
                             });
  if (it != subkeys_.end() && EqualsIgnoreCase((*it)->name(), name)) return *it;
  return nullptr;
}

const RegistryValue* RegistryKey::FindValue(std::u16string_view name) const {
  for (const auto& value : values_)
    if (EqualsIgnoreCase(value.name, name)) return &value;
  return nullptr;
}

// ---- Registry: node operations

Registry::Registry()
    : root_(std::make_shared<RegistryKey>(u"Registry", nullptr, false)),
      clock_([] { return HasKernel() ? K().Now() : 0; }) {
  for (const char* path :
       {"\\Registry\\Machine\\HARDWARE\\DEVICEMAP", "\\Registry\\Machine\\SAM", "\\Registry\\Machine\\SECURITY",
        "\\Registry\\Machine\\SOFTWARE", "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control",
        "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum",
        "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services", "\\Registry\\User"})
    CreateKey(path);
}

Registry::~Registry() {
  std::function<void(RegistryKey&)> detach = [&](RegistryKey& key) {
    key.saved_path_ = key.Path();
    for (auto& sub : key.subkeys_) detach(*sub);
    key.parent_ = nullptr;
  };
  detach(*root_);
}

void Registry::Touch(RegistryKey& key) { key.last_write_time_ = clock_ ? clock_() : 0; }

std::shared_ptr<RegistryKey> Registry::Walk(
    const std::shared_ptr<RegistryKey>& from,
    const std::vector<std::u16string_view>& components) const {
  std::shared_ptr<RegistryKey> key = from;
  for (auto component : components) {
    if (!key) return nullptr;
    key = key->FindSubkey(component);
  }
  return key;
}

std::shared_ptr<RegistryKey> Registry::AddSubkey(RegistryKey& parent, std::u16string_view name,
                                                 bool is_volatile,
                                                 std::u16string_view class_name) {
  auto key = std::make_shared<RegistryKey>(std::u16string(name), &parent, is_volatile);
  key->class_name_ = std::u16string(class_name);
  auto it = std::lower_bound(parent.subkeys_.begin(), parent.subkeys_.end(), name,
                             [](const std::shared_ptr<RegistryKey>& k, std::u16string_view n) {
                               return CompareIgnoreCase(k->name(), n) < 0;
                             });
  parent.subkeys_.insert(it, key);
  Touch(*key);
  Touch(parent);
  return key;
}

NTSTATUS Registry::Delete(RegistryKey& key) {
  if (key.deleted_) return STATUS_KEY_DELETED;
  if (key.parent_ == nullptr || !key.subkeys_.empty()) return STATUS_CANNOT_DELETE;
  RegistryKey* parent = key.parent_;
  key.saved_path_ = key.Path();
  auto& siblings = parent->subkeys_;
  auto it = std::find_if(siblings.begin(), siblings.end(),
                         [&](const std::shared_ptr<RegistryKey>& k) { return k.get() == &key; });
  std::shared_ptr<RegistryKey> keep = *it;  // the caller may hold only this reference
  siblings.erase(it);
  key.deleted_ = true;
  key.parent_ = nullptr;
  key.values_.clear();
  Touch(*parent);
  return STATUS_SUCCESS;
}

void Registry::Set(RegistryKey& key, std::u16string_view name, ULONG type,
                   std::vector<uint8_t> data) {
  for (auto& value : key.values_) {
    if (EqualsIgnoreCase(value.name, name)) {
      value.type = type;
      value.data = std::move(data);
      Touch(key);
      return;
    }
  }
  key.values_.push_back(RegistryValue{std::u16string(name), type, std::move(data)});
  Touch(key);
}

bool Registry::Remove(RegistryKey& key, std::u16string_view name) {
  auto it = std::find_if(key.values_.begin(), key.values_.end(),
                         [&](const RegistryValue& v) { return EqualsIgnoreCase(v.name, name); });
  if (it == key.values_.end()) return false;
  key.values_.erase(it);
  Touch(key);
  return true;
}

// ---- Registry: C++ interface by path

std::vector<std::u16string> Registry::ParsePath(std::string_view path) {
  std::u16string wide;
  try {
    wide = Utf8ToUtf16(path);
  } catch (const std::invalid_argument& e) {
    throw RegistryError("registry path \"" + std::string(path) + "\": " + e.what());
  }
  auto parts = SplitPath(wide);
  if (wide.empty() || wide[0] != u'\\' || parts.empty() || !EqualsIgnoreCase(parts[0], u"Registry"))
    throw RegistryError("not a registry path (\\Registry\\...): \"" + std::string(path) + "\"");
  std::vector<std::u16string> out;
  for (size_t i = 1; i < parts.size(); ++i) out.emplace_back(parts[i]);
  return out;
}

std::shared_ptr<RegistryKey> Registry::FindKey(std::string_view path) const {
  auto parts = ParsePath(path);
  std::vector<std::u16string_view> views(parts.begin(), parts.end());
  return Walk(root_, views);
}

bool Registry::KeyExists(std::string_view path) const { return FindKey(path) != nullptr; }

std::shared_ptr<RegistryKey> Registry::Require(std::string_view path) const {
  auto key = FindKey(path);
  if (!key) throw RegistryError("registry key not found: " + std::string(path));
  return key;
}

std::shared_ptr<RegistryKey> Registry::CreateKey(std::string_view path) {
  std::shared_ptr<RegistryKey> key = root_;
  for (const auto& part : ParsePath(path)) {
    auto next = key->FindSubkey(part);
    if (!next) next = AddSubkey(*key, part, key->is_volatile());
    key = next;
  }
  return key;
}

NTSTATUS Registry::DeleteKey(std::string_view path) {
  auto key = FindKey(path);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  return Delete(*key);
}

void Registry::DeleteTree(std::string_view path) {
  auto key = FindKey(path);
  if (!key) return;
  std::function<void(RegistryKey&)> remove = [&](RegistryKey& k) {
    while (!k.subkeys_.empty()) remove(*k.subkeys_.back());
    Delete(k);
  };
  remove(*key);
}

std::vector<std::string> Registry::SubkeyNames(std::string_view path) const {
  std::vector<std::string> names;
  for (const auto& sub : Require(path)->subkeys()) names.push_back(Utf16ToUtf8(sub->name()));
  return names;
}

std::vector<std::string> Registry::ValueNames(std::string_view path) const {
  std::vector<std::string> names;
  for (const auto& value : Require(path)->values()) names.push_back(Utf16ToUtf8(value.name));
  return names;
}

void Registry::SetValue(std::string_view path, std::string_view name, ULONG type,
                        std::vector<uint8_t> data) {
  Set(*CreateKey(path), Utf8ToUtf16(name), type, std::move(data));
}

std::optional<RegistryValue> Registry::GetValue(std::string_view path,
                                                std::string_view name) const {
  auto key = FindKey(path);
  if (!key) return std::nullopt;
  const RegistryValue* value = key->FindValue(Utf8ToUtf16(name));
  if (!value) return std::nullopt;
  return *value;
}

bool Registry::DeleteValue(std::string_view path, std::string_view name) {
  auto key = FindKey(path);
  return key && Remove(*key, Utf8ToUtf16(name));
}

void Registry::SetDword(std::string_view path, std::string_view name, uint32_t value) {
  std::vector<uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
  SetValue(path, name, REG_DWORD, std::move(data));
}

std::optional<uint32_t> Registry::GetDword(std::string_view path, std::string_view name) const {
  auto value = GetValue(path, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  uint32_t out = 0;
  for (int i = 0; i < 4; ++i) out |= uint32_t(value->data[i]) << (8 * i);
  return out;
}

std::vector<uint8_t> Registry::EncodeString(std::u16string_view text) {
  std::vector<uint8_t> data;
  data.reserve(text.size() * 2 + 2);
  for (char16_t c : text) {
    data.push_back(static_cast<uint8_t>(c));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::vector<uint8_t> Registry::EncodeMultiString(const std::vector<std::u16string>& strings) {
  std::vector<uint8_t> data;
  for (const auto& s : strings) {
    auto one = EncodeString(s);
    data.insert(data.end(), one.begin(), one.end());
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

namespace {

std::u16string DecodeUtf16(const std::vector<uint8_t>& data) {
  std::u16string text;
  for (size_t i = 0; i + 1 < data.size(); i += 2)
    text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  return text;
}

}  // namespace

void Registry::SetString(std::string_view path, std::string_view name, std::u16string_view value,
                         ULONG type) {
  SetValue(path, name, type, EncodeString(value));
}

std::optional<std::u16string> Registry::GetString(std::string_view path,
                                                  std::string_view name) const {
  auto value = GetValue(path, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text = DecodeUtf16(value->data);
  return text.substr(0, text.find(u'\0'));
}

void Registry::SetMultiString(std::string_view path, std::string_view name,
                              const std::vector<std::u16string>& value) {
  SetValue(path, name, REG_MULTI_SZ, EncodeMultiString(value));
}

std::optional<std::vector<std::u16string>> Registry::GetMultiString(std::string_view path,
                                                                    std::string_view name) const {
  auto value = GetValue(path, name);
  if (!value || value->type != REG_MULTI_SZ) return std::nullopt;
  std::vector<std::u16string> out;
  std::u16string text = DecodeUtf16(value->data);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u'\0', start);
    if (end == std::u16string::npos) end = text.size();
    if (end == start) break;  // the empty string ends the list
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

void Registry::SetBinary(std::string_view path, std::string_view name, std::vector<uint8_t> value) {
  SetValue(path, name, REG_BINARY, std::move(value));
}

std::optional<std::vector<uint8_t>> Registry::GetBinary(std::string_view path,
                                                        std::string_view name) const {
  auto value = GetValue(path, name);
  if (!value) return std::nullopt;
  return value->data;
}

}  // namespace sim
