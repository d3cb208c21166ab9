// The driver verifier: always on. Every rule a driver breaks becomes a
// finding that names the rule, the driver (or kernel routine) and the
// virtual time; a test fails when a machine ends with findings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nt/basetypes.h"

namespace sim {

struct Finding {
  std::string rule;     // short rule name, e.g. "pool-leak", "irp-completed-twice"
  std::string subject;  // the driver, tag, routine or object concerned
  std::string detail;   // readable explanation
  LONGLONG time = 0;    // virtual time in 100 ns units
  uint64_t seed = 0;    // the run's seed, which replays it
};

class Verifier {
 public:
  void Report(std::string rule, std::string subject, std::string detail);
  const std::vector<Finding>& findings() const { return findings_; }
  bool clean() const { return findings_.empty(); }
  // The findings as a readable multi-line report ("" when clean).
  std::string Summary() const;
  // Findings of one rule (for tests that provoke a rule on purpose).
  size_t Count(const std::string& rule) const;
  // Drops findings a test provoked on purpose and has checked.
  void Forget(const std::string& rule);

 private:
  std::vector<Finding> findings_;
};

}  // namespace sim
