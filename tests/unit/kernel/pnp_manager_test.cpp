// The Plug and Play manager with drivers written in the test: stacks built
// by binding, the order of requests at start, the registry's instance keys
// and service lists, children found through bus relations with their IDs
// checked, and the user's actions with their vetoes, open handles included.
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
  std::vector<DEVICE_OBJECT*> removal_relations;  // PDOs the bus FDO names as leaving with it
  const CM_RESOURCE_LIST* started_with = nullptr;
};
World* world = nullptr;

// What a child PDO answers.
struct ChildIds {
  ULONG index = 0;
  const char* device_id = "TEST\\CHILD";
  const char* instance_id = nullptr;  // null: the index
  bool unique_id = false;
  bool unterminated_hardware_ids = false;
};

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

// The child PDOs: IDs as their ChildIds say, deleted on removal once gone.
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const auto* ids = static_cast<const ChildIds*>(device->DeviceExtension);
  world->log.push_back("child:" + std::to_string(stack->MinorFunction));
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      ULONG type = stack->Parameters.QueryId.IdType;
      if (type == BusQueryDeviceID)
        return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolString(ids->device_id, false)));
      if (type == BusQueryHardwareIDs) {
        PWCHAR list = PoolString(ids->device_id, true);
        if (ids->unterminated_hardware_ids) {
          // Only one NUL, in a block just big enough for it.
          size_t length = std::strlen(ids->device_id);
          auto* short_list = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (length + 1) * sizeof(WCHAR), 'tseT'));
          RtlCopyMemory(short_list, list, (length + 1) * sizeof(WCHAR));
          ExFreePool(list);
          list = short_list;
        }
        return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(list));
      }
      if (type == BusQueryInstanceID) {
        std::string text = ids->instance_id ? ids->instance_id : std::to_string(ids->index);
        return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolString(text.c_str(), false)));
      }
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_CAPABILITIES:
      stack->Parameters.DeviceCapabilities.Capabilities->UniqueID = ids->unique_id;
      return Complete(irp, STATUS_SUCCESS, 0);
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
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = PNP_DEVICE_DONT_DISPLAY_IN_UI;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      DEVICE_RELATION_TYPE type = stack->Parameters.QueryDeviceRelations.Type;
      if (type != BusRelations && type != RemovalRelations) break;
      const auto& named = type == BusRelations ? world->children : world->removal_relations;
      size_t count = named.size();
      auto* relations = static_cast<DEVICE_RELATIONS*>(
          ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT), 'tseT'));
      relations->Count = static_cast<ULONG>(count);
      for (size_t i = 0; i < count; ++i) {
        relations->Objects[i] = named[i];
        ObReferenceObject(named[i]);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      break;
    }
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

// Opens of the bus device: logged and accepted.
DRIVER_DISPATCH BusFile;
NTSTATUS BusFile(PDEVICE_OBJECT, PIRP irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  world->log.push_back(major == IRP_MJ_CREATE ? "fdo:create" : major == IRP_MJ_CLEANUP ? "fdo:cleanup" : "fdo:close");
  return Complete(irp, STATUS_SUCCESS, 0);
}

DRIVER_ADD_DEVICE BusAddDevice;
NTSTATUS BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  world->log.push_back("fdo:add");
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
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) bus_->object.MajorFunction[major] = BusFile;
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
  DEVICE_OBJECT* NewChild(const ChildIds& ids = {}) {
    DEVICE_OBJECT* child = sim::test::CreateTestDevice(bus_, nullptr, sizeof(ChildIds));
    child->Flags |= DO_BUS_ENUMERATED_DEVICE;
    auto* own = new (child->DeviceExtension) ChildIds(ids);
    own->index = next_child_++;
    return child;
  }
  // Reports a new child and waits until the manager has dealt with it.
  sim::DeviceNode* AddChild(const ChildIds& ids = {}) {
    DEVICE_OBJECT* child = NewChild(ids);
    world_.children.push_back(child);
    IoInvalidateDeviceRelations(pdo_, BusRelations);
    kernel().pnp->WaitIdle();
    return kernel().pnp->NodeOf(child);
  }
  // The PCI name of the bus device, which opens the whole stack.
  std::string BusName() { return sim::Utf16ToUtf8(kernel().io->FindDevice(pdo_)->name); }
  size_t Count(const std::string& entry) const {
    return static_cast<size_t>(std::count(world_.log.begin(), world_.log.end(), entry));
  }

  World world_;
  ULONG next_child_ = 0;
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

