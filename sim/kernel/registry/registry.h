// The registry of the simulated machine: a tree of keys below "\Registry"
// ("\Registry\Machine", "\Registry\User"). Key and value names compare
// without regard to case and keep the case they were created with. Subkeys
// are kept sorted by name, values in the order they were first set, as the
// configuration manager enumerates them.
//
// The C++ interface below is what the rest of the simulator uses (UTF-8 paths
// such as "\Registry\Machine\SYSTEM\CurrentControlSet\Services\X"); the Zw
// routines work on the same keys through RegistryKeyObject handles.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ntstatus.h"
#include "nt/basetypes.h"

namespace sim {

struct RegistryValue {
  std::u16string name;  // "" is the key's default value
  ULONG type = 0;
  std::vector<uint8_t> data;
};

class RegistryKey {
 public:
  RegistryKey(std::u16string name, RegistryKey* parent, bool is_volatile);

  const std::u16string& name() const { return name_; }
  RegistryKey* parent() const { return parent_; }
  bool deleted() const { return deleted_; }
  bool is_volatile() const { return volatile_; }
  const std::u16string& class_name() const { return class_name_; }
  LONGLONG last_write_time() const { return last_write_time_; }
  // "\Registry\Machine\..." (for a deleted key: its path when it was
  // deleted).
  std::u16string Path() const;

  const std::vector<std::shared_ptr<RegistryKey>>& subkeys() const { return subkeys_; }
  const std::vector<RegistryValue>& values() const { return values_; }
  std::shared_ptr<RegistryKey> FindSubkey(std::u16string_view name) const;
  const RegistryValue* FindValue(std::u16string_view name) const;

 private:
  friend class Registry;

  std::u16string name_;
  RegistryKey* parent_;  // null for the root and for keys out of the tree
  bool volatile_;
  bool deleted_ = false;
  std::u16string class_name_;
  std::u16string saved_path_;  // set when the key leaves the tree
  LONGLONG last_write_time_ = 0;
  std::vector<std::shared_ptr<RegistryKey>> subkeys_;
  std::vector<RegistryValue> values_;
};

// Thrown by the C++ interface for a path that does not name a registry key
// ("\Registry\..."), or for an operation on a missing key where the caller
// cannot have meant it.
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Registry {
 public:
  // A registry with "\Registry\Machine" (HARDWARE with DEVICEMAP, SAM, SECURITY, SOFTWARE,
  // SYSTEM with CurrentControlSet\Control, Enum and Services) and
  // "\Registry\User".
  Registry();
  // Keys that handles still hold keep their paths for reports.
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Source of LastWriteTime stamps. By default the running machine's virtual
  // time (0 when no machine runs).
  void SetClock(std::function<LONGLONG()> clock) { clock_ = std::move(clock); }

  const std::shared_ptr<RegistryKey>& root() const { return root_; }

  // ---- keys, by absolute UTF-8 path
  bool KeyExists(std::string_view path) const;
  // The key, creating it and any missing parents.
  std::shared_ptr<RegistryKey> CreateKey(std::string_view path);
  // The key, or null when it does not exist.
  std::shared_ptr<RegistryKey> FindKey(std::string_view path) const;
  // STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND, or STATUS_CANNOT_DELETE while
  // the key has subkeys (or is the root).
  NTSTATUS DeleteKey(std::string_view path);
  // Deletes a key with everything below it (for scenario set-up and tests).
  void DeleteTree(std::string_view path);
  std::vector<std::string> SubkeyNames(std::string_view path) const;
  std::vector<std::string> ValueNames(std::string_view path) const;

  // ---- values; a setter creates the key when missing
  void SetValue(std::string_view path, std::string_view name, ULONG type,
                std::vector<uint8_t> data);
  std::optional<RegistryValue> GetValue(std::string_view path, std::string_view name) const;
  // True when the value existed.
  bool DeleteValue(std::string_view path, std::string_view name);

  void SetDword(std::string_view path, std::string_view name, uint32_t value);
  // The value when it exists as REG_DWORD of 4 bytes.
  std::optional<uint32_t> GetDword(std::string_view path, std::string_view name) const;
  // REG_SZ (or REG_EXPAND_SZ) with its terminating NUL.
  void SetString(std::string_view path, std::string_view name, std::u16string_view value,
                 ULONG type = 1 /* REG_SZ */);
  // The text of a REG_SZ or REG_EXPAND_SZ value up to its first NUL.
  std::optional<std::u16string> GetString(std::string_view path, std::string_view name) const;
  void SetMultiString(std::string_view path, std::string_view name,
                      const std::vector<std::u16string>& value);
  std::optional<std::vector<std::u16string>> GetMultiString(std::string_view path,
                                                            std::string_view name) const;
  void SetBinary(std::string_view path, std::string_view name, std::vector<uint8_t> value);
  // The bytes of a value of any type.
  std::optional<std::vector<uint8_t>> GetBinary(std::string_view path,
                                                std::string_view name) const;

  // ---- node operations shared with the Zw routines (UTF-16 names)
  // Walks the components below `from`; null when one is missing.
  std::shared_ptr<RegistryKey> Walk(const std::shared_ptr<RegistryKey>& from,
                                    const std::vector<std::u16string_view>& components) const;
  // Adds a subkey that must not exist yet.
  std::shared_ptr<RegistryKey> AddSubkey(RegistryKey& parent, std::u16string_view name,
                                         bool is_volatile, std::u16string_view class_name = {});
  // Fails with STATUS_CANNOT_DELETE while the key has subkeys or is the root.
  NTSTATUS Delete(RegistryKey& key);
  void Set(RegistryKey& key, std::u16string_view name, ULONG type, std::vector<uint8_t> data);
  bool Remove(RegistryKey& key, std::u16string_view name);
  void Touch(RegistryKey& key);

  // Encoding of string values: UTF-16 bytes with the terminating NUL.
  static std::vector<uint8_t> EncodeString(std::u16string_view text);
  static std::vector<uint8_t> EncodeMultiString(const std::vector<std::u16string>& strings);
  // Components of an absolute "\Registry\..." path below the root; throws
  // RegistryError for any other path.
  static std::vector<std::u16string> ParsePath(std::string_view path);

 private:
  std::shared_ptr<RegistryKey> Require(std::string_view path) const;

  std::shared_ptr<RegistryKey> root_;
  std::function<LONGLONG()> clock_;
};

}  // namespace sim
