#include "sim/kernel/power/power_manager.h"

#include <algorithm>
#include <memory>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/scheduler.h"

namespace sim {

namespace {

// What the kernel keeps for a power IRP it sent: the requester's callback,
// or the event a waiting transition sleeps on. A waiter the watchdog gave
// up on leaves the record to the late completion, which frees it.
struct PowerRequest {
  PDEVICE_OBJECT target = nullptr;  // the device named by the requester
  UCHAR minor = 0;
  POWER_STATE_TYPE type = DevicePowerState;
  POWER_STATE state{};
  PREQUEST_POWER_COMPLETE callback = nullptr;
  PVOID context = nullptr;
  KEVENT done{};
  IO_STATUS_BLOCK result{};
  bool waited = false;
  bool abandoned = false;
  std::string device;
};

std::string StackName(const DEVICE_OBJECT* device) {
  DeviceNode* node = K().pnp->StackNode(device);
  return node ? node->InstancePath() : K().io->DescribeDevice(device);
}

void RecordIrp(const PowerRequest& request, IRP* irp, bool completed) {
  PowerTrace entry;
  entry.device = request.device;
  entry.minor = request.minor;
  entry.type = request.type;
  entry.state = request.minor == IRP_MN_WAIT_WAKE || request.type == SystemPowerState
                    ? static_cast<ULONG>(request.state.SystemState)
                    : static_cast<ULONG>(request.state.DeviceState);
  entry.completed = completed;
  entry.status = completed ? irp->IoStatus.Status : 0;
  entry.time = K().Now();
  K().power->Record(entry);
}

IO_COMPLETION_ROUTINE PowerIrpDone;

// Completion at the top of the stack: the requester learns the result and
// the kernel frees the IRP.
NTSTATUS PowerIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<PowerRequest*>(context);
  RecordIrp(*request, irp, true);
  request->result = irp->IoStatus;
  if (request->callback) {
    request->callback(request->target, request->minor, request->state, request->context, &request->result);
  }
  K().io->FreeIrp(irp, nullptr);
  if (request->waited && !request->abandoned) {
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
  } else {
    delete request;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds the IRP for the top of the stack holding the device and sends it.
// On a stack that is not power-pageable the IRP arrives at DISPATCH_LEVEL,
// as Windows may send it there.
NTSTATUS SendPowerIrp(PowerRequest* request, const std::function<void(IO_STACK_LOCATION*)>& fill, PIRP* out = nullptr) {
  DEVICE_OBJECT* top = IoGetAttachedDeviceReference(request->target);
  IRP* irp = K().io->AllocateIrp(top->StackSize, nullptr);
  if (!irp) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  IO_STACK_LOCATION* stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = request->minor;
  fill(stack);
  IoSetCompletionRoutine(irp, PowerIrpDone, request, TRUE, TRUE, TRUE);
  request->device = StackName(top);
  RecordIrp(*request, irp, false);
  if (out) *out = irp;
  const bool pageable = (top->Flags & DO_POWER_PAGABLE) != 0;
  Scheduler& scheduler = *K().scheduler;
  const KIRQL before = scheduler.Irql();
  if (!pageable && before < DISPATCH_LEVEL) scheduler.SetIrql(DISPATCH_LEVEL);
  K().io->CallDriver(top, irp, nullptr);
  if (!pageable && before < DISPATCH_LEVEL) scheduler.SetIrql(before);
  ObfDereferenceObject(top);
  return STATUS_PENDING;
}

}  // namespace

const char* SystemStateName(SYSTEM_POWER_STATE state) {
  static const char* const kNames[] = {"unspecified", "S0", "S1", "S2", "S3", "S4", "S5"};
  return state >= PowerSystemUnspecified && state <= PowerSystemShutdown ? kNames[state] : "?";
}

std::vector<DeviceNode*> PowerManager::StartedNodesTopDown() const {
  std::vector<DeviceNode*> order;
  std::function<void(DeviceNode*)> visit = [&](DeviceNode* node) {
    if (node->state == DeviceNode::State::Started && node->pdo) order.push_back(node);
    for (DeviceNode* child : node->children) visit(child);
  };
  for (DeviceNode* node : K().pnp->LiveNodes())
    if (!node->parent) visit(node);
  return order;
}

NTSTATUS PowerManager::SendSystemIrp(DeviceNode* node, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action) {
  auto* request = new PowerRequest;
  request->target = node->pdo;
  request->minor = minor;
  request->type = SystemPowerState;
  request->state.SystemState = state;
  request->waited = true;
  KeInitializeEvent(&request->done, NotificationEvent, FALSE);
  NTSTATUS status = SendPowerIrp(request, [&](IO_STACK_LOCATION* stack) {
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
    stack->Parameters.Power.ShutdownType = action;
    stack->Parameters.Power.SystemPowerStateContext.ContextAsUlong = 0;
    stack->Parameters.Power.SystemPowerStateContext.TargetSystemState = state;
    stack->Parameters.Power.SystemPowerStateContext.CurrentSystemState = system_state_;
  });
  if (status != STATUS_PENDING) {
    delete request;
    return status;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -kIrpTimeout;
  if (KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    K().verifier->Report("power-irp-timeout", K().io->DriverNameOf(node->pdo->AttachedDevice ? node->pdo->AttachedDevice : node->pdo),
                         std::string(minor == IRP_MN_SET_POWER ? "IRP_MN_SET_POWER " : "IRP_MN_QUERY_POWER ") +
                             SystemStateName(state) + " sent to " + node->InstancePath() +
                             " was not completed within 300 seconds");
    request->abandoned = true;  // the late completion frees it
    // An error: STATUS_TIMEOUT would pass NT_SUCCESS, so a query nobody
    // answered would count as agreed.
    return STATUS_IO_TIMEOUT;
  }
  status = request->result.Status;
  delete request;
  return status;
}

NTSTATUS PowerManager::QuerySystemState(SYSTEM_POWER_STATE state, POWER_ACTION action) {
  std::vector<DeviceNode*> nodes = StartedNodesTopDown();
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    NTSTATUS status = SendSystemIrp(*it, IRP_MN_QUERY_POWER, state, action);
    if (!NT_SUCCESS(status)) {
      // The stacks already asked learn that the state stays as it is.
      for (auto back = nodes.rbegin(); back != it + 1; ++back)
        SendSystemIrp(*back, IRP_MN_SET_POWER, system_state_, PowerActionNone);
      return status;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS PowerManager::SetSystemState(SYSTEM_POWER_STATE state, POWER_ACTION action) {
  if (state == system_state_) return STATUS_SUCCESS;
  if (state != PowerSystemWorking && state != PowerSystemShutdown) {
    NTSTATUS status = QuerySystemState(state, action);
    if (!NT_SUCCESS(status)) return status;
  }
  std::vector<DeviceNode*> nodes = StartedNodesTopDown();
  if (state == PowerSystemWorking) {
    if (state_set_) state_set_(state);
    system_state_ = state;
    for (DeviceNode* node : nodes)
      if (!node->Gone()) SendSystemIrp(node, IRP_MN_SET_POWER, state, action);
    return STATUS_SUCCESS;
  }
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it)
    if (!(*it)->Gone()) SendSystemIrp(*it, IRP_MN_SET_POWER, state, action);
  system_state_ = state;
  if (state_set_) state_set_(state);
  return STATUS_SUCCESS;
}

}  // namespace sim

using sim::K;

extern "C" {

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  sim::CheckIrql("PoRequestPowerIrp", DISPATCH_LEVEL);
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  if (!K().io->IsLiveDevice(DeviceObject)) {
    K().verifier->Report("device-unknown", sim::ImageName(SIM_CALLER()),
                         "PoRequestPowerIrp for a device object that does not exist");
    return STATUS_INVALID_PARAMETER_1;
  }
  auto* request = new sim::PowerRequest;
  request->target = DeviceObject;
  request->minor = MinorFunction;
  request->type = MinorFunction == IRP_MN_WAIT_WAKE ? SystemPowerState : DevicePowerState;
  request->state = PowerState;
  request->callback = CompletionFunction;
  request->context = Context;
  // The IRP is handed out before it is sent, so that a wait-wake request
  // can be cancelled; any other may be gone by the time this returns.
  NTSTATUS status = sim::SendPowerIrp(request, [&](IO_STACK_LOCATION* stack) {
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
      stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
      stack->Parameters.Power.Type = DevicePowerState;
      stack->Parameters.Power.State = PowerState;
      stack->Parameters.Power.ShutdownType = PowerActionNone;
    }
  }, Irp);
  if (status != STATUS_PENDING) delete request;
  return status;
}

}  // extern "C"
