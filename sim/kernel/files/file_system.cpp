#include "sim/kernel/files/file_system.h"

#include <algorithm>
#include <functional>

#include "sim/kernel/utf16_text.h"

namespace sim {

// ---- FileNode

FileNode::FileNode(std::u16string name, FileNode* parent, bool directory)
    : name_(std::move(name)), parent_(parent), directory_(directory) {}

std::u16string FileNode::Path() const {
  if (!saved_path_.empty()) return saved_path_;
  if (parent_ == nullptr) return u"\\??\\" + name_;
  return parent_->Path() + u"\\" + name_;
}

std::shared_ptr<FileNode> FileNode::FindChild(std::u16string_view name) const {
  for (const auto& child : children_)
    if (EqualsIgnoreCase(child->name(), name)) return child;
  return nullptr;
}

bool FileNode::ShareCompatible(const FileShare& request) const {
  if (!request.read && !request.write && !request.remove) return true;
  for (const auto& weak : opens_) {
    auto open = weak.lock();
    if (!open) continue;
    if ((request.read && !open->share_read) || (request.write && !open->share_write) ||
        (request.remove && !open->share_delete) || (open->read && !request.share_read) ||
        (open->write && !request.share_write) || (open->remove && !request.share_delete))
      return false;
  }
  return true;
}

void FileNode::AddOpen(const std::shared_ptr<FileShare>& open) {
  opens_.erase(std::remove_if(opens_.begin(), opens_.end(),
                              [](const std::weak_ptr<FileShare>& w) { return w.expired(); }),
               opens_.end());
  if (open->read || open->write || open->remove) opens_.push_back(open);
}

bool IsValidFileName(std::u16string_view name) {
  if (name.empty()) return false;
  for (char16_t c : name)
    if (c < 0x20 || std::u16string_view(u"\"*/:<>?|").find(c) != std::u16string_view::npos)
      return false;
  return true;
}

// ---- FileSystem

FileSystem::FileSystem() : root_(std::make_shared<FileNode>(u"C:", nullptr, true)) {
  AddDirectory("\\SystemRoot\\System32\\drivers");
  AddDirectory("\\SystemRoot\\SysWOW64");
}

FileSystem::~FileSystem() {
  std::function<void(FileNode&)> detach = [&](FileNode& node) {
    node.saved_path_ = node.Path();
    for (auto& child : node.children_) detach(*child);
    node.parent_ = nullptr;
  };
  detach(*root_);
}

bool FileSystem::VolumeComponents(std::u16string_view path,
                                  std::vector<std::u16string_view>& out) {
  out = SplitPath(path);
  if (out.empty()) return false;
  size_t skip = 0;
  if (path.size() > 1 && path[1] == u':') {  // C:\...
    if (!EqualsIgnoreCase(out[0], u"C:")) return false;
    skip = 1;
  } else if (path.empty() || path[0] != u'\\') {
    return false;
  } else if (EqualsIgnoreCase(out[0], u"SystemRoot")) {
    out[0] = u"Windows";
  } else if (out.size() >= 2 && (EqualsIgnoreCase(out[0], u"??") ||
                                 EqualsIgnoreCase(out[0], u"DosDevices") ||
                                 EqualsIgnoreCase(out[0], u"GLOBAL??"))) {
    if (!EqualsIgnoreCase(out[1], u"C:")) return false;
    skip = 2;
  } else if (out.size() >= 2 && EqualsIgnoreCase(out[0], u"Device") &&
             EqualsIgnoreCase(out[1], u"HarddiskVolume1")) {
    skip = 2;
  } else {
    return false;
  }
  out.erase(out.begin(), out.begin() + skip);
  return true;
}

std::shared_ptr<FileNode> FileSystem::AddChild(FileNode& parent, std::u16string_view name,
                                               bool directory) {
  auto node = std::make_shared<FileNode>(std::u16string(name), &parent, directory);
  auto it = std::lower_bound(parent.children_.begin(), parent.children_.end(), name,
                             [](const std::shared_ptr<FileNode>& n, std::u16string_view v) {
                               return CompareIgnoreCase(n->name(), v) < 0;
                             });
  parent.children_.insert(it, node);
  return node;
}

bool FileSystem::RemoveNode(FileNode& node) {
  if (node.parent_ == nullptr || !node.children_.empty()) return false;
  node.saved_path_ = node.Path();
  auto& siblings = node.parent_->children_;
  auto it = std::find_if(siblings.begin(), siblings.end(),
                         [&](const std::shared_ptr<FileNode>& n) { return n.get() == &node; });
  std::shared_ptr<FileNode> keep = *it;  // the caller may hold only this reference
  siblings.erase(it);
  node.parent_ = nullptr;
  node.removed_ = true;
  return true;
}

std::shared_ptr<FileNode> FileSystem::Resolve(std::string_view path, std::u16string& storage,
                                              std::vector<std::u16string_view>& components) const {
  try {
    storage = Utf8ToUtf16(path);
  } catch (const std::invalid_argument& e) {
    throw FileSystemError("path \"" + std::string(path) + "\": " + e.what());
  }
  if (!VolumeComponents(storage, components))
    throw FileSystemError("not a path on the simulated volume: \"" + std::string(path) + "\"");
  std::shared_ptr<FileNode> node = root_;
  for (auto component : components) {
    if (!node->is_directory()) return nullptr;
    node = node->FindChild(component);
    if (!node) return nullptr;
  }
  return node;
}

std::shared_ptr<FileNode> FileSystem::Find(std::string_view path) const {
  std::u16string storage;
  std::vector<std::u16string_view> components;
  return Resolve(path, storage, components);
}

std::shared_ptr<FileNode> FileSystem::MakeDirectories(
    const std::vector<std::u16string_view>& components) {
  std::shared_ptr<FileNode> node = root_;
  for (auto component : components) {
    auto next = node->FindChild(component);
    if (!next) {
      if (!IsValidFileName(component))
        throw FileSystemError("invalid file name: " + Utf16ToUtf8(component));
      next = AddChild(*node, component, true);
    }
    if (!next->is_directory())
      throw FileSystemError("not a directory: " + Utf16ToUtf8(next->Path()));
    node = next;
  }
  return node;
}

void FileSystem::AddDirectory(std::string_view path) {
  std::u16string storage;
  std::vector<std::u16string_view> components;
  Resolve(path, storage, components);
  MakeDirectories(components);
}

void FileSystem::AddFile(std::string_view path, std::vector<uint8_t> bytes, bool read_only) {
  std::u16string storage;
  std::vector<std::u16string_view> components;
  Resolve(path, storage, components);
  if (components.empty()) throw FileSystemError("not a file path: " + std::string(path));
  std::vector<std::u16string_view> parent_path(components.begin(), components.end() - 1);
  auto parent = MakeDirectories(parent_path);
  auto node = parent->FindChild(components.back());
  if (!node) {
    if (!IsValidFileName(components.back()))
      throw FileSystemError("invalid file name: " + std::string(path));
    node = AddChild(*parent, components.back(), false);
  }
  if (node->is_directory()) throw FileSystemError("is a directory: " + std::string(path));
  node->data = std::move(bytes);
  node->read_only = read_only;
}

bool FileSystem::Remove(std::string_view path) {
  auto node = Find(path);
  return node && RemoveNode(*node);
}

bool FileSystem::Exists(std::string_view path) const { return Find(path) != nullptr; }

bool FileSystem::IsDirectory(std::string_view path) const {
  auto node = Find(path);
  return node && node->is_directory();
}

std::optional<std::vector<uint8_t>> FileSystem::ReadFile(std::string_view path) const {
  auto node = Find(path);
  if (!node || node->is_directory()) return std::nullopt;
  return node->data;
}

void FileSystem::SetReadOnly(std::string_view path, bool read_only) {
  auto node = Find(path);
  if (!node) throw FileSystemError("no such file: " + std::string(path));
  node->read_only = read_only;
}

std::vector<std::string> FileSystem::List(std::string_view directory) const {
  auto node = Find(directory);
  if (!node || !node->is_directory())
    throw FileSystemError("no such directory: " + std::string(directory));
  std::vector<std::string> names;
  for (const auto& child : node->children()) names.push_back(Utf16ToUtf8(child->name()));
  return names;
}

}  // namespace sim
