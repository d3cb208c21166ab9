// PortHandOff: the bench's stand-in for zarkenum's start hand-off, bound
// above the serial port driver only when a machine asks for it
// (MachineConfig::stand_in_hand_off), so that a test can hand the serial
// driver wrong resources and watch what it makes of them. At
// IRP_MN_START_DEVICE it replaces the start resources the Plug and Play
// manager assigned (a zero-length I/O range) with the port's own lists,
// fetched from the card driver through the port resource interface; it
// passes everything else through untouched.
//
// Fault knob for tests: REG_DWORD under
// \Registry\Machine\SYSTEM\CurrentControlSet\Services\PortHandOff\Parameters
// named after the port's hardware ID ("*KVRCOM03"): 0 hands over the
// port's lists, 1 passes the manager's own assignment, 2 hands over the
// I/O window of the next port (8 bytes up).
#include <ntddk.h>
#include <initguid.h>

#include "enum/serial/port_resource_interface.h"

#define HANDOFF_POOL_TAG 'fOdH'

namespace {

enum HandOff { HandOffCorrect = 0, HandOffPlugAndPlay = 1, HandOffNeighbour = 2 };

struct FilterExtension {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
  IO_REMOVE_LOCK RemoveLock;
};

FilterExtension* Ext(PDEVICE_OBJECT Device) { return static_cast<FilterExtension*>(Device->DeviceExtension); }

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The knob for this port: the value named after its "*KVRCOMnn" hardware ID.
ULONG ReadKnob(FilterExtension* ext) {
  WCHAR ids[128];
  ULONG length = 0;
  RtlZeroMemory(ids, sizeof(ids));
  if (!NT_SUCCESS(IoGetDeviceProperty(ext->Pdo, DevicePropertyHardwareID, sizeof(ids) - 2 * sizeof(WCHAR), ids,
                                      &length)))
    return HandOffCorrect;
  PCWSTR id = ids;
  for (PCWSTR p = ids; *p;) {
    if (p[0] == L'*') {
      id = p;
      break;
    }
    while (*p) ++p;
    ++p;
  }
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\PortHandOff\\Parameters");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
  HANDLE key;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return HandOffCorrect;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, id);
  UCHAR record[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  PKEY_VALUE_PARTIAL_INFORMATION info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(record);
  ULONG knob = HandOffCorrect;
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof(record), &length)) &&
      info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
    RtlCopyMemory(&knob, info->Data, sizeof(ULONG));
  ZwClose(key);
  return knob;
}

// Fetches the port's raw and translated lists from the card driver.
NTSTATUS FetchPortResources(FilterExtension* ext, PCM_RESOURCE_LIST* Raw, PCM_RESOURCE_LIST* Translated) {
  PortResourceInterface port_interface;
  RtlZeroMemory(&port_interface, sizeof(port_interface));
  PIRP irp = IoAllocateIrp(ext->Lower->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
  stack->Parameters.QueryInterface.InterfaceType = &GUID_PORT_RESOURCE_INTERFACE;
  stack->Parameters.QueryInterface.Size = sizeof(port_interface);
  stack->Parameters.QueryInterface.Version = PORT_RESOURCE_INTERFACE_VERSION;
  stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&port_interface);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->Lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  if (!NT_SUCCESS(status)) return status;
  if (!port_interface.GetPortResources) return STATUS_NOT_SUPPORTED;
  status = port_interface.GetPortResources(port_interface.Context, ext->Pdo, Raw, Translated);
  port_interface.InterfaceDereference(port_interface.Context);
  return status;
}

// Completes a request the filter cannot take (its device is being removed).
NTSTATUS Refuse(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

void MoveWindow(PCM_RESOURCE_LIST List, ULONG Offset) {
  PCM_PARTIAL_RESOURCE_LIST partial = &List->List[0].PartialResourceList;
  for (ULONG i = 0; i < partial->Count; ++i)
    if (partial->PartialDescriptors[i].Type == CmResourceTypePort)
      partial->PartialDescriptors[i].u.Port.Start.QuadPart += Offset;
}

NTSTATUS Start(FilterExtension* ext, PIRP Irp) {
  PCM_RESOURCE_LIST raw = NULL;
  PCM_RESOURCE_LIST translated = NULL;
  const ULONG knob = ReadKnob(ext);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  if (knob != HandOffPlugAndPlay) {
    NTSTATUS status = FetchPortResources(ext, &raw, &translated);
    if (!NT_SUCCESS(status)) return status;
    if (knob == HandOffNeighbour) {
      MoveWindow(raw, 8);
      MoveWindow(translated, 8);
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->Parameters.StartDevice.AllocatedResources = raw;
    next->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->Lower, Irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  // The lists are the caller's once the start has returned.
  if (raw) ExFreePool(raw);
  if (translated) ExFreePool(translated);
  return Irp->IoStatus.Status;
}

}  // namespace

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE HandOffAddDevice;
DRIVER_UNLOAD HandOffUnload;
DRIVER_DISPATCH HandOffPassThrough;
DRIVER_DISPATCH HandOffPnp;
DRIVER_DISPATCH HandOffPower;

NTSTATUS HandOffAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT device = NULL;
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(FilterExtension), NULL, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  FilterExtension* ext = Ext(device);
  RtlZeroMemory(ext, sizeof(*ext));
  ext->Self = device;
  ext->Pdo = PhysicalDeviceObject;
  IoInitializeRemoveLock(&ext->RemoveLock, HANDOFF_POOL_TAG, 0, 0);
  ext->Lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (!ext->Lower) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  // Requests reach the serial driver as it expects them.
  device->Flags |= ext->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  device->DeviceType = ext->Lower->DeviceType;
  device->Characteristics = ext->Lower->Characteristics;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void HandOffUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

NTSTATUS HandOffPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FilterExtension* ext = Ext(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return Refuse(Irp, status);
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(ext->Lower, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

NTSTATUS HandOffPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FilterExtension* ext = Ext(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  PoStartNextPowerIrp(Irp);
  if (!NT_SUCCESS(status)) return Refuse(Irp, status);
  IoSkipCurrentIrpStackLocation(Irp);
  status = PoCallDriver(ext->Lower, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

NTSTATUS HandOffPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FilterExtension* ext = Ext(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return Refuse(Irp, status);
  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (minor == IRP_MN_START_DEVICE) {
    status = Start(ext, Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    return status;
  }
  if (minor == IRP_MN_REMOVE_DEVICE) {
    // Off the stack before the drivers below delete their devices.
    IoReleaseRemoveLockAndWait(&ext->RemoveLock, Irp);
    PDEVICE_OBJECT lower = ext->Lower;
    IoDetachDevice(lower);
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(lower, Irp);
    IoDeleteDevice(DeviceObject);
    return status;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(ext->Lower, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->DriverUnload = HandOffUnload;
  DriverObject->DriverExtension->AddDevice = HandOffAddDevice;
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = HandOffPassThrough;
  DriverObject->MajorFunction[IRP_MJ_PNP] = HandOffPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = HandOffPower;
  return STATUS_SUCCESS;
}
