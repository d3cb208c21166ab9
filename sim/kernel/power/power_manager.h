// The power manager: system power transitions sent down the device tree as
// system power IRPs (query, then set), device power IRPs requested by the
// power policy owners (PoRequestPowerIrp), and the watchdog that reports a
// stack which never completes a power IRP.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "wdm.h"

namespace sim {

struct DeviceNode;

// One power IRP as it reached the top of a stack or was completed there,
// for tests that check the order of a transition.
struct PowerTrace {
  std::string device;  // the stack's instance path ("" outside the tree)
  UCHAR minor = 0;
  POWER_STATE_TYPE type = SystemPowerState;
  ULONG state = 0;     // SYSTEM_POWER_STATE or DEVICE_POWER_STATE
  bool completed = false;  // false: sent; true: completed with status
  NTSTATUS status = 0;
  LONGLONG time = 0;
};

class PowerManager {
 public:
  // How long a stack may hold a power IRP before the watchdog reports it
  // (Windows stops with DRIVER_POWER_STATE_FAILURE, 0x9F); virtual time.
  static constexpr LONGLONG kIrpTimeout = 300LL * 10'000'000;

  // Takes the system to the state: a query to every started stack first
  // (children before parents; not for shutdown), then the set. Waking
  // (PowerSystemWorking) sends only the set, parents before children. A
  // refused query sends set-power for the current state to the stacks
  // already asked and returns the refusal; the state does not change.
  NTSTATUS SetSystemState(SYSTEM_POWER_STATE state, POWER_ACTION action);
  // Only the query of the state, down the tree; nothing changes.
  NTSTATUS QuerySystemState(SYSTEM_POWER_STATE state, POWER_ACTION action);
  SYSTEM_POWER_STATE system_state() const { return system_state_; }

  // Sends one system power IRP to the top of the node's stack and waits
  // for it (or for the watchdog); returns its final status.
  NTSTATUS SendSystemIrp(DeviceNode* node, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action);

  // Called before each transition sends its IRPs and after the set-power
  // IRPs down the whole tree have completed (the machine powers the
  // hardware down then).
  void OnSystemStateSet(std::function<void(SYSTEM_POWER_STATE)> hook) { state_set_ = std::move(hook); }

  // The power IRPs sent and completed at the tops of stacks, in order.
  const std::vector<PowerTrace>& trace() const { return trace_; }
  void ClearTrace() { trace_.clear(); }
  void Record(PowerTrace entry) { trace_.push_back(std::move(entry)); }

 private:
  // The started stacks, parents before children.
  std::vector<DeviceNode*> StartedNodesTopDown() const;

  SYSTEM_POWER_STATE system_state_ = PowerSystemWorking;
  std::function<void(SYSTEM_POWER_STATE)> state_set_;
  std::vector<PowerTrace> trace_;
};

// The name of a system state for reports ("S3", "S0").
const char* SystemStateName(SYSTEM_POWER_STATE state);

}  // namespace sim
