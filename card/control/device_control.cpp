// Control requests: no control code is served yet, so every request is
// refused as one the device does not know.
#include "card/driver/card_driver.h"

NTSTATUS DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequestWithInformation(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
