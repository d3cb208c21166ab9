// Resource assignment: turns a device's requirements list into the raw and
// translated resource lists its start request carries, without giving two
// devices the same exclusive range. One descriptor is chosen for every
// requirement: the preferred one when it is free, else the first
// alternative that fits; device-private descriptors are copied as they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wdm.h"

namespace sim {

// A CM_RESOURCE_LIST with one full descriptor, as bytes.
struct ResourceLists {
  std::vector<uint8_t> raw;
  std::vector<uint8_t> translated;
  const CM_RESOURCE_LIST* Raw() const { return raw.empty() ? nullptr : reinterpret_cast<const CM_RESOURCE_LIST*>(raw.data()); }
  const CM_RESOURCE_LIST* Translated() const {
    return translated.empty() ? nullptr : reinterpret_cast<const CM_RESOURCE_LIST*>(translated.data());
  }
  bool empty() const { return raw.empty(); }
};

// The interrupt vector and IRQL the model's interrupt controller gives a line.
ULONG TranslatedVector(ULONG line);
KIRQL InterruptIrql(ULONG line);

class ResourceArbiter {
 public:
  // STATUS_SUCCESS with the lists, STATUS_CONFLICTING_ADDRESSES when a
  // requirement has no free choice, STATUS_INVALID_PARAMETER for a list
  // that is malformed (sizes that do not add up, no alternative list).
  NTSTATUS Assign(const IO_RESOURCE_REQUIREMENTS_LIST* requirements, const void* owner, ResourceLists* out);
  // Marks the ranges of an assigned list as taken by the owner.
  void Reserve(const CM_RESOURCE_LIST* list, const void* owner);
  // Gives back everything assigned to the owner.
  void Release(const void* owner);
  size_t ranges_in_use() const { return ranges_.size(); }

 private:
  struct Range {
    UCHAR type;
    ULONGLONG start;
    ULONGLONG end;  // inclusive
    bool shared;
    const void* owner;
  };
  bool Free(UCHAR type, ULONGLONG start, ULONGLONG end, bool shared) const;
  bool Choose(const IO_RESOURCE_DESCRIPTOR& option, CM_PARTIAL_RESOURCE_DESCRIPTOR* chosen,
              std::vector<Range>* taken) const;

  std::vector<Range> ranges_;
};

// A readable line for each partial descriptor ("port 0xE000-0xE007 exclusive").
std::vector<std::string> DescribeResources(const CM_RESOURCE_LIST* list);

}  // namespace sim
