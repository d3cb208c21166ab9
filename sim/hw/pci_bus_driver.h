// The PCI bus driver, built into the kernel model: it creates a physical
// device object for each card of the machine and answers the Plug and Play
// requests a bus driver answers for its children: IDs, capabilities, bus
// information, configuration space reads and writes (IRP_MN_READ_CONFIG,
// IRP_MN_WRITE_CONFIG), the standard bus interface, start, stop, removal.
#pragma once

#include <functional>

#include "sim/hw/pci_function.h"
#include "wdm.h"

namespace sim {
struct DriverRecord;
}

namespace sim::hw {

// What the bus driver keeps for each of its PDOs.
struct PciPdoExtension {
  PciLocation location;
  unsigned index = 0;
  volatile LONG interface_references = 0;  // standard bus interfaces handed out and not dereferenced
  // The decode bits (Command bits 0 to 2) a stop or removal turned off, to
  // be turned on again at the next start.
  uint16_t parked_decodes = 0;
  // Power: the device state the bus driver put the function in, and the
  // header registers it saved before the function could lose power.
  DEVICE_POWER_STATE device_state = PowerDeviceD0;
  bool header_saved = false;
  bool power_lost = false;  // in D3 or across a system sleep since the save
  uint8_t saved_header[0x40] = {};
};

class PciBusDriver {
 public:
  PciBusDriver();
  ~PciBusDriver();
  PciBusDriver(const PciBusDriver&) = delete;
  PciBusDriver& operator=(const PciBusDriver&) = delete;
  // Creates the PDO of the function at the location (which must exist).
  DEVICE_OBJECT* CreatePdo(const PciLocation& location);
  DriverRecord* driver() const { return driver_; }
  // Fails the n-th IRP_MN_READ_CONFIG or IRP_MN_WRITE_CONFIG from now on
  // (1-based; 0 clears) with STATUS_DEVICE_NOT_READY, nothing transferred.
  void FailNthConfigRequest(unsigned n);
  // Leaves the Plug and Play minor function unhandled (completed with the
  // status and Information it came with), as a bus driver that does not
  // know it does; false handles it again.
  void LeaveUnhandled(UCHAR minor, bool unhandled = true);
  // Calls the observer with every power request that reaches a PDO, before
  // it is completed; an empty function stops.
  void ObservePower(std::function<void(DEVICE_OBJECT*, IRP*)> observer);
  // Whether a return to D0 writes back the header registers saved before
  // the function lost power (as Windows' PCI driver does); false leaves the
  // header cleared, for the function driver's own restore.
  void RestoreHeaderOnD0(bool restore);
  // Fault injection: the bus driver keeps every system power IRP of that
  // minor function pending (a stack that never completes its power IRP)
  // until ReleaseHeldPowerIrps completes them with success.
  void HoldSystemPowerIrps(bool hold = true, UCHAR minor = IRP_MN_SET_POWER);
  void ReleaseHeldPowerIrps();
  // The system lost power (sleep S2 and deeper, hibernate, shutdown): every
  // function whose header was saved will need it restored.
  void SystemPowerLost();

 private:
  DriverRecord* driver_;
  unsigned count_ = 0;
};

// The bus driver's record of a PDO, or null when the device is not one of
// its PDOs.
PciPdoExtension* PciPdoOf(const DEVICE_OBJECT* device);

}  // namespace sim::hw
