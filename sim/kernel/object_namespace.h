// The object namespace: named device objects under \Device and symbolic
// links such as \DosDevices\ZARKCARD. Names compare case-insensitively;
// \DosDevices, \?? and \GLOBAL?? are one directory.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "nt/io.h"

namespace sim {

class ObjectNamespace {
 public:
  bool Exists(const std::u16string& name) const;
  void InsertDevice(const std::u16string& name, DEVICE_OBJECT* device);
  void RemoveDevice(const std::u16string& name);
  // STATUS_OBJECT_NAME_COLLISION when the link name is taken.
  NTSTATUS CreateLink(const std::u16string& link, const std::u16string& target);
  // STATUS_OBJECT_NAME_NOT_FOUND when there is no such link.
  NTSTATUS DeleteLink(const std::u16string& link);
  // Follows links to a device; null when the name leads nowhere. *rest gets
  // what follows the device's name ("\\path" of a file opened on a device).
  DEVICE_OBJECT* Resolve(const std::u16string& name, std::u16string* rest = nullptr) const;
  // The target of a link, or empty.
  std::u16string LinkTarget(const std::u16string& link) const;

  struct Entry {
    std::u16string name;  // as created
    DEVICE_OBJECT* device = nullptr;
    std::u16string link_target;
  };
  std::vector<Entry> Devices() const;
  std::vector<Entry> Links() const;

  static std::u16string Canonical(const std::u16string& name);

 private:
  std::map<std::u16string, Entry> entries_;  // by canonical name
};

}  // namespace sim
