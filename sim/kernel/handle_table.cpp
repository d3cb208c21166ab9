#include "sim/kernel/handle_table.h"

#include "ntstatus.h"

namespace sim {

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object, const DriverImage* owner,
                           ACCESS_MASK access) {
  HANDLE handle = reinterpret_cast<HANDLE>(next_);
  next_ += 4;
  entries_[handle] = HandleEntry{std::move(object), owner, access};
  return handle;
}

const HandleEntry* HandleTable::Find(HANDLE handle) const {
  auto it = entries_.find(handle);
  return it == entries_.end() ? nullptr : &it->second;
}

NTSTATUS HandleTable::Close(HANDLE handle) {
  auto it = entries_.find(handle);
  if (it == entries_.end()) return STATUS_INVALID_HANDLE;
  entries_.erase(it);
  return STATUS_SUCCESS;
}

std::vector<std::pair<HANDLE, HandleEntry>> HandleTable::OpenBy(const DriverImage* owner) const {
  std::vector<std::pair<HANDLE, HandleEntry>> out;
  for (const auto& [handle, entry] : entries_)
    if (owner == nullptr || entry.owner == owner) out.emplace_back(handle, entry);
  return out;
}

std::vector<std::pair<HANDLE, HandleEntry>> HandleTable::All() const { return OpenBy(nullptr); }

}  // namespace sim
