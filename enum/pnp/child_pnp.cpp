// Plug and Play of a child: the bus driver's side for the device detected
// on the port. The child completes every request itself.
#include "enum/driver/enum_driver.h"

#include <wdmguid.h>

namespace {

PVOID Allocate(SIZE_T bytes) { return ExAllocatePoolWithTag(PagedPool, bytes, kEnumPoolTag); }

// "PnPRev" and "Serial Number" of the device, when it sent them.
NTSTATUS Start(PDEVICE_OBJECT device, EnumChildExtension* child) {
  if (child->PnpRevision.Length || child->SerialNumber.Length) {
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key)))
      return STATUS_SUCCESS;
    UNICODE_STRING name;
    if (child->PnpRevision.Length) {
      RtlInitUnicodeString(&name, L"PnPRev");
      ZwSetValueKey(key, &name, 0, REG_SZ, child->PnpRevision.Buffer, child->PnpRevision.Length);
    }
    if (child->SerialNumber.Length) {
      RtlInitUnicodeString(&name, L"Serial Number");
      ZwSetValueKey(key, &name, 0, REG_SZ, child->SerialNumber.Buffer, child->SerialNumber.Length);
    }
    ZwClose(key);
  }
  child->Started = 1;
  return STATUS_SUCCESS;
}

// A zero-filled paged copy of an identity with room for one more NUL; a
// string without a buffer answers with no list.
NTSTATUS CopyId(const UNICODE_STRING* id, PIRP Irp) {
  if (!id->Buffer) {
    Irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
  }
  PVOID copy = Allocate(id->Length + sizeof(WCHAR));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(copy, id->Length + sizeof(WCHAR));
  RtlCopyMemory(copy, id->Buffer, id->Length);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
  return STATUS_SUCCESS;
}

NTSTATUS QueryId(EnumChildExtension* child, PIRP Irp, NTSTATUS current) {
  switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      return CopyId(&child->DeviceId, Irp);
    case BusQueryHardwareIDs:
      return CopyId(&child->HardwareIds, Irp);
    case BusQueryCompatibleIDs:
      return CopyId(&child->CompatibleIds, Irp);
    case BusQueryInstanceID: {
      // One device per port: the instance is always the same.
      static const WCHAR kInstance[] = L"0000";
      PVOID copy = Allocate(sizeof(kInstance));
      if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
      RtlCopyMemory(copy, kInstance, sizeof(kInstance));
      Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
      return STATUS_SUCCESS;
    }
    default:
      return current;
  }
}

NTSTATUS QueryText(EnumChildExtension* child, PIRP Irp, NTSTATUS current) {
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription ||
      !child->DeviceDescription.Buffer)
    return current;
  PVOID copy = Allocate(child->DeviceDescription.Length);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, child->DeviceDescription.Buffer, child->DeviceDescription.Length);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
  return STATUS_SUCCESS;
}

NTSTATUS QueryCapabilities(EnumChildExtension* child, PIRP Irp) {
  PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  EnumFilterExtension* parent = FilterOf(child->ParentFilter);
  capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  capabilities->Version = 1;
  capabilities->SystemWake = static_cast<SYSTEM_POWER_STATE>(parent->SystemWake);
  capabilities->DeviceWake = static_cast<DEVICE_POWER_STATE>(parent->DeviceWake);
  // The manager must not take the device's identity as unique system-wide.
  capabilities->UniqueID = FALSE;
  capabilities->D1Latency = capabilities->D2Latency = capabilities->D3Latency = 0;
  return STATUS_SUCCESS;
}

NTSTATUS QueryBusInformation(PIRP Irp) {
  PPNP_BUS_INFORMATION info = static_cast<PPNP_BUS_INFORMATION>(Allocate(sizeof(PNP_BUS_INFORMATION)));
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  info->BusTypeGuid = GUID_BUS_TYPE_SERENUM;
  info->LegacyBusType = PNPBus;
  info->BusNumber = 0;
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(info);
  return STATUS_SUCCESS;
}

NTSTATUS TargetRelation(PDEVICE_OBJECT device, PIRP Irp, NTSTATUS current) {
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation ||
      Irp->IoStatus.Information)
    return current;
  PDEVICE_RELATIONS list = static_cast<PDEVICE_RELATIONS>(Allocate(sizeof(DEVICE_RELATIONS)));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  list->Count = 1;
  list->Objects[0] = device;
  ObReferenceObject(device);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  EnumChildExtension* child = ChildOf(DeviceObject);
  NTSTATUS status = Irp->IoStatus.Status;
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = Start(DeviceObject, child);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      // A device still on the port stays until a probe finds it gone.
      RequestReprobe(FilterOf(child->ParentFilter));
      status = child->Present ? STATUS_SUCCESS : DeleteChild(DeviceObject, child);
      break;
    case IRP_MN_STOP_DEVICE:
      child->Started = 0;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      status = TargetRelation(DeviceObject, Irp, status);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = QueryCapabilities(child, Irp);
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      status = QueryText(child, Irp, status);
      break;
    case IRP_MN_QUERY_ID:
      status = QueryId(child, Irp, status);
      break;
    case IRP_MN_QUERY_BUS_INFORMATION:
      status = QueryBusInformation(Irp);
      break;
    default:
      break;
  }
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
