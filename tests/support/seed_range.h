// The seeds a seeded concurrency test runs under: 200 from seed 1 unless
// ZARK_SEED_BASE and ZARK_SEED_COUNT say otherwise (scripts/sweep runs
// longer sweeps through them). A failure names its seed, which replays it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace sim::test {

struct SeedRange {
  uint64_t first = 1;
  uint64_t count = 200;
  uint64_t last() const { return first + count - 1; }
};

inline SeedRange SeedsFromEnvironment(uint64_t default_count = 200) {
  SeedRange range;
  range.count = default_count;
  if (const char* base = std::getenv("ZARK_SEED_BASE")) range.first = 1 + std::stoull(base);
  if (const char* count = std::getenv("ZARK_SEED_COUNT")) range.count = std::stoull(count);
  return range;
}

}  // namespace sim::test
