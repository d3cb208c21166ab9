// Resource assignment from requirements lists.
#include <gtest/gtest.h>

#include <vector>

#include "sim/kernel/pnp/resource_arbiter.h"

namespace {

// Builds a one-alternative requirements list from descriptors.
std::vector<uint8_t> Requirements(const std::vector<IO_RESOURCE_DESCRIPTOR>& descriptors) {
  size_t size = sizeof(IO_RESOURCE_REQUIREMENTS_LIST) + (descriptors.size() - 1) * sizeof(IO_RESOURCE_DESCRIPTOR);
  std::vector<uint8_t> bytes(size, 0);
  auto* list = reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(bytes.data());
  list->ListSize = static_cast<ULONG>(size);
  list->InterfaceType = PCIBus;
  list->BusNumber = 2;
  list->AlternativeLists = 1;
  IO_RESOURCE_LIST* alternative = &list->List[0];
  alternative->Version = alternative->Revision = 1;
  alternative->Count = static_cast<ULONG>(descriptors.size());
  for (size_t i = 0; i < descriptors.size(); ++i) alternative->Descriptors[i] = descriptors[i];
  return bytes;
}

IO_RESOURCE_DESCRIPTOR Port(ULONGLONG minimum, ULONGLONG maximum, ULONG length, UCHAR option = 0) {
  IO_RESOURCE_DESCRIPTOR d{};
  d.Option = option;
  d.Type = CmResourceTypePort;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.u.Port.Length = length;
  d.u.Port.Alignment = length;
  d.u.Port.MinimumAddress.QuadPart = static_cast<LONGLONG>(minimum);
  d.u.Port.MaximumAddress.QuadPart = static_cast<LONGLONG>(maximum);
  return d;
}

IO_RESOURCE_DESCRIPTOR Interrupt(ULONG line) {
  IO_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeInterrupt;
  d.ShareDisposition = CmResourceShareShared;
  d.u.Interrupt.MinimumVector = d.u.Interrupt.MaximumVector = line;
  return d;
}

const CM_PARTIAL_RESOURCE_DESCRIPTOR& Partial(const CM_RESOURCE_LIST* list, ULONG index) {
  const CM_PARTIAL_RESOURCE_LIST* partial = &list->List[0].PartialResourceList;
  return partial->PartialDescriptors[index];
}

TEST(ResourceArbiterTest, PreferredRangesAndSharedInterruptsAreGiven) {
  sim::ResourceArbiter arbiter;
  auto requirements = Requirements({Port(0xE000, 0xE03F, 0x40), Interrupt(11)});
  sim::ResourceLists first, second;
  int a = 0, b = 0;
  ASSERT_EQ(arbiter.Assign(reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(requirements.data()), &a, &first), STATUS_SUCCESS);
  EXPECT_EQ(first.Raw()->List[0].BusNumber, 2u);
  EXPECT_EQ(Partial(first.Raw(), 0).u.Port.Start.QuadPart, 0xE000);
  EXPECT_EQ(Partial(first.Raw(), 0).u.Port.Length, 0x40u);
  EXPECT_EQ(Partial(first.Raw(), 1).u.Interrupt.Level, 11u);
  EXPECT_EQ(Partial(first.Translated(), 1).u.Interrupt.Vector, sim::TranslatedVector(11));
  EXPECT_EQ(Partial(first.Translated(), 0).u.Port.Start.QuadPart, 0xE000) << "I/O space translates to itself";

  // The same fixed range again conflicts; the shared interrupt does not.
  EXPECT_EQ(arbiter.Assign(reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(requirements.data()), &b, &second),
            STATUS_CONFLICTING_ADDRESSES);
  arbiter.Release(&a);
  EXPECT_EQ(arbiter.Assign(reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(requirements.data()), &b, &second), STATUS_SUCCESS);
}

TEST(ResourceArbiterTest, TakenPreferenceFallsBackToItsAlternative) {
  sim::ResourceArbiter arbiter;
  int a = 0, b = 0;
  sim::ResourceLists lists;
  auto fixed = Requirements({Port(0xE000, 0xE007, 8)});
  ASSERT_EQ(arbiter.Assign(reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(fixed.data()), &a, &lists), STATUS_SUCCESS);
  auto flexible = Requirements({Port(0xE000, 0xE007, 8), Port(0xD000, 0xDFFF, 8, IO_RESOURCE_ALTERNATIVE)});
  ASSERT_EQ(arbiter.Assign(reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(flexible.data()), &b, &lists), STATUS_SUCCESS);
  EXPECT_EQ(lists.Raw()->List[0].PartialResourceList.Count, 1u) << "one requirement, one descriptor";
  EXPECT_EQ(Partial(lists.Raw(), 0).u.Port.Start.QuadPart, 0xD000);
}

TEST(ResourceArbiterTest, MalformedListIsRefused) {
  sim::ResourceArbiter arbiter;
  auto requirements = Requirements({Port(0xE000, 0xE007, 8)});
  reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(requirements.data())->List[0].Count = 50;
  sim::ResourceLists lists;
  int owner = 0;
  EXPECT_EQ(arbiter.Assign(reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(requirements.data()), &owner, &lists),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(arbiter.ranges_in_use(), 0u);
}

}  // namespace