// A child with a function driver: what Windows asks a new device, in order.
std::vector<std::string> func_log;

DRIVER_DISPATCH FuncPnp;
NTSTATUS FuncPnp(PDEVICE_OBJECT device, PIRP irp) {
  func_log.push_back("func:" + std::to_string(IoGetCurrentIrpStackLocation(irp)->MinorFunction));
  PDEVICE_OBJECT lower = device->DeviceObjectExtension->AttachedTo;
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
  }
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_START_DEVICE) irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

DRIVER_ADD_DEVICE FuncAddDevice;
NTSTATUS FuncAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  func_log.push_back("func:add");
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

TEST_F(PnpManagerTest, NewDeviceIsAskedInTheOrderWindowsAsks) {
  // The bus device: requirements before AddDevice (from the PCI bus
  // driver alone), then the built stack.
  std::vector<std::string> bus(world_.log.begin(), world_.log.begin() + 6);
  EXPECT_EQ(bus, (std::vector<std::string>{"fdo:add", "fdo:13", "fdo:0", "fdo:9", "fdo:20", "fdo:7"}));
  EXPECT_EQ(node_->device_state, static_cast<PNP_DEVICE_STATE>(PNP_DEVICE_DONT_DISPLAY_IN_UI));

  sim::DriverRecord* func = kernel().io->CreateBuiltinDriver("testfunc");
  func->object.MajorFunction[IRP_MJ_PNP] = FuncPnp;
  func->extension.AddDevice = FuncAddDevice;
  kernel().pnp->Bind("TEST\\FUNC", "testfunc");
  func_log.clear();
  world_.log.clear();
  ChildIds ids;
  ids.device_id = "TEST\\FUNC";
  sim::DeviceNode* child = AddChild(ids);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->state, DeviceNode::State::Started);
  // Device ID, capabilities, instance, hardware and compatible IDs, texts,
  // requirements: the bus driver alone.
  auto first = std::find(world_.log.begin(), world_.log.end(), "child:19");
  ASSERT_LE(first + 8, world_.log.end());
  std::vector<std::string> before(first, first + 8);
  EXPECT_EQ(before, (std::vector<std::string>{"child:19", "child:9", "child:19", "child:19", "child:19", "child:12",
                                              "child:12", "child:11"}));
  EXPECT_EQ(func_log, (std::vector<std::string>{"func:add", "func:13", "func:0", "func:9", "func:20", "func:7"}));
  func_log.clear();
  world_.children.pop_back();
  IoInvalidateDeviceRelations(pdo_, BusRelations);
  kernel().pnp->WaitIdle();
  EXPECT_EQ(func_log, (std::vector<std::string>{"func:23", "func:2"}));
}

TEST_F(PnpManagerTest, InstanceIdsUniqueOnlyOnTheirBusGetTheParentsPrefix) {
  DeviceNode* shared = node_->children.at(0);
  EXPECT_EQ(shared->instance_id.rfind("5&", 0), 0u) << shared->instance_id;
  EXPECT_EQ(shared->instance_id.substr(shared->instance_id.size() - 2), "&0");
  ChildIds unique;
  unique.device_id = "TEST\\UNIQUE";
  unique.instance_id = "SERIAL42";
  unique.unique_id = true;
  DeviceNode* own = AddChild(unique);
  EXPECT_EQ(own->InstancePath(), "TEST\\UNIQUE\\SERIAL42") << "a system-wide unique ID is kept as it is";
  EXPECT_TRUE(kernel().verifier->clean()) << kernel().verifier->Summary();

  DeviceNode* twin = AddChild(unique);
  EXPECT_EQ(twin->state, DeviceNode::State::Failed);
  EXPECT_NE(TakeOnlyFinding("pnp-duplicate-instance", "testbus").find("TEST\\UNIQUE\\SERIAL42"), std::string::npos);
}

TEST_F(PnpManagerTest, MalformedIdsAreFindingsNamingTheBusDriver) {
  struct Case {
    ChildIds ids;
    const char* says;
  };
  ChildIds comma, backslash, unterminated, long_id;
  comma.device_id = "TEST\\A,B";
  backslash.instance_id = "1\\2";
  unterminated.device_id = "TEST\\LIST";
  unterminated.unterminated_hardware_ids = true;
  const std::string long_text = "TEST\\" + std::string(200, 'X');
  long_id.device_id = long_text.c_str();
  for (const Case& each : {Case{comma, "character 0x2C"}, Case{backslash, "holds no backslash"},
                           Case{unterminated, "does not end in two NULs"}, Case{long_id, "MAX_DEVICE_ID_LEN"}}) {
    DeviceNode* child = AddChild(each.ids);
    EXPECT_EQ(child->state, DeviceNode::State::Failed) << each.says;
    EXPECT_NE(TakeOnlyFinding("pnp-bad-id", "testbus").find(each.says), std::string::npos) << each.says;
  }
}

