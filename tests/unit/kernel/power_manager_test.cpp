// The power manager on a booted machine with a 4-port card: the order in
// which system power IRPs go down the device tree and come back up, the
// device power IRPs the policy owners request, PoRequestPowerIrp's
// argument check, and the watchdog that reports a stack which never
// completes its power IRP.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/power/power_manager.h"
#include "support/kernel_test.h"

namespace {

using sim::PowerTrace;

class PowerManagerTest : public sim::test::KernelTest {
 protected:
  sim::MachineConfig config() const override {
    sim::MachineConfig config;
    config.cards.emplace_back();
    config.cards[0].devices[1].kind = "loopback";
    return config;
  }
  std::string CardPath() { return machine().CardNode(0)->InstancePath(); }
  bool IsPort(const std::string& path) { return path.rfind("ZARKLINK\\", 0) == 0; }
  // The IRPs of one kind sent to stack tops, in order, by device.
  std::vector<std::string> Sent(UCHAR minor, POWER_STATE_TYPE type) {
    std::vector<std::string> devices;
    for (const PowerTrace& entry : kernel().power->trace())
      if (!entry.completed && entry.minor == minor && entry.type == type) devices.push_back(entry.device);
    return devices;
  }
};

// Going down, every query comes before any set, and each port's stack
// (the card's children) gets its IRP before the card's; every port's
// serial port driver asks for D3, the card's driver for D0. Coming back,
// the card's set-power S0 goes first and has completed before any port's
// is sent.
TEST_F(PowerManagerTest, SystemIrpsGoChildrenFirstDownAndParentsFirstUp) {
  kernel().power->ClearTrace();
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemSleeping3, PowerActionSleep), STATUS_SUCCESS);
  EXPECT_EQ(kernel().power->system_state(), PowerSystemSleeping3);
  for (UCHAR minor : {static_cast<UCHAR>(IRP_MN_QUERY_POWER), static_cast<UCHAR>(IRP_MN_SET_POWER)}) {
    std::vector<std::string> order = Sent(minor, SystemPowerState);
    ASSERT_EQ(order.size(), 5u) << "four ports and the card";
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(IsPort(order[i])) << order[i];
    EXPECT_EQ(order[4], CardPath());
  }
  size_t last_query = 0, first_set = SIZE_MAX;
  const auto& trace = kernel().power->trace();
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].completed || trace[i].type != SystemPowerState) continue;
    if (trace[i].minor == IRP_MN_QUERY_POWER) last_query = i;
    if (trace[i].minor == IRP_MN_SET_POWER && first_set == SIZE_MAX) first_set = i;
  }
  EXPECT_LT(last_query, first_set);
  std::vector<ULONG> port_states, card_states;
  for (const PowerTrace& entry : trace) {
    if (entry.completed || entry.type != DevicePowerState || entry.minor != IRP_MN_SET_POWER) continue;
    (IsPort(entry.device) ? port_states : card_states).push_back(entry.state);
  }
  EXPECT_EQ(port_states, std::vector<ULONG>(4, PowerDeviceD3));
  EXPECT_EQ(card_states, std::vector<ULONG>{PowerDeviceD0});

  kernel().power->ClearTrace();
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemWorking, PowerActionNone), STATUS_SUCCESS);
  std::vector<std::string> order = Sent(IRP_MN_SET_POWER, SystemPowerState);
  ASSERT_EQ(order.size(), 5u);
  EXPECT_EQ(order[0], CardPath());
  EXPECT_TRUE(Sent(IRP_MN_QUERY_POWER, SystemPowerState).empty()) << "waking asks nothing";
  bool card_done = false;
  for (const PowerTrace& entry : kernel().power->trace()) {
    if (entry.type != SystemPowerState) continue;
    if (entry.completed && entry.device == CardPath()) card_done = true;
    if (!entry.completed && IsPort(entry.device)) {
      EXPECT_TRUE(card_done) << entry.device << " before its parent came back";
    }
  }
}

// Only query, set and wait-wake may be requested; the request's IRP is
// handed out before it is sent.
TEST_F(PowerManagerTest, PoRequestPowerIrpTakesOnlyPowerMinorFunctions) {
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  PIRP irp = nullptr;
  EXPECT_EQ(PoRequestPowerIrp(machine().cards()[0].pdo, IRP_MN_POWER_SEQUENCE, state, nullptr, nullptr, &irp),
            STATUS_INVALID_PARAMETER_2);
  EXPECT_EQ(irp, nullptr);
  EXPECT_EQ(PoRequestPowerIrp(machine().cards()[0].pdo, IRP_MN_QUERY_POWER, state, nullptr, nullptr, &irp),
            STATUS_PENDING);
  EXPECT_NE(irp, nullptr);
}

// A stack that holds its system set-power is reported after the watchdog's
// time and the transition goes on without it; when the IRP finally
// completes, nothing is lost or leaked. A query nobody answers is no
// consent: the machine stays awake.
TEST_F(PowerManagerTest, AStackThatNeverCompletesIsReportedAndTheTransitionGoesOn) {
  machine().bus().HoldSystemPowerIrps();
  const LONGLONG before = kernel().Now();
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemSleeping3, PowerActionSleep), STATUS_SUCCESS);
  EXPECT_GE(kernel().Now() - before, sim::PowerManager::kIrpTimeout);
  const std::string detail = TakeOnlyFinding("power-irp-timeout", "zarkcard");
  EXPECT_NE(detail.find("IRP_MN_SET_POWER S3"), std::string::npos) << detail;
  EXPECT_NE(detail.find(CardPath()), std::string::npos) << detail;
  machine().bus().HoldSystemPowerIrps(false);
  machine().bus().ReleaseHeldPowerIrps();
  kernel().scheduler->Settle();
  ASSERT_EQ(kernel().power->SetSystemState(PowerSystemWorking, PowerActionNone), STATUS_SUCCESS);

  machine().bus().HoldSystemPowerIrps(true, IRP_MN_QUERY_POWER);
  EXPECT_EQ(kernel().power->SetSystemState(PowerSystemSleeping3, PowerActionSleep), STATUS_IO_TIMEOUT);
  EXPECT_NE(TakeOnlyFinding("power-irp-timeout", "zarkcard").find("IRP_MN_QUERY_POWER S3"), std::string::npos);
  EXPECT_EQ(kernel().power->system_state(), PowerSystemWorking);
  machine().bus().HoldSystemPowerIrps(false);
  machine().bus().ReleaseHeldPowerIrps();
  kernel().scheduler->Settle();
}

}  // namespace
