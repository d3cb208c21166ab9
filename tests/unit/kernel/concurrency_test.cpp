// The bench finds concurrency faults: drivers with a race on purpose are
// caught under some seed with preemption on, and a failing seed replays
// exactly. Also the interrupt and DPC model under preemption.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/kernel/interrupts.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/scheduler.h"
#include "sim/machine/machine.h"
#include "support/seed_range.h"
#include "support/test_devices.h"
#include "wdm.h"

namespace {



constexpr uint32_t kUnloadUnderDpc = 5;

// Boots a machine, loads the racy driver in the mode, unloads it and shuts
// down; returns the findings.
std::vector<sim::Finding> RunRacyDriver(uint64_t seed, uint32_t mode, bool assert_line = false) {
  sim::Machine machine(sim::test::PreemptedMachine(seed));
  machine.Boot();
  auto& kernel = machine.kernel();
  kernel.registry->CreateKey("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\racy");
  kernel.registry->SetDword("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\racy", "Mode", mode);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string error;
  sim::DriverRecord* driver = kernel.io->LoadDriver("racy", &status, &error);
  EXPECT_NE(driver, nullptr) << error;
  if (driver && assert_line) {
    kernel.interrupts->SetLine(10, true);
    kernel.scheduler->Settle();
    kernel.interrupts->SetLine(10, false);
  }
  if (mode == kUnloadUnderDpc) {
    // The unload races the DPC: a few kernel entries give it the chance to start.
    for (int i = 0; i < 3; ++i) kernel.scheduler->KernelEntry();
  } else {
    kernel.scheduler->Settle();  // everything the driver started runs out first
  }
  if (driver) kernel.io->UnloadDriver(driver);
  machine.Shutdown();
  return machine.verifier().findings();
}

// The first seed under which the fault shows as one of the rules, naming
// the driver.
uint64_t SeedsUntilCaught(uint32_t mode, const std::vector<std::string>& rules) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment();
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    for (const sim::Finding& finding : RunRacyDriver(seed, mode)) {
      if (std::find(rules.begin(), rules.end(), finding.rule) == rules.end()) continue;
      EXPECT_EQ(finding.subject, "racy") << finding.detail;
      return seed;
    }
  }
  return 0;
}

struct Fault {
  uint32_t mode;
  std::vector<std::string> rules;  // what catches it
};

class RacyDriverTest : public ::testing::TestWithParam<Fault> {};

TEST_P(RacyDriverTest, IsCaughtWithinTheSeedLimitAndReplays) {
  const Fault fault = GetParam();
  const uint64_t seed = SeedsUntilCaught(fault.mode, fault.rules);
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment();
  ASSERT_NE(seed, 0u) << "no seed from " << seeds.first << " to " << seeds.last() << " showed " << fault.rules.front();
  std::printf("mode %u: caught after %llu seed(s), at seed %llu\n", fault.mode,
              static_cast<unsigned long long>(seed - seeds.first + 1), static_cast<unsigned long long>(seed));
  // The same seed gives the same run, findings and all.
  std::vector<sim::Finding> first = RunRacyDriver(seed, fault.mode);
  std::vector<sim::Finding> again = RunRacyDriver(seed, fault.mode);
  ASSERT_EQ(first.size(), again.size());
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].rule, again[i].rule);
    EXPECT_EQ(first[i].subject, again[i].subject);
    EXPECT_EQ(first[i].time, again[i].time);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, RacyDriverTest,
                         ::testing::Values(
                             // A counter without its lock: a slot is taken twice and one block is lost.
                             Fault{1, {"pool-leak"}},
                             // Freed right after KeCancelTimer: the DPC still queued, or running and
                             // writing into the freed context.
                             Fault{2, {"pool-freed-with-active-timer", "pool-write-after-free"}},
                             // A DPC and a thread share the table without the lock: blocks freed twice.
                             Fault{3, {"pool-bad-free"}},
                             // Unloaded while its DPC still runs on the other processor.
                             Fault{5, {"unload-while-running"}}),
                         [](const auto& info) { return std::string("Mode") + std::to_string(info.param.mode); });

TEST(InterruptStormTest, AnUnclaimedAssertedLineIsAStormNamingTheDriver) {
  std::vector<sim::Finding> findings = RunRacyDriver(1, 4, true);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, "interrupt-storm");
  EXPECT_EQ(findings[0].subject, "racy");
  EXPECT_NE(findings[0].detail.find("line 10"), std::string::npos) << findings[0].detail;
}

// --- The interrupt and DPC model, with routines of the test itself ---------

struct Device {
  PKINTERRUPT interrupt = nullptr;
  KDPC dpc;
  int isr_runs = 0;
  KIRQL isr_irql = 0;
  ULONG isr_processor = 0;
  int dpc_runs = 0;
  KIRQL dpc_irql = 0;
  bool pending = false;  // the device's own interrupt condition
  bool inside_synchronized = false;
  bool isr_saw_synchronized = false;
};

