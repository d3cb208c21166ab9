// IRP_MJ_SYSTEM_CONTROL of every device of the card driver: the WMI library
// takes the requests meant for the card's blocks; the rest go on, from the
// card to the device below it, from a port to its card.
#include "card/driver/card_driver.h"
#include "card/wmi/wmi_provider.h"

NTSTATUS SystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const CommonHeader* header = static_cast<const CommonHeader*>(DeviceObject->DeviceExtension);
  SYSCTL_IRP_DISPOSITION disposition;
  NTSTATUS status = WmiSystemControl(&CardWmiContext, DeviceObject, Irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      return status;
    case IrpNotCompleted:
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    case IrpNotWmi:
    case IrpForward:
    default:
      IoSkipCurrentIrpStackLocation(Irp);
      return IoCallDriver(header->NextTarget, Irp);
  }
}
