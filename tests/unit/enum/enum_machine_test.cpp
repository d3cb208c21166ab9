// zarkenum in booted machines: every port's stack has it above the serial
// port driver; its start hands the serial driver the card driver's lists;
// the port-name query; "SkipEnumerations"; a child device's Plug and Play
// from creation through removal; removals with I/O in flight.
#include <cstring>
#include <string>

#include "enum/driver/enum_driver.h"
#include "enum/multi_string.h"
#include "wdmguid.h"
#include "sim/hw/devices/loopback_plug.h"
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/image_loader.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sim_thread.h"
#include "unit/enum/detection_support.h"

namespace serial_test {
namespace {

using Kind = sim::MachineAction::Kind;

DEVICE_OBJECT* Top(sim::DeviceNode* node) { return IoGetAttachedDevice(node->pdo); }

EnumFilterExtension* Filter(sim::DeviceNode* port) {
  DEVICE_OBJECT* top = Top(port);
  EXPECT_EQ(sim::K().io->FindDevice(top)->driver->name, "zarkenum");
  return FilterOf(top);
}

std::u16string Utf16(const void* data, size_t bytes) {
  return std::u16string(static_cast<const char16_t*>(data), bytes / sizeof(char16_t));
}

// The port-name query as an application sends it, through the handle.
sim::IoResult PortName(SerialPorts& ports, HANDLE handle, char16_t* out, ULONG bytes) {
  return ports.Control(handle, IOCTL_SERENUM_GET_PORT_NAME, nullptr, 0, out, bytes);
}

// A request sent by a kernel-side caller straight to a device object.
IO_STATUS_BLOCK SendControl(DEVICE_OBJECT* device, ULONG code, bool internal, void* out = nullptr,
                            ULONG out_length = 0) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, out, out_length, internal, &done, &io);
  EXPECT_NE(irp, nullptr);
  if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return io;
}

class EnumTest : public SerialTest {
 protected:
  sim::PnpManager& pnp() { return *machine().kernel().pnp; }

  sim::DeviceNode* LiveChild(sim::DeviceNode* port) {
    for (sim::DeviceNode* child : port->children)
      if (!child->Gone() && child->present) return child;
    return nullptr;
  }
};

// The serial driver of each port starts on the card driver's lists, not on
// the manager's empty range; an application's traffic and the port-name
// query go through the filter.
TEST_F(EnumTest, PortsStartOnTheirOwnListsAndAnswerThePortNameQuery) {
  for (unsigned port = 1; port <= 4; ++port) {
    sim::DeviceNode* node = ports().Node(port);
    ASSERT_TRUE(ports().Started(port));
    EnumFilterExtension* filter = Filter(node);
    EXPECT_EQ(filter->Started, 1);
    EXPECT_EQ(filter->PhysicalDeviceObject, node->pdo);
    // The filter takes the serial driver's buffering.
    EXPECT_EQ(Top(node)->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO),
              filter->NextLowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO));
    const auto address = ports().registry().GetValue(ports().DeviceKey(port), "PortAddr");
    ASSERT_TRUE(address.has_value());
    uint32_t value = 0;
    std::memcpy(&value, address->data.data(), sizeof(value));
    EXPECT_EQ(value, 0xE200u + 8 * (port - 1)) << "the serial driver runs on its own UART";
  }

  machine().cards().at(0).model->Plug(1, std::make_unique<sim::hw::LoopbackPlug>());
  HANDLE handle = ports().Open("\\\\.\\COM4");
  ASSERT_EQ(ports().Set(handle, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), STATUS_SUCCESS);
  ASSERT_EQ(ports().SetTimeouts(handle, 0, 0, 50), STATUS_SUCCESS);
  const std::string text = "through zarkenum";
  EXPECT_EQ(machine().app().Write(handle, text.data(), ULONG(text.size())).status, STATUS_SUCCESS);
  std::string back(text.size(), '\0');
  EXPECT_EQ(machine().app().Read(handle, back.data(), ULONG(back.size())).information, text.size());
  EXPECT_EQ(back, text);

  char16_t name[16] = {};
  sim::IoResult result = PortName(ports(), handle, name, sizeof(name));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(Utf16(name, result.information), std::u16string(u"COM4\0", 5));
  result = PortName(ports(), handle, name, 8);
  EXPECT_EQ(result.status, STATUS_SUCCESS) << "a name longer than the buffer copies nothing";
  EXPECT_EQ(result.information, 0u);
  // A port key without "PortName" answers with "Identifier".
  ASSERT_TRUE(ports().registry().DeleteValue(ports().DeviceKey(2), "PortName"));
  ports().registry().SetString(ports().DeviceKey(2), "Identifier", u"Zark port 2");
  result = PortName(ports(), handle, name, sizeof(name));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(Utf16(name, result.information), std::u16string(u"Zark port 2\0", 12));
  EXPECT_EQ(machine().app().Close(handle), STATUS_SUCCESS);
}

