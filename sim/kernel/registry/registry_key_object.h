// What a registry key handle names. The object keeps the key alive after a
// delete, so that operations through the handle fail with STATUS_KEY_DELETED
// until the handle is closed, as on Windows.
#pragma once

#include <memory>
#include <string>

#include "nt/basetypes.h"
#include "sim/kernel/kernel_object.h"
#include "sim/kernel/registry/registry.h"

namespace sim {

class DriverImage;

class RegistryKeyObject : public KernelObject {
 public:
  explicit RegistryKeyObject(std::shared_ptr<RegistryKey> key) : key_(std::move(key)) {}
  const std::shared_ptr<RegistryKey>& key() const { return key_; }
  std::string TypeName() const override { return "Key"; }
  std::string Describe() const override;

 private:
  std::shared_ptr<RegistryKey> key_;
};

// A new handle to the key in the current kernel's handle table, owned by the
// given driver image (null: the kernel). For kernel routines that hand out
// key handles (the Zw routines, IoOpenDeviceRegistryKey).
HANDLE OpenKeyHandle(std::shared_ptr<RegistryKey> key, const DriverImage* owner,
                     ACCESS_MASK access);

// The key behind a handle: STATUS_SUCCESS, STATUS_INVALID_HANDLE,
// STATUS_OBJECT_TYPE_MISMATCH (not a key) or STATUS_KEY_DELETED.
NTSTATUS KeyFromHandle(HANDLE handle, std::shared_ptr<RegistryKey>& key);

}  // namespace sim
