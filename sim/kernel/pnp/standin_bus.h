// A stand-in PCI bus driver, built into the kernel model: it creates a
// physical device object for each card of the machine and answers the
// Plug and Play requests a bus driver answers for its children (IDs,
// capabilities, bus information, start, stop and removal).
#pragma once

#include <string>

#include "wdm.h"

namespace sim {

struct DriverRecord;

struct StandinDevice {
  USHORT vendor_id = 0x1C29;
  USHORT device_id = 0x1104;
  ULONG subsystem = 0;  // subsystem ID << 16 | subsystem vendor ID
  UCHAR revision = 0;
  ULONG bus = 1;
  ULONG slot = 0;  // device number
};

class StandinBus {
 public:
  StandinBus();
  // Creates the PDO of a device on the bus and reports it to the PnP manager.
  DEVICE_OBJECT* AddDevice(const StandinDevice& device);
  DriverRecord* driver() const { return driver_; }

 private:
  DriverRecord* driver_;
  unsigned count_ = 0;
};

}  // namespace sim
