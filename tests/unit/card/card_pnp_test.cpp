// The card's Plug and Play in booted machines: its children, its states,
// the refusal to stop or leave while a port's user holds the port resource
// interface, removal in its three forms, and the pinned card that keeps its
// devices through all of them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "card_machine.h"
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pool.h"

namespace {

using card_test::Card;
using card_test::CardMachineTest;

class CardPnpTest : public CardMachineTest {
 protected:
  CardPnpTest() { config_.cards = {Card(0x1104)}; }

  DEVICE_OBJECT* Pdo(size_t i = 0) { return machine().cards().at(i).pdo; }
  ULONG State(size_t i = 0) { return Extension(i)->PnpState; }
  NTSTATUS Send(UCHAR minor, size_t i = 0) { return SendPnp(Pdo(i), minor).Status; }
  std::vector<DEVICE_OBJECT*> PortDevices(size_t i = 0) {
    std::vector<DEVICE_OBJECT*> devices;
    for (int slot : OccupiedSlots(i)) devices.push_back(Extension(i)->PortDevices[slot]);
    return devices;
  }
  bool Live(DEVICE_OBJECT* device) { return kernel().io->IsLiveDevice(device); }
  bool NameExists(const char16_t* name) { return kernel().names->Exists(name); }

  // The card's start request again, with the resources it was given.
  NTSTATUS StartAgain(size_t i = 0) {
    const sim::ResourceLists& resources = Node(i)->resources;
    return SendPnp(Pdo(i), IRP_MN_START_DEVICE, [&](IO_STACK_LOCATION* stack) {
             stack->Parameters.StartDevice.AllocatedResources = const_cast<CM_RESOURCE_LIST*>(resources.Raw());
             stack->Parameters.StartDevice.AllocatedResourcesTranslated =
                 const_cast<CM_RESOURCE_LIST*>(resources.Translated());
           }).Status;
  }

  NTSTATUS TakeInterface(size_t i = 0, int slot = 0) {
    PortResourceInterface record;
    NTSTATUS status = QueryPortInterface(Extension(i)->PortDevices[slot], &record);
    interface_ = record;
    return status;
  }
  void DropInterface() { interface_.InterfaceDereference(interface_.Context); }

  PortResourceInterface interface_{};
};

using sim::DeviceNode;

TEST_F(CardPnpTest, BusRelationsFollowWhatTheRequestCarried) {
  // Three children someone above reported already: the second card's ports.
  machine().PlugCard(Card(0x1104));
  std::vector<DEVICE_OBJECT*> others = PortDevices(1);
  const ULONG old_size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + 3 * sizeof(PDEVICE_OBJECT);
  auto* old_list = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(PagedPool, old_size, 'tseT'));
  old_list->Count = 3;
  for (int k = 0; k < 3; ++k) {
    old_list->Objects[k] = others[k];
    ObfReferenceObject(others[k]);
  }
  IO_STATUS_BLOCK result = SendPnp(
      Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS,
      [](IO_STACK_LOCATION* stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; }, STATUS_NOT_SUPPORTED,
      reinterpret_cast<ULONG_PTR>(old_list));
  ASSERT_EQ(result.Status, STATUS_SUCCESS);
  auto* list = reinterpret_cast<DEVICE_RELATIONS*>(result.Information);
  EXPECT_EQ(kernel().pool->blocks().count(old_list), 0u) << "the old list is freed";
  const sim::PoolBlock& block = kernel().pool->blocks().at(list);
  EXPECT_EQ(sim::TagText(block.tag), "TBus");
  EXPECT_EQ(block.type, PagedPool);
  std::vector<DEVICE_OBJECT*> expected = {others[0], others[1], others[2]};
  for (DEVICE_OBJECT* port : PortDevices(0)) expected.push_back(port);
  ASSERT_EQ(list->Count, 7u);
  EXPECT_EQ(std::vector<DEVICE_OBJECT*>(list->Objects, list->Objects + list->Count), expected);
  for (ULONG k = 0; k < list->Count; ++k) ObfDereferenceObject(list->Objects[k]);
  ExFreePool(list);
}

TEST_F(CardPnpTest, BusRelationsWithoutPoolKeepTheChildren) {
  std::vector<DEVICE_OBJECT*> before = PortDevices();
  kernel().faults->FailNth(sim::FaultKind::Pool, 1);
  IO_STATUS_BLOCK result = SendPnp(Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION* stack) {
    stack->Parameters.QueryDeviceRelations.Type = BusRelations;
  });
  EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.Information, 0u);
  kernel().faults->FailNth(sim::FaultKind::Pool, 1);
  kernel().pnp->EnumerateNow(Node());
  kernel().faults->Clear();
  ASSERT_EQ(PortNodes().size(), 4u);
  for (size_t k = 0; k < 4; ++k) EXPECT_EQ(PortNodes()[k]->pdo, before[k]);
}

