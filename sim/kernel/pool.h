// Pool: every block is tracked by tag, pool type and the driver that
// allocated it, so that leaks, double frees and wrong tags are findings.
// Blocks come from malloc so that AddressSanitizer sees overruns.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "nt/ex.h"

namespace sim {

class DriverImage;

struct PoolBlock {
  SIZE_T size = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  const DriverImage* owner = nullptr;
  LONGLONG allocated_at = 0;
};

// "TBus" for the tag whose bytes in memory spell T, B, u, s.
std::string TagText(ULONG tag);

class Pool {
 public:
  Pool() = default;
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const DriverImage* owner);
  // check_tag: ExFreePoolWithTag checks the tag, ExFreePool does not.
  void Free(PVOID block, ULONG tag, bool check_tag, const DriverImage* caller);

  const std::map<PVOID, PoolBlock>& blocks() const { return blocks_; }
  // Reports and releases every block the owner still holds; returns how many.
  size_t ReportLeaks(const DriverImage* owner, const std::string& when);
  // Every block still allocated, whoever owns it.
  size_t ReportAllLeaks(const std::string& when);
  // Bytes and blocks in use by tag, for reports.
  std::map<std::string, std::pair<size_t, size_t>> UsageByTag() const;
  size_t allocations() const { return allocations_; }

 private:
  std::map<PVOID, PoolBlock> blocks_;
  std::vector<void*> quarantine_;  // freed while a timer or DPC in them was live
  size_t allocations_ = 0;
};

}  // namespace sim
