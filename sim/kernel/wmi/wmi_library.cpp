// The WMI library (WMILIB.SYS): WmiSystemControl takes a WMI request apart
// and calls the provider's callback with the pieces of its WNODE;
// WmiCompleteRequest puts the callback's answer back into the WNODE and
// completes the request.
#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/wmi/wnode_alignment.h"
#include "wdm.h"
#include "wmilib.h"
#include "wmistr.h"

namespace {

bool IsWmiMinor(UCHAR minor) { return minor <= IRP_MN_EXECUTE_METHOD || minor == IRP_MN_REGINFO_EX; }

// Where the instance data of a WNODE_ALL_DATA of n instances starts: after
// the table of offsets and lengths.
ULONG AllDataBlockOffset(ULONG instances) {
  return sim::WnodeAlign(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                instances * sizeof(OFFSETINSTANCEDATAANDLENGTH));
}

// The size of the fixed part of the WNODE each request carries.
ULONG FixedWnodeSize(UCHAR minor) {
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA:
      return FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
      return sizeof(WNODE_SINGLE_INSTANCE);
    case IRP_MN_CHANGE_SINGLE_ITEM:
      return sizeof(WNODE_SINGLE_ITEM);
    case IRP_MN_EXECUTE_METHOD:
      return sizeof(WNODE_METHOD_ITEM);
    default:
      return sizeof(WNODE_HEADER);
  }
}

ULONG CountedStringSize(const UNICODE_STRING* text) {
  return sizeof(USHORT) + (text ? text->Length : 0);
}

void PutCountedString(PUCHAR at, const UNICODE_STRING* text) {
  const USHORT length = text ? text->Length : 0;
  std::memcpy(at, &length, sizeof length);
  if (length) std::memcpy(at + sizeof length, text->Buffer, length);
}

