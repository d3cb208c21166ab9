#include "sim/kernel/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/kernel/fault_plan.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/scheduler.h"
#include "wdm.h"

namespace sim {

namespace {
// Fresh pool is not zeroed on Windows; a fixed pattern makes a driver that
// reads before it writes fail the same way every run.
constexpr int kFreshPoolByte = 0xC5;
constexpr ULONG kProtectedPoolBit = 0x80000000U;
// What a freed block holds while it is held back, and how much is held.
constexpr unsigned char kFreedPoolByte = 0xF7;
constexpr size_t kFreedBytesHeld = 4 << 20;

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }
}  // namespace

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

PVOID Pool::Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const DriverImage* owner) {
  const char* routine = "ExAllocatePoolWithTag";
  if (!CheckIrql(routine, IsPaged(type) ? APC_LEVEL : DISPATCH_LEVEL)) return nullptr;
  // Windows' verifier stops here; the model goes on with a one-byte block.
  if (size == 0) ReportCaller(owner, "pool-zero-size", "allocation of zero bytes tagged \"" + TagText(tag) + "\"");
  if (K().faults->ShouldFail(FaultKind::Pool, owner)) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (!block) return nullptr;
  std::memset(block, kFreshPoolByte, size);
  blocks_[block] = PoolBlock{size, tag, type, owner, K().Now()};
  ++allocations_;
  return block;
}

void Pool::Free(PVOID block, ULONG tag, bool check_tag, const DriverImage* caller) {
  auto it = blocks_.find(block);
  if (it == blocks_.end()) {
    const bool freed_before = std::any_of(freed_.begin(), freed_.end(),
                                          [block](const FreedBlock& freed) { return freed.address == block; });
    ReportCaller(caller, "pool-bad-free",
                 "free of " + Hex(reinterpret_cast<ULONG_PTR>(block)) +
                     (freed_before ? ", which was already freed"
                                   : ", which is not an allocated pool block (double free or foreign pointer)"));
    return;
  }
  // Freed even at the wrong IRQL: the finding is the IRQL, not a leak too.
  CheckIrql("ExFreePool", IsPaged(it->second.type) ? APC_LEVEL : DISPATCH_LEVEL);
  if (check_tag && (tag & ~kProtectedPoolBit) != (it->second.tag & ~kProtectedPoolBit)) {
    ReportCaller(caller, "pool-wrong-tag",
                 "block tagged \"" + TagText(it->second.tag) + "\" freed with tag \"" + TagText(tag) + "\"");
  }
  // Windows stops with TIMER_OR_DPC_INVALID when the timer fires or the DPC
  // runs from freed memory; the verifier says so now and cancels them.
  if (size_t active = K().scheduler->CancelTimersAndDpcsWithin(block, it->second.size)) {
    ReportCaller(caller, "pool-freed-with-active-timer",
                 std::to_string(it->second.size) + " bytes tagged \"" + TagText(it->second.tag) + "\" freed while " +
                     std::to_string(active) + " timer(s) in them are set or DPC(s) in them are queued");
  }
  const PoolBlock freed = it->second;
  blocks_.erase(it);
  std::memset(block, kFreedPoolByte, freed.size);
  freed_.push_back(FreedBlock{block, freed, caller, K().Now()});
  freed_bytes_ += freed.size;
  while (freed_bytes_ > kFreedBytesHeld) {
    Release(freed_.front());
    freed_bytes_ -= freed_.front().block.size;
    freed_.pop_front();
  }
}

Pool::~Pool() {
  for (const FreedBlock& freed : freed_) std::free(freed.address);
  for (const auto& [address, block] : blocks_) std::free(address);
}

void Pool::Release(const FreedBlock& freed) {
  const auto* bytes = static_cast<const unsigned char*>(freed.address);
  for (SIZE_T i = 0; i < freed.block.size; ++i) {
    if (bytes[i] == kFreedPoolByte) continue;
    ReportCaller(freed.block.owner, "pool-write-after-free",
                 std::to_string(freed.block.size) + " bytes tagged \"" + TagText(freed.block.tag) +
                     "\" written at offset " + std::to_string(i) + " after " + ImageName(freed.freed_by) +
                     " freed them at " + std::to_string(freed.freed_at / 10) + " us");
    break;
  }
  std::free(freed.address);
}

void Pool::ReleaseFreedBlocks() {
  for (const FreedBlock& freed : freed_) Release(freed);
  freed_.clear();
  freed_bytes_ = 0;
}

size_t Pool::ReportLeaks(const DriverImage* owner, const std::string& when) {
  size_t count = 0;
  for (auto it = blocks_.begin(); it != blocks_.end();) {
    if (it->second.owner != owner) {
      ++it;
      continue;
    }
    ReportCaller(owner, "pool-leak",
                 std::to_string(it->second.size) + " bytes tagged \"" + TagText(it->second.tag) +
                     "\" still allocated " + when);
    std::free(it->first);
    it = blocks_.erase(it);
    ++count;
  }
  return count;
}

size_t Pool::ReportAllLeaks(const std::string& when) {
  ReleaseFreedBlocks();
  size_t count = 0;
  while (!blocks_.empty()) count += ReportLeaks(blocks_.begin()->second.owner, when);
  return count;
}

std::map<std::string, std::pair<size_t, size_t>> Pool::UsageByTag() const {
  std::map<std::string, std::pair<size_t, size_t>> usage;
  for (const auto& [address, block] : blocks_) {
    auto& entry = usage[TagText(block.tag)];
    entry.first += block.size;
    entry.second += 1;
  }
  return usage;
}

}  // namespace sim

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return sim::K().pool->Allocate(PoolType, NumberOfBytes, Tag, SIM_CALLER());
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return sim::K().pool->Allocate(PoolType, NumberOfBytes, ' eoN', SIM_CALLER());
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) { sim::K().pool->Free(P, Tag, true, SIM_CALLER()); }

void ExFreePool(PVOID P) { sim::K().pool->Free(P, 0, false, SIM_CALLER()); }

}  // extern "C"
