// The bench catches a Plug and Play driver's faults: each mode of the
// faulty_pnp image breaks one rule, and the verifier names the driver and
// what it did, within the seed window. The same life of a device runs for
// every mode: two cards arrive, an application thread reads from the first
// while the card is pulled and the handle closed, the machine shuts down.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/kernel/application.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/utf16_text.h"
#include "sim/machine/machine.h"
#include "support/seed_range.h"
#include "wdm.h"

namespace {

const char kService[] = "faulty_pnp";
const char kServiceKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\faulty_pnp";
constexpr ULONG kRemoveWaits = 6;


sim::CardConfig Card(UCHAR slot) {
  sim::CardConfig card;
  card.vendor_id = 0x1234;
  card.device_id = 0x0002;
  card.location = sim::hw::PciLocation{1, slot, 0};
  return card;
}

struct Reader {
  sim::Application* app;
  HANDLE handle;
};

// Reads until the handle is closed under it, with overlapped reads waited
// for one at a time.
void NTAPI ReadUntilClosed(PVOID context) {
  auto* reader = static_cast<Reader*>(context);
  UCHAR buffer[16];
  for (int i = 0; i < 50; ++i) {
    sim::Overlapped overlapped;
    if (!NT_SUCCESS(reader->app->ReadAsync(reader->handle, buffer, sizeof buffer, &overlapped))) break;
    if (!NT_SUCCESS(reader->app->Result(&overlapped, true).status)) break;
  }
}

// Boots a machine with the driver in the mode, runs the device's life and
// shuts down; returns the findings.
std::vector<sim::Finding> RunFaultyPnp(uint64_t seed, ULONG mode) {
  sim::Machine machine(sim::test::PreemptedMachine(seed));
  machine.Boot();
  sim::Kernel& kernel = machine.kernel();
  kernel.registry->CreateKey(kServiceKey);
  kernel.registry->SetDword(kServiceKey, "Mode", mode);
  kernel.pnp->Bind("PCI\\VEN_1234&DEV_0002", kService);
  DEVICE_OBJECT* pdo = machine.PlugCard(Card(5));
  // The second card keeps the image mapped after the first card goes, so a
  // read that outlives a removal still has its code.
  machine.PlugCard(Card(6));
  EXPECT_NE(pdo->AttachedDevice, nullptr) << "the driver did not attach to the card";

  Reader reader{&machine.app(), nullptr};
  const std::string name = sim::Utf16ToUtf8(kernel.io->FindDevice(pdo)->name);
  EXPECT_EQ(machine.app().Open(name, &reader.handle), STATUS_SUCCESS);
  // Keeps the function device's memory while a read may still run in the
  // driver after a removal that did not wait for it.
  DEVICE_OBJECT* fdo = IoGetAttachedDeviceReference(pdo);
  HANDLE handle = nullptr;
  PVOID thread = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReadUntilClosed, &reader),
            STATUS_SUCCESS);
  ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
  ZwClose(handle);
  // Pulled, the card's stack is removed once its last file object goes: at
  // the close, or when the read in flight then completes.
  EXPECT_EQ(machine.PullCard(0), STATUS_SUCCESS);
  machine.app().Close(reader.handle);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  kernel.pnp->WaitIdle();
  ObDereferenceObject(fdo);
  machine.Shutdown();
  return machine.verifier().findings();
}

struct Fault {
  ULONG mode;
  std::string rule;     // the one rule that catches it
  std::string mention;  // what the finding's detail names
};

// The first seed of the window under which the fault shows, 0 if none; no
// seed gives any other finding.
uint64_t SeedsUntilCaught(const Fault& fault, std::string* detail) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment();
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    bool caught = false;
    for (const sim::Finding& finding : RunFaultyPnp(seed, fault.mode)) {
      EXPECT_EQ(finding.rule, fault.rule) << "seed " << seed << ": " << finding.detail;
      EXPECT_EQ(finding.subject, kService) << "seed " << seed << ": " << finding.detail;
      if (finding.rule != fault.rule) continue;
      caught = true;
      *detail = finding.detail;
    }
    if (caught) return seed;
  }
  return 0;
}

class FaultyPnpDriverTest : public ::testing::TestWithParam<Fault> {};

TEST_P(FaultyPnpDriverTest, IsCaughtWithinTheSeedWindowAndReplays) {
  const Fault& fault = GetParam();
  std::string detail;
  const uint64_t seed = SeedsUntilCaught(fault, &detail);
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment();
  ASSERT_NE(seed, 0u) << "no seed from " << seeds.first << " to " << seeds.last() << " showed " << fault.rule;
  std::printf("mode %u: caught after %llu seed(s), at seed %llu\n", fault.mode,
              static_cast<unsigned long long>(seed - seeds.first + 1), static_cast<unsigned long long>(seed));
  EXPECT_NE(detail.find(fault.mention), std::string::npos) << detail;
  // The same seed gives the same findings.
  std::vector<sim::Finding> first = RunFaultyPnp(seed, fault.mode);
  std::vector<sim::Finding> again = RunFaultyPnp(seed, fault.mode);
  ASSERT_EQ(first.size(), again.size());
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].rule, again[i].rule);
    EXPECT_EQ(first[i].subject, again[i].subject);
    EXPECT_EQ(first[i].time, again[i].time);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultyPnpDriverTest,
    ::testing::Values(
        // A read returns STATUS_PENDING unmarked and a timer's DPC completes it.
        Fault{1, "irp-pending-not-marked", "returned STATUS_PENDING but never marked"},
        // Start frees the IRP that IoBuildDeviceIoControlRequest built for its thread.
        Fault{2, "irp-threaded-freed", "IoFreeIrp of IRP"},
        // Start invalidates the relations of its own function device.
        Fault{3, "not-a-pdo", "IoInvalidateDeviceRelations on"},
        // The child's hardware ID holds a comma.
        Fault{4, "pnp-bad-id", "FAULTY\\CHILD,1"},
        // Removal frees the context while a read that holds the remove lock still writes into it.
        Fault{5, "pool-write-after-free", "after faulty_pnp freed them"}),
    [](const auto& info) { return "Mode" + std::to_string(info.param.mode); });

// The same removal under the same seeds, waiting for the reads.
TEST(FaultyPnpDriverCleanTest, RemoveThatWaitsForItsReadsIsCleanUnderEverySeed) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment();
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    std::vector<sim::Finding> findings = RunFaultyPnp(seed, kRemoveWaits);
    for (const sim::Finding& finding : findings)
      ADD_FAILURE() << "seed " << seed << ": " << finding.rule << " (" << finding.subject << "): " << finding.detail;
    if (!findings.empty()) break;
  }
}

}  // namespace
