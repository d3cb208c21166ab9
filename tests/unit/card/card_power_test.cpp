// The card's power path driven by the kernel's power manager: the order in
// which the card's requests reach the PCI bus driver, the re-programming on
// every set-power to D0, the link bounce of the port above the card, and
// the port devices' own requests.
#include <string>
#include <vector>

#include "card_machine.h"
#include "common/settings_records.h"
#include "sim/hw/pci_bus_driver.h"
#include "sim/kernel/power/power_manager.h"

namespace {

using card_test::CardMachineTest;
using sim::hw::ConfigPath;

// A power request as it reached the card's PDO: "set D0", "query S3", ...
struct Seen {
  std::string what;
  bool link_disabled = false;  // the bridge's Link Disable bit then
  bool block0_enabled = false;  // the card's first port block then
  ULONG card_device_state = 0;  // the card driver's record then
  LONGLONG time = 0;
};

REQUEST_POWER_COMPLETE WaitWakeDone;

// Keeps the wait-wake request's final status.
void WaitWakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  *static_cast<NTSTATUS*>(Context) = IoStatus->Status;
}

class CardPowerTest : public CardMachineTest {
 protected:
  void SetUp() override { boot_in_test_ = true; }

  // One 4-port card behind its own root port; flags go into the
  // configuration file (0x10: link bounce).
  void BootCard(uint8_t flags, bool restores_header = true) {
    std::vector<uint8_t> file = card_test::ConfigFile();
    card_test::SetRecord(file, 0, 0, {}, flags);
    config_.config_file = file;
    config_.cards = {card_test::Card(0x1104)};
    config_.pci_restores_header = restores_header;
    Boot();
    ASSERT_TRUE(Started());
    machine().bus().ObservePower([this](DEVICE_OBJECT* pdo, IRP* irp) {
      if (pdo != machine().cards()[0].pdo) return;
      IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
      std::string what = stack->MinorFunction == IRP_MN_SET_POWER     ? "set "
                         : stack->MinorFunction == IRP_MN_QUERY_POWER ? "query "
                         : stack->MinorFunction == IRP_MN_WAIT_WAKE   ? "wait-wake"
                                                                      : "other";
      if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        what += stack->Parameters.Power.Type == DevicePowerState
                    ? "D" + std::to_string(stack->Parameters.Power.State.DeviceState - 1)
                    : std::string(sim::SystemStateName(stack->Parameters.Power.State.SystemState));
      }
      seen_.push_back(Seen{what, Bridge().link_disabled(), BlockEnabled(0), Extension()->CurrentDeviceState,
                           kernel().Now()});
    });
  }
  void TearDown() override {
    if (booted_) machine().bus().ObservePower({});
    CardMachineTest::TearDown();
  }

  sim::hw::PciBridge& Bridge() { return *machine().hardware().pci().Bridges().at(0); }
  uint64_t HalWrites() { return machine().hardware().counters().config_writes[static_cast<int>(ConfigPath::Hal)]; }
  std::vector<std::string> SeenOrder() {
    std::vector<std::string> order;
    for (const Seen& s : seen_) order.push_back(s.what);
    return order;
  }
  NTSTATUS SendDevicePower(DEVICE_OBJECT* device, UCHAR minor, DEVICE_POWER_STATE state) {
    sim::IoRequest request;
    request.major = IRP_MJ_POWER;
    request.minor = minor;
    request.fill = [state](IO_STACK_LOCATION* stack) {
      stack->Parameters.Power.Type = DevicePowerState;
      stack->Parameters.Power.State.DeviceState = state;
    };
    return kernel().io->SendAndWait(device, request).Status;
  }

  std::vector<Seen> seen_;
};

