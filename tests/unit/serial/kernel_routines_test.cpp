// Kernel routines the serial port driver brought into the model:
// RtlWriteRegistryValue and RtlDeleteRegistryValue with their roots, and
// KeFlushQueuedDpcs.
#include "serial_machine.h"

namespace serial_test {
namespace {

using RegistryRoutinesTest = sim::test::KernelTest;

TEST_F(RegistryRoutinesTest, ValuesGoBelowTheRootTheCallerNamesAndTheKeyIsCreatedOnlyBelowAnExistingParent) {
  sim::Registry& registry = *kernel().registry;
  ULONG one = 1;
  WCHAR com[] = L"COM9";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial9", REG_SZ, com,
                                  sizeof(com)),
            STATUS_SUCCESS);
  EXPECT_EQ(registry.GetString("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\Serial9"), u"COM9");
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"Probe\\Parameters", L"One", REG_DWORD, &one, sizeof(one)),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"Probe", L"One", REG_DWORD, &one, sizeof(one)),
            STATUS_SUCCESS);
  EXPECT_EQ(registry.GetDword("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Probe", "One"), 1u);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\Probe", L"One", REG_DWORD,
                                  &one, sizeof(one)),
            STATUS_SUCCESS);
  EXPECT_EQ(registry.GetDword("\\Registry\\Machine\\SOFTWARE\\Probe", "One"), 1u);
  EXPECT_EQ(RtlWriteRegistryValue(7, L"X", L"One", REG_DWORD, &one, sizeof(one)), STATUS_INVALID_PARAMETER);

  // Through a handle the caller holds.
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\SOFTWARE\\Probe");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
  ULONG two = 2;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), L"Two", REG_DWORD, &two, sizeof(two)),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), L"One"), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(registry.GetDword("\\Registry\\Machine\\SOFTWARE\\Probe", "Two"), 2u);
  EXPECT_FALSE(registry.GetDword("\\Registry\\Machine\\SOFTWARE\\Probe", "One"));

  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial9"), STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial9"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOSUCHKEY", L"X"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(registry.ValueNames("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM").empty());
}

struct Chain {
  KDPC first, second;
  LONG ran = 0;
};

void NTAPI Second(PKDPC, PVOID context, PVOID, PVOID) { ++static_cast<Chain*>(context)->ran; }

void NTAPI First(PKDPC, PVOID context, PVOID, PVOID) {
  Chain* chain = static_cast<Chain*>(context);
  ++chain->ran;
  KeInsertQueueDpc(&chain->second, nullptr, nullptr);
}

TEST(FlushQueuedDpcsTest, ReturnsOnlyAfterEveryQueuedDpcRanIncludingThoseTheyQueue) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment(50);
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    sim::Machine machine(sim::test::PreemptedMachine(seed, 3));
    machine.Boot();
    Chain chain;
    KeInitializeDpc(&chain.first, First, &chain);
    KeInitializeDpc(&chain.second, Second, &chain);
    const KIRQL irql = KeRaiseIrqlToDpcLevel();
    KeInsertQueueDpc(&chain.first, nullptr, nullptr);
    KeLowerIrql(irql);
    KeFlushQueuedDpcs();
    EXPECT_EQ(chain.ran, 2) << "seed " << seed;
    machine.Shutdown();
    EXPECT_TRUE(machine.verifier().clean()) << "seed " << seed << ": " << machine.verifier().Summary();
  }
}

}  // namespace
}  // namespace serial_test
