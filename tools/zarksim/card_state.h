// The machine's snapshot with what the card driver made of each card, read
// from the device extension of the card's functional device object, and
// what each port device hands out through the port resource interface.
#pragma once

#include <optional>

#include "sim/machine/machine.h"
#include "sim/machine/snapshot.h"

namespace zarksim {

// The card driver's state for the card whose PDO is given; unset when the
// card driver has no device on that PDO.
std::optional<sim::CardDriverState> ReadCardDriverState(sim::Machine& machine, DEVICE_OBJECT* pdo);

// TakeSnapshot, plus the card driver's state of every card and the
// resources each port hands out.
sim::MachineSnapshot SnapshotWithCardState(sim::Machine& machine);

}  // namespace zarksim