// A stack whose bus device does not answer the port resource interface
// query (a plain PCI function): the start ends with the query's status and
// the serial port driver below is never started.
TEST_F(EnumTest, AStartWithoutThePortInterfaceFailsWithTheQueryStatus) {
  machine().kernel().pnp->Bind("PCI\\VEN_1234&DEV_0002", "KALVOR1110", {"zarkenum"});
  sim::CardConfig device;
  device.vendor_id = 0x1234;
  device.device_id = 0x0002;
  device.location = sim::hw::PciLocation{1, 6, 0};
  DEVICE_OBJECT* pdo = machine().InstallCard(device);
  ASSERT_NE(pdo, nullptr);
  sim::DeviceNode* node = machine().kernel().pnp->DeviceArrived(pdo);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->state, sim::DeviceNode::State::Failed);
  EXPECT_EQ(node->problem, STATUS_NOT_SUPPORTED);
  EXPECT_FALSE(ports().registry().GetValue(sim::DeviceParametersPath(*node), "PortAddr").has_value())
      << "the serial port driver never started";
}

// The port's stack built again while each of the first calls of a kernel
// service fails in turn: the serial driver's and zarkenum's AddDevice, the
// interface registration, the key reads, the start with its fetch of the
// port's lists. A failure leaves the port not started and nothing behind
// (the fixture's verifier); the next try starts it.
TEST_F(EnumTest, EveryFailureWhileBuildingAndStartingThePortIsUndone) {
  using sim::FaultKind;
  for (FaultKind kind : {FaultKind::DeviceCreation, FaultKind::Attach, FaultKind::Registry, FaultKind::Pool}) {
    for (unsigned n = 1; n <= 6; ++n) {
      SCOPED_TRACE(testing::Message() << sim::FaultKindName(kind) << " call " << n);
      ASSERT_EQ(ports().Act(Kind::Disable, 1).status, STATUS_SUCCESS);
      machine().kernel().faults->FailNth(kind, n);
      ports().Act(Kind::Enable, 1);
      const bool failed = machine().kernel().faults->Calls(kind) >= n;
      machine().kernel().faults->Clear();
      if (failed && ports().Started(1)) {
        EXPECT_EQ(Filter(ports().Node(1))->Started, 1) << "a failure the stack got over";
      } else if (failed) {
        EXPECT_NE(ports().Node(1)->state, sim::DeviceNode::State::Started);
      }
      if (!ports().Started(1)) {
        ASSERT_EQ(ports().Act(Kind::Disable, 1).status, STATUS_SUCCESS);
        ASSERT_EQ(ports().Act(Kind::Enable, 1).status, STATUS_SUCCESS);
      }
      ASSERT_TRUE(ports().Started(1));
      EXPECT_EQ(Filter(ports().Node(1))->Started, 1);
    }
  }
}

