#include "sim/kernel/registry/registry_key_object.h"

#include "ntstatus.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/utf16_text.h"

namespace sim {

std::string RegistryKeyObject::Describe() const {
  return Utf16ToUtf8(key_->Path()) + (key_->deleted() ? " (deleted)" : "");
}

HANDLE OpenKeyHandle(std::shared_ptr<RegistryKey> key, const DriverImage* owner,
                     ACCESS_MASK access) {
  return K().handles->Insert(std::make_shared<RegistryKeyObject>(std::move(key)), owner, access);
}

NTSTATUS KeyFromHandle(HANDLE handle, std::shared_ptr<RegistryKey>& key) {
  const HandleEntry* entry = K().handles->Find(handle);
  if (entry == nullptr) return STATUS_INVALID_HANDLE;
  auto object = std::dynamic_pointer_cast<RegistryKeyObject>(entry->object);
  if (!object) return STATUS_OBJECT_TYPE_MISMATCH;
  if (object->key()->deleted()) return STATUS_KEY_DELETED;
  key = object->key();
  return STATUS_SUCCESS;
}

}  // namespace sim
