// The Plug and Play manager. It keeps the device tree; binds drivers by
// hardware and compatible ID from an INF-like table; builds each device's
// stack (lower filters, function driver, upper filters); queries IDs,
// capabilities, text and resource requirements; assigns resources; starts
// devices and enumerates their children; and carries out the user's
// actions (disable, enable, remove, surprise removal, rebalance, eject).
// All of it runs on the manager's own system thread, one operation at a
// time, as on Windows; callers from other threads wait for the result.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/resource_arbiter.h"
#include "wdm.h"

namespace sim {

struct DriverRecord;
class SimThread;

class PnpManager {
 public:
  PnpManager();
  ~PnpManager();

  // The driver table: a hardware or compatible ID (case-insensitive).
  void Bind(const std::string& id, const std::string& service, std::vector<std::string> upper_filters = {},
            std::vector<std::string> lower_filters = {});
  // The setup class a device of the ID installs into; its class installer
  // runs before the device's first start.
  void SetSetupClass(const std::string& id, const std::string& setup_class);
  // The "Security" value of an ID's setup information; throws
  // std::invalid_argument for SDDL the model cannot read.
  void SetSecurity(const std::string& id, const std::string& sddl);
  DriverBinding BindingFor(const DeviceNode& node) const;

  // A root bus reports a new device: it gets a node, drivers and a start.
  DeviceNode* DeviceArrived(DEVICE_OBJECT* pdo);
  // Re-enumerates the node's children now (IoInvalidateDeviceRelations
  // queues the same work without waiting).
  void EnumerateNow(DeviceNode* node);
  void QueueEnumeration(DEVICE_OBJECT* pdo);
  // Waits until every queued operation has run.
  void WaitIdle();

  // Sends a Plug and Play request to the top of the node's stack and waits.
  IO_STATUS_BLOCK SendPnp(DeviceNode* node, UCHAR minor, const std::function<void(IO_STACK_LOCATION*)>& fill = {},
                          ULONG_PTR information = 0);

  // User actions. Each returns STATUS_SUCCESS, or the status of the driver
  // that vetoed it (the device then keeps running).
  NTSTATUS RemoveDevice(DeviceNode* node);   // the device leaves (query-remove, remove)
  NTSTATUS DisableDevice(DeviceNode* node);  // query-remove, remove; the node stays, disabled
  NTSTATUS EnableDevice(DeviceNode* node);
  NTSTATUS SurpriseRemove(DeviceNode* node);  // the hardware is already gone
  // Stops the device and starts it again with resources assigned anew;
  // move_resources keeps its old ranges taken meanwhile, so they change.
  NTSTATUS Rebalance(DeviceNode* node, bool move_resources = false);
  NTSTATUS Eject(DeviceNode* node);
  // Removes every device, children first (machine shutdown).
  void RemoveAll();

  DeviceNode* NodeOf(const DEVICE_OBJECT* device) const;
  // The node of the stack the device belongs to (found through its PDO),
  // or null for a device outside any Plug and Play stack.
  DeviceNode* StackNode(const DEVICE_OBJECT* device) const;
  // A device is opened only while its stack is started.
  static bool AcceptsOpens(const DeviceNode& node);
  // The I/O manager closed a file object on the node's stack.
  void HandleClosed(DeviceNode* node);
  const std::vector<std::unique_ptr<DeviceNode>>& nodes() const { return nodes_; }
  std::vector<DeviceNode*> LiveNodes() const;
  ResourceArbiter& arbiter() { return arbiter_; }

 private:
  // Runs the operation on the manager's thread and waits for it.
  void Run(const std::function<void()>& operation);
  void Queue(std::function<void()> operation);
  // Runs a user action on a node that still exists; STATUS_NO_SUCH_DEVICE
  // for one that has gone.
  NTSTATUS RunAction(DeviceNode* node, const std::function<NTSTATUS()>& action);
  void ThreadLoop();

  DeviceNode* NewNode(DEVICE_OBJECT* pdo, DeviceNode* parent);
  void ProcessNewNode(DeviceNode* node);
  // The instance path from the bus's IDs and UniqueID; false (with a
  // finding) when it is too long or already taken.
  bool AssignInstancePath(DeviceNode* node);
  // Requirements from the bus driver, the stack, filtering, start.
  NTSTATUS BringUp(DeviceNode* node);
  NTSTATUS BuildStack(DeviceNode* node);
  // Puts the binding's security descriptor on every device object of the stack.
  void ApplySecurity(const DeviceNode& node);
  IO_RESOURCE_REQUIREMENTS_LIST* QueryRequirements(DeviceNode* node);
  // Filters and assigns the requirements (and frees them), starts the
  // stack and asks it what a started stack is asked.
  NTSTATUS AssignAndStart(DeviceNode* node, IO_RESOURCE_REQUIREMENTS_LIST* requirements, bool first_start);
  void QueryCapabilities(DeviceNode* node);
  void Enumerate(DeviceNode* node);
  // The IDs of one type; a malformed answer is a finding and clears *valid.
  std::vector<std::string> QueryIds(DeviceNode* node, BUS_QUERY_ID_TYPE type, bool* valid);
  std::string QueryText(DeviceNode* node, DEVICE_TEXT_TYPE type);
  void ReportBadNode(DeviceNode* node, const std::string& rule, const std::string& detail);
  // The live nodes outside the subtree that the stack names as its removal
  // relations: they leave with it.
  std::vector<DeviceNode*> QueryRemovalRelations(DeviceNode* node);
  size_t OpenHandlesInSubtree(const DeviceNode* node) const;
  // Query-remove of the subtree, children first; on a veto, cancel-remove
  // to everyone asked. STATUS_SUCCESS when all agreed.
  NTSTATUS QueryRemoveSubtree(DeviceNode* node);
  void CancelRemoveSubtree(DeviceNode* node);
  // Query-remove of the subtrees (the node's last); vetoed at once while a
  // handle to any of them is open; after a driver's veto, the cancel too.
  NTSTATUS QueryRemoveOrCancel(const std::vector<DeviceNode*>& nodes);
  // The removal relations, then the query-remove of them and the node.
  NTSTATUS QueryRemoveWithRelations(DeviceNode* node, std::vector<DeviceNode*>* related);
  void RemoveRelated(const std::vector<DeviceNode*>& related);
  // Removal after a surprise removal: at once, or once the last handle to
  // the subtree has been closed.
  void RemoveWhenClosed(DeviceNode* node);
  // Removes the subtree's stacks, children first. keep_node: the node
  // itself stays in the tree (disable) rather than going away.
  void RemoveSubtree(DeviceNode* node, bool keep_node);
  void SurpriseSubtree(DeviceNode* node);
  void MarkSubtreeGone(DeviceNode* node);
  void FinishRemoval(DeviceNode* node);
  void UnloadIfUnused(DriverRecord* driver);
  void DetachFromParent(DeviceNode* node);
  // Drops the references to the retained PDOs; with the PDOs the bus just
  // reported, sends the second remove to those it no longer reports.
  void ReleaseRetained(DeviceNode* node, const std::vector<DEVICE_OBJECT*>* reported);

  std::vector<std::unique_ptr<DeviceNode>> nodes_;
  std::map<std::string, DriverBinding> bindings_;  // upper-cased ID
  std::map<std::string, std::string> setup_classes_;  // upper-cased ID
  std::map<std::string, std::string> security_;  // upper-cased ID
  ResourceArbiter arbiter_;

  SimThread* thread_ = nullptr;
  KSEMAPHORE work_available_{};
  std::deque<std::function<void()>> work_;
};

}  // namespace sim
