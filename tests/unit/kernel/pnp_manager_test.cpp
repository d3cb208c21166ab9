// The Plug and Play manager with drivers written in the test: stacks built
// by binding, the registry's instance keys and service lists, children
// found through bus relations, and the user's actions with their vetoes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp/enum_registry.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/registry/registry.h"
#include "support/kernel_test.h"
#include "support/test_devices.h"

namespace {

using sim::DeviceNode;

// What the test drivers saw and do.
struct World {
  std::vector<std::string> log;            // "<who>:<minor>"
  bool veto_query_remove = false;
  bool veto_query_stop = false;
  std::vector<DEVICE_OBJECT*> children;    // PDOs the bus FDO reports
  const CM_RESOURCE_LIST* started_with = nullptr;
};
World* world = nullptr;

const char* Who(PDEVICE_OBJECT device) { return device->DeviceObjectExtension->AttachedTo ? "fdo" : "pdo"; }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PWCHAR PoolString(const char* text, bool multi) {
  size_t length = std::strlen(text);
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (length + 2) * sizeof(WCHAR), 'tseT'));
  for (size_t i = 0; i < length; ++i) buffer[i] = static_cast<WCHAR>(text[i]);
  buffer[length] = 0;
  buffer[length + 1] = 0;
  (void)multi;
  return buffer;
}

// The child PDOs: IDs from their index, deleted on removal once gone.
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  world->log.push_back("child:" + std::to_string(stack->MinorFunction));
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      ULONG type = stack->Parameters.QueryId.IdType;
      if (type == BusQueryDeviceID || type == BusQueryHardwareIDs)
        return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolString("TEST\\CHILD", true)));
      if (type == BusQueryInstanceID) {
        char text[8];
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(device) >> 4 & 0xFFF));
        return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolString(text, false)));
      }
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    case IRP_MN_REMOVE_DEVICE: {
      DeviceNode* node = sim::K().pnp->NodeOf(device);
      Complete(irp, STATUS_SUCCESS, 0);
      if (node && !node->present) IoDeleteDevice(device);
      return STATUS_SUCCESS;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

// The function driver of the bus device ("TEST\BUS").
DRIVER_DISPATCH BusFdoPnp;
NTSTATUS BusFdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!device->DeviceObjectExtension->AttachedTo) return ChildPnp(device, irp);
  PDEVICE_OBJECT lower = device->DeviceObjectExtension->AttachedTo;
  world->log.push_back(std::string(Who(device)) + ":" + std::to_string(stack->MinorFunction));
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (world->veto_query_remove) return Complete(irp, STATUS_UNSUCCESSFUL, 0);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      if (world->veto_query_stop) return Complete(irp, STATUS_UNSUCCESSFUL, 0);
      break;
    case IRP_MN_START_DEVICE:
      world->started_with = stack->Parameters.StartDevice.AllocatedResources;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        size_t count = world->children.size();
        auto* relations = static_cast<DEVICE_RELATIONS*>(
            ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT), 'tseT'));
        relations->Count = static_cast<ULONG>(count);
        for (size_t i = 0; i < count; ++i) {
          relations->Objects[i] = world->children[i];
          ObReferenceObject(world->children[i]);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      }
      break;
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(lower, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(device);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

DRIVER_ADD_DEVICE BusAddDevice;
NTSTATUS BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

class PnpManagerTest : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    world = &world_;
    bus_ = kernel().io->CreateBuiltinDriver("testbus");
    bus_->object.MajorFunction[IRP_MJ_PNP] = BusFdoPnp;
    bus_->extension.AddDevice = BusAddDevice;
    kernel().pnp->Bind("PCI\\VEN_1234&DEV_0001", "testbus");
    sim::CardConfig device;
    device.vendor_id = 0x1234;
    device.device_id = 0x0001;
    device.location = sim::hw::PciLocation{1, 5, 0};
    pdo_ = machine().InstallCard(device);
    for (int i = 0; i < 2; ++i) world_.children.push_back(NewChild());
    node_ = kernel().pnp->DeviceArrived(pdo_);
  }
  void TearDown() override {
    machine().Shutdown();
    // Children that were reported and removed were deleted by their removal;
    // the ones never reported (or still alive) are the test's to delete.
    for (DEVICE_OBJECT* child : world_.children)
      if (kernel().io->IsLiveDevice(child)) IoDeleteDevice(child);
    KernelTest::TearDown();
    world = nullptr;
  }
  DEVICE_OBJECT* NewChild() {
    DEVICE_OBJECT* child = sim::test::CreateTestDevice(bus_);
    child->Flags |= DO_BUS_ENUMERATED_DEVICE;
    return child;
  }
  size_t Count(const std::string& entry) const {
    return static_cast<size_t>(std::count(world_.log.begin(), world_.log.end(), entry));
  }

  World world_;
  sim::DriverRecord* bus_ = nullptr;
  DEVICE_OBJECT* pdo_ = nullptr;
  DeviceNode* node_ = nullptr;
};

const std::string kServiceEnum = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\testbus\\Enum";

TEST_F(PnpManagerTest, StartedDeviceHasItsInstanceKeyAndServiceEntry) {
  EXPECT_EQ(node_->state, DeviceNode::State::Started);
  EXPECT_EQ(node_->InstancePath(), "PCI\\VEN_1234&DEV_0001&SUBSYS_00000000&REV_00\\4&813c32c1&0&28");
  sim::Registry& registry = *kernel().registry;
  EXPECT_TRUE(registry.KeyExists(sim::DeviceParametersPath(*node_)));
  EXPECT_EQ(registry.GetString(sim::InstanceKeyPath(*node_), "Service"), u"testbus");
  EXPECT_EQ(registry.GetDword(kServiceEnum, "Count"), 1u);
  EXPECT_EQ(registry.GetString(kServiceEnum, "0"), sim::Utf8ToUtf16(node_->InstancePath()));
  EXPECT_EQ(node_->capabilities.Address, 5u << 16) << "capabilities come from the bus driver";
}

