// Port devices in booted machines: one per usable UART, slot s for the
// s-th enabled UART, each identified by its port number; a restart keeps
// those whose UART stayed in their slot and replaces the others; a failed
// creation leaves its slot free for the next start.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "card_machine.h"
#include "sim/kernel/fault_plan.h"

namespace {

using card_test::Card;
using card_test::CardMachineTest;

std::string PortNumber(int slot) {
  const int port = slot + 1;
  return std::string(1, static_cast<char>('0' + port / 10)) + static_cast<char>('0' + port % 10);
}

class PortCreationTest : public CardMachineTest {
 protected:
  PortCreationTest() { boot_in_test_ = true; }

  void BootWith(sim::CardConfig card) {
    config_.cards = {card};
    Boot();
    ASSERT_TRUE(Started());
  }

  sim::DeviceNode* SlotNode(int slot) { return kernel().pnp->NodeOf(Extension()->PortDevices[slot]); }
  std::u16string PortName(sim::DeviceNode* node) {
    auto name = kernel().registry->GetString(sim::DeviceParametersPath(*node), "PortName");
    return name ? *name : u"";
  }

  // Every port device of the card is reported, and named by its own slot.
  void ExpectPortsInSlots(const std::vector<int>& slots, size_t i = 0) {
    CardExtension* card = Extension(i);
    EXPECT_EQ(OccupiedSlots(i), slots);
    std::vector<sim::DeviceNode*> nodes = PortNodes(i);
    ASSERT_EQ(nodes.size(), slots.size());
    for (size_t k = 0; k < slots.size(); ++k) {
      const int slot = slots[k];
      DEVICE_OBJECT* device = card->PortDevices[slot];
      auto* port = static_cast<PortExtension*>(device->DeviceExtension);
      EXPECT_EQ(port->DeviceFlags, DEVICE_FLAG_SLOT(slot) | DEVICE_FLAG_PORT);
      EXPECT_EQ(port->Self, device);
      EXPECT_EQ(port->ParentFdo, card->Self);
      EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
      EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
      sim::DeviceNode* node = kernel().pnp->NodeOf(device);
      ASSERT_NE(std::find(nodes.begin(), nodes.end(), node), nodes.end()) << "slot " << slot << " is reported";
      EXPECT_EQ(node->device_id, "ZARKLINK\\*KVRCOM" + PortNumber(slot));
      EXPECT_EQ(node->hardware_ids, std::vector<std::string>{"*KVRCOM" + PortNumber(slot)});
      EXPECT_TRUE(node->compatible_ids.empty());
      // Every port answers "0000", unique only on its card: the instance ID
      // gets a prefix naming the card, so two cards' paths stay apart.
      const std::string& instance = node->instance_id;
      EXPECT_EQ(instance.substr(instance.size() - 4), "0000");
    }
  }
};

TEST_F(PortCreationTest, FourPortCardHasPortsOneToFour) {
  BootWith(Card(0x1104));
  EXPECT_EQ(Extension()->PortCount, 4);
  ExpectPortsInSlots({0, 1, 2, 3});
}

TEST_F(PortCreationTest, EightPortCardWithoutItsOptionalPortsHasSix) {
  BootWith(Card(0x1108, 0x00));
  EXPECT_EQ(Extension()->PortCount, 6);
  ExpectPortsInSlots({0, 1, 2, 3, 4, 5});
}

TEST_F(PortCreationTest, TwelvePortCardWithAnAbsentUartHasEleven) {
  BootWith(Card(0x1112, 0x3F, 0x0020));
  EXPECT_EQ(Extension()->PortCount, 11);
  ExpectPortsInSlots({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
}

TEST_F(PortCreationTest, CardWithNoUsableUartStartsWithoutPorts) {
  BootWith(Card(0x1104, 0x3F, 0x000F));
  EXPECT_EQ(Extension()->PortCount, 0);
  EXPECT_EQ(Extension()->PnpState, static_cast<ULONG>(::Started));
  ExpectPortsInSlots({});
}

TEST_F(PortCreationTest, EachOfTwoCardsNumbersItsOwnPortsFromOne) {
  config_.cards = {Card(0x1104), Card(0x1108)};
  Boot();
  ExpectPortsInSlots({0, 1, 2, 3}, 0);
  ExpectPortsInSlots({0, 1, 2, 3, 4, 5, 6, 7}, 1);
  for (int slot = 0; slot < 4; ++slot) EXPECT_NE(Extension(0)->PortDevices[slot], Extension(1)->PortDevices[slot]);
  std::set<std::string> paths;
  for (sim::DeviceNode* node : kernel().pnp->LiveNodes()) paths.insert(node->InstancePath());
  EXPECT_EQ(paths.size(), kernel().pnp->LiveNodes().size()) << "no two devices share an instance path";
}

// A restart keeps the port device of every slot whose UART stays; a slot
// whose UART changed gets a new device once the old one, no longer
// reported, has been removed and deleted; its name stays with the slot.
TEST_F(PortCreationTest, RestartedCardKeepsThePortsWhoseUartStaysAndReplacesTheRest) {
  BootWith(Card(0x1108));
  std::vector<DEVICE_OBJECT*> before(Extension()->PortDevices, Extension()->PortDevices + CARD_MAX_PORTS);
  const size_t devices_before = kernel().io->devices().size();
  std::vector<std::u16string> names;
  for (sim::DeviceNode* node : PortNodes()) names.push_back(PortName(node));
  ASSERT_EQ(names.size(), 8u);

  BringUpAgain();
  BringUpAgain();
  EXPECT_TRUE(Started());
  EXPECT_EQ(std::vector<DEVICE_OBJECT*>(Extension()->PortDevices, Extension()->PortDevices + CARD_MAX_PORTS), before);
  EXPECT_EQ(kernel().io->devices().size(), devices_before);
  ExpectPortsInSlots({0, 1, 2, 3, 4, 5, 6, 7});

  // UART 1 leaves the card: UARTs 2 to 7 move down a slot.
  Model().SetUartFitted(1, false);
  BringUpAgain();
  kernel().pnp->WaitIdle();
  EXPECT_EQ(Extension()->EnabledPortMask, 0xFDu);
  ExpectPortsInSlots({0, 1, 2, 3, 4, 5, 6});
  EXPECT_EQ(Extension()->PortDevices[0], before[0]) << "UART 0 is still in slot 0";
  for (int slot = 1; slot < 8; ++slot) EXPECT_FALSE(kernel().io->IsLiveDevice(before[slot])) << "slot " << slot;
  for (int slot = 0; slot < 7; ++slot) {
    EXPECT_EQ(Model().UartAt(card_test::SlotAddress(Bar5(), slot)), slot == 0 ? 0 : slot + 1);
    EXPECT_EQ(SlotNode(slot)->state, sim::DeviceNode::State::Started) << "slot " << slot;
    EXPECT_EQ(PortName(SlotNode(slot)), names[slot]) << "slot " << slot;
  }

  // It comes back: every slot leads to its own UART again.
  DEVICE_OBJECT* kept = Extension()->PortDevices[0];
  Model().SetUartFitted(1, true);
  BringUpAgain();
  kernel().pnp->WaitIdle();
  EXPECT_EQ(Extension()->EnabledPortMask, 0xFFu);
  ExpectPortsInSlots({0, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(Extension()->PortDevices[0], kept);
  for (int slot = 0; slot < 8; ++slot) {
    EXPECT_EQ(SlotNode(slot)->state, sim::DeviceNode::State::Started) << "slot " << slot;
    EXPECT_EQ(PortName(SlotNode(slot)), names[slot]) << "slot " << slot;
  }
  EXPECT_EQ(kernel().io->devices().size(), devices_before);
}

TEST_F(PortCreationTest, FailedCreationLeavesItsSlotToTheNextStart) {
  // Device creations: the card's own device, then its ports; the second
  // port's creation fails, the slots after it keep their own UARTs, and
  // the next start fills the free slot.
  Boot();
  kernel().faults->FailNth(sim::FaultKind::DeviceCreation, 3);
  machine().PlugCard(Card(0x1104));
  ASSERT_TRUE(Started());
  ExpectPortsInSlots({0, 2, 3});

  BringUpAgain();
  ExpectPortsInSlots({0, 1, 2, 3});
}

TEST_F(PortCreationTest, FailedLastCreationFailsTheStartAndLeavesNothing) {
  Boot();
  kernel().faults->FailNth(sim::FaultKind::DeviceCreation, 5);
  machine().PlugCard(Card(0x1104));
  EXPECT_EQ(Node()->state, sim::DeviceNode::State::Failed);
  EXPECT_EQ(Node()->problem, STATUS_INSUFFICIENT_RESOURCES);
  // The removal after the failed start took the ports made before.
  EXPECT_EQ(kernel().io->FindDriver("zarkcard"), nullptr);
  EXPECT_EQ(machine().cards().at(0).pdo->AttachedDevice, nullptr);
}

}  // namespace
