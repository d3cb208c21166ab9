// The Plug and Play manager: device nodes, driver binding by hardware ID,
// AddDevice and start, and the user's removal of a device. Requests are
// sent to the top of a node's stack as Windows sends them, starting with
// STATUS_NOT_SUPPORTED.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "wdm.h"

namespace sim {

struct DriverRecord;

struct DeviceNode {
  enum class State { Initialized, DriversAdded, Started, Removed, Failed };

  DEVICE_OBJECT* pdo = nullptr;
  std::string device_id;
  std::string instance_id;
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
  std::string service;               // bound function driver, "" when none
  DriverRecord* function_driver = nullptr;
  State state = State::Initialized;
  NTSTATUS problem = 0;              // status that failed the node
  std::string InstancePath() const { return device_id + "\\" + instance_id; }
};

const char* DeviceNodeStateName(DeviceNode::State state);

class PnpManager {
 public:
  PnpManager();
  ~PnpManager();

  // Binds a hardware or compatible ID (case-insensitive) to a driver service.
  void Bind(const std::string& id, const std::string& service);
  std::string ServiceFor(const DeviceNode& node) const;

  // A bus driver reports a new device: the node is created, its IDs queried,
  // its function driver loaded and added, and the device started.
  DeviceNode* DeviceArrived(DEVICE_OBJECT* pdo);
  // Sends a Plug and Play request to the top of the node's stack and waits.
  IO_STATUS_BLOCK SendPnp(DeviceNode* node, UCHAR minor, const std::function<void(IO_STACK_LOCATION*)>& fill = {});
  // The user removes the device: query-remove (a veto cancels it and leaves
  // the device running), then remove. The bus deletes the PDO of a device
  // that is gone; the driver is unloaded after its last device.
  NTSTATUS RemoveDevice(DeviceNode* node);
  // Removes every device, newest first (machine shutdown).
  void RemoveAll();

  DeviceNode* NodeOf(const DEVICE_OBJECT* device) const;
  const std::vector<std::unique_ptr<DeviceNode>>& nodes() const { return nodes_; }
  std::vector<DeviceNode*> LiveNodes() const;

 private:
  std::vector<std::string> QueryIds(DeviceNode* node, BUS_QUERY_ID_TYPE type);
  NTSTATUS AddAndStart(DeviceNode* node);
  void UnloadIfUnused(DriverRecord* driver);
  void FinishRemoval(DeviceNode* node);

  std::vector<std::unique_ptr<DeviceNode>> nodes_;
  std::map<std::string, std::string> bindings_;  // upper-cased ID -> service
};

}  // namespace sim
