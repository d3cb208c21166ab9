#include "sim/kernel/verifier.h"

#include <algorithm>
#include <sstream>

#include "sim/kernel/kernel.h"
#include "sim/kernel/scheduler.h"

namespace sim {

void Verifier::Report(std::string rule, std::string subject, std::string detail) {
  LONGLONG now = HasKernel() ? K().Now() : 0;
  uint64_t seed = HasKernel() && K().scheduler ? K().scheduler->options().seed : 0;
  findings_.push_back(Finding{std::move(rule), std::move(subject), std::move(detail), now, seed});
}

std::string Verifier::Summary() const {
  std::ostringstream out;
  for (const Finding& finding : findings_) {
    out << "verifier: [" << finding.rule << "] " << finding.subject << ": " << finding.detail << " (at "
        << finding.time / 10 << " us, seed " << finding.seed << ")\n";
  }
  return out.str();
}

size_t Verifier::Count(const std::string& rule) const {
  return static_cast<size_t>(
      std::count_if(findings_.begin(), findings_.end(), [&](const Finding& f) { return f.rule == rule; }));
}

void Verifier::Forget(const std::string& rule) {
  findings_.erase(std::remove_if(findings_.begin(), findings_.end(), [&](const Finding& f) { return f.rule == rule; }),
                  findings_.end());
}

}  // namespace sim
