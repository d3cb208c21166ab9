#include "sim/kernel/files/disk_file_object.h"

#include "ntstatus.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/utf16_text.h"

namespace sim {

std::string DiskFileObject::Describe() const { return Utf16ToUtf8(node_->Path()); }

NTSTATUS FileFromHandle(HANDLE handle, std::shared_ptr<DiskFileObject>& file) {
  const HandleEntry* entry = K().handles->Find(handle);
  if (entry == nullptr) return STATUS_INVALID_HANDLE;
  file = std::dynamic_pointer_cast<DiskFileObject>(entry->object);
  return file ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

}  // namespace sim
