// What each port receives: its share of the card's start lists through the
// port resource interface (its group's window moved to its UART, and the
// card's interrupt), and the requirements it states (one I/O range and the
// card's interrupt line).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "card_machine.h"
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/pool.h"

namespace {

using card_test::Card;
using card_test::CardMachineTest;

CM_PARTIAL_RESOURCE_DESCRIPTOR Range(UCHAR type, ULONGLONG start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = type;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.Flags = type == CmResourceTypePort ? CM_RESOURCE_PORT_IO : CM_RESOURCE_MEMORY_READ_WRITE;
  d.u.Generic.Start.QuadPart = static_cast<LONGLONG>(start);
  d.u.Generic.Length = length;
  return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Interrupt(ULONG level, ULONG vector) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeInterrupt;
  d.ShareDisposition = CmResourceShareShared;
  d.u.Interrupt.Level = level;
  d.u.Interrupt.Vector = vector;
  d.u.Interrupt.Affinity = 1;
  return d;
}

std::vector<uint8_t> ResourceList(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& descriptors) {
  const size_t count = descriptors.size();
  std::vector<uint8_t> bytes(sizeof(CM_RESOURCE_LIST) + (count ? count - 1 : 0) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  auto* list = reinterpret_cast<CM_RESOURCE_LIST*>(bytes.data());
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].BusNumber = 1;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = static_cast<ULONG>(count);
  std::memcpy(list->List[0].PartialResourceList.PartialDescriptors, descriptors.data(),
              count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  return bytes;
}

// Start lists laid out as the card's: the windows of the three groups of
// four UARTs at 10, 8 and 6, the interrupt at 12, other resources between.
// The translated list differs from the raw one in every entry it copies.
struct StartLists {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated;
};

StartLists CardLayout(ULONGLONG window0, ULONGLONG window1, ULONGLONG window2, ULONG line) {
  StartLists lists;
  for (int i = 0; i < 13; ++i) {
    lists.raw.push_back(Range(CmResourceTypeMemory, 0xC0000000ull + 0x1000ull * i, 0x100));
    lists.translated.push_back(Range(CmResourceTypeMemory, 0xC0000000ull + 0x1000ull * i, 0x100));
  }
  lists.raw[10] = Range(CmResourceTypePort, window0, 0x20);
  lists.raw[8] = Range(CmResourceTypePort, window1, 0x20);
  lists.raw[6] = Range(CmResourceTypeMemory, window2, 0x20);
  lists.raw[12] = Interrupt(line, line);
  lists.translated[10] = Range(CmResourceTypePort, window0 + 0x10000, 0x20);
  lists.translated[8] = Range(CmResourceTypePort, window1 + 0x10000, 0x20);
  lists.translated[6] = Range(CmResourceTypeMemory, window2 + 0x10000000, 0x20);
  lists.translated[12] = Interrupt(5, 0x50 + line);
  return lists;
}

bool SameDescriptor(const CM_PARTIAL_RESOURCE_DESCRIPTOR& a, const CM_PARTIAL_RESOURCE_DESCRIPTOR& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class PortResourcesTest : public CardMachineTest {
 protected:
  PortResourcesTest() { config_.cards = {Card(0x1112)}; }

  // Starts the running card again with the given lists, as a restart with
  // newly assigned resources does.
  NTSTATUS StartWith(const std::vector<uint8_t>* raw, const std::vector<uint8_t>* translated, size_t i = 0) {
    return SendPnp(Node(i)->pdo, IRP_MN_START_DEVICE, [&](IO_STACK_LOCATION* stack) {
             stack->Parameters.StartDevice.AllocatedResources =
                 raw ? reinterpret_cast<CM_RESOURCE_LIST*>(const_cast<uint8_t*>(raw->data())) : nullptr;
             stack->Parameters.StartDevice.AllocatedResourcesTranslated =
                 translated ? reinterpret_cast<CM_RESOURCE_LIST*>(const_cast<uint8_t*>(translated->data())) : nullptr;
           }).Status;
  }
  NTSTATUS StartWith(const StartLists& lists) {
    std::vector<uint8_t> raw = ResourceList(lists.raw);
    std::vector<uint8_t> translated = ResourceList(lists.translated);
    return StartWith(&raw, &translated);
  }

  struct PortLists {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    CM_RESOURCE_LIST* raw = nullptr;
    CM_RESOURCE_LIST* translated = nullptr;
  };
  // Takes the interface from a port, calls GetPortResources for `device`
  // and releases the interface, as the port enumerator does.
  PortLists ResourcesOf(DEVICE_OBJECT* port, DEVICE_OBJECT* device = nullptr) {
    PortResourceInterface record;
    PortLists lists;
    EXPECT_EQ(QueryPortInterface(port, &record), STATUS_SUCCESS);
    if (!record.GetPortResources) return lists;
    lists.status = record.GetPortResources(record.Context, device ? device : port, &lists.raw, &lists.translated);
    record.InterfaceDereference(record.Context);
    return lists;
  }
  void Free(PortLists& lists) {
    if (lists.raw) ExFreePool(lists.raw);
    if (lists.translated) ExFreePool(lists.translated);
  }

  // One port's lists: the window of its group moved to its UART, then the
  // card's interrupt.
  void ExpectPortLists(int slot, const StartLists& card) {
    SCOPED_TRACE("slot " + std::to_string(slot));
    const int group_index = slot < 4 ? 10 : slot < 8 ? 8 : 6;
    PortLists lists = ResourcesOf(Extension()->PortDevices[slot]);
    ASSERT_EQ(lists.status, STATUS_SUCCESS);
    for (bool translated : {false, true}) {
      const CM_RESOURCE_LIST* list = translated ? lists.translated : lists.raw;
      const auto& source = translated ? card.translated : card.raw;
      const sim::PoolBlock& block = kernel().pool->blocks().at(const_cast<CM_RESOURCE_LIST*>(list));
      EXPECT_EQ(block.size, 60u);
      EXPECT_EQ(block.type, PagedPool);
      EXPECT_EQ(sim::TagText(block.tag), "TBus");
      EXPECT_EQ(list->Count, 1u);
      EXPECT_EQ(list->List[0].InterfaceType, Internal);
      EXPECT_EQ(list->List[0].BusNumber, 0u);
      const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
      EXPECT_EQ(partial.Version, 1);
      EXPECT_EQ(partial.Revision, 1);
      ASSERT_EQ(partial.Count, 2u);
      // Its own UART's 8 bytes, not the group's whole window.
      CM_PARTIAL_RESOURCE_DESCRIPTOR window = source[group_index];
      window.u.Generic.Start.QuadPart += 8 * (slot % 4);
      window.u.Generic.Length = 8;
      EXPECT_TRUE(SameDescriptor(partial.PartialDescriptors[0], window))
          << std::hex << LONGLONG{partial.PartialDescriptors[0].u.Generic.Start.QuadPart} << "+"
          << ULONG{partial.PartialDescriptors[0].u.Generic.Length} << " want " << LONGLONG{window.u.Generic.Start.QuadPart}
          << "+" << ULONG{window.u.Generic.Length};
      EXPECT_TRUE(SameDescriptor(partial.PartialDescriptors[1], source[12]));
    }
    Free(lists);
  }
};

TEST_F(PortResourcesTest, EachPortGetsItsUartInItsGroupsWindowAndTheInterrupt) {
  const StartLists card = CardLayout(0xD000, 0xD400, 0xF7000000, 11);
  ASSERT_EQ(StartWith(card), STATUS_SUCCESS);
  ASSERT_EQ(OccupiedSlots().size(), 12u);
  for (int slot = 0; slot < 12; ++slot) ExpectPortLists(slot, card);

  // The edge cases by name: ports 1 to 4 at A, A+8, A+16, A+24; port 5 at
  // the start of descriptor 8; port 7 at offset 16 in it.
  PortLists port5 = ResourcesOf(Extension()->PortDevices[4]);
  EXPECT_EQ(port5.raw->List[0].PartialResourceList.PartialDescriptors[0].u.Generic.Start.QuadPart, 0xD400);
  Free(port5);
  PortLists port7 = ResourcesOf(Extension()->PortDevices[6]);
  EXPECT_EQ(port7.raw->List[0].PartialResourceList.PartialDescriptors[0].u.Generic.Start.QuadPart, 0xD410);
  Free(port7);
}

TEST_F(PortResourcesTest, ShortListKeepsTheRecordsOfTheIndicesItLacks) {
  const StartLists first = CardLayout(0xD000, 0xD400, 0xF7000000, 11);
  ASSERT_EQ(StartWith(first), STATUS_SUCCESS);
  // Nine descriptors: the windows at 8 and 6 change; the window at 10 and
  // the interrupt at 12 stay as the first start left them.
  StartLists second = CardLayout(0xB000, 0xB400, 0xF6000000, 7);
  second.raw.resize(9);
  second.translated.resize(9);
  ASSERT_EQ(StartWith(second), STATUS_SUCCESS);

  StartLists expected = first;
  for (int i : {6, 8}) {
    expected.raw[i] = second.raw[i];
    expected.translated[i] = second.translated[i];
  }
  for (int slot : {0, 3, 4, 7, 8, 11}) ExpectPortLists(slot, expected);
}

TEST_F(PortResourcesTest, TranslatedListIsWalkedOnlyAsFarAsItGoes) {
  const StartLists first = CardLayout(0xD000, 0xD400, 0xF7000000, 11);
  ASSERT_EQ(StartWith(first), STATUS_SUCCESS);
  StartLists second = CardLayout(0xB000, 0xB400, 0xF6000000, 7);
  second.translated.resize(9);
  ASSERT_EQ(StartWith(second), STATUS_SUCCESS);
  StartLists expected = second;
  expected.translated = first.translated;
  for (int i : {6, 8}) expected.translated[i] = second.translated[i];
  for (int slot : {0, 5, 9}) ExpectPortLists(slot, expected);
}

TEST_F(PortResourcesTest, StartWithoutResourceListsFails) {
  const StartLists card = CardLayout(0xD000, 0xD400, 0xF7000000, 11);
  ASSERT_EQ(StartWith(card), STATUS_SUCCESS);
  std::vector<uint8_t> raw = ResourceList(CardLayout(0xB000, 0xB400, 0xF6000000, 7).raw);
  EXPECT_EQ(StartWith(&raw, nullptr), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(StartWith(nullptr, &raw), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(StartWith(nullptr, nullptr), STATUS_DEVICE_CONFIGURATION_ERROR);
  // An empty list (no full descriptor) counts as none.
  std::vector<uint8_t> empty(sizeof(CM_RESOURCE_LIST), 0);
  EXPECT_EQ(StartWith(&empty, &empty), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(Extension()->PnpState, static_cast<ULONG>(::Started));
  // Nothing was recorded from the refused starts.
  ExpectPortLists(0, card);
  ExpectPortLists(5, card);
}

class TwoCardResourcesTest : public PortResourcesTest {
 protected:
  TwoCardResourcesTest() { config_.cards.push_back(Card(0x1104)); }
};

TEST_F(TwoCardResourcesTest, DeviceThatIsNotAPortOfTheCardGetsNoLists) {
  ASSERT_TRUE(Started(1));
  DEVICE_OBJECT* port = Extension(0)->PortDevices[0];
  auto* untouched = reinterpret_cast<CM_RESOURCE_LIST*>(0x1234);
  for (DEVICE_OBJECT* stranger : {Extension(0)->Self, Extension(1)->PortDevices[0], static_cast<DEVICE_OBJECT*>(nullptr)}) {
    PortResourceInterface record;
    ASSERT_EQ(QueryPortInterface(port, &record), STATUS_SUCCESS);
    CM_RESOURCE_LIST* raw = untouched;
    CM_RESOURCE_LIST* translated = untouched;
    EXPECT_EQ(record.GetPortResources(record.Context, stranger, &raw, &translated), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(raw, untouched);
    EXPECT_EQ(translated, untouched);
    record.InterfaceDereference(record.Context);
  }
}

TEST_F(PortResourcesTest, NoPoolForEitherListLeavesNothingAllocated) {
  DEVICE_OBJECT* port = Extension()->PortDevices[2];
  for (unsigned failing : {1u, 2u}) {
    PortResourceInterface record;
    ASSERT_EQ(QueryPortInterface(port, &record), STATUS_SUCCESS);
    const size_t blocks = kernel().pool->blocks().size();
    kernel().faults->FailNth(sim::FaultKind::Pool, failing);
    CM_RESOURCE_LIST* raw = nullptr;
    CM_RESOURCE_LIST* translated = nullptr;
    EXPECT_EQ(record.GetPortResources(record.Context, port, &raw, &translated), STATUS_INSUFFICIENT_RESOURCES);
    kernel().faults->Clear();
    EXPECT_EQ(kernel().pool->blocks().size(), blocks) << "failing allocation " << failing;
    record.InterfaceDereference(record.Context);
  }
}

// ---------------------------------------------------------------------------
// The lists the machine's own resource assignment gives the card.

class AssignedResourcesTest : public PortResourcesTest {
 protected:
  AssignedResourcesTest() {
    sim::CardConfig second = Card(0x1104, 0x3F, 0x0002);  // UART 1 not fitted
    second.interrupt_line = 7;
    config_.cards = {Card(0x1112), second};
  }

  // Each port's lists lead to the UART the bring-up put in its slot, and to
  // the card's interrupt.
  void ExpectPortsReachTheirUarts(size_t i, const std::vector<int>& uarts, ULONG line) {
    ASSERT_EQ(OccupiedSlots(i).size(), uarts.size());
    for (int slot = 0; slot < static_cast<int>(uarts.size()); ++slot) {
      SCOPED_TRACE("card " + std::to_string(i) + " slot " + std::to_string(slot));
      PortLists lists = ResourcesOf(Extension(i)->PortDevices[slot]);
      ASSERT_EQ(lists.status, STATUS_SUCCESS);
      const CM_PARTIAL_RESOURCE_DESCRIPTOR* raw = lists.raw->List[0].PartialResourceList.PartialDescriptors;
      const CM_PARTIAL_RESOURCE_DESCRIPTOR* translated = lists.translated->List[0].PartialResourceList.PartialDescriptors;
      EXPECT_EQ(raw[0].Type, CmResourceTypePort);
      const auto address = static_cast<uint16_t>(raw[0].u.Generic.Start.QuadPart);
      EXPECT_EQ(address, card_test::SlotAddress(Bar5(i), slot));
      // Exclusive ranges of two ports never overlap.
      EXPECT_EQ(raw[0].ShareDisposition, CmResourceShareDeviceExclusive);
      EXPECT_EQ(raw[0].u.Generic.Length, 8u);
      EXPECT_EQ(translated[0].u.Generic.Length, 8u);
      EXPECT_EQ(Model(i).UartAt(address), uarts[slot]);
      EXPECT_EQ(translated[0].u.Generic.Start.QuadPart, raw[0].u.Generic.Start.QuadPart);
      EXPECT_EQ(raw[1].Type, CmResourceTypeInterrupt);
      EXPECT_EQ(raw[1].u.Interrupt.Level, line);
      EXPECT_EQ(translated[1].u.Interrupt.Vector, sim::TranslatedVector(line));
      Free(lists);
    }
  }
};

TEST_F(AssignedResourcesTest, EveryPortReachesTheUartOfItsSlot) {
  ExpectPortsReachTheirUarts(0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 11);
  ExpectPortsReachTheirUarts(1, {0, 2, 3}, 7);
}

TEST_F(AssignedResourcesTest, RestartedCardHandsOutTheSameWindows) {
  BringUpAgain(1);
  ExpectPortsReachTheirUarts(1, {0, 2, 3}, 7);
}

// ---------------------------------------------------------------------------
// Requirements.

class PortRequirementsTest : public CardMachineTest {
 protected:
  PortRequirementsTest() {
    sim::CardConfig second = Card(0x1104);
    second.interrupt_line = 5;
    config_.cards = {Card(0x1104), second};
  }
  IO_STATUS_BLOCK QueryRequirements(DEVICE_OBJECT* port) { return SendPnp(port, IRP_MN_QUERY_RESOURCE_REQUIREMENTS); }
};

TEST_F(PortRequirementsTest, OneIoRangeAndTheCardsInterruptLine) {
  ASSERT_EQ(Model(0).Get8(0x3C), 11);
  for (size_t i : {0u, 1u}) {
    for (int slot : {0, 3}) {
      IO_STATUS_BLOCK result = QueryRequirements(Extension(i)->PortDevices[slot]);
      ASSERT_EQ(result.Status, STATUS_SUCCESS);
      auto* list = reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(result.Information);
      const sim::PoolBlock& block = kernel().pool->blocks().at(list);
      EXPECT_EQ(block.size, 104u);
      EXPECT_EQ(block.type, PagedPool);
      EXPECT_EQ(sim::TagText(block.tag), "TBus");
      EXPECT_EQ(list->ListSize, 104u);
      EXPECT_EQ(list->InterfaceType, PNPBus);
      EXPECT_EQ(list->BusNumber, 0u);
      EXPECT_EQ(list->SlotNumber, 0u);
      EXPECT_EQ(list->AlternativeLists, 1u);
      EXPECT_EQ(list->List[0].Version, 1);
      EXPECT_EQ(list->List[0].Revision, 1);
      ASSERT_EQ(list->List[0].Count, 2u);

      const IO_RESOURCE_DESCRIPTOR& window = list->List[0].Descriptors[0];
      EXPECT_EQ(window.Type, CmResourceTypePort);
      EXPECT_EQ(window.ShareDisposition, CmResourceShareDeviceExclusive);
      EXPECT_EQ(window.Flags, 0x0131);
      EXPECT_EQ(window.Option, 0);
      EXPECT_EQ(window.u.Port.Length, 0u);
      EXPECT_EQ(window.u.Port.Alignment, 0u);
      EXPECT_EQ(window.u.Port.MinimumAddress.QuadPart, 0);
      EXPECT_EQ(window.u.Port.MaximumAddress.QuadPart, 0);

      const IO_RESOURCE_LIST* alternative = &list->List[0];
      const IO_RESOURCE_DESCRIPTOR& interrupt = alternative->Descriptors[1];
      const ULONG line = i == 0 ? 11 : 5;
      EXPECT_EQ(interrupt.Type, CmResourceTypeInterrupt);
      EXPECT_EQ(interrupt.ShareDisposition, CmResourceShareShared);
      EXPECT_EQ(interrupt.Flags, CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
      EXPECT_EQ(interrupt.u.Interrupt.MinimumVector, line);
      EXPECT_EQ(interrupt.u.Interrupt.MaximumVector, line);
      ExFreePool(list);
    }
  }
}

TEST_F(PortRequirementsTest, UnreadableConfigurationSpaceStatesNoRequirements) {
  // The first request the driver builds is the configuration read itself;
  // the second is the port's forward of it to the card's stack.
  for (unsigned failing : {1u, 2u}) {
    const size_t blocks = kernel().pool->blocks().size();
    kernel().faults->FailNth(sim::FaultKind::Irp, failing);
    IO_STATUS_BLOCK result = QueryRequirements(Extension()->PortDevices[1]);
    kernel().faults->Clear();
    EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES) << "failing request " << failing;
    EXPECT_EQ(result.Information, 0u);
    EXPECT_EQ(kernel().pool->blocks().size(), blocks);
  }
}

}  // namespace