TEST_F(CardPnpTest, StatesFollowTheRequests) {
  EXPECT_EQ(State(), static_cast<ULONG>(::Started));
  // Stop, cancelled.
  EXPECT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::StopPending));
  EXPECT_EQ(Send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::Started));
  // Stop, carried out; a stopped card's query-stop and stop change nothing.
  EXPECT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::NotStarted));
  EXPECT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::NotStarted));
  EXPECT_EQ(Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::NotStarted));
  // Removal, cancelled: back to the state before it.
  EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::RemovePending));
  EXPECT_EQ(Extension()->PreviousPnpState, static_cast<ULONG>(::NotStarted));
  EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::NotStarted));
  EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS) << "passed down when nothing is pending";
  EXPECT_EQ(State(), static_cast<ULONG>(::NotStarted));
  // A start that fails keeps the state; one that succeeds makes it Started.
  EXPECT_EQ(SendPnp(Pdo(), IRP_MN_START_DEVICE).Status, STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(State(), static_cast<ULONG>(::NotStarted));
  EXPECT_EQ(StartAgain(), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::Started));
  // Surprise removal marks the card; the removal that follows deletes it.
  EXPECT_EQ(Send(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::SurpriseRemovePending));
  EXPECT_EQ(kernel().pnp->SurpriseRemove(Node()), STATUS_SUCCESS);
  EXPECT_FALSE(NameExists(u"\\Device\\ZARKLINK_0"));
}

TEST_F(CardPnpTest, CapabilitiesOfVersionOneAreKept) {
  EXPECT_EQ(std::memcmp(&Extension()->ParentCapabilities, &Node()->capabilities, sizeof(DEVICE_CAPABILITIES)), 0)
      << "the boot's query was kept";
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.D1Latency = 777;  // the bus driver leaves it as it is
  EXPECT_EQ(SendPnp(Pdo(), IRP_MN_QUERY_CAPABILITIES,
                    [&](IO_STACK_LOCATION* stack) { stack->Parameters.DeviceCapabilities.Capabilities = &caps; })
                .Status,
            STATUS_SUCCESS);
  EXPECT_EQ(Extension()->ParentCapabilities.D1Latency, 777u);
  EXPECT_EQ(Extension()->ParentCapabilities.Address, caps.Address);

  DEVICE_CAPABILITIES old_caps{};
  old_caps.Size = sizeof old_caps;
  old_caps.Version = 0;
  old_caps.D1Latency = 555;
  EXPECT_EQ(SendPnp(Pdo(), IRP_MN_QUERY_CAPABILITIES,
                    [&](IO_STACK_LOCATION* stack) { stack->Parameters.DeviceCapabilities.Capabilities = &old_caps; })
                .Status,
            STATUS_SUCCESS)
      << "passed down";
  EXPECT_EQ(Extension()->ParentCapabilities.D1Latency, 777u);
}

