// IoGetDeviceProperty and IoOpenDeviceRegistryKey: what the Plug and Play
// manager knows about a device node, asked through its physical device
// object.
#include <cstring>
#include <string>
#include <vector>

#include "sim/hw/pci_bus_driver.h"
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/enum_registry.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/registry/registry_key_object.h"
#include "wdmguid.h"

namespace {

// The node of a physical device object; anything else is a caller's error
// (Windows stops with PNP_DETECTED_FATAL_ERROR).
sim::DeviceNode* NodeOfPdo(PDEVICE_OBJECT device, const char* routine, const sim::DriverImage* caller) {
  sim::DeviceNode* node = device && sim::K().io->IsLiveDevice(device) ? sim::K().pnp->NodeOf(device) : nullptr;
  if (!node || node->pdo != device)
    sim::ReportCaller(caller, "not-a-pdo", std::string(routine) + " on " + sim::K().io->DescribeDevice(device) +
                                               ", which is not a physical device object");
  return node && node->pdo == device ? node : nullptr;
}

std::vector<uint8_t> Bytes(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(p, p + size);
}

std::vector<uint8_t> MultiString(const std::vector<std::string>& items) {
  std::vector<std::u16string> wide;
  for (const auto& item : items) wide.push_back(sim::Utf8ToUtf16(item));
  return sim::Registry::EncodeMultiString(wide);
}

// The property's bytes, or a failure status.
NTSTATUS PropertyBytes(sim::DeviceNode* node, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t>* out) {
  sim::hw::PciPdoExtension* pci = sim::hw::PciPdoOf(node->pdo);
  switch (property) {
    case DevicePropertyBusNumber: {
      if (!pci) return STATUS_OBJECT_NAME_NOT_FOUND;
      ULONG bus = pci->location.bus;
      *out = Bytes(&bus, sizeof bus);
      return STATUS_SUCCESS;
    }
    case DevicePropertyAddress: {
      if (!pci) return STATUS_OBJECT_NAME_NOT_FOUND;
      ULONG address = pci->location.device << 16 | pci->location.function;
      *out = Bytes(&address, sizeof address);
      return STATUS_SUCCESS;
    }
    case DevicePropertyLegacyBusType: {
      if (!pci) return STATUS_OBJECT_NAME_NOT_FOUND;
      INTERFACE_TYPE type = PCIBus;
      *out = Bytes(&type, sizeof type);
      return STATUS_SUCCESS;
    }
    case DevicePropertyBusTypeGuid:
      if (!pci) return STATUS_OBJECT_NAME_NOT_FOUND;
      *out = Bytes(&GUID_BUS_TYPE_PCI, sizeof(GUID));
      return STATUS_SUCCESS;
    case DevicePropertyHardwareID:
      *out = MultiString(node->hardware_ids);
      return STATUS_SUCCESS;
    case DevicePropertyCompatibleIDs:
      *out = MultiString(node->compatible_ids);
      return STATUS_SUCCESS;
    case DevicePropertyEnumeratorName:
      *out = sim::Registry::EncodeString(sim::Utf8ToUtf16(node->device_id.substr(0, node->device_id.find('\\'))));
      return STATUS_SUCCESS;
    case DevicePropertyPhysicalDeviceObjectName: {
      const sim::DeviceRecord* record = sim::K().io->FindDevice(node->pdo);
      *out = sim::Registry::EncodeString(record ? record->name : u"");
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER_2;
  }
}

}  // namespace

extern "C" {

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength) {
  const sim::DriverImage* caller = SIM_CALLER();
  sim::CheckIrql("IoGetDeviceProperty", PASSIVE_LEVEL);
  sim::DeviceNode* node = NodeOfPdo(DeviceObject, "IoGetDeviceProperty", caller);
  if (!node) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<uint8_t> bytes;
  NTSTATUS status = PropertyBytes(node, DeviceProperty, &bytes);
  if (!NT_SUCCESS(status)) return status;
  if (ResultLength) *ResultLength = static_cast<ULONG>(bytes.size());
  if (BufferLength < bytes.size()) return STATUS_BUFFER_TOO_SMALL;
  if (!bytes.empty()) std::memcpy(PropertyBuffer, bytes.data(), bytes.size());
  return STATUS_SUCCESS;
}

// PLUGPLAY_REGKEY_DEVICE: the "Device Parameters" key of the device's
// instance key, created when missing. Other key types are not modelled.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegistryKey) {
  const sim::DriverImage* caller = SIM_CALLER();
  sim::CheckIrql("IoOpenDeviceRegistryKey", PASSIVE_LEVEL);
  sim::DeviceNode* node = NodeOfPdo(DeviceObject, "IoOpenDeviceRegistryKey", caller);
  if (!node) return STATUS_INVALID_DEVICE_REQUEST;
  if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;
  if (node->device_id.empty() || node->instance_id.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  if (sim::K().faults->ShouldFail(sim::FaultKind::Registry, caller)) return STATUS_INSUFFICIENT_RESOURCES;
  auto key = sim::K().registry->CreateKey(sim::DeviceParametersPath(*node));
  *DeviceRegistryKey = sim::OpenKeyHandle(key, caller, DesiredAccess);
  return STATUS_SUCCESS;
}

}  // extern "C"
