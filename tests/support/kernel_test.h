// Test fixtures that run a test body inside a simulated machine and fail
// the test when the machine's verifier found anything.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/kernel/kernel.h"
#include "sim/machine/machine.h"

namespace sim::test {

// A machine with no devices: the kernel model alone.
class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = std::make_unique<Machine>(config());
    machine_->Boot();
  }
  void TearDown() override {
    machine_->Shutdown();
    EXPECT_TRUE(machine_->verifier().clean()) << machine_->verifier().Summary();
    machine_.reset();
  }
  virtual MachineConfig config() const { return {}; }

  // The one finding of the rule, which must name the subject: its detail.
  // The finding is forgotten, so the test ends clean if nothing else broke.
  std::string TakeOnlyFinding(const std::string& rule, const std::string& subject) {
    Verifier& verifier = *machine_->kernel().verifier;
    EXPECT_EQ(verifier.Count(rule), 1u) << verifier.Summary();
    std::string detail;
    for (const Finding& finding : verifier.findings()) {
      if (finding.rule != rule) continue;
      EXPECT_EQ(finding.subject, subject) << finding.detail;
      detail = finding.detail;
      break;
    }
    verifier.Forget(rule);
    return detail;
  }

  Kernel& kernel() { return machine_->kernel(); }
  Machine& machine() { return *machine_; }
  Application& app() { return machine_->app(); }

 private:
  std::unique_ptr<Machine> machine_;
};

}  // namespace sim::test