TEST_F(CardPnpTest, HeldInterfaceRefusesStopAndRemovalUntilReleased) {
  ASSERT_EQ(TakeInterface(0, 1), STATUS_SUCCESS);
  ASSERT_EQ(TakeInterface(0, 2), STATUS_SUCCESS);
  DropInterface();
  EXPECT_EQ(Extension()->InterfaceReferences, 1);

  EXPECT_EQ(kernel().pnp->Rebalance(Node()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(kernel().pnp->RemoveDevice(Node()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(kernel().pnp->DisableDevice(Node()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(kernel().pnp->Eject(Node()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Node()->state, DeviceNode::State::Started);
  EXPECT_EQ(State(), static_cast<ULONG>(::Started)) << "refusals and their cancels leave the state";
  EXPECT_EQ(PortNodes().size(), 4u);

  DropInterface();
  EXPECT_EQ(Extension()->InterfaceReferences, 0);
  DropInterface();
  EXPECT_EQ(Extension()->InterfaceReferences, 0) << "a dereference without a reference changes nothing";
  EXPECT_EQ(kernel().pnp->Rebalance(Node()), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::Started));
  std::vector<DEVICE_OBJECT*> ports = PortDevices();
  EXPECT_EQ(kernel().pnp->RemoveDevice(Node()), STATUS_SUCCESS);
  for (DEVICE_OBJECT* port : ports) EXPECT_FALSE(Live(port));
}

// The card's device object outlives a surprise removal while a holder
// still has the interface: the holder's dereference is its last use.
TEST_F(CardPnpTest, HeldInterfaceKeepsTheCardsDeviceObject) {
  machine().PlugCard(Card(0x1104));  // keeps the driver loaded when the first card goes
  ASSERT_EQ(TakeInterface(0, 1), STATUS_SUCCESS);
  DEVICE_OBJECT* card = Extension()->Self;
  ASSERT_EQ(kernel().pnp->SurpriseRemove(Node()), STATUS_SUCCESS);
  EXPECT_FALSE(Live(card));
  ASSERT_NE(kernel().io->FindDevice(card), nullptr) << "deleted, but still referenced by the holder";
  EXPECT_EQ(static_cast<CardExtension*>(interface_.Context)->InterfaceReferences, 1);
  DropInterface();
  EXPECT_EQ(kernel().io->FindDevice(card), nullptr);
}

// A power request holds the card's remove lock while the bus driver below
// has it, so a removal waits for it.
TEST_F(CardPnpTest, PowerRequestHoldsTheRemoveLockOnItsWayDown) {
  std::vector<LONG> held;
  machine().bus().ObservePower([&](DEVICE_OBJECT* pdo, IRP*) {
    if (pdo == Pdo()) held.push_back(Extension()->RemoveLock.Common.IoCount);
  });
  for (UCHAR minor : {static_cast<UCHAR>(IRP_MN_QUERY_POWER), static_cast<UCHAR>(IRP_MN_SET_POWER)}) {
    sim::IoRequest request;
    request.major = IRP_MJ_POWER;
    request.minor = minor;
    request.fill = [](IO_STACK_LOCATION* stack) {
      stack->Parameters.Power.Type = DevicePowerState;
      stack->Parameters.Power.State.DeviceState = PowerDeviceD0;
    };
    EXPECT_EQ(kernel().io->SendAndWait(Pdo(), request).Status, STATUS_SUCCESS);
  }
  machine().bus().ObservePower({});
  EXPECT_EQ(held, (std::vector<LONG>{2, 2})) << "the lock's own count, and the request's";
  EXPECT_EQ(Extension()->RemoveLock.Common.IoCount, 1) << "released once the request came back";
}

TEST_F(CardPnpTest, RemovalDeletesThePortsWithTheCard) {
  std::vector<DEVICE_OBJECT*> ports = PortDevices();
  std::vector<DeviceNode*> nodes = PortNodes();
  ASSERT_EQ(kernel().pnp->RemoveDevice(Node()), STATUS_SUCCESS);
  for (DEVICE_OBJECT* port : ports) EXPECT_FALSE(Live(port));
  for (DeviceNode* node : nodes) EXPECT_TRUE(node->Gone());
  EXPECT_FALSE(NameExists(u"\\Device\\ZARKLINK_0"));
  EXPECT_EQ(kernel().io->FindDriver("zarkcard"), nullptr);
}

TEST_F(CardPnpTest, PulledCardTakesItsPortsAlong) {
  std::vector<DEVICE_OBJECT*> ports = PortDevices();
  ASSERT_EQ(machine().PullCard(0), STATUS_SUCCESS);
  for (DEVICE_OBJECT* port : ports) EXPECT_FALSE(Live(port));
  EXPECT_FALSE(NameExists(u"\\Device\\ZARKLINK_0"));
  EXPECT_EQ(kernel().io->FindDriver("zarkcard"), nullptr);
}

TEST_F(CardPnpTest, DisabledAndEnabledCardComesBackWithNewPorts) {
  std::vector<DEVICE_OBJECT*> ports = PortDevices();
  ASSERT_EQ(kernel().pnp->DisableDevice(Node()), STATUS_SUCCESS);
  for (DEVICE_OBJECT* port : ports) EXPECT_FALSE(Live(port));
  EXPECT_TRUE(PortNodes().empty());
  ASSERT_EQ(kernel().pnp->EnableDevice(Node()), STATUS_SUCCESS);
  EXPECT_TRUE(NameExists(u"\\Device\\ZARKLINK_0")) << "the driver was reloaded, so it counts from 0 again";
  EXPECT_EQ(OccupiedSlots(), (std::vector<int>{0, 1, 2, 3}));
  ASSERT_EQ(PortNodes().size(), 4u);
  for (size_t k = 0; k < 4; ++k) EXPECT_EQ(PortNodes()[k]->pdo, Extension()->PortDevices[k]);
}

TEST_F(CardPnpTest, SecondCardLeavesTheFirstOnesPortsAlone) {
  machine().PlugCard(Card(0x1112));
  std::vector<DEVICE_OBJECT*> first = PortDevices(0);
  std::vector<DEVICE_OBJECT*> second = PortDevices(1);
  EXPECT_EQ(second.size(), 12u);
  ASSERT_EQ(kernel().pnp->RemoveDevice(Node(1)), STATUS_SUCCESS);
  for (DEVICE_OBJECT* port : second) EXPECT_FALSE(Live(port));
  for (DEVICE_OBJECT* port : first) EXPECT_TRUE(Live(port));
  EXPECT_EQ(PortNodes(0).size(), 4u);
}

// ---------------------------------------------------------------------------
// A pinned card (subsystem 1C29:0001) stays in service through a user's
// removal; what it is not asked about takes it down as any card.

class PinnedCardTest : public CardPnpTest {
 protected:
  PinnedCardTest() {
    sim::CardConfig card = Card(0x1104);
    card.subsystem = 0x00011C29;
    config_.cards = {card, card};
  }
  void SetUp() override {
    CardPnpTest::SetUp();
    ASSERT_EQ(Extension(0)->PinnedCard, 1);
    ASSERT_EQ(Extension(1)->PinnedCard, 1);
    ports_ = PortDevices();
    card_device_ = Extension()->Self;
  }

  // One card device on the node, its ports each reported once.
  void ExpectInService() {
    EXPECT_EQ(Node()->state, DeviceNode::State::Started);
    EXPECT_EQ(Pdo()->AttachedDevice, card_device_);
    EXPECT_EQ(card_device_->AttachedDevice, nullptr);
    EXPECT_EQ(State(), static_cast<ULONG>(::Started));
    EXPECT_EQ(PortDevices(), ports_);
    std::vector<DEVICE_OBJECT*> reported;
    for (DeviceNode* node : PortNodes()) reported.push_back(node->pdo);
    EXPECT_EQ(reported, ports_);
    for (DeviceNode* node : PortNodes()) EXPECT_EQ(node->state, DeviceNode::State::Started);
  }

  std::vector<DEVICE_OBJECT*> ports_;
  DEVICE_OBJECT* card_device_ = nullptr;
};

TEST_F(PinnedCardTest, UsersRemovalAndDisableAreRefusedAndTheCardStaysInService) {
  EXPECT_EQ(kernel().pnp->RemoveDevice(Node()), STATUS_UNSUCCESSFUL);
  ExpectInService();
  EXPECT_EQ(kernel().pnp->DisableDevice(Node()), STATUS_UNSUCCESSFUL);
  ExpectInService();
  EXPECT_EQ(kernel().pnp->EnableDevice(Node()), STATUS_INVALID_DEVICE_STATE) << "it was never disabled";
  kernel().pnp->EnumerateNow(Node());
  ExpectInService();

  // A rebalance's stop leaves the pinned card's state; the restart keeps
  // its ports.
  ASSERT_EQ(kernel().pnp->Rebalance(Node()), STATUS_SUCCESS);
  ExpectInService();
  EXPECT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), static_cast<ULONG>(::StopPending)) << "the pinned card's stop changes nothing";
  EXPECT_EQ(Send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  ExpectInService();
  // The machine's shutdown takes it down with the rest.
}

TEST_F(PinnedCardTest, SurpriseRemovalOrAFailedStartTakesItDown) {
  ASSERT_EQ(kernel().pnp->SurpriseRemove(Node(0)), STATUS_SUCCESS);
  EXPECT_FALSE(Live(card_device_));
  for (DEVICE_OBJECT* port : ports_) EXPECT_FALSE(Live(port));
  EXPECT_FALSE(NameExists(u"\\Device\\ZARKLINK_0"));

  // The second card's restart fails at its first header read.
  DEVICE_OBJECT* second = Extension(1)->Self;
  std::vector<DEVICE_OBJECT*> second_ports = PortDevices(1);
  machine().DelayUntil(kernel().Now() + card_test::kPortProbeTime);  // its ports refuse to stop while probed
  machine().bus().FailNthConfigRequest(1);
  EXPECT_NE(kernel().pnp->Rebalance(Node(1)), STATUS_SUCCESS);
  machine().bus().FailNthConfigRequest(0);
  EXPECT_EQ(Node(1)->state, DeviceNode::State::Failed);
  EXPECT_EQ(Pdo(1)->AttachedDevice, nullptr) << "nothing left for a later start to stack onto";
  EXPECT_FALSE(Live(second));
  for (DEVICE_OBJECT* port : second_ports) EXPECT_FALSE(Live(port));
}

}  // namespace
