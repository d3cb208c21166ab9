// What the Ports class installer does when a serial port is installed for
// the first time: it takes the lowest COM number that the COM name database
// ("ComDB") marks free, claims it there, and names the port with it —
// "PortName" = "COMn" under the instance's "Device Parameters" and
// "FriendlyName" = "Communications Port (COMn)" on the instance key. An
// instance that already has a "PortName" keeps it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sim {

struct DeviceNode;

// The setup class whose devices the installer names.
inline constexpr char kPortsClass[] = "Ports";
extern const char kComNameArbiterKey[];  // "\Registry\...\Control\COM Name Arbiter"

// Names the node's port unless it already has a name; returns its COM number
// (0 when "PortName" is not of the form "COMn").
unsigned InstallPort(const DeviceNode& node);

// The COM numbers "ComDB" marks in use, ascending (bit 0 of byte 0 is COM1).
std::vector<unsigned> ComNumbersInUse();
// Claims a number in "ComDB", growing the bitmap in 32-byte steps as the
// system's arbiter does.
void ClaimComNumber(unsigned number);

}  // namespace sim
