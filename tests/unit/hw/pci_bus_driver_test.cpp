// What the PCI bus driver answers for a card's PDO beyond configuration
// space: IDs from the header, resource requirements from the BARs, and a
// bus interface that counts its references.
#include <gtest/gtest.h>

#include "hw_test_support.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/pnp/resource_arbiter.h"

namespace {

class PciBusDriverTest : public sim::test::HwTest {
 protected:
  IO_STATUS_BLOCK Send(UCHAR minor) { return kernel().pnp->SendPnp(kernel().pnp->NodeOf(pdo()), minor); }
};

TEST_F(PciBusDriverTest, IdsComeFromTheHeader) {
  sim::DeviceNode* node = kernel().pnp->NodeOf(pdo());
  EXPECT_EQ(node->device_id, "PCI\\VEN_1C29&DEV_1199&SUBSYS_00000000&REV_00");
  ASSERT_GE(node->hardware_ids.size(), 3u);
  EXPECT_EQ(node->hardware_ids[2], "PCI\\VEN_1C29&DEV_1199&CC_070002");
  EXPECT_EQ(node->compatible_ids.back(), "PCI\\CC_0700");
}

TEST_F(PciBusDriverTest, RequirementsNameTheSlotTheBarsAndTheInterruptLine) {
  IO_STATUS_BLOCK result = Send(IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
  ASSERT_EQ(result.Status, STATUS_SUCCESS);
  auto* list = reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(result.Information);
  EXPECT_EQ(list->InterfaceType, PCIBus);
  EXPECT_EQ(list->BusNumber, at().bus);
  EXPECT_EQ(list->SlotNumber, at().device | at().function << 5);
  ASSERT_EQ(list->AlternativeLists, 1u);
  const IO_RESOURCE_LIST& resources = list->List[0];
  // Six BARs, each preferred where it is, then anywhere, then the entry
  // naming the BAR; one line.
  ASSERT_EQ(resources.Count, 19u);
  const IO_RESOURCE_DESCRIPTOR& bar5 = resources.Descriptors[15];
  EXPECT_EQ(bar5.Type, CmResourceTypePort);
  EXPECT_EQ(bar5.Option, IO_RESOURCE_PREFERRED);
  EXPECT_EQ(bar5.u.Port.MinimumAddress.QuadPart, card().Get32(0x24) & ~3ll);
  EXPECT_EQ(bar5.u.Port.Length, 0x20u);
  EXPECT_EQ(resources.Descriptors[16].Option, IO_RESOURCE_ALTERNATIVE);
  EXPECT_EQ(resources.Descriptors[17].Type, CmResourceTypeDevicePrivate);
  EXPECT_EQ(resources.Descriptors[17].u.DevicePrivate.Data[1], 5u) << "names BAR5";
  const IO_RESOURCE_DESCRIPTOR& line = resources.Descriptors[18];
  EXPECT_EQ(line.Type, CmResourceTypeInterrupt);
  EXPECT_EQ(line.u.Interrupt.MinimumVector, card().Get8(0x3C));
  EXPECT_EQ(card().Get32(0x24), card().config().bars[5]) << "sizing restored the BAR";
  ExFreePool(list);
}

TEST_F(PciBusDriverTest, StartWritesTheAssignedRangesIntoTheBars) {
  IO_STATUS_BLOCK result = Send(IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
  ASSERT_EQ(result.Status, STATUS_SUCCESS);
  auto* requirements = reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(result.Information);
  // Someone else holds BAR5's current range, so it must move.
  const ULONG old_bar5 = card().Get32(0x24) & ~3u;
  IO_RESOURCE_DESCRIPTOR taken{};
  taken.Type = CmResourceTypePort;
  taken.ShareDisposition = CmResourceShareDeviceExclusive;
  taken.u.Port.Length = 0x20;
  taken.u.Port.Alignment = 1;
  taken.u.Port.MinimumAddress.QuadPart = old_bar5;
  taken.u.Port.MaximumAddress.QuadPart = old_bar5 + 0x1F;
  IO_RESOURCE_REQUIREMENTS_LIST holder{};
  holder.ListSize = sizeof holder;
  holder.AlternativeLists = 1;
  holder.List[0].Count = 1;
  holder.List[0].Descriptors[0] = taken;
  sim::ResourceArbiter arbiter;
  sim::ResourceLists held, assigned;
  int other = 0, self = 0;
  ASSERT_EQ(arbiter.Assign(&holder, &other, &held), STATUS_SUCCESS);
  ASSERT_EQ(arbiter.Assign(requirements, &self, &assigned), STATUS_SUCCESS);
  ExFreePool(requirements);
  const CM_PARTIAL_RESOURCE_LIST* assigned_list = &assigned.Raw()->List[0].PartialResourceList;
  const ULONG moved = static_cast<ULONG>(assigned_list->PartialDescriptors[10].u.Port.Start.QuadPart);
  ASSERT_NE(moved, old_bar5);
  const CM_RESOURCE_LIST* raw = assigned.Raw();
  const CM_RESOURCE_LIST* translated = assigned.Translated();
  IO_STATUS_BLOCK start = kernel().pnp->SendPnp(kernel().pnp->NodeOf(pdo()), IRP_MN_START_DEVICE,
                                               [raw, translated](IO_STACK_LOCATION* stack) {
                                                 stack->Parameters.StartDevice.AllocatedResources = const_cast<CM_RESOURCE_LIST*>(raw);
                                                 stack->Parameters.StartDevice.AllocatedResourcesTranslated =
                                                     const_cast<CM_RESOURCE_LIST*>(translated);
                                               });
  EXPECT_EQ(start.Status, STATUS_SUCCESS);
  EXPECT_EQ(card().Get32(0x24), moved | 1u) << "BAR5 holds its new range, the I/O flag kept";
}

TEST_F(PciBusDriverTest, TheBusInterfaceCountsItsReferences) {
  auto* ext = sim::hw::PciPdoOf(pdo());
  ASSERT_NE(ext, nullptr);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  BUS_INTERFACE_STANDARD first = QueryBusInterface(&status);
  BUS_INTERFACE_STANDARD second = QueryBusInterface(&status);
  EXPECT_EQ(ext->interface_references, 2);
  first.InterfaceDereference(first.Context);
  second.InterfaceDereference(second.Context);
  EXPECT_EQ(ext->interface_references, 0);
  ULONG value = 0;
  EXPECT_EQ(first.GetBusData(first.Context, PCI_WHICHSPACE_ROM, &value, 0, 4), 0u) << "only configuration space";
}

}  // namespace

namespace {

class PulledCardTest : public sim::test::HwTest {};

TEST_F(PulledCardTest, APulledCardAnswersNothingAndItsPdoGoes) {
  EnableBlock(0, 0xE200);
  ASSERT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE205)), 0x60);
  const sim::hw::PciLocation where = at();
  EXPECT_EQ(machine().PullCard(0), STATUS_SUCCESS);
  EXPECT_EQ(LegacyRead(where, 0x00), 0xFFFFFFFFu);
  EXPECT_EQ(EcamRead32(where, 0x00), 0xFFFFFFFFu);
  EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE205)), 0xFF);
  EXPECT_EQ(machine().cards()[0].pdo, nullptr) << "the bus driver deleted the PDO of the device that left";
}

