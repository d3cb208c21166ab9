// What a driver leaves behind when it unloads is a finding that names it.
#include <gtest/gtest.h>

#include <string>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/registry/registry.h"
#include "support/kernel_test.h"

namespace {

class DriverUnloadTest : public sim::test::KernelTest {
 protected:
  // Loads and unloads the misbehaving driver in the given mode.
  void LoadAndUnload(uint32_t mode) {
    kernel().registry->CreateKey("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\misbehave");
    kernel().registry->SetDword("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\misbehave", "Mode", mode);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::string error;
    sim::DriverRecord* driver = kernel().io->LoadDriver("misbehave", &status, &error);
    ASSERT_NE(driver, nullptr) << error;
    kernel().io->UnloadDriver(driver);
  }
  // The one finding of a rule, which must name the driver.
  std::string OnlyFinding(const std::string& rule) {
    EXPECT_EQ(kernel().verifier->Count(rule), 1u) << kernel().verifier->Summary();
    for (const auto& finding : kernel().verifier->findings())
      if (finding.rule == rule) {
        EXPECT_EQ(finding.subject, "misbehave");
        std::string detail = finding.detail;
        kernel().verifier->Forget(rule);
        return detail;
      }
    return {};
  }
};

TEST_F(DriverUnloadTest, WellBehavedDriverLeavesNothing) {
  LoadAndUnload(0);
  EXPECT_TRUE(kernel().verifier->clean()) << kernel().verifier->Summary();
}

TEST_F(DriverUnloadTest, LeakedPoolIsReportedWithItsTag) {
  LoadAndUnload(1);
  EXPECT_NE(OnlyFinding("pool-leak").find("\"Leak\""), std::string::npos);
}

TEST_F(DriverUnloadTest, LeakedHandleIsReportedWithWhatItOpened) {
  LoadAndUnload(2);
  EXPECT_NE(OnlyFinding("handle-leak").find("Services\\misbehave"), std::string::npos);
}

TEST_F(DriverUnloadTest, ThreadAndTimerLeftBehindAreReported) {
  LoadAndUnload(4 | 8);
  OnlyFinding("thread-left-running");
  OnlyFinding("timer-left-set");
}

}  // namespace
