#include "sim/kernel/object_namespace.h"

#include "ntstatus.h"

namespace sim {

std::u16string ObjectNamespace::Canonical(const std::u16string& name) {
  std::u16string upper;
  for (char16_t c : name) upper += (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  for (const char16_t* alias : {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
    std::u16string prefix(alias);
    if (upper.compare(0, prefix.size(), prefix) == 0) return u"\\??\\" + upper.substr(prefix.size());
  }
  return upper;
}

bool ObjectNamespace::Exists(const std::u16string& name) const { return entries_.count(Canonical(name)) != 0; }

void ObjectNamespace::InsertDevice(const std::u16string& name, DEVICE_OBJECT* device) {
  entries_[Canonical(name)] = Entry{name, device, {}};
}

void ObjectNamespace::RemoveDevice(const std::u16string& name) { entries_.erase(Canonical(name)); }

NTSTATUS ObjectNamespace::CreateLink(const std::u16string& link, const std::u16string& target) {
  auto key = Canonical(link);
  if (entries_.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  entries_[key] = Entry{link, nullptr, target};
  return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::DeleteLink(const std::u16string& link) {
  auto it = entries_.find(Canonical(link));
  if (it == entries_.end() || it->second.device) return STATUS_OBJECT_NAME_NOT_FOUND;
  entries_.erase(it);
  return STATUS_SUCCESS;
}

std::u16string ObjectNamespace::LinkTarget(const std::u16string& link) const {
  auto it = entries_.find(Canonical(link));
  return it == entries_.end() ? std::u16string() : it->second.link_target;
}

DEVICE_OBJECT* ObjectNamespace::Resolve(const std::u16string& name, std::u16string* rest) const {
  std::u16string current = name;
  for (int depth = 0; depth < 16; ++depth) {  // bounded: links may loop
    const std::u16string key = Canonical(current);
    current = key;
    const Entry* found = nullptr;
    size_t end = key.size();
    // The longest prefix that names an object, ending at a path separator.
    for (;;) {
      auto it = entries_.find(key.substr(0, end));
      if (it != entries_.end()) {
        found = &it->second;
        break;
      }
      size_t slash = end == 0 ? std::u16string::npos : key.rfind(u'\\', end - 1);
      if (slash == std::u16string::npos || slash == 0) break;
      end = slash;
    }
    if (!found) return nullptr;
    std::u16string remainder = current.substr(end);
    if (found->device) {
      if (rest) *rest = remainder;
      return found->device;
    }
    current = found->link_target + remainder;
  }
  return nullptr;
}

std::vector<ObjectNamespace::Entry> ObjectNamespace::Devices() const {
  std::vector<Entry> out;
  for (const auto& [key, entry] : entries_)
    if (entry.device) out.push_back(entry);
  return out;
}

std::vector<ObjectNamespace::Entry> ObjectNamespace::Links() const {
  std::vector<Entry> out;
  for (const auto& [key, entry] : entries_)
    if (!entry.device) out.push_back(entry);
  return out;
}

}  // namespace sim
