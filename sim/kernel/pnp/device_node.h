// A device node: one device the Plug and Play manager knows, its place in
// the device tree, its identities, driver stack, resources and state.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/kernel/pnp/resource_arbiter.h"
#include "wdm.h"

namespace sim {

struct DriverRecord;

struct DriverBinding {
  std::string service;  // function driver; empty: no driver installed
  std::vector<std::string> upper_filters;
  std::vector<std::string> lower_filters;
  std::string setup_class;  // the device's setup class ("Ports"), whose installer runs on first install
  // The setup information's "Security" value (SDDL): put on every device
  // object of the stack once its drivers are added. Empty: none.
  std::string security;
};

struct DeviceNode {
  enum class State {
    Initialized,   // reported, no driver (or not yet added)
    DriversAdded,  // stack built, not started
    Started,
    StopPending,   // query-stop accepted
    Stopped,       // stopped for rebalance
    RemovePending, // query-remove accepted
    SurpriseRemoved,
    Removed,
    Disabled,
    Failed,  // see problem
  };

  DEVICE_OBJECT* pdo = nullptr;
  DeviceNode* parent = nullptr;
  std::vector<DeviceNode*> children;
  std::string device_id;
  std::string instance_id;
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
  std::string description;
  std::string location;
  DEVICE_CAPABILITIES capabilities{};
  DriverBinding binding;
  std::string service;                    // the bound function driver's service
  DriverRecord* function_driver = nullptr;
  std::vector<DriverRecord*> drivers;     // every driver of the stack above the PDO
  ResourceLists resources;
  State state = State::Initialized;
  NTSTATUS problem = 0;                   // status that failed the node
  bool present = true;                    // its bus still reports it
  bool missing = false;                   // its bus left it out of its relations
  std::map<std::string, bool> interfaces;  // registered device interfaces: symbolic link -> enabled
  // Children's PDOs removed while this bus still held them, each with a
  // reference: the bus driver gets another remove once it stops reporting
  // one (and deletes it then), as on Windows.
  std::vector<DEVICE_OBJECT*> retained;
  PNP_DEVICE_STATE device_state = 0;      // the stack's answer after its first start
  // Surprise-removed while handles were open: IRP_MN_REMOVE_DEVICE waits
  // until the last handle to the subtree has been closed.
  bool remove_when_closed = false;

  std::string InstancePath() const { return device_id + "\\" + instance_id; }
  bool Gone() const { return state == State::Removed; }
};

const char* DeviceNodeStateName(DeviceNode::State state);

}  // namespace sim
