// The misbehaving driver image: what it leaves behind when it unloads, and
// the rules it breaks while loaded, are findings that name it.
#include <gtest/gtest.h>

#include <string>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/registry/registry.h"
#include "support/kernel_test.h"

namespace {

class DriverUnloadTest : public sim::test::KernelTest {
 protected:
  // Loads the misbehaving driver in the given mode.
  sim::DriverRecord* Load(uint32_t mode) {
    kernel().registry->CreateKey("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\misbehave");
    kernel().registry->SetDword("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\misbehave", "Mode", mode);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::string error;
    sim::DriverRecord* driver = kernel().io->LoadDriver("misbehave", &status, &error);
    EXPECT_NE(driver, nullptr) << error;
    return driver;
  }
  void LoadAndUnload(uint32_t mode) {
    if (sim::DriverRecord* driver = Load(mode)) kernel().io->UnloadDriver(driver);
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

TEST_F(DriverUnloadTest, ZeroByteAllocationIsReported) {
  LoadAndUnload(32);
  EXPECT_NE(OnlyFinding("pool-zero-size").find("\"Zero\""), std::string::npos);
}

// The driver first frees a block whose timer it cancelled, which is fine.
TEST_F(DriverUnloadTest, FreeingPoolThatHoldsASetTimerOrAQueuedDpcIsReported) {
  LoadAndUnload(64);
  EXPECT_NE(OnlyFinding("pool-freed-with-active-timer").find("\"Timr\""), std::string::npos);
  LoadAndUnload(128);
  OnlyFinding("pool-freed-with-active-timer");
}

// DriverEntry leaves its device initializing; the I/O manager clears the
// flag. The device is exclusive: a second open fails before the driver
// sees it.
TEST_F(DriverUnloadTest, DeviceOfDriverEntryOpensOnceAtATime) {
  sim::DriverRecord* driver = Load(16);
  ASSERT_NE(driver->object.DeviceObject, nullptr);
  EXPECT_EQ(driver->object.DeviceObject->Flags & DO_DEVICE_INITIALIZING, 0u);
  const LONG* creates_seen = static_cast<const LONG*>(driver->object.DeviceObject->DeviceExtension);
  HANDLE first = nullptr, second = nullptr;
  ASSERT_EQ(app().Open("\\Device\\Misbehave", &first), STATUS_SUCCESS);
  EXPECT_EQ(app().Open("\\Device\\Misbehave", &second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(*creates_seen, 1);
  app().Close(first);
  EXPECT_EQ(app().Open("\\Device\\Misbehave", &second), STATUS_SUCCESS);
  app().Close(second);
  kernel().io->UnloadDriver(driver);
  EXPECT_TRUE(kernel().verifier->clean()) << kernel().verifier->Summary();
}

}  // namespace