// IRP_MN_REGINFO(_EX): asks the provider and lays out its WMIREGINFO, the
// counted strings after the GUID table. A buffer too small for it gets the
// size needed in its first ULONG.
NTSTATUS BuildRegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, IO_STACK_LOCATION* stack, PIRP irp) {
  ULONG flags = 0;
  UNICODE_STRING instance_name{};
  PUNICODE_STRING registry_path = nullptr;
  UNICODE_STRING mof_name{};
  PDEVICE_OBJECT pdo = nullptr;
  if (!context->QueryWmiRegInfo) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = context->QueryWmiRegInfo(device, &flags, &instance_name, &registry_path, &mof_name, &pdo);
  if (!NT_SUCCESS(status)) return status;

  const ULONG guids_end = sizeof(WMIREGINFOW) + context->GuidCount * sizeof(WMIREGGUIDW);
  const ULONG registry_at = guids_end;
  const ULONG mof_at = registry_at + CountedStringSize(registry_path);
  const ULONG needed = mof_at + CountedStringSize(&mof_name);
  const ULONG size = stack->Parameters.WMI.BufferSize;
  auto buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
  if (size < needed) {
    if (size >= sizeof(ULONG)) {
      std::memcpy(buffer, &needed, sizeof needed);
      irp->IoStatus.Information = sizeof(ULONG);
    }
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memset(buffer, 0, needed);
  auto info = reinterpret_cast<PWMIREGINFOW>(buffer);
  info->BufferSize = needed;
  info->NextWmiRegInfo = 0;
  info->RegistryPath = registry_at;
  info->MofResourceName = mof_at;
  info->GuidCount = context->GuidCount;
  for (ULONG i = 0; i < context->GuidCount; ++i) {
    const WMIGUIDREGINFO& entry = context->GuidList[i];
    WMIREGGUIDW& guid = info->WmiRegGuid[i];
    guid.Guid = *entry.Guid;
    guid.Flags = entry.Flags | flags;
    guid.InstanceCount = entry.InstanceCount;
    if (guid.Flags & WMIREG_FLAG_INSTANCE_PDO) guid.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
  }
  PutCountedString(buffer + registry_at, registry_path);
  PutCountedString(buffer + mof_at, &mof_name);
  irp->IoStatus.Information = needed;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition) {
  sim::CheckIrql("WmiSystemControl", PASSIVE_LEVEL);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL || !IsWmiMinor(stack->MinorFunction)) {
    *IrpDisposition = IrpNotWmi;
    return Irp->IoStatus.Status;
  }
  // A request for another provider passes this device by.
  if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
    *IrpDisposition = IrpForward;
    return Irp->IoStatus.Status;
  }

  // Errors found here are left for the driver to complete.
  auto not_completed = [&](NTSTATUS status) {
    Irp->IoStatus.Status = status;
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_TOO_SMALL) Irp->IoStatus.Information = 0;
    *IrpDisposition = IrpNotCompleted;
    return status;
  };
  const UCHAR minor = stack->MinorFunction;
  if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) {
    Irp->IoStatus.Information = 0;
    return not_completed(BuildRegInfo(WmiLibInfo, DeviceObject, stack, Irp));
  }

  const ULONG size = stack->Parameters.WMI.BufferSize;
  auto buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
  if (!buffer || size < FixedWnodeSize(minor) || !stack->Parameters.WMI.DataPath)
    return not_completed(STATUS_INVALID_PARAMETER);
  const GUID& guid = *static_cast<const GUID*>(stack->Parameters.WMI.DataPath);
  ULONG index = 0;
  while (index < WmiLibInfo->GuidCount && std::memcmp(WmiLibInfo->GuidList[index].Guid, &guid, sizeof guid) != 0)
    ++index;
  if (index == WmiLibInfo->GuidCount) return not_completed(STATUS_WMI_GUID_NOT_FOUND);
  const ULONG instances = WmiLibInfo->GuidList[index].InstanceCount;

  // The requests that name one instance: by its index among the provider's
  // static (or PDO-derived) instance names.
  auto instance_of = [&](ULONG flags, ULONG instance, NTSTATUS* status) {
    *status = STATUS_SUCCESS;
    if (!(flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) || instance >= instances) *status = STATUS_WMI_INSTANCE_NOT_FOUND;
    return instance;
  };
  // The room after the data block's start, and where it starts (null when
  // the WNODE ends before it).
  auto room_after = [&](ULONG offset) { return offset <= size ? size - offset : 0; };
  auto data_at = [&](ULONG offset) { return offset < size ? buffer + offset : nullptr; };

  *IrpDisposition = IrpProcessed;
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
      if (!WmiLibInfo->QueryWmiDataBlock) return not_completed(STATUS_INVALID_DEVICE_REQUEST);
      auto wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
      const ULONG offset = AllDataBlockOffset(instances);
      wnode->InstanceCount = instances;
      wnode->DataBlockOffset = offset;
      // The provider writes each instance's length where the table of
      // offsets and lengths goes; WmiCompleteRequest turns it into the table.
      PULONG lengths = size >= offset ? reinterpret_cast<PULONG>(&wnode->OffsetInstanceDataAndLength[0]) : nullptr;
      return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, 0, instances, lengths, room_after(offset),
                                           data_at(offset));
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
      if (!WmiLibInfo->QueryWmiDataBlock) return not_completed(STATUS_INVALID_DEVICE_REQUEST);
      auto wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      NTSTATUS status;
      const ULONG instance = instance_of(wnode->WnodeHeader.Flags, wnode->InstanceIndex, &status);
      if (!NT_SUCCESS(status)) return not_completed(status);
      const ULONG offset = wnode->DataBlockOffset;
      return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, instance, 1, &wnode->SizeDataBlock,
                                           room_after(offset), data_at(offset));
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
      if (!WmiLibInfo->SetWmiDataBlock) return not_completed(STATUS_WMI_READ_ONLY);
      auto wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      NTSTATUS status;
      const ULONG instance = instance_of(wnode->WnodeHeader.Flags, wnode->InstanceIndex, &status);
      if (!NT_SUCCESS(status)) return not_completed(status);
      if (wnode->DataBlockOffset > size || wnode->SizeDataBlock > size - wnode->DataBlockOffset)
        return not_completed(STATUS_INVALID_PARAMETER);
      return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, instance, wnode->SizeDataBlock,
                                         data_at(wnode->DataBlockOffset));
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
      if (!WmiLibInfo->SetWmiDataItem) return not_completed(STATUS_WMI_READ_ONLY);
      auto wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
      NTSTATUS status;
      const ULONG instance = instance_of(wnode->WnodeHeader.Flags, wnode->InstanceIndex, &status);
      if (!NT_SUCCESS(status)) return not_completed(status);
      if (wnode->DataBlockOffset > size || wnode->SizeDataItem > size - wnode->DataBlockOffset)
        return not_completed(STATUS_INVALID_PARAMETER);
      return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, instance, wnode->ItemId, wnode->SizeDataItem,
                                        data_at(wnode->DataBlockOffset));
    }
    case IRP_MN_EXECUTE_METHOD: {
      if (!WmiLibInfo->ExecuteWmiMethod) return not_completed(STATUS_INVALID_DEVICE_REQUEST);
      auto wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
      NTSTATUS status;
      const ULONG instance = instance_of(wnode->WnodeHeader.Flags, wnode->InstanceIndex, &status);
      if (!NT_SUCCESS(status)) return not_completed(status);
      const ULONG offset = wnode->DataBlockOffset;
      if (offset > size || wnode->SizeDataBlock > size - offset) return not_completed(STATUS_INVALID_PARAMETER);
      return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, index, instance, wnode->MethodId, wnode->SizeDataBlock,
                                          room_after(offset), data_at(offset));
    }
    default: {  // enable or disable events or collection
      const bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
      const WMIENABLEDISABLECONTROL what =
          minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS ? WmiEventControl : WmiDataBlockControl;
      if (!WmiLibInfo->WmiFunctionControl) return not_completed(STATUS_SUCCESS);
      return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, index, what, enable ? TRUE : FALSE);
    }
  }
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                            CCHAR PriorityBoost) {
  UNREFERENCED_PARAMETER(DeviceObject);
  sim::CheckIrql("WmiCompleteRequest", DISPATCH_LEVEL);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(Irp);
  const UCHAR minor = stack->MinorFunction;
  const ULONG size = stack->Parameters.WMI.BufferSize;
  auto buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
  auto header = reinterpret_cast<PWNODE_HEADER>(buffer);
  ULONG_PTR information = 0;

  // Where the data block starts in the request's WNODE, for the requests
  // that return one.
  ULONG offset = 0;
  bool returns_data = true;
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA:
      offset = reinterpret_cast<PWNODE_ALL_DATA>(buffer)->DataBlockOffset;
      break;
    case IRP_MN_QUERY_SINGLE_INSTANCE:
      offset = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->DataBlockOffset;
      break;
    case IRP_MN_EXECUTE_METHOD:
      offset = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->DataBlockOffset;
      break;
    default:
      returns_data = false;
  }

  if (Status == STATUS_BUFFER_TOO_SMALL && returns_data) {
    // The caller learns the size of the whole WNODE it must send instead;
    // the request itself succeeds.
    const ULONG needed = offset + BufferUsed;
    if (size >= sizeof(WNODE_TOO_SMALL)) {
      auto small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
      small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
      small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
      small->SizeNeeded = needed;
      information = sizeof(WNODE_TOO_SMALL);
      Status = STATUS_SUCCESS;
    }
  } else if (NT_SUCCESS(Status) && returns_data) {
    if (minor == IRP_MN_QUERY_ALL_DATA) {
      auto wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
      std::vector<ULONG> lengths(wnode->InstanceCount);
      std::memcpy(lengths.data(), &wnode->OffsetInstanceDataAndLength[0], lengths.size() * sizeof(ULONG));
      ULONG at = offset;
      for (size_t i = 0; i < lengths.size(); ++i) {
        wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = at;
        wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = lengths[i];
        at += sim::WnodeAlign(lengths[i]);
      }
      wnode->WnodeHeader.Flags &= ~WNODE_FLAG_FIXED_INSTANCE_SIZE;
    } else if (minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
      reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->SizeDataBlock = BufferUsed;
    } else {
      reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->SizeDataBlock = BufferUsed;
    }
    header->BufferSize = offset + BufferUsed;
    information = header->BufferSize;
  }
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, PriorityBoost);
  return Status;
}