BOOLEAN NTAPI DeviceIsr(PKINTERRUPT, PVOID context) {
  auto* device = static_cast<Device*>(context);
  ++device->isr_runs;
  device->isr_irql = KeGetCurrentIrql();
  device->isr_processor = KeGetCurrentProcessorNumber();
  if (device->inside_synchronized) device->isr_saw_synchronized = true;
  if (!device->pending) return FALSE;
  device->pending = false;
  sim::K().interrupts->SetLine(3, false);
  KeInsertQueueDpc(&device->dpc, nullptr, nullptr);
  return TRUE;
}

void NTAPI DeviceDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* device = static_cast<Device*>(context);
  ++device->dpc_runs;
  device->dpc_irql = KeGetCurrentIrql();
}

BOOLEAN NTAPI Synchronized(PVOID context) {
  auto* device = static_cast<Device*>(context);
  device->inside_synchronized = true;
  // Another processor may take the line meanwhile; its routine must wait.
  sim::K().interrupts->SetLine(3, true);
  device->pending = true;
  sim::K().scheduler->Yield();
  device->inside_synchronized = false;
  return TRUE;
}

TEST(InterruptModelTest, LineServicedAtItsIrqlExcludedBySynchronizeAndDpcFollows) {
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    sim::Machine machine(sim::test::PreemptedMachine(seed));
    machine.Boot();
    Device device;
    KeInitializeDpc(&device.dpc, DeviceDpc, &device);
    // Line 3 translates to vector 0x53 at IRQL 5.
    ASSERT_EQ(IoConnectInterrupt(&device.interrupt, DeviceIsr, &device, nullptr, 0x53, 5, 5, LevelSensitive, TRUE, 1,
                                 FALSE),
              STATUS_SUCCESS);
    EXPECT_EQ(KeSynchronizeExecution(device.interrupt, Synchronized, &device), TRUE);
    machine.kernel().scheduler->Settle();
    EXPECT_EQ(device.isr_runs, 1) << "seed " << seed;
    EXPECT_FALSE(device.isr_saw_synchronized) << "seed " << seed;
    EXPECT_EQ(device.isr_irql, 5) << "seed " << seed;
    EXPECT_EQ(device.dpc_runs, 1) << "seed " << seed;
    EXPECT_EQ(device.dpc_irql, DISPATCH_LEVEL) << "seed " << seed;
    // A wrong vector is refused and reported.
    PKINTERRUPT wrong = nullptr;
    EXPECT_EQ(IoConnectInterrupt(&wrong, DeviceIsr, &device, nullptr, 0x53, 7, 7, LevelSensitive, TRUE, 1, FALSE),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(machine.verifier().Count("interrupt-connect"), 1u);
    machine.kernel().verifier->Forget("interrupt-connect");
    IoDisconnectInterrupt(device.interrupt);
    machine.Shutdown();
    EXPECT_TRUE(machine.verifier().clean()) << "seed " << seed << "\n" << machine.verifier().Summary();
  }
}

TEST(InterruptModelTest, ConnectInterruptExTakesTheFullySpecifiedForm) {
  sim::Machine machine;
  machine.Boot();
  sim::DriverRecord* bus = machine.kernel().io->CreateBuiltinDriver("testbus");
  DEVICE_OBJECT* pdo = sim::test::CreateTestDevice(bus);
  Device device;
  KeInitializeDpc(&device.dpc, DeviceDpc, &device);
  IO_CONNECT_INTERRUPT_PARAMETERS parameters{};
  parameters.Version = CONNECT_FULLY_SPECIFIED;
  parameters.FullySpecified.PhysicalDeviceObject = pdo;
  parameters.FullySpecified.InterruptObject = &device.interrupt;
  parameters.FullySpecified.ServiceRoutine = DeviceIsr;
  parameters.FullySpecified.ServiceContext = &device;
  parameters.FullySpecified.SynchronizeIrql = 5;
  parameters.FullySpecified.ShareVector = TRUE;
  parameters.FullySpecified.Vector = 0x53;
  parameters.FullySpecified.Irql = 5;
  parameters.FullySpecified.InterruptMode = LevelSensitive;
  parameters.FullySpecified.ProcessorEnableMask = 3;
  ASSERT_EQ(IoConnectInterruptEx(&parameters), STATUS_SUCCESS);
  device.pending = true;
  machine.kernel().interrupts->SetLine(3, true);
  machine.kernel().scheduler->Settle();
  EXPECT_EQ(device.isr_runs, 1);
  EXPECT_EQ(device.dpc_runs, 1);
  IO_DISCONNECT_INTERRUPT_PARAMETERS disconnect{};
  disconnect.Version = CONNECT_FULLY_SPECIFIED;
  disconnect.ConnectionContext.InterruptObject = device.interrupt;
  IoDisconnectInterruptEx(&disconnect);
  EXPECT_FALSE(machine.kernel().interrupts->IsConnected(device.interrupt));
  // The line-based form is not modelled, and says so.
  parameters.Version = CONNECT_LINE_BASED;
  EXPECT_EQ(IoConnectInterruptEx(&parameters), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(machine.verifier().Count("unsupported-by-model"), 1u);
  machine.kernel().verifier->Forget("unsupported-by-model");
  IoDeleteDevice(pdo);
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().clean()) << machine.verifier().Summary();
}

}  // namespace
