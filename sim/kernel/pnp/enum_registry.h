// The registry's view of devices, kept as Windows keeps it: an instance key
// "Enum\<device ID>\<instance ID>" per device with its identities and a
// "Device Parameters" subkey, and for each service an "Enum" key listing
// the instance paths of its running devices ("0", "1", ... and "Count").
#pragma once

#include <string>

namespace sim {

struct DeviceNode;

extern const char kEnumRoot[];      // "\Registry\Machine\SYSTEM\CurrentControlSet\Enum"
extern const char kServicesRoot[];  // "\Registry\Machine\SYSTEM\CurrentControlSet\Services"

std::string InstanceKeyPath(const DeviceNode& node);
std::string DeviceParametersPath(const DeviceNode& node);

// Creates or refreshes the instance key from the node's identities.
void WriteInstanceKey(const DeviceNode& node);
// Adds the node's instance path to its service's Enum list (once).
void AddToServiceEnum(const std::string& service, const std::string& instance_path);
// Removes it, closing the gap as Windows renumbers the list.
void RemoveFromServiceEnum(const std::string& service, const std::string& instance_path);

}  // namespace sim
