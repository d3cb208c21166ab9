// WMI requests: passed on to the device below the card, or for a port to
// the card's own device.
#include "card/driver/card_driver.h"

NTSTATUS SystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const CommonHeader* header = static_cast<const CommonHeader*>(DeviceObject->DeviceExtension);
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(header->NextTarget, Irp);
}