class ConfigFaultTest : public sim::test::HwTest {};

TEST_F(ConfigFaultTest, TheNthConfigurationRequestFailsAndTransfersNothing) {
  machine().bus().FailNthConfigRequest(2);
  ULONG value = 0;
  EXPECT_EQ(ConfigRequest(false, &value, 0, 4), STATUS_SUCCESS);
  value = 0x12345678;
  ULONG_PTR information = 99;
  EXPECT_EQ(ConfigRequest(false, &value, 0, 4, &information), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(value, 0x12345678u);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(ConfigRequest(false, &value, 0, 4), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x11991C29u);
}

// A card of a known chip, started by its driver.
class StartedCardTest : public sim::test::KernelTest {
 protected:
  sim::MachineConfig config() const override {
    sim::MachineConfig config;
    sim::CardConfig card;
    card.device_id = 0x1104;
    config.cards.push_back(card);
    return config;
  }
  sim::hw::UartCard& card() { return *machine().cards().at(0).model; }
  DEVICE_OBJECT* pdo() { return machine().cards().at(0).pdo; }
};

// The assigned lists have the shape a card of this kind gets on Windows:
// the group windows at partial descriptors 10, 8 and 6, the line at 12.
TEST_F(StartedCardTest, AssignedListsPutTheGroupWindowsAtTenEightAndSix) {
  const sim::DeviceNode* node = kernel().pnp->NodeOf(pdo());
  const CM_RESOURCE_LIST* raw = node->resources.Raw();
  ASSERT_NE(raw, nullptr);
  const CM_PARTIAL_RESOURCE_LIST& partial = raw->List[0].PartialResourceList;
  ASSERT_EQ(partial.Count, 13u);
  const ULONG bar5 = card().Get32(0x24) & ~3u;
  EXPECT_EQ(partial.PartialDescriptors[10].u.Port.Start.QuadPart, bar5);
  EXPECT_EQ(partial.PartialDescriptors[8].u.Port.Start.QuadPart, bar5 + 32);
  EXPECT_EQ(partial.PartialDescriptors[6].u.Port.Start.QuadPart, bar5 + 64);
  EXPECT_EQ(partial.PartialDescriptors[12].Type, CmResourceTypeInterrupt);
  EXPECT_EQ(partial.PartialDescriptors[12].u.Interrupt.Level, card().Get8(0x3C));
}

}  // namespace
