// What a file handle names: one open of a file or directory on the simulated
// volume, with its current byte offset (kept for synchronous opens) and its
// share record.
#pragma once

#include <memory>
#include <string>

#include "nt/basetypes.h"
#include "sim/kernel/files/file_system.h"
#include "sim/kernel/kernel_object.h"

namespace sim {

class DiskFileObject : public KernelObject {
 public:
  DiskFileObject(std::shared_ptr<FileNode> node, std::shared_ptr<FileShare> share,
                 bool synchronous)
      : node_(std::move(node)), share_(std::move(share)), synchronous_(synchronous) {}

  const std::shared_ptr<FileNode>& node() const { return node_; }
  bool synchronous() const { return synchronous_; }
  ULONGLONG position = 0;

  std::string TypeName() const override { return "File"; }
  std::string Describe() const override;

 private:
  std::shared_ptr<FileNode> node_;
  std::shared_ptr<FileShare> share_;  // released with the object
  bool synchronous_;
};

// The file object behind a handle: STATUS_SUCCESS, STATUS_INVALID_HANDLE or
// STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS FileFromHandle(HANDLE handle, std::shared_ptr<DiskFileObject>& file);

}  // namespace sim