// S3 with the bounce asked for and a bridge whose windows are the card's:
// each system request reaches the card as a request for D0 that goes down
// before the system request; on the D0 set-power the link is disabled and
// enabled again, 100 microseconds pass and the card is re-programmed before
// the request goes down. The hardware loses power in S3; on the way back
// the card re-programs its blocks before its D0 request reaches the bus
// driver, and the COM ports answer again.
TEST_F(CardPowerTest, SleepAndWakeWithTheLinkBounce) {
  BootCard(CONFIG_FLAG_LINK_BOUNCE);
  const uint64_t hal_writes = HalWrites();
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemSleeping3, PowerActionSleep), STATUS_SUCCESS);
  EXPECT_EQ(SeenOrder(), (std::vector<std::string>{"query D0", "query S3", "set D0", "set S3"}));
  EXPECT_EQ(Extension()->CurrentSystemState, static_cast<ULONG>(PowerSystemSleeping3));
  EXPECT_EQ(Extension()->CurrentDeviceState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(Extension()->SleepRequested, 0) << "cleared by the bring-up";
  ASSERT_EQ(Extension()->UpstreamPort.Found, 1);
  EXPECT_EQ(Extension()->UpstreamPort.Bus, 0u);
  EXPECT_EQ(Extension()->UpstreamPort.Slot, 1u);
  EXPECT_EQ(Extension()->UpstreamPort.CapabilityOffset, sim::hw::PciBridge::kExpressCapability);
  EXPECT_EQ(HalWrites() - hal_writes, 2u) << "Link Disable set, then cleared";
  ASSERT_EQ(seen_.size(), 4u);
  EXPECT_FALSE(seen_[2].link_disabled) << "the link is up again before the D0 request goes down";
  EXPECT_GE(seen_[2].time - seen_[1].time, 1000) << "100 microseconds for the link";
  EXPECT_EQ(Model().Get16(0x04), 0) << "S3 took the card's power: Command cleared";
  EXPECT_FALSE(BlockEnabled(0)) << "and the port blocks";
  EXPECT_FALSE(Bridge().link_disabled()) << "the bridge keeps its settings";

  seen_.clear();
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemWorking, PowerActionNone), STATUS_SUCCESS);
  EXPECT_EQ(SeenOrder(), (std::vector<std::string>{"set S0", "set D0"}));
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_TRUE(seen_[1].block0_enabled) << "the card re-programmed itself before its D0 request went down";
  EXPECT_EQ(Extension()->CurrentSystemState, static_cast<ULONG>(PowerSystemWorking));
  EXPECT_EQ(HalWrites() - hal_writes, 3u) << "waking enables the known link once more, no new search";
  EXPECT_EQ(Model().Get16(0x04) & 0x3, 0x3) << "decoding back on";
  EXPECT_EQ(Model().Get8(0x3C), Extension()->SavedInterruptLine);
  for (unsigned n = 0; n < 4; ++n) EXPECT_TRUE(BlockEnabled(n)) << n;
}

// S1 keeps the hardware powered and sets no sleep flag: the card still gets
// a D0 set-power and re-programs itself, with no bridge search. With the
// bounce off, S3 searches no bridge either; a query alone runs no pre-step
// and records nothing.
TEST_F(CardPowerTest, ShallowSleepNoBounceAndQueryOnly) {
  BootCard(0);
  Model().Set8(0x40, Model().Get8(0x40) & ~1);  // the bring-up must turn it on again
  const uint64_t hal_writes = HalWrites();
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemSleeping1, PowerActionSleep), STATUS_SUCCESS);
  EXPECT_EQ(SeenOrder(), (std::vector<std::string>{"query D0", "query S1", "set D0", "set S1"}));
  EXPECT_TRUE(seen_[2].block0_enabled) << "bring-up before the D0 request went down";
  EXPECT_EQ(Extension()->UpstreamPort.Found, 0);
  EXPECT_EQ(Extension()->CurrentSystemState, static_cast<ULONG>(PowerSystemSleeping1));
  EXPECT_EQ(Model().Get16(0x04) & 0x3, 0x3) << "S1 keeps the card powered";
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemWorking, PowerActionNone), STATUS_SUCCESS);

  seen_.clear();
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemSleeping3, PowerActionSleep), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->UpstreamPort.Found, 0) << "no bounce asked for: no search";
  EXPECT_EQ(HalWrites(), hal_writes);
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemWorking, PowerActionNone), STATUS_SUCCESS);

  seen_.clear();
  Model().Set8(0x40, Model().Get8(0x40) & ~1);
  ASSERT_EQ(kernel().power->QuerySystemState(PowerSystemSleeping3, PowerActionSleep), STATUS_SUCCESS);
  EXPECT_EQ(SeenOrder(), (std::vector<std::string>{"query D0", "query S3"}));
  EXPECT_FALSE(BlockEnabled(0)) << "a query re-programs nothing";
  EXPECT_EQ(Extension()->CurrentSystemState, static_cast<ULONG>(PowerSystemWorking));
  EXPECT_EQ(Extension()->SleepRequested, 0);
}

