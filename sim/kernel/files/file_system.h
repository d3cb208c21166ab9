// The file system of the simulated machine: one volume, C:, holding
// directories and files (bytes and a read-only attribute). Names compare
// without regard to case and keep their case. "\SystemRoot" names
// C:\Windows; "\SystemRoot\SysWOW64" and "\SystemRoot\System32" exist from
// the start.
//
// Paths accepted everywhere: "\SystemRoot\...", "\??\C:\...",
// "\DosDevices\C:\...", "\GLOBAL??\C:\...", "\Device\HarddiskVolume1\...";
// the C++ interface also takes "C:\...".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ntstatus.h"
#include "nt/basetypes.h"

namespace sim {


// The access and sharing of one open of a file, for the sharing check. Opens
// register a weak reference; closing the last handle ends the open.
struct FileShare {
  bool read = false, write = false, remove = false;  // access this open has
  bool share_read = false, share_write = false, share_delete = false;
};

class FileNode {
 public:
  FileNode(std::u16string name, FileNode* parent, bool directory);

  const std::u16string& name() const { return name_; }
  FileNode* parent() const { return parent_; }
  bool is_directory() const { return directory_; }
  bool removed() const { return removed_; }
  // "\??\C:\Windows\..." (for a removed file: its path when it was removed).
  std::u16string Path() const;

  bool read_only = false;
  std::vector<uint8_t> data;  // contents of a file

  const std::vector<std::shared_ptr<FileNode>>& children() const { return children_; }
  std::shared_ptr<FileNode> FindChild(std::u16string_view name) const;

  // False when an open of the file conflicts with the requested one.
  bool ShareCompatible(const FileShare& request) const;
  void AddOpen(const std::shared_ptr<FileShare>& open);

 private:
  friend class FileSystem;

  std::u16string name_;
  FileNode* parent_;
  bool directory_;
  bool removed_ = false;
  std::u16string saved_path_;  // set when the node leaves the tree
  std::vector<std::shared_ptr<FileNode>> children_;
  std::vector<std::weak_ptr<FileShare>> opens_;
};

class FileSystemError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class FileSystem {
 public:
  FileSystem();
  // Files that handles still hold keep their paths for reports.
  ~FileSystem();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  const std::shared_ptr<FileNode>& volume_root() const { return root_; }

  // ---- C++ interface (UTF-8 paths). Missing parent directories are created.
  // Adds a file or replaces its contents and attribute. Throws
  // FileSystemError when the path names a directory or runs through a file.
  void AddFile(std::string_view path, std::vector<uint8_t> bytes, bool read_only = false);
  void AddDirectory(std::string_view path);
  // Removes a file or an empty directory; false when there is none.
  // Handles open on a removed file keep working on its last contents.
  bool Remove(std::string_view path);
  bool Exists(std::string_view path) const;
  bool IsDirectory(std::string_view path) const;
  // Contents of a file (nullopt for a missing file or a directory).
  std::optional<std::vector<uint8_t>> ReadFile(std::string_view path) const;
  void SetReadOnly(std::string_view path, bool read_only);
  std::vector<std::string> List(std::string_view directory) const;
  std::shared_ptr<FileNode> Find(std::string_view path) const;

  // ---- node operations shared with the Zw routines
  // Components of a path below the volume root; false for a path that is not
  // on the volume.
  static bool VolumeComponents(std::u16string_view path, std::vector<std::u16string_view>& out);
  std::shared_ptr<FileNode> AddChild(FileNode& parent, std::u16string_view name, bool directory);
  // False for a directory that still has entries.
  bool RemoveNode(FileNode& node);

 private:
  std::shared_ptr<FileNode> Resolve(std::string_view path, std::u16string& storage,
                                    std::vector<std::u16string_view>& components) const;
  std::shared_ptr<FileNode> MakeDirectories(const std::vector<std::u16string_view>& components);

  std::shared_ptr<FileNode> root_;
};

// Names a file system accepts: no control characters and none of "*/:<>?|.
bool IsValidFileName(std::u16string_view name);

}  // namespace sim
