#include "sim/kernel/pnp/standin_bus.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "wdmguid.h"

namespace sim {

namespace {

struct PdoExtension {
  StandinDevice device;
  unsigned index;
};

// Returns the strings as a pool-allocated multi-string (or one string).
PWCHAR PoolStrings(const std::vector<std::string>& items) {
  size_t chars = 1;
  for (const auto& item : items) chars += item.size() + 1;
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), 'nPmS'));
  if (!buffer) return nullptr;
  size_t at = 0;
  for (const auto& item : items) {
    for (char c : item) buffer[at++] = static_cast<WCHAR>(c);
    buffer[at++] = 0;
  }
  buffer[at] = 0;
  return buffer;
}

std::string Format(const char* format, unsigned a, unsigned b, unsigned c = 0, unsigned d = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, a, b, c, d);
  return text;
}

NTSTATUS QueryId(const PdoExtension& ext, BUS_QUERY_ID_TYPE type, ULONG_PTR* information) {
  const StandinDevice& d = ext.device;
  std::string base = Format("PCI\\VEN_%04X&DEV_%04X", d.vendor_id, d.device_id);
  std::string subsys = Format("&SUBSYS_%08X", d.subsystem, 0);
  std::string rev = Format("&REV_%02X", d.revision, 0);
  std::vector<std::string> items;
  switch (type) {
    case BusQueryDeviceID:
      items = {base + subsys + rev};
      break;
    case BusQueryHardwareIDs:
      items = {base + subsys + rev, base + subsys, base + "&CC_070002", base + "&CC_0700"};
      break;
    case BusQueryCompatibleIDs:
      items = {Format("PCI\\VEN_%04X&DEV_%04X&REV_%02X", d.vendor_id, d.device_id, d.revision),
               base, Format("PCI\\VEN_%04X&CC_070002", d.vendor_id, 0), Format("PCI\\VEN_%04X&CC_0700", d.vendor_id, 0),
               Format("PCI\\VEN_%04X", d.vendor_id, 0), "PCI\\CC_070002", "PCI\\CC_0700"};
      break;
    case BusQueryInstanceID:
      items = {Format("3&11583659&0&%02X", (d.slot << 3) & 0xFF, 0)};
      break;
    default:
      return STATUS_NOT_SUPPORTED;
  }
  PWCHAR buffer = PoolStrings(items);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  *information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}

void FillCapabilities(const PdoExtension& ext, DEVICE_CAPABILITIES* caps) {
  caps->DeviceD1 = 0;
  caps->DeviceD2 = 0;
  caps->Removable = 0;
  caps->UniqueID = 0;
  caps->SurpriseRemovalOK = 0;
  caps->Address = ext.device.slot << 16;
  caps->UINumber = ext.device.slot;
  caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) caps->DeviceState[state] = PowerDeviceD3;
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
}

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  bool delete_after = false;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      // A device that has left the bus loses its PDO with the removal.
      delete_after = !K().pnp->NodeOf(device) || !K().pnp->NodeOf(device)->present;
      break;
    case IRP_MN_QUERY_ID: {
      ULONG_PTR information = 0;
      NTSTATUS id_status = QueryId(*ext, stack->Parameters.QueryId.IdType, &information);
      if (id_status != STATUS_NOT_SUPPORTED) {
        status = id_status;
        irp->IoStatus.Information = information;
      }
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
      FillCapabilities(*ext, stack->Parameters.DeviceCapabilities.Capabilities);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_BUS_INFORMATION: {
      auto* info = static_cast<PNP_BUS_INFORMATION*>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), 'nPmS'));
      if (!info) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      info->BusTypeGuid = GUID_BUS_TYPE_PCI;
      info->LegacyBusType = PCIBus;
      info->BusNumber = ext->device.bus;
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(info);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto* relations = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'nPmS'));
        if (!relations) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        relations->Count = 1;
        relations->Objects[0] = device;
        ObfReferenceObject(device);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        status = STATUS_SUCCESS;
      }
      break;
    default:
      break;  // not handled: the status stays as it came
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  if (delete_after) IoDeleteDevice(device);
  return status;
}

NTSTATUS PdoPower(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// WMI requests that reach the bus driver are not for it: complete unchanged.
NTSTATUS PdoSystemControl(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

StandinBus::StandinBus() : driver_(K().io->CreateBuiltinDriver("pci")) {
  driver_->object.MajorFunction[IRP_MJ_PNP] = PdoPnp;
  driver_->object.MajorFunction[IRP_MJ_POWER] = PdoPower;
  driver_->object.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PdoSystemControl;
}

DEVICE_OBJECT* StandinBus::AddDevice(const StandinDevice& device) {
  char name[48];
  std::snprintf(name, sizeof name, "\\Device\\NTPNP_PCI%04u", count_);
  std::u16string wide = Utf8ToUtf16(name);
  UNICODE_STRING unicode{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2),
                         reinterpret_cast<PWSTR>(wide.data())};
  DEVICE_OBJECT* pdo = nullptr;
  NTSTATUS status = K().io->CreateDevice(driver_, sizeof(PdoExtension), &unicode, FILE_DEVICE_BUS_EXTENDER,
                                         FILE_DEVICE_SECURE_OPEN, FALSE, &pdo, nullptr);
  if (!NT_SUCCESS(status)) return nullptr;
  auto* ext = static_cast<PdoExtension*>(pdo->DeviceExtension);
  ext->device = device;
  ext->index = count_++;
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return pdo;
}

}  // namespace sim