TEST_F(PnpManagerTest, BusRelationsNamingADeletedPdoAreAFinding) {
  DEVICE_OBJECT* deleted = NewChild();
  ObReferenceObject(deleted);  // keeps its memory for the test
  IoDeleteDevice(deleted);
  world_.children.push_back(deleted);
  IoInvalidateDeviceRelations(pdo_, BusRelations);
  kernel().pnp->WaitIdle();
  TakeOnlyFinding("pnp-deleted-pdo-reported", "testbus");
  EXPECT_EQ(node_->children.size(), 2u);
  world_.children.pop_back();
  ObDereferenceObject(deleted);
}

TEST_F(PnpManagerTest, OnlyAPdoMayInvalidateItsRelations) {
  IoInvalidateDeviceRelations(pdo_->AttachedDevice, BusRelations);
  EXPECT_NE(TakeOnlyFinding("not-a-pdo", "kernel").find("IoInvalidateDeviceRelations"), std::string::npos);
  EXPECT_EQ(kernel().pnp->StackNode(pdo_->AttachedDevice), node_);
  EXPECT_EQ(kernel().pnp->NodeOf(pdo_->AttachedDevice), nullptr) << "the function device does not carry the node";
}

TEST_F(PnpManagerTest, OpenHandleVetoesRemovalUntilItIsClosed) {
  HANDLE handle = nullptr;
  ASSERT_EQ(app().Open(BusName(), &handle), STATUS_SUCCESS);
  world_.log.clear();
  EXPECT_EQ(kernel().pnp->RemoveDevice(node_), STATUS_PLUGPLAY_QUERY_VETOED);
  EXPECT_EQ(Count("fdo:1"), 0u) << "vetoed before the drivers are asked";
  EXPECT_EQ(node_->state, DeviceNode::State::Started);
  app().Close(handle);
  EXPECT_EQ(kernel().pnp->RemoveDevice(node_), STATUS_SUCCESS);
}

TEST_F(PnpManagerTest, SurpriseRemovedDeviceIsRemovedWhenItsLastHandleCloses) {
  HANDLE handle = nullptr;
  ASSERT_EQ(app().Open(BusName(), &handle), STATUS_SUCCESS);
  world_.log.clear();
  ASSERT_EQ(kernel().pnp->SurpriseRemove(node_), STATUS_SUCCESS);
  EXPECT_EQ(Count("fdo:23"), 1u);
  EXPECT_EQ(Count("fdo:2"), 0u) << "no removal while a handle is open";
  HANDLE another = nullptr;
  EXPECT_EQ(app().Open(BusName(), &another), STATUS_NO_SUCH_DEVICE);
  app().Close(handle);
  kernel().pnp->WaitIdle();
  auto close = std::find(world_.log.begin(), world_.log.end(), "fdo:close");
  auto remove = std::find(world_.log.begin(), world_.log.end(), "fdo:2");
  ASSERT_NE(close, world_.log.end());
  EXPECT_EQ(*(close - 1), "fdo:cleanup");
  EXPECT_LT(close, remove);
  EXPECT_EQ(node_->state, DeviceNode::State::Removed);
}

TEST_F(PnpManagerTest, RemovalRelationsAreAskedFirstAndLeaveWithTheDevice) {
  sim::CardConfig other;
  other.vendor_id = 0x1234;
  other.device_id = 0x0002;  // no driver for it
  other.location = sim::hw::PciLocation{1, 6, 0};
  DEVICE_OBJECT* related_pdo = machine().InstallCard(other);
  DeviceNode* related = kernel().pnp->DeviceArrived(related_pdo);
  world_.removal_relations.push_back(related_pdo);
  world_.log.clear();
  ASSERT_EQ(kernel().pnp->RemoveDevice(node_), STATUS_SUCCESS);
  EXPECT_EQ(world_.log.front(), "fdo:7");
  EXPECT_EQ(Count("fdo:1"), 1u);
  EXPECT_EQ(related->state, DeviceNode::State::Removed);
  world_.removal_relations.clear();
}

}  // namespace
