// The card's WMI callbacks. The WMI library calls them at PASSIVE_LEVEL on
// the requesting thread; each completes its request through
// WmiCompleteRequest, but for QueryRegInfo, which only answers.
#include "card/wmi/wmi_provider.h"

#include "card/driver/card_driver.h"

// {a0f95fd4-a587-11d2-bb3a-00c04fa330a7}
static const GUID CardWmiBlockGuid = {0xa0f95fd4, 0xa587, 0x11d2, {0xbb, 0x3a, 0x00, 0xc0, 0x4f, 0xa3, 0x30, 0xa7}};
// {8209ec2a-2d6b-11d2-ba49-00a0c9062910}
static const GUID CardWmiSecondBlockGuid = {0x8209ec2a, 0x2d6b, 0x11d2,
                                            {0xba, 0x49, 0x00, 0xa0, 0xc9, 0x06, 0x29, 0x10}};

#define CARD_WMI_GUID_COUNT 2

static WMIGUIDREGINFO CardWmiGuids[CARD_WMI_GUID_COUNT] = {
    {&CardWmiBlockGuid, 1, WMIREG_FLAG_INSTANCE_PDO},
    {&CardWmiSecondBlockGuid, 1, WMIREG_FLAG_INSTANCE_PDO},
};

WMILIB_CONTEXT CardWmiContext = {
    CARD_WMI_GUID_COUNT, CardWmiGuids, QueryRegInfo, QueryDataBlock, SetDataBlock, SetDataItem, ExecuteMethod,
    FunctionControl,
};

static CardExtension* CardOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<CardExtension*>(DeviceObject->DeviceExtension);
}

NTSTATUS QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                      PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo) {
  UNREFERENCED_PARAMETER(InstanceName);
  *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
  *RegistryPath = &CardRegistryPath;
  RtlInitUnicodeString(MofResourceName, L"MofResource");
  *Pdo = CardOf(DeviceObject)->PhysicalDeviceObject;
  return STATUS_SUCCESS;
}

NTSTATUS QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                        ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer) {
  NTSTATUS status;
  ULONG used = 0;
  if (GuidIndex >= CARD_WMI_GUID_COUNT) {
    status = STATUS_WMI_GUID_NOT_FOUND;
  } else if (InstanceIndex != 0 || InstanceCount != 1) {
    status = STATUS_WMI_INSTANCE_NOT_FOUND;
  } else if (!InstanceLengthArray || BufferAvail < CARD_WMI_BLOCK_SIZE) {
    status = STATUS_BUFFER_TOO_SMALL;
    used = CARD_WMI_BLOCK_SIZE;
  } else {
    RtlCopyMemory(Buffer, &CardOf(DeviceObject)->WmiValue, CARD_WMI_BLOCK_SIZE);
    InstanceLengthArray[0] = CARD_WMI_BLOCK_SIZE;
    status = STATUS_SUCCESS;
    used = CARD_WMI_BLOCK_SIZE;
  }
  return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

NTSTATUS SetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                      ULONG BufferSize, PUCHAR Buffer) {
  NTSTATUS status;
  ULONG used = 0;
  if (GuidIndex >= CARD_WMI_GUID_COUNT) {
    status = STATUS_WMI_GUID_NOT_FOUND;
  } else if (InstanceIndex != 0) {
    status = STATUS_WMI_INSTANCE_NOT_FOUND;
  } else if (BufferSize == CARD_WMI_BLOCK_SIZE) {
    RtlCopyMemory(&CardOf(DeviceObject)->WmiValue, Buffer, CARD_WMI_BLOCK_SIZE);
    status = STATUS_SUCCESS;
    used = CARD_WMI_BLOCK_SIZE;
  } else {
    status = STATUS_INFO_LENGTH_MISMATCH;
  }
  return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

NTSTATUS SetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                     ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer) {
  NTSTATUS status;
  ULONG used = 0;
  if (GuidIndex >= CARD_WMI_GUID_COUNT) {
    status = STATUS_WMI_GUID_NOT_FOUND;
  } else if (InstanceIndex != 0) {
    status = STATUS_WMI_INSTANCE_NOT_FOUND;
  } else if (DataItemId != CARD_WMI_ITEM_VALUE) {
    status = STATUS_WMI_ITEMID_NOT_FOUND;
  } else if (BufferSize == CARD_WMI_BLOCK_SIZE) {
    RtlCopyMemory(&CardOf(DeviceObject)->WmiValue, Buffer, CARD_WMI_BLOCK_SIZE);
    status = STATUS_SUCCESS;
    used = CARD_WMI_BLOCK_SIZE;
  } else {
    status = STATUS_INFO_LENGTH_MISMATCH;
  }
  return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

// The blocks have no methods.
NTSTATUS ExecuteMethod(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                       ULONG MethodId, ULONG InBufferSize, ULONG OutBufferSize, PUCHAR Buffer) {
  UNREFERENCED_PARAMETER(GuidIndex);
  UNREFERENCED_PARAMETER(InstanceIndex);
  UNREFERENCED_PARAMETER(MethodId);
  UNREFERENCED_PARAMETER(InBufferSize);
  UNREFERENCED_PARAMETER(OutBufferSize);
  UNREFERENCED_PARAMETER(Buffer);
  return WmiCompleteRequest(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
}

// Nothing to switch on or off: every enable and disable succeeds.
NTSTATUS FunctionControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, WMIENABLEDISABLECONTROL Function,
                         BOOLEAN Enable) {
  UNREFERENCED_PARAMETER(GuidIndex);
  UNREFERENCED_PARAMETER(Function);
  UNREFERENCED_PARAMETER(Enable);
  return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}