// "SkipEnumerations" holds probing off for that many bus-relations
// queries (the device on the port is not looked at, no child is reported);
// a 2-byte value counts as none, 0xFFFFFFFF as never.
TEST_F(EnumTest, SkipEnumerationsHoldsProbingOff) {
  machine().cards().at(0).model->Plug(0, Make(ExampleModem()));
  struct Form {
    ULONG type;
    std::vector<uint8_t> data;
    ULONG skip;
  };
  const Form forms[] = {{REG_DWORD, {2, 0, 0, 0}, 2}, {REG_BINARY, {5, 0}, 0}, {REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, ~0u}};
  for (const Form& form : forms) {
    SCOPED_TRACE(testing::Message() << "skip " << form.skip);
    ports().registry().SetValue(ports().DeviceKey(1), "SkipEnumerations", form.type, form.data);
    ASSERT_EQ(ports().Act(Kind::Disable, 1).status, STATUS_SUCCESS);
    ASSERT_EQ(ports().Act(Kind::Enable, 1).status, STATUS_SUCCESS);
    sim::DeviceNode* port = ports().Node(1);
    EnumFilterExtension* filter = Filter(port);
    // The manager's query after the start counts as the first.
    const ULONG held = form.skip == ~0u ? 8 : form.skip - 1;
    if (form.skip) {
      EXPECT_EQ(filter->SkipEnumerations, form.skip == ~0u ? ~0u : form.skip - 1);
    }
    for (unsigned query = 0; form.skip && query < held; ++query) {
      pnp().EnumerateNow(port);
      EXPECT_EQ(filter->ProbeCount, 0) << "query " << query << " started no probe";
      EXPECT_EQ(LiveChild(port), nullptr);
    }
    if (form.skip == ~0u) {
      EXPECT_EQ(filter->SkipEnumerations, ~0u);
      continue;
    }
    if (form.skip) pnp().EnumerateNow(port);
    EXPECT_TRUE(filter->ProbeFlags & PROBE_RUNNING) << "this query starts the probe";
    while (ProbeRunning(port)) ports().Wait(10 * kMs);
    pnp().WaitIdle();
    EXPECT_EQ(filter->ProbeCount, 1);
    ASSERT_NE(LiveChild(port), nullptr);
    EXPECT_EQ(LiveChild(port)->device_id, "SERENUM\\ABC1234");
  }
  ports().registry().DeleteValue(ports().DeviceKey(1), "SkipEnumerations");
  ASSERT_EQ(ports().Act(Kind::Disable, 1).status, STATUS_SUCCESS);
}

// A probe thread that cannot be started leaves the port idle, so the next
// relations query probes; a thread whose object cannot be referenced still
// ends its cycle through its work item, and a removal still waits for it.
TEST_F(EnumTest, AProbeThreadThatFailsToStartOrToBeReferencedLeavesThePortProbeable) {
  sim::DeviceNode* port = ports().Node(1);
  while (ProbeRunning(port)) ports().Wait(10 * kMs);
  machine().cards().at(0).model->Plug(0, Make(ExampleModem()));
  EnumFilterExtension* filter = Filter(port);
  for (sim::FaultKind kind : {sim::FaultKind::WorkItem, sim::FaultKind::Thread}) {
    SCOPED_TRACE(sim::FaultKindName(kind));
    machine().kernel().faults->FailNth(kind, 1);
    pnp().EnumerateNow(port);
    machine().kernel().faults->Clear();
    EXPECT_EQ(filter->ProbeFlags, 0u) << "not running";
    EXPECT_EQ(filter->ProbeWorkItem, nullptr);
    EXPECT_EQ(filter->ProbeCount, 1) << "only the boot's probe ran";
  }
  machine().kernel().faults->FailNth(sim::FaultKind::Reference, 1);
  pnp().EnumerateNow(port);
  machine().kernel().faults->Clear();
  EXPECT_TRUE(filter->ProbeFlags & PROBE_RUNNING);
  EXPECT_EQ(filter->ProbeThread, nullptr);
  while (ProbeRunning(port)) ports().Wait(10 * kMs);
  pnp().WaitIdle();
  ASSERT_NE(LiveChild(port), nullptr) << "the probe ran to its end";
  EXPECT_EQ(filter->ProbeWorkItem, nullptr) << "and was cleaned up";

  // The child asks to go: the query that reports it absent does not probe;
  // its removal asks for a probe, which the next query runs itself.
  ASSERT_EQ(SendControl(LiveChild(port)->pdo, IOCTL_INTERNAL_SERENUM_REMOVE_SELF, true).Status, STATUS_SUCCESS);
  pnp().WaitIdle();
  EXPECT_EQ(LiveChild(port), nullptr);
  EXPECT_EQ(filter->ProbeFlags, static_cast<ULONG>(REPROBE_REQUESTED));
  pnp().EnumerateNow(port);
  EXPECT_FALSE(filter->ProbeFlags & PROBE_RUNNING);
  EXPECT_NE(LiveChild(port), nullptr) << "found again within the query";
  EXPECT_EQ(filter->ProbeCount, 3);

  // Once more without the object, removed while the probe runs.
  machine().kernel().faults->FailNth(sim::FaultKind::Reference, 1);
  pnp().EnumerateNow(port);
  machine().kernel().faults->Clear();
  ASSERT_TRUE(filter->ProbeFlags & PROBE_RUNNING);
  const LONGLONG asked = ports().Now();
  EXPECT_EQ(ports().Act(Kind::Disable, 1).status, STATUS_SUCCESS);
  EXPECT_GE(ports().Now() - asked, 600 * kMs) << "the removal waited for the probe";
}