// Another component takes the card to D3: the state is recorded before the
// request goes down, and the bus driver's D3 costs the card its registers.
// Back to D0 with a bus driver that leaves the header cleared, the card's
// own bring-up restores it and the record follows only once the request
// came back. A wait-wake request passes down to the bus driver.
TEST_F(CardPowerTest, DeviceD3AndBackWithTheCardsOwnRestore) {
  BootCard(0, /*restores_header=*/false);
  DEVICE_OBJECT* pdo = machine().cards()[0].pdo;
  const uint16_t command = Model().Get16(0x04);
  const uint32_t bar5 = Model().Get32(0x24);
  ASSERT_EQ(SendDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].card_device_state, static_cast<ULONG>(PowerDeviceD3)) << "recorded before going down";
  EXPECT_EQ(Model().Get16(0x04), 0);
  EXPECT_EQ(Model().Get32(0x24) & ~3u, 0u);

  ASSERT_EQ(SendDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[1].card_device_state, static_cast<ULONG>(PowerDeviceD3)) << "raised only after the lower drivers";
  EXPECT_TRUE(seen_[1].block0_enabled);
  EXPECT_EQ(Extension()->CurrentDeviceState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(Model().Get16(0x04), command) << "the card wrote its saved header back";
  EXPECT_EQ(Model().Get32(0x24), bar5);

  seen_.clear();
  PIRP wait_wake = nullptr;
  POWER_STATE wake_from;
  wake_from.SystemState = PowerSystemSleeping3;
  NTSTATUS result = STATUS_PENDING;
  ASSERT_EQ(PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, wake_from, WaitWakeDone, &result, &wait_wake), STATUS_PENDING);
  EXPECT_NE(wait_wake, nullptr);
  EXPECT_EQ(SeenOrder(), (std::vector<std::string>{"wait-wake"})) << "passed down by the card";
  EXPECT_EQ(result, STATUS_NOT_SUPPORTED) << "the card cannot wake the system";
}

// A port completes its own requests: set-power to a device state is
// recorded with the power manager, a system state only succeeds, and
// wait-wake is refused. None reaches the card's PDO.
TEST_F(CardPowerTest, PortsCompleteTheirOwnRequests) {
  BootCard(0);
  DEVICE_OBJECT* port = Extension()->PortDevices[0];
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(SendDevicePower(port, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(port->DeviceObjectExtension->PowerFlags, static_cast<ULONG>(PowerDeviceD3));
  sim::IoRequest system;
  system.major = IRP_MJ_POWER;
  system.minor = IRP_MN_SET_POWER;
  system.fill = [](IO_STACK_LOCATION* stack) {
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = PowerSystemSleeping3;
  };
  EXPECT_EQ(kernel().io->SendAndWait(port, system).Status, STATUS_SUCCESS);
  EXPECT_EQ(port->DeviceObjectExtension->PowerFlags, static_cast<ULONG>(PowerDeviceD3)) << "a system state is not recorded";
  EXPECT_EQ(SendDevicePower(port, IRP_MN_WAIT_WAKE, PowerDeviceD0), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SendDevicePower(port, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_TRUE(seen_.empty());
}

// The search's guards: a bridge whose windows are wider than the card's
// blocks is not the card's port, and a bridge whose capability list loops
// without a PCI Express capability ends the walk rather than the machine.
TEST_F(CardPowerTest, NoMatchingBridgeAndALoopingCapabilityList) {
  BootCard(CONFIG_FLAG_LINK_BOUNCE);
  sim::hw::PciBridge& bridge = Bridge();
  const uint8_t io_limit = bridge.Get8(0x1D);
  bridge.Set8(0x1D, static_cast<uint8_t>(io_limit + 0x10));  // an 8 KiB I/O window
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemSleeping3, PowerActionSleep), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->UpstreamPort.Found, 0);
  EXPECT_FALSE(bridge.link_disabled());
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemWorking, PowerActionNone), STATUS_SUCCESS);

  bridge.Set8(0x1D, io_limit);
  const uint8_t first = bridge.Get8(0x34);
  bridge.Set8(first, 0x01);          // a power management capability...
  bridge.Set8(first + 1, first);     // ...that names itself as the next
  const uint64_t hal_writes = HalWrites();
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemSleeping3, PowerActionSleep), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->UpstreamPort.Found, 0);
  EXPECT_EQ(HalWrites(), hal_writes);
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemWorking, PowerActionNone), STATUS_SUCCESS);
  for (unsigned n = 0; n < 4; ++n) EXPECT_TRUE(BlockEnabled(n)) << n;
}

}  // namespace