TEST_F(PnpManagerTest, ChildrenComeFromBusRelationsAndGoWhenNoLongerReported) {
  ASSERT_EQ(node_->children.size(), 2u);
  EXPECT_EQ(node_->children[0]->device_id, "TEST\\CHILD");
  EXPECT_EQ(node_->children[0]->state, DeviceNode::State::Initialized) << "no driver is bound to children";

  DEVICE_OBJECT* third = NewChild();
  world_.children.push_back(third);
  IoInvalidateDeviceRelations(pdo_, BusRelations);
  EXPECT_EQ(node_->children.size(), 2u) << "enumeration happens later, on the manager's thread";
  kernel().pnp->WaitIdle();
  EXPECT_EQ(node_->children.size(), 3u);

  DEVICE_OBJECT* first = world_.children[0];
  world_.children.erase(world_.children.begin());
  IoInvalidateDeviceRelations(pdo_, BusRelations);
  kernel().pnp->WaitIdle();
  EXPECT_EQ(node_->children.size(), 2u);
  EXPECT_FALSE(kernel().io->IsLiveDevice(first)) << "the bus deleted the PDO of the vanished child";
}

TEST_F(PnpManagerTest, VetoedRemovalLeavesEverythingRunning) {
  world_.veto_query_remove = true;
  EXPECT_EQ(kernel().pnp->RemoveDevice(node_), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(node_->state, DeviceNode::State::Started);
  EXPECT_EQ(Count("fdo:3"), 1u) << "cancel-remove follows the veto";
  EXPECT_EQ(Count("child:1"), 0u) << "children that never started are not asked";
  EXPECT_EQ(node_->children.size(), 2u);
  EXPECT_NE(pdo_->AttachedDevice, nullptr);
}

TEST_F(PnpManagerTest, RemovalTakesChildrenFirstAndCleansTheRegistry) {
  world_.log.clear();
  ASSERT_EQ(kernel().pnp->RemoveDevice(node_), STATUS_SUCCESS);
  auto first_child_remove = std::find(world_.log.begin(), world_.log.end(), "child:2");
  auto fdo_remove = std::find(world_.log.begin(), world_.log.end(), "fdo:2");
  ASSERT_NE(fdo_remove, world_.log.end());
  EXPECT_LT(first_child_remove, fdo_remove);
  EXPECT_EQ(node_->state, DeviceNode::State::Removed);
  EXPECT_EQ(kernel().registry->GetDword(kServiceEnum, "Count"), 0u);
  EXPECT_FALSE(kernel().io->IsLiveDevice(pdo_));
}

TEST_F(PnpManagerTest, SurpriseRemovalPrecedesRemoval) {
  world_.log.clear();
  ASSERT_EQ(kernel().pnp->SurpriseRemove(node_), STATUS_SUCCESS);
  EXPECT_EQ(Count("fdo:23"), 1u);
  EXPECT_EQ(Count("fdo:1"), 0u) << "no query when the hardware is already gone";
  auto surprise = std::find(world_.log.begin(), world_.log.end(), "fdo:23");
  auto remove = std::find(world_.log.begin(), world_.log.end(), "fdo:2");
  EXPECT_LT(surprise, remove);
}

TEST_F(PnpManagerTest, DisableAndEnableRebuildTheStack) {
  ASSERT_EQ(kernel().pnp->DisableDevice(node_), STATUS_SUCCESS);
  EXPECT_EQ(node_->state, DeviceNode::State::Disabled);
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);
  EXPECT_TRUE(kernel().io->IsLiveDevice(pdo_)) << "a disabled device keeps its PDO";
  ASSERT_EQ(kernel().pnp->EnableDevice(node_), STATUS_SUCCESS);
  EXPECT_EQ(node_->state, DeviceNode::State::Started);
  EXPECT_NE(pdo_->AttachedDevice, nullptr);
}

TEST_F(PnpManagerTest, EnablingADeviceWithoutADriverLeavesItWaiting) {
  DeviceNode* child = node_->children.at(0);
  ASSERT_EQ(kernel().pnp->DisableDevice(child), STATUS_SUCCESS);
  EXPECT_EQ(child->state, DeviceNode::State::Disabled);
  EXPECT_EQ(kernel().pnp->EnableDevice(child), STATUS_SUCCESS);
  EXPECT_EQ(child->state, DeviceNode::State::Initialized);
  EXPECT_EQ(child->problem, 0);
}

TEST_F(PnpManagerTest, RebalanceStopsAndRestartsOrCancelsOnAVeto) {
  world_.veto_query_stop = true;
  EXPECT_EQ(kernel().pnp->Rebalance(node_), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Count("fdo:6"), 1u) << "cancel-stop";
  world_.veto_query_stop = false;
  world_.log.clear();
  EXPECT_EQ(kernel().pnp->Rebalance(node_), STATUS_SUCCESS);
  EXPECT_EQ(world_.log.front(), "fdo:5");
  EXPECT_EQ(Count("fdo:4"), 1u);
  EXPECT_EQ(Count("fdo:0"), 1u);
  EXPECT_EQ(node_->state, DeviceNode::State::Started);
}

}  // namespace