// A port driver that does not answer the key query leaves the key 0, which
// must not match the table's first free entry: nothing is claimed. (The
// 65th request a probe of an empty port allocates is the key query.) The
// next probe, answered, applies the port's entry.
TEST_F(EnumTest, APortWithoutAKeyClaimsNoEntry) {
  for (unsigned port = 1; port <= 4; ++port)
    while (ProbeRunning(ports().Node(port))) ports().Wait(10 * kMs);
  std::vector<uint8_t> table(1023, 0);
  table[0] = 0xE2;  // port 1's UART at 0xE200, COM9, not applied
  table[2] = 9;
  ports().registry().SetBinary(kComNumConfigKey, "ComNumConfig", table);
  const auto db = ports().registry().GetBinary(kComDbKey, "ComDB");
  machine().kernel().faults->FailNth(sim::FaultKind::Irp, 65);
  const unsigned before = machine().kernel().faults->Calls(sim::FaultKind::Irp);
  pnp().EnumerateNow(ports().Node(1));
  while (ProbeRunning(ports().Node(1))) ports().Wait(10 * kMs);
  pnp().WaitIdle();
  EXPECT_GE(machine().kernel().faults->Calls(sim::FaultKind::Irp) - before, 65u);
  machine().kernel().faults->Clear();
  EXPECT_EQ(ports().registry().GetBinary(kComNumConfigKey, "ComNumConfig"), table) << "no entry touched";
  EXPECT_EQ(ports().registry().GetBinary(kComDbKey, "ComDB"), db);

  pnp().EnumerateNow(ports().Node(1));
  while (ProbeRunning(ports().Node(1))) ports().Wait(10 * kMs);
  pnp().WaitIdle();
  const auto applied = ports().registry().GetBinary(kComNumConfigKey, "ComNumConfig");
  ASSERT_TRUE(applied.has_value());
  EXPECT_EQ((*applied)[3], 1) << "applied by the answered probe";
  EXPECT_EQ((*applied)[7], 0) << "the free entry stays free";
  EXPECT_EQ(ports().registry().GetString(ports().DeviceKey(1), "PortName"), u"COM9");
}

