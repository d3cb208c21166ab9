// The two control-code routines: the port-name query, answered by the
// filter for itself and for its child, and the child's request to be
// removed.
#include "enum/driver/enum_driver.h"

namespace {

// "PortName" from the port's device key, or "Identifier" where a port has
// no "PortName"; copied into the system buffer when it fits.
NTSTATUS QueryPortName(EnumFilterExtension* filter, PIRP Irp) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(filter->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ,
                                            &key);
  if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);
  const ULONG capacity = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  static const WCHAR kPortName[] = L"PortName";
  static const WCHAR kIdentifier[] = L"Identifier";
  ULONG length = 0;
  status = ReadKeyValue(key, kPortName, sizeof(kPortName), buffer, capacity, &length);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_INVALID_PARAMETER)
    status = ReadKeyValue(key, kIdentifier, sizeof(kIdentifier), buffer, capacity, &length);
  ZwClose(key);
  Irp->IoStatus.Information = length;
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  // A child's control requests are the filter's to serve or pass on.
  if (!HeaderOf(DeviceObject)->IsFilter) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ChildOf(DeviceObject)->ParentFilter, Irp);
  }
  EnumFilterExtension* filter = FilterOf(DeviceObject);
  if (!NT_SUCCESS(AcquireIo(filter))) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERENUM_GET_PORT_NAME) {
    const NTSTATUS status = QueryPortName(filter, Irp);
    ReleaseIo(filter);
    return status;
  }
  ReleaseIo(filter);
  return DispatchPassThrough(DeviceObject, Irp);
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (HeaderOf(DeviceObject)->IsFilter) return DispatchPassThrough(DeviceObject, Irp);
  EnumChildExtension* child = ChildOf(DeviceObject);
  if (child->Removed) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode !=
      IOCTL_INTERNAL_SERENUM_REMOVE_SELF)
    return DispatchPassThrough(DeviceObject, Irp);
  EnumFilterExtension* filter = FilterOf(child->ParentFilter);
  filter->SelfRemovalPending = 1;
  MarkChildGone(filter, child);
  IoInvalidateDeviceRelations(filter->PhysicalDeviceObject, BusRelations);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
