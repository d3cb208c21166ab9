// What the port enumerator made of a port: read from its filter device's
// extension (probe count, a probe running, the reported child's identities).
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "sim/machine/machine.h"
#include "sim/machine/snapshot.h"

namespace zarksim {

// Follows the port enumerator's probes through its requests to the serial
// driver below it: a probe opens the port with a request it allocated
// itself (the opens it passes on come from others) and closes it when done.
// Watches the machine's kernel from construction to destruction (a reboot
// ends it: the new kernel is not watched).
class ProbeWatch {
 public:
  explicit ProbeWatch(sim::Machine& machine);
  ~ProbeWatch();
  ProbeWatch(const ProbeWatch&) = delete;
  ProbeWatch& operator=(const ProbeWatch&) = delete;
  // The probes of the port node so far, oldest first.
  std::vector<sim::ProbeTimesSnapshot> Of(const sim::DeviceNode* port) const;

 private:
  sim::Machine& machine_;
  sim::Kernel* kernel_;
  std::map<const sim::DeviceNode*, std::vector<sim::ProbeTimesSnapshot>> log_;
};

// Unset for a node whose stack holds no zarkenum filter.
std::optional<sim::PortDetectionSnapshot> ReadPortDetection(sim::Machine& machine, sim::DeviceNode& node);

}  // namespace zarksim