// A child from creation to deletion: identities, capabilities, text, bus
// information, the values its start writes, the port-name query through
// it, query-stop of the port refused while it is reported, a removal while
// the device is still there, and self-removal.
TEST_F(EnumTest, AChildAnswersItsPlugAndPlayAndGoesWhenItIsGone) {
  sim::DeviceNode* port = ports().Node(2);
  while (ProbeRunning(port)) ports().Wait(10 * kMs);  // the empty port's probe at boot
  Filter(port)->SystemWake = PowerSystemSleeping1;
  Filter(port)->DeviceWake = PowerDeviceD2;
  machine().cards().at(0).model->Plug(1, Make(ExampleModem()));
  pnp().EnumerateNow(port);
  while (ProbeRunning(port)) ports().Wait(10 * kMs);
  pnp().WaitIdle();
  sim::DeviceNode* child = LiveChild(port);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->device_id, "SERENUM\\ABC1234");
  // Its instance ID is "0000"; without UniqueID the manager makes it unique
  // under the port.
  EXPECT_EQ(child->instance_id.substr(child->instance_id.size() - 5), "&0000");
  EXPECT_EQ(child->instance_id.substr(0, 2), "5&");
  EXPECT_EQ(child->hardware_ids, (std::vector<std::string>{"SERENUM\\ABC1234", "ABC1234"}));
  EXPECT_EQ(child->compatible_ids, (std::vector<std::string>{"*PNPC100", "*PNPC101", "MODEM"}));
  EXPECT_EQ(child->description, "My Modem");
  EXPECT_EQ(child->capabilities.UniqueID, 0u);
  EXPECT_EQ(child->capabilities.SystemWake, PowerSystemSleeping1);
  EXPECT_EQ(child->capabilities.DeviceWake, PowerDeviceD2);

  IO_STATUS_BLOCK io = pnp().SendPnp(child, IRP_MN_QUERY_BUS_INFORMATION);
  ASSERT_EQ(io.Status, STATUS_SUCCESS);
  auto* bus = reinterpret_cast<PNP_BUS_INFORMATION*>(io.Information);
  EXPECT_TRUE(IsEqualGUID(bus->BusTypeGuid, GUID_BUS_TYPE_SERENUM));
  EXPECT_EQ(bus->LegacyBusType, PNPBus);
  ExFreePool(bus);

  // Its start writes what the device sent; the name query answers as the
  // filter does.
  ASSERT_EQ(pnp().SendPnp(child, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
  const std::string key = sim::DeviceParametersPath(*child);
  EXPECT_EQ(ports().registry().GetString(key, "Serial Number"), u"0000ABCD");
  EXPECT_EQ(ports().registry().GetString(key, "PnPRev"), u"1.00");
  char16_t name[16] = {};
  io = SendControl(child->pdo, IOCTL_SERENUM_GET_PORT_NAME, false, name, sizeof(name));
  EXPECT_EQ(io.Status, STATUS_SUCCESS);
  EXPECT_EQ(Utf16(name, io.Information), std::u16string(u"COM4\0", 5));

  // The port cannot stop under a reported child.
  EXPECT_EQ(ports().Act(Kind::Rebalance, 2, false).status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(ports().Started(2));

  // A removal while the device is still on the port keeps the device
  // object and asks for a probe.
  DEVICE_OBJECT* device = child->pdo;
  EnumChildExtension* extension = ChildOf(device);
  EXPECT_EQ(pnp().RemoveDevice(child), STATUS_SUCCESS);
  EXPECT_EQ(extension->Removed, 0);
  EXPECT_TRUE(Filter(port)->ProbeFlags & REPROBE_REQUESTED);

  // Self-removal: the child is marked gone; the query that reports it
  // absent probes at once, and the device, still there, is a new child.
  EXPECT_EQ(SendControl(device, IOCTL_INTERNAL_SERENUM_REMOVE_SELF, true).Status, STATUS_SUCCESS);
  pnp().WaitIdle();
  sim::DeviceNode* again = LiveChild(port);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again->pdo, device) << "the old device object went";
  EXPECT_EQ(again->device_id, "SERENUM\\ABC1234");
  EXPECT_EQ(Filter(port)->ProbeCount, 3);
  // Pulled out: the next scan finds the port empty and the child goes.
  machine().cards().at(0).model->Unplug(1);
  pnp().EnumerateNow(port);
  while (ProbeRunning(port)) ports().Wait(10 * kMs);
  pnp().WaitIdle();
  EXPECT_EQ(LiveChild(port), nullptr);
  EXPECT_EQ(Filter(port)->ReportedChild, nullptr);
  EXPECT_EQ(ports().Act(Kind::Rebalance, 2, false).status, STATUS_SUCCESS) << "nothing holds the port now";
  EXPECT_TRUE(ports().Started(2));
}

// A child still on the port when its filter goes, reported or only pending
// (the port is removed while the probe that found the device runs), goes
// with it: the verifier (at the fixture's end) finds no device object or
// string left behind; the removal waited for the probe.
TEST_F(EnumTest, RemovingAPortDeletesTheChildItStillHolds) {
  for (unsigned port : {1u, 3u}) {
    while (ProbeRunning(ports().Node(port))) ports().Wait(10 * kMs);
    machine().cards().at(0).model->Plug(port - 1, Make(ExampleModem()));
  }
  pnp().EnumerateNow(ports().Node(1));
  while (ProbeRunning(ports().Node(1))) ports().Wait(10 * kMs);
  pnp().WaitIdle();
  ASSERT_NE(LiveChild(ports().Node(1)), nullptr);
  EXPECT_EQ(ports().Act(Kind::Disable, 1).status, STATUS_SUCCESS);

  EnumFilterExtension* filter = Filter(ports().Node(3));
  pnp().EnumerateNow(ports().Node(3));
  ports().Wait(300 * kMs);
  ASSERT_TRUE(filter->ProbeFlags & PROBE_RUNNING);
  const LONGLONG asked = ports().Now();
  EXPECT_EQ(ports().Act(Kind::Remove, 3).status, STATUS_SUCCESS);
  EXPECT_GE(ports().Now() - asked, 500 * kMs) << "the removal waited for the probe";
}

// One seeded run: COM4 is rebalanced under a pending read and then
// disabled, COM5 disabled; then a second application thread keeps asking
// COM3 for its name (requests the filter counts) while the card is pulled
// and the test thread has a read and a write in flight on COM3. Every
// request ends once with a status that fits; the removals wait for the
// counted ones.
void RunRemovalsWithIoInFlight(uint64_t seed) {
  sim::MachineConfig config = sim::test::PreemptedMachine(seed, 3);
  config.cards.push_back(FourPortCard());
  sim::Machine machine(config);
  machine.Boot();
  SerialPorts ports(machine);
  sim::Application& app = machine.app();
  machine.cards().at(0).model->Plug(0, std::make_unique<sim::hw::LoopbackPlug>());
  machine.cards().at(0).model->Plug(1, std::make_unique<sim::hw::LoopbackPlug>());
  char buffer[8];

  HANDLE com4 = ports.Open("\\\\.\\COM4");
  sim::Overlapped pending;
  ASSERT_EQ(app.ReadAsync(com4, buffer, sizeof(buffer), &pending), STATUS_PENDING);
  EXPECT_EQ(ports.Act(Kind::Rebalance, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(app.Result(&pending, true).status, STATUS_CANCELLED);
  EXPECT_TRUE(ports.Started(2));
  EXPECT_EQ(app.Close(com4), STATUS_SUCCESS);
  EXPECT_EQ(ports.Act(Kind::Disable, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(ports.Act(Kind::Disable, 3).status, STATUS_SUCCESS);

  HANDLE com3 = ports.Open("\\\\.\\COM3");
  ASSERT_EQ(ports.Set(com3, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), STATUS_SUCCESS);
  KEVENT asker_done;
  KeInitializeEvent(&asker_done, NotificationEvent, FALSE);
  unsigned answered = 0, refused = 0, other = 0;
  machine.kernel().scheduler->CreateThread("name asker", nullptr, [&] {
    for (int i = 0; i < 40; ++i) {
      char16_t name[16];
      const sim::IoResult r = ports.Control(com3, IOCTL_SERENUM_GET_PORT_NAME, nullptr, 0, name, sizeof(name));
      if (r.status == STATUS_SUCCESS && Utf16(name, r.information) == std::u16string(u"COM3\0", 5))
        ++answered;
      else if (r.status == STATUS_DELETE_PENDING || r.status == STATUS_NO_SUCH_DEVICE)
        ++refused;
      else
        ++other;
      ports.Wait(static_cast<LONGLONG>(seed % 7) * 100);
    }
    KeSetEvent(&asker_done, IO_NO_INCREMENT, FALSE);
  });
  const std::string text = "in flight";
  sim::Overlapped read, write;
  ASSERT_EQ(app.ReadAsync(com3, buffer, sizeof(buffer), &read), STATUS_PENDING);
  app.WriteAsync(com3, text.data(), ULONG(text.size()), &write);
  ports.Wait(static_cast<LONGLONG>(seed % 11) * 500);
  EXPECT_EQ(ports.Act(Kind::SurpriseRemove, 0).status, STATUS_SUCCESS);
  const sim::IoResult r = app.Result(&read, true);
  const sim::IoResult w = app.Result(&write, true);
  EXPECT_TRUE(r.status == STATUS_SUCCESS || r.status == STATUS_DELETE_PENDING || r.status == STATUS_CANCELLED)
      << std::hex << r.status;
  EXPECT_TRUE(w.status == STATUS_SUCCESS || w.status == STATUS_DELETE_PENDING || w.status == STATUS_CANCELLED)
      << std::hex << w.status;
  KeWaitForSingleObject(&asker_done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(answered + refused, 40u) << other << " queries ended otherwise";
  EXPECT_EQ(app.Close(com3), STATUS_SUCCESS);
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().clean()) << machine.verifier().Summary();
}

TEST(EnumRemovalTest, RemovalsWithIoInFlightUnderManySeeds) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment(40);
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    RunRemovalsWithIoInFlight(seed);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace serial_test
