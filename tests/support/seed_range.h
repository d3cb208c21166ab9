// Seeded concurrency tests: the machines they boot and the seeds they run
// under (200 from seed 1 unless ZARK_SEED_BASE and ZARK_SEED_COUNT say
// otherwise; scripts/sweep runs longer sweeps through them). A failure
// names its seed, which replays it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/machine/machine.h"

namespace sim::test {

// A machine whose kernel entries hand the host to another context at
// random, with the given chance in thousandths.
inline MachineConfig PreemptedMachine(uint64_t seed, int processors = 2, unsigned per_mille = 250) {
  MachineConfig config;
  config.seed = seed;
  config.processors = processors;
  config.preemption.mode = PreemptionOptions::Mode::Random;
  config.preemption.per_mille = per_mille;
  return config;
}

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
