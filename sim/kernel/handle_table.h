// The kernel handle table. Every handle records which driver image (or the
// kernel itself) opened it, so that the verifier can name a leaked handle's
// owner when the image unloads or the machine shuts down.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "sim/kernel/kernel_object.h"

namespace sim {

class DriverImage;

struct HandleEntry {
  std::shared_ptr<KernelObject> object;
  const DriverImage* owner = nullptr;  // null: the kernel or an application
  ACCESS_MASK access = 0;
};

class HandleTable {
 public:
  // Returns a new handle for the object; never reuses a value while open.
  HANDLE Insert(std::shared_ptr<KernelObject> object, const DriverImage* owner,
                ACCESS_MASK access = 0);

  // The object behind a handle, or null when the handle is not open or the
  // object is of another type.
  template <typename T>
  std::shared_ptr<T> Lookup(HANDLE handle) const {
    auto it = entries_.find(handle);
    if (it == entries_.end()) return nullptr;
    return std::dynamic_pointer_cast<T>(it->second.object);
  }
  const HandleEntry* Find(HANDLE handle) const;

  // STATUS_SUCCESS, or STATUS_INVALID_HANDLE for a handle that is not open.
  NTSTATUS Close(HANDLE handle);

  // Handles still open by the given owner (null: every open handle).
  std::vector<std::pair<HANDLE, HandleEntry>> OpenBy(const DriverImage* owner) const;
  std::vector<std::pair<HANDLE, HandleEntry>> All() const;
  size_t size() const { return entries_.size(); }

 private:
  std::map<HANDLE, HandleEntry> entries_;
  uintptr_t next_ = 0x80000004;  // kernel handles look like Windows ones
};

}  // namespace sim
