// The WMI service of the machine: what a management application reaches
// through WMI. It learns from every device registered with
// IoWMIRegistrationControl which data blocks it provides (IRP_MN_REGINFO_EX),
// names the instances, and reads, writes and calls a block by GUID and
// instance by sending IRP_MJ_SYSTEM_CONTROL requests to the provider's stack.
// Requests run on the calling simulated thread at PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wdm.h"

namespace sim {

// "{a0f95fd4-a587-11d2-bb3a-00c04fa330a7}" (braces optional, any case).
std::optional<GUID> ParseGuid(const std::string& text);
std::string FormatGuid(const GUID& guid);

// One data block a provider registered.
struct WmiBlockRegistration {
  GUID guid{};
  ULONG flags = 0;  // WMIREG_FLAG_*
  ULONG instance_count = 0;
  DEVICE_OBJECT* pdo = nullptr;  // with WMIREG_FLAG_INSTANCE_PDO
};

struct WmiProvider {
  DEVICE_OBJECT* device = nullptr;  // the registered device
  NTSTATUS status = 0;              // of its registration request
  std::u16string registry_path;
  std::u16string mof_resource;
  std::vector<WmiBlockRegistration> blocks;
};

// What a request came back with.
struct WmiResult {
  // The request's status; STATUS_BUFFER_TOO_SMALL when the provider
  // answered with a WNODE_TOO_SMALL (the request itself succeeded).
  NTSTATUS status = 0;
  ULONG_PTR information = 0;        // IoStatus.Information
  std::vector<uint8_t> wnode;       // the WNODE as returned (Information bytes)
  std::vector<uint8_t> data;        // the data block of a successful query or method
  ULONG size_needed = 0;            // WNODE_TOO_SMALL: the whole WNODE's size
  ULONG data_needed = 0;            // ... and of that the data block's
  std::u16string instance_name;
};

class WmiService {
 public:
  // Every registered provider, each asked for its registration afresh.
  std::vector<WmiProvider> Providers();
  // The instance names of a block across all providers, in provider order;
  // a PDO instance is named by the PDO's device instance path and "_<index>".
  std::vector<std::u16string> InstanceNames(const GUID& guid);

  // Instance is the index into InstanceNames(guid). data_room is the room
  // the WNODE leaves for the data block.
  WmiResult QuerySingleInstance(const GUID& guid, ULONG instance, ULONG data_room = 256);
  WmiResult QueryAllData(const GUID& guid, ULONG data_room = 256);
  WmiResult SetSingleInstance(const GUID& guid, ULONG instance, const std::vector<uint8_t>& data);
  WmiResult SetSingleItem(const GUID& guid, ULONG instance, ULONG item_id, const std::vector<uint8_t>& data);
  WmiResult ExecuteMethod(const GUID& guid, ULONG instance, ULONG method_id, const std::vector<uint8_t>& input,
                          ULONG output_room = 256);
  // IRP_MN_ENABLE_EVENTS, _DISABLE_EVENTS, _ENABLE_COLLECTION or
  // _DISABLE_COLLECTION for the block, to each provider of it.
  WmiResult Control(const GUID& guid, UCHAR minor);

  // A WMI request as it is put together, for tests that aim it at any
  // device (a port, a provider that never registered) with any provider ID.
  // The buffer is the WNODE; data_path the GUID (or the registration action
  // of IRP_MN_REGINFO_EX).
  WmiResult Send(DEVICE_OBJECT* target, ULONG_PTR provider_id, UCHAR minor, void* data_path,
                 std::vector<uint8_t> buffer);

 private:
  struct Target {
    DEVICE_OBJECT* provider = nullptr;
    ULONG index = 0;  // the instance's index at its provider
    std::u16string name;
  };
  std::vector<Target> Instances(const GUID& guid);
  // The WNODE of a request naming one instance, with the data block room.
  static std::vector<uint8_t> InstanceWnode(const GUID& guid, const Target& target, ULONG fixed_size, ULONG flags,
                                            ULONG data_size, ULONG* data_offset);
  WmiResult SendForInstance(const GUID& guid, ULONG instance, UCHAR minor, ULONG fixed_size, ULONG flags,
                            ULONG item_or_method, const std::vector<uint8_t>& data, ULONG room);
};

}  // namespace sim
