// The tool's one adapter to the card driver's internals: what the driver
// made of each card, read from the device extension of the card's
// functional device object, and what each port device hands out through
// the port resource interface (asked the way the port enumerator asks at
// start: IRP_MN_QUERY_INTERFACE, one GetPortResources call, one
// dereference).
#pragma once

#include <optional>

#include "sim/machine/machine.h"
#include "sim/machine/snapshot.h"

namespace zarksim {

// The interface record as the card driver's port devices fill it: the
// INTERFACE header, then the routine.
using GetPortResourcesRoutine = NTSTATUS(NTAPI*)(PVOID context, PDEVICE_OBJECT port, PCM_RESOURCE_LIST* raw,
                                                 PCM_RESOURCE_LIST* translated);
struct PortResourceInterfaceRecord {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  GetPortResourcesRoutine GetPortResources;
};
static_assert(sizeof(PortResourceInterfaceRecord) == 40, "the interface record is 40 bytes");

// {0AA04540-6FD1-11D3-81B5-00C04FA330A6}
inline constexpr GUID kPortResourceInterfaceGuid = {0x0aa04540, 0x6fd1, 0x11d3, {0x81, 0xb5, 0x00, 0xc0, 0x4f, 0xa3, 0x30, 0xa6}};

// Sends IRP_MN_QUERY_INTERFACE for the port resource interface down the
// node's stack; on success the caller holds one reference and releases it
// with record->InterfaceDereference(record->Context).
NTSTATUS QueryPortResourceInterface(sim::Machine& machine, sim::DeviceNode& node, PortResourceInterfaceRecord* record);

// Unset for a node that is not a port of a card; otherwise the status of
// the query (or of GetPortResources) and, on success, both lists.
std::optional<sim::PortResourcesSnapshot> QueryPortResources(sim::Machine& machine, sim::DeviceNode& node);


// The card driver's state for the card whose PDO is given; unset when the
// card driver has no device on that PDO.
std::optional<sim::CardDriverState> ReadCardDriverState(sim::Machine& machine, DEVICE_OBJECT* pdo);

// TakeSnapshot, plus the card driver's state of every card and the
// resources each port hands out.
class ProbeWatch;
// With `probes`, each port's probe history as it followed it.
sim::MachineSnapshot SnapshotWithCardState(sim::Machine& machine, const ProbeWatch* probes = nullptr);

}  // namespace zarksim
