// The card driver's frame in booted machines: device numbering, the control
// link, opens, and AddDevice failures that must leave nothing behind.
#include <gtest/gtest.h>

#include <string>

#include "card/driver/card_extension.h"
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/pool.h"
#include "support/kernel_test.h"

namespace {

sim::CardConfig CardOf(USHORT device_id) {
  sim::CardConfig card;
  card.device_id = device_id;
  return card;
}

class CardFrameTest : public sim::test::KernelTest {
 protected:
  sim::MachineConfig config() const override {
    sim::MachineConfig config;
    for (int i = 0; i < cards_at_boot_; ++i) config.cards.push_back(CardOf(0x1104));
    return config;
  }
  std::u16string LinkTarget() { return kernel().names->LinkTarget(u"\\DosDevices\\ZARKCARD"); }
  bool DeviceExists(const char16_t* name) { return kernel().names->Exists(name); }
  sim::DeviceNode* NodeOf(DEVICE_OBJECT* pdo) { return kernel().pnp->NodeOf(pdo); }
  sim::DeviceNode* CardNode(size_t index) { return kernel().pnp->nodes().at(index).get(); }

  int cards_at_boot_ = 1;
};

TEST_F(CardFrameTest, FirstCardIsNumberZeroAndOwnsTheLink) {
  EXPECT_TRUE(DeviceExists(u"\\Device\\ZARKLINK_0"));
  EXPECT_EQ(LinkTarget(), u"\\Device\\ZARKLINK_0");
  sim::DeviceNode* node = CardNode(0);
  EXPECT_EQ(node->state, sim::DeviceNode::State::Started);
  DEVICE_OBJECT* fdo = node->pdo->AttachedDevice;
  ASSERT_NE(fdo, nullptr);
  auto* card = static_cast<CardExtension*>(fdo->DeviceExtension);
  EXPECT_EQ(card->DeviceFlags, 0u);
  EXPECT_EQ(card->Self, fdo);
  EXPECT_EQ(card->NextLowerDevice, node->pdo);
  EXPECT_EQ(card->PhysicalDeviceObject, node->pdo);
  EXPECT_EQ(card->WmiValue, 42u);
  EXPECT_EQ(card->CurrentDeviceState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(card->CurrentSystemState, static_cast<ULONG>(PowerSystemWorking));
  EXPECT_EQ(fdo->Flags & (DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE), static_cast<ULONG>(DO_POWER_PAGABLE));
  EXPECT_TRUE(kernel().io->FindDevice(fdo)->wmi_registered);
}

// The card answers the close too (the fixture's clean verifier shows it).
TEST_F(CardFrameTest, OpenAndCloseOfTheCardSucceedWithInformationZero) {
  HANDLE handle = nullptr;
  ULONG_PTR information = 99;
  EXPECT_EQ(app().Open("\\\\.\\ZARKCARD", &handle, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(app().Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(app().Open("\\Device\\ZARKLINK_0", &handle, &information), STATUS_SUCCESS);
  EXPECT_EQ(app().Close(handle), STATUS_SUCCESS);
}

// A port without its function driver never starts, so the I/O manager
// refuses to open it; a create that reaches the port (passed down by the
// driver above it) succeeds with Information 0.
TEST_F(CardFrameTest, PortIsOpenedOnlyOnceStartedAndAnswersCreateWithInformationZero) {
  auto* card = static_cast<CardExtension*>(CardNode(0)->pdo->AttachedDevice->DeviceExtension);
  DEVICE_OBJECT* port = card->PortDevices[0];
  ASSERT_NE(port, nullptr);
  const std::u16string name = kernel().io->FindDevice(port)->name;
  ASSERT_FALSE(name.empty()) << "port devices get generated names";
  // A port whose stack is not started (here: disabled) cannot be opened.
  sim::DeviceNode* node = kernel().pnp->NodeOf(port);
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(kernel().pnp->DisableDevice(node), STATUS_SUCCESS);
  HANDLE handle = nullptr;
  EXPECT_EQ(app().Open(sim::Utf16ToUtf8(name), &handle), STATUS_NO_SUCH_DEVICE);

  sim::IoRequest create;
  create.major = IRP_MJ_CREATE;
  create.initial_status = STATUS_SUCCESS;
  create.initial_information = 99;
  IO_STATUS_BLOCK result = kernel().io->SendAndWait(port, create);
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.Information, 0u);
}

class TwoCardTest : public CardFrameTest {
 protected:
  TwoCardTest() { cards_at_boot_ = 2; }
};

TEST_F(TwoCardTest, LinkFollowsTheNewestCardAndVanishesWithAnyRemoval) {
  EXPECT_TRUE(DeviceExists(u"\\Device\\ZARKLINK_0"));
  EXPECT_TRUE(DeviceExists(u"\\Device\\ZARKLINK_1"));
  EXPECT_EQ(LinkTarget(), u"\\Device\\ZARKLINK_1");

  ASSERT_EQ(kernel().pnp->RemoveDevice(CardNode(0)), STATUS_SUCCESS);
  EXPECT_FALSE(DeviceExists(u"\\Device\\ZARKLINK_0"));
  EXPECT_TRUE(DeviceExists(u"\\Device\\ZARKLINK_1"));
  EXPECT_FALSE(DeviceExists(u"\\DosDevices\\ZARKCARD")) << "removing any card deletes the link by name";
  HANDLE handle = nullptr;
  EXPECT_EQ(app().Open("\\\\.\\ZARKCARD", &handle), STATUS_OBJECT_NAME_NOT_FOUND);

  // The driver stays loaded for card 1, so the next card gets number 2.
  machine().PlugCard(CardOf(0x1108));
  EXPECT_TRUE(DeviceExists(u"\\Device\\ZARKLINK_2"));
  EXPECT_EQ(LinkTarget(), u"\\Device\\ZARKLINK_2");
}

TEST_F(CardFrameTest, DriverReloadedForALaterCardStartsCountingAfresh) {
  ASSERT_EQ(kernel().pnp->RemoveDevice(CardNode(0)), STATUS_SUCCESS);
  EXPECT_TRUE(kernel().io->FindDriver("zarkcard") == nullptr) << "the driver unloads with its last device";
  machine().PlugCard(CardOf(0x1104));
  EXPECT_TRUE(DeviceExists(u"\\Device\\ZARKLINK_0"));
  EXPECT_EQ(LinkTarget(), u"\\Device\\ZARKLINK_0");
}

TEST(CardExtensionTest, DeviceFlagsNameThePortSlot) {
  PortExtension port{};
  port.DeviceFlags = 0x00000005u;
  EXPECT_TRUE(IsPortExtension(&port));
  EXPECT_EQ(PortSlotFromFlags(0x00000005u), 1) << "bit 2: the card's port 2, slot 1";
  EXPECT_EQ(PortSlotFromFlags(DEVICE_FLAG_PORT | DEVICE_FLAG_SLOT(11)), 11);
  EXPECT_EQ(PortSlotFromFlags(DEVICE_FLAG_SLOT(0) | DEVICE_FLAG_PORT), 0);
  EXPECT_EQ(PortSlotFromFlags(0), -1);
  CardExtension card{};
  EXPECT_FALSE(IsPortExtension(&card));
}

struct AddDeviceFault {
  const char* name;
  sim::FaultKind kind;
  std::vector<unsigned> calls;  // which calls of that kind fail
  NTSTATUS expected;
  bool link_survives;
};

void PrintTo(const AddDeviceFault& fault, std::ostream* out) { *out << fault.name; }

class AddDeviceFailureTest : public CardFrameTest, public ::testing::WithParamInterface<AddDeviceFault> {};

TEST_P(AddDeviceFailureTest, LeavesNothingOfTheNewCard) {
  const AddDeviceFault& fault = GetParam();
  const size_t blocks_before = kernel().pool->blocks().size();
  const size_t devices_before = kernel().io->devices().size();
  for (unsigned call : fault.calls) kernel().faults->FailNth(fault.kind, call);

  DEVICE_OBJECT* pdo = machine().PlugCard(CardOf(0x1112));
  sim::DeviceNode* node = NodeOf(pdo);
  EXPECT_EQ(node->state, sim::DeviceNode::State::Failed);
  EXPECT_EQ(node->problem, fault.expected);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_FALSE(DeviceExists(u"\\Device\\ZARKLINK_1"));
  EXPECT_EQ(kernel().pool->blocks().size(), blocks_before);
  EXPECT_EQ(kernel().io->devices().size(), devices_before + 1) << "only the new card's PDO";
  EXPECT_EQ(LinkTarget(), fault.link_survives ? u"\\Device\\ZARKLINK_0" : u"");

  // Numbers are never reused: the next card is number 2.
  kernel().faults->Clear();
  machine().PlugCard(CardOf(0x1104));
  EXPECT_TRUE(DeviceExists(u"\\Device\\ZARKLINK_2"));
}

INSTANTIATE_TEST_SUITE_P(
    EveryFailurePath, AddDeviceFailureTest,
    ::testing::Values(
        AddDeviceFault{"DeviceCreation", sim::FaultKind::DeviceCreation, {1}, STATUS_INSUFFICIENT_RESOURCES, true},
        AddDeviceFault{"DeviceNameBuffer", sim::FaultKind::Pool, {1}, STATUS_INSUFFICIENT_RESOURCES, true},
        AddDeviceFault{"Attach", sim::FaultKind::Attach, {1}, STATUS_DEVICE_REMOVED, true},
        AddDeviceFault{"LinkNameBuffer", sim::FaultKind::Pool, {2}, STATUS_INSUFFICIENT_RESOURCES, true},
        // Both attempts fail; the retry had already deleted the old link.
        AddDeviceFault{"LinkTwice", sim::FaultKind::SymbolicLink, {1, 2}, STATUS_INSUFFICIENT_RESOURCES, false}),
    [](const ::testing::TestParamInfo<AddDeviceFault>& info) { return std::string(info.param.name); });

TEST_F(CardFrameTest, OneFailedLinkAttemptIsRetried) {
  kernel().faults->FailNth(sim::FaultKind::SymbolicLink, 1);
  machine().PlugCard(CardOf(0x1104));
  EXPECT_EQ(LinkTarget(), u"\\Device\\ZARKLINK_1");
}

class NoCardTest : public CardFrameTest {
 protected:
  NoCardTest() { cards_at_boot_ = 0; }
};

TEST_F(NoCardTest, DriverEntryWithoutPoolFailsTheLoad) {
  kernel().faults->FailNth(sim::FaultKind::Pool, 1);
  DEVICE_OBJECT* pdo = machine().PlugCard(CardOf(0x1104));
  sim::DeviceNode* node = NodeOf(pdo);
  EXPECT_EQ(node->state, sim::DeviceNode::State::Failed);
  EXPECT_EQ(node->problem, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(kernel().io->FindDriver("zarkcard"), nullptr);
}

TEST_F(NoCardTest, AnotherVendorsFunctionGetsNoDriver) {
  sim::CardConfig other;
  other.vendor_id = 0x8086;
  other.device_id = 0x1104;
  DEVICE_OBJECT* pdo = machine().PlugCard(other);
  sim::DeviceNode* node = NodeOf(pdo);
  EXPECT_EQ(node->state, sim::DeviceNode::State::Initialized);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

}  // namespace
