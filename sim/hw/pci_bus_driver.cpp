#include "sim/hw/pci_bus_driver.h"

#include <algorithm>
#include <functional>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/hw/hardware.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "wdmguid.h"

namespace sim::hw {

namespace {

constexpr ULONG kPoolTag = 'nPmS';
DriverRecord* bus_driver_record = nullptr;
// Fault injection: configuration requests counted since it was set.
unsigned failing_config_request = 0;
unsigned config_requests_seen = 0;
// Plug and Play minor functions the bus driver leaves unhandled (bit = minor).
uint32_t unhandled_minors = 0;
// Called with each power request before the bus driver completes it.
std::function<void(DEVICE_OBJECT*, IRP*)> power_observer;
// A return to D0 writes the saved header back.
bool restore_header = true;
// System power IRPs of this minor function held pending instead of completed.
bool hold_system_power = false;
UCHAR held_minor = IRP_MN_SET_POWER;
std::vector<IRP*> held_power_irps;

PciFunction* FunctionOf(const PciPdoExtension& ext) { return Hw().pci().Find(ext.location); }

// Returns the strings as a pool-allocated multi-string (or one string).
PWCHAR PoolStrings(const std::vector<std::string>& items) {
  size_t chars = 1;
  for (const auto& item : items) chars += item.size() + 1;
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPoolTag));
  if (!buffer) return nullptr;
  size_t at = 0;
  for (const auto& item : items) {
    for (char c : item) buffer[at++] = static_cast<WCHAR>(c);
    buffer[at++] = 0;
  }
  buffer[at] = 0;
  return buffer;
}

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

NTSTATUS QueryId(const PciPdoExtension& ext, BUS_QUERY_ID_TYPE type, ULONG_PTR* information) {
  PciFunction* f = FunctionOf(ext);
  if (!f) return STATUS_NO_SUCH_DEVICE;
  unsigned vendor = f->Get16(0x00), device = f->Get16(0x02), subsystem = f->Get32(0x2C), revision = f->Get8(0x08);
  unsigned class_code = static_cast<unsigned>(f->Get8(0x0B)) << 16 | f->Get8(0x0A) << 8 | f->Get8(0x09);
  std::string base = Format("PCI\\VEN_%04X&DEV_%04X", vendor, device);
  std::string subsys = Format("&SUBSYS_%08X", subsystem);
  std::string rev = Format("&REV_%02X", revision);
  std::string cc6 = Format("CC_%06X", class_code), cc4 = Format("CC_%04X", class_code >> 8);
  std::vector<std::string> items;
  switch (type) {
    case BusQueryDeviceID:
      items = {base + subsys + rev};
      break;
    case BusQueryHardwareIDs:
      items = {base + subsys + rev, base + subsys, base + "&" + cc6, base + "&" + cc4};
      break;
    case BusQueryCompatibleIDs:
      items = {base + rev, base, Format("PCI\\VEN_%04X&", vendor) + cc6, Format("PCI\\VEN_%04X&", vendor) + cc4,
               Format("PCI\\VEN_%04X", vendor), "PCI\\" + cc6, "PCI\\" + cc4};
      break;
    case BusQueryInstanceID: {
      // The parent's part depends on the bus, so cards at the same device
      // number of different buses get different instance paths.
      unsigned parent = 0x1F0B4B70u ^ (ext.location.bus * 0x9E3779B1u);
      items = {Format("4&%08x&0&%02X", parent, ext.location.device << 3 | ext.location.function)};
      break;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
  PWCHAR buffer = PoolStrings(items);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  *information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}

void FillCapabilities(const PciPdoExtension& ext, DEVICE_CAPABILITIES* caps) {
  caps->DeviceD1 = 0;
  caps->DeviceD2 = 0;
  caps->Removable = 0;
  caps->UniqueID = 0;
  caps->SurpriseRemovalOK = 0;
  caps->Address = ext.location.device << 16 | ext.location.function;
  caps->UINumber = ext.location.device;
  caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) caps->DeviceState[state] = PowerDeviceD3;
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
}

// Bytes of configuration space moved between the function and a buffer,
// through the given path; only what lies within the function's space.
ULONG TransferConfig(const PciPdoExtension& ext, ConfigPath path, bool write, PVOID buffer, ULONG offset, ULONG length) {
  PciFunction* f = FunctionOf(ext);
  if (!f || offset >= f->size()) return 0;
  ULONG count = std::min<ULONG>(length, f->size() - offset);
  auto* bytes = static_cast<UCHAR*>(buffer);
  PciTopology& pci = Hw().pci();
  Hw().counters().CountConfig(path, write);  // one access, whatever its length
  if (write) {
    for (ULONG i = 0; i < count; ++i) pci.Write(ConfigPath::Model, ext.location, offset + i, bytes[i], 1);
  } else {
    for (ULONG i = 0; i < count; ++i) bytes[i] = static_cast<UCHAR>(pci.Read(ConfigPath::Model, ext.location, offset + i, 1));
  }
  return count;
}

NTSTATUS ReadWriteConfig(const PciPdoExtension& ext, IO_STACK_LOCATION* stack, bool write, ULONG_PTR* information) {
  auto& p = stack->Parameters.ReadWriteConfig;
  if (p.WhichSpace != PCI_WHICHSPACE_CONFIG) return STATUS_INVALID_PARAMETER_1;
  if (failing_config_request && ++config_requests_seen == failing_config_request) {
    *information = 0;
    return STATUS_DEVICE_NOT_READY;
  }
  ULONG count = TransferConfig(ext, ConfigPath::BusRequest, write, p.Buffer, p.Offset, p.Length);
  *information = count;
  return count == p.Length ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

// Marks a device-private resource entry that names a BAR: Data[1] is the
// BAR's number, Data[2] its configuration offset.
constexpr ULONG kBarPrivateMark = 0x00504349;  // "ICP"

// The function's resource requirements, as the bus driver reads them from
// the hardware: each implemented BAR (sized by writing all ones and
// restoring it) at its current address, and the interrupt line, shared.
NTSTATUS QueryResourceRequirements(const PciPdoExtension& ext, ULONG_PTR* information) {
  PciFunction* f = FunctionOf(ext);
  if (!f) return STATUS_NO_SUCH_DEVICE;
  std::vector<IO_RESOURCE_DESCRIPTOR> descriptors;
  const unsigned bars = f->header_type() == 0 ? 6 : 2;
  for (unsigned i = 0; i < bars; ++i) {
    const uint32_t offset = 0x10 + 4 * i;
    const uint32_t value = f->Read(offset, 4);
    f->Write(offset, 0xFFFFFFFFu, 4);
    const uint32_t mask = f->Read(offset, 4);
    f->Write(offset, value, 4);
    const bool io = (value & 1) != 0;
    const uint32_t address_mask = mask & (io ? ~0x3u : ~0xFu);
    if (address_mask == 0) continue;
    const uint32_t size = (~address_mask + 1) & (io ? 0xFFFFu : 0xFFFFFFFFu);
    const uint32_t base = value & (io ? ~0x3u : ~0xFu);
    // The address the BAR holds is preferred; any aligned place in the
    // decodable range will do.
    IO_RESOURCE_DESCRIPTOR d{};
    d.Type = io ? CmResourceTypePort : CmResourceTypeMemory;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = io ? CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_16_BIT_DECODE : CM_RESOURCE_MEMORY_READ_WRITE;
    d.u.Generic.Length = size;
    d.u.Generic.Alignment = size;
    if (base != 0) {
      d.Option = IO_RESOURCE_PREFERRED;
      d.u.Generic.MinimumAddress.QuadPart = base;
      d.u.Generic.MaximumAddress.QuadPart = static_cast<LONGLONG>(base) + size - 1;
      descriptors.push_back(d);
    }
    d.Option = base != 0 ? IO_RESOURCE_ALTERNATIVE : 0;
    d.u.Generic.MinimumAddress.QuadPart = io ? 0x1000 : 0xC0000000ll;
    d.u.Generic.MaximumAddress.QuadPart = io ? 0xFFFF : 0xFEFFFFFFll;
    descriptors.push_back(d);
    // Each BAR's range is followed by a device-private entry naming the
    // BAR, so the start request can tell which register a range goes to.
    IO_RESOURCE_DESCRIPTOR bar_private{};
    bar_private.Type = CmResourceTypeDevicePrivate;
    bar_private.u.DevicePrivate.Data[0] = kBarPrivateMark;
    bar_private.u.DevicePrivate.Data[1] = i;
    bar_private.u.DevicePrivate.Data[2] = offset;
    descriptors.push_back(bar_private);
  }
  if (f->Get8(0x3D) != 0) {
    IO_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = CmResourceShareShared;
    d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    d.u.Interrupt.MinimumVector = d.u.Interrupt.MaximumVector = f->Get8(0x3C);
    descriptors.push_back(d);
  }
  const size_t count = descriptors.size();
  const size_t size = sizeof(IO_RESOURCE_REQUIREMENTS_LIST) + (count ? count - 1 : 0) * sizeof(IO_RESOURCE_DESCRIPTOR);
  auto* list = static_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(list, 0, size);
  list->ListSize = static_cast<ULONG>(size);
  list->InterfaceType = PCIBus;
  list->BusNumber = ext.location.bus;
  list->SlotNumber = ext.location.device | ext.location.function << 5;
  list->AlternativeLists = 1;
  // The descriptors run past the declared one-element array: they are
  // reached through a pointer to the alternative list, whose trailing array
  // the compiler takes as open-ended (see nt/resources.h).
  IO_RESOURCE_LIST* alternative = &list->List[0];
  alternative->Version = 1;
  alternative->Revision = 1;
  alternative->Count = static_cast<ULONG>(count);
  for (size_t i = 0; i < count; ++i) alternative->Descriptors[i] = descriptors[i];
  *information = reinterpret_cast<ULONG_PTR>(list);
  return STATUS_SUCCESS;
}

// Writes each assigned range into the BAR its device-private entry names,
// as the bus driver does when it starts a function.
void ProgramBars(const PciPdoExtension& ext, const CM_RESOURCE_LIST* resources) {
  PciFunction* f = FunctionOf(ext);
  if (!f || !resources || resources->Count == 0) return;
  const CM_PARTIAL_RESOURCE_LIST& list = resources->List[0].PartialResourceList;
  for (ULONG i = 0; i + 1 < list.Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& range = list.PartialDescriptors[i];
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& mark = list.PartialDescriptors[i + 1];
    if ((range.Type != CmResourceTypePort && range.Type != CmResourceTypeMemory) ||
        mark.Type != CmResourceTypeDevicePrivate || mark.u.DevicePrivate.Data[0] != kBarPrivateMark)
      continue;
    const uint32_t offset = mark.u.DevicePrivate.Data[2];
    const uint32_t flags = f->Read(offset, 4) & (range.Type == CmResourceTypePort ? 0x3u : 0xFu);
    f->Write(offset, static_cast<uint32_t>(range.u.Generic.Start.QuadPart) | flags, 4);
  }
}

// A stopped or removed function stops decoding its ranges (and bus
// mastering); its next start turns on again what was on.
void SetDecodes(PciPdoExtension& ext, bool on) {
  PciFunction* f = FunctionOf(ext);
  if (!f || !f->present()) return;
  const uint16_t command = static_cast<uint16_t>(f->Read(0x04, 2));
  if (on) {
    if (ext.parked_decodes) f->Write(0x04, command | ext.parked_decodes, 2);
    ext.parked_decodes = 0;
  } else {
    ext.parked_decodes = static_cast<uint16_t>(ext.parked_decodes | (command & 0x0007));
    f->Write(0x04, command & ~0x0007u, 2);
  }
}

// ---- GUID_BUS_INTERFACE_STANDARD
TRANSLATE_BUS_ADDRESS TranslateBusAddress;
GET_SET_DEVICE_DATA GetBusData;
GET_SET_DEVICE_DATA SetBusData;

void NTAPI InterfaceReference(PVOID context) {
  InterlockedIncrement(&static_cast<PciPdoExtension*>(context)->interface_references);
}
void NTAPI InterfaceDereference(PVOID context) {
  InterlockedDecrement(&static_cast<PciPdoExtension*>(context)->interface_references);
}
BOOLEAN TranslateBusAddress(PVOID, PHYSICAL_ADDRESS bus_address, ULONG, PULONG, PPHYSICAL_ADDRESS translated) {
  *translated = bus_address;  // no translation on this platform
  return TRUE;
}
ULONG GetBusData(PVOID context, ULONG data_type, PVOID buffer, ULONG offset, ULONG length) {
  if (data_type != PCI_WHICHSPACE_CONFIG) return 0;
  return TransferConfig(*static_cast<PciPdoExtension*>(context), ConfigPath::BusInterface, false, buffer, offset, length);
}
ULONG SetBusData(PVOID context, ULONG data_type, PVOID buffer, ULONG offset, ULONG length) {
  if (data_type != PCI_WHICHSPACE_CONFIG) return 0;
  return TransferConfig(*static_cast<PciPdoExtension*>(context), ConfigPath::BusInterface, true, buffer, offset, length);
}

NTSTATUS QueryInterface(PciPdoExtension* ext, IO_STACK_LOCATION* stack, NTSTATUS status) {
  auto& q = stack->Parameters.QueryInterface;
  if (!q.InterfaceType || !IsEqualGUID(*q.InterfaceType, GUID_BUS_INTERFACE_STANDARD)) return status;
  if (q.Size < sizeof(BUS_INTERFACE_STANDARD) || q.Version < 1 || !q.Interface) return STATUS_INVALID_PARAMETER;
  auto* bus = reinterpret_cast<BUS_INTERFACE_STANDARD*>(q.Interface);
  bus->Size = sizeof(BUS_INTERFACE_STANDARD);
  bus->Version = 1;
  bus->Context = ext;
  bus->InterfaceReference = InterfaceReference;
  bus->InterfaceDereference = InterfaceDereference;
  bus->TranslateBusAddress = TranslateBusAddress;
  bus->GetDmaAdapter = nullptr;
  bus->SetBusData = SetBusData;
  bus->GetBusData = GetBusData;
  InterfaceReference(ext);
  return STATUS_SUCCESS;
}

DRIVER_DISPATCH PdoPnp;
DRIVER_DISPATCH PdoPower;
DRIVER_DISPATCH PdoSystemControl;

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<PciPdoExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  bool delete_after = false;
  const bool left_unhandled = stack->MinorFunction < 32 && (unhandled_minors & (1u << stack->MinorFunction));
  switch (left_unhandled ? 0xFF : stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      ProgramBars(*ext, stack->Parameters.StartDevice.AllocatedResources);
      SetDecodes(*ext, true);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      SetDecodes(*ext, false);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      SetDecodes(*ext, false);
      status = STATUS_SUCCESS;
      // A device that has left the bus loses its PDO with the removal.
      delete_after = !K().pnp->NodeOf(device) || !K().pnp->NodeOf(device)->present;
      break;
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG: {
      ULONG_PTR information = 0;
      status = ReadWriteConfig(*ext, stack, stack->MinorFunction == IRP_MN_WRITE_CONFIG, &information);
      irp->IoStatus.Information = information;
      break;
    }
    case IRP_MN_QUERY_INTERFACE:
      status = QueryInterface(ext, stack, status);
      break;
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: {
      ULONG_PTR information = 0;
      status = QueryResourceRequirements(*ext, &information);
      if (NT_SUCCESS(status)) irp->IoStatus.Information = information;
      break;
    }
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
      auto* info = static_cast<PNP_BUS_INFORMATION*>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kPoolTag));
      if (!info) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      info->BusTypeGuid = GUID_BUS_TYPE_PCI;
      info->LegacyBusType = PCIBus;
      info->BusNumber = ext->location.bus;
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(info);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto* relations = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
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

// The registers of the type 0 header that the bus driver saves and writes
// back: Command, cache line size and latency timer, the six BARs, and
// Interrupt Line. The device-specific space above 0x40 is the function
// driver's business.
bool RestoredHeaderByte(uint32_t offset) {
  return (offset >= 0x04 && offset < 0x06) || (offset >= 0x0C && offset < 0x0E) || (offset >= 0x10 && offset < 0x28) ||
         offset == 0x3C;
}

void SaveHeader(PciPdoExtension& ext) {
  PciFunction* f = FunctionOf(ext);
  if (!f || !f->present() || ext.power_lost) return;
  for (uint32_t offset = 0; offset < 0x40; ++offset) ext.saved_header[offset] = f->Get8(offset);
  ext.header_saved = true;
}

void RestoreHeader(PciPdoExtension& ext) {
  PciFunction* f = FunctionOf(ext);
  if (!f || !f->present() || !ext.header_saved) return;
  // BARs first, Command last: decoding starts at the right addresses.
  for (uint32_t offset = 0x0C; offset < 0x40; ++offset)
    if (RestoredHeaderByte(offset)) f->Write(offset, ext.saved_header[offset], 1);
  f->Write(0x04, ext.saved_header[0x04] | ext.saved_header[0x05] << 8, 2);
}

// Device power: leaving D0 saves the header, and D3 takes the function's
// power (its state is lost); coming back to D0 after a loss writes the
// saved header back. System power: a sleep state saves the header, since
// the platform may cut the power.
void SetPdoPower(PDEVICE_OBJECT device, PciPdoExtension& ext, const IO_STACK_LOCATION* stack) {
  if (stack->Parameters.Power.Type == SystemPowerState) {
    if (stack->Parameters.Power.State.SystemState > PowerSystemWorking && ext.device_state == PowerDeviceD0) SaveHeader(ext);
    return;
  }
  const DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
  if (target == ext.device_state && !(target == PowerDeviceD0 && ext.power_lost)) return;
  if (target > PowerDeviceD0) {
    if (ext.device_state == PowerDeviceD0) SaveHeader(ext);
    if (target == PowerDeviceD3) {
      if (UartCard* card = Hw().CardAt(ext.location)) card->LosePower();
      ext.power_lost = true;
    }
  } else {
    if (ext.power_lost && restore_header) RestoreHeader(ext);
    ext.power_lost = false;
  }
  ext.device_state = target;
  POWER_STATE state;
  state.DeviceState = target;
  PoSetPowerState(device, DevicePowerState, state);
}

NTSTATUS PdoPower(PDEVICE_OBJECT device, PIRP irp) {
  if (power_observer) power_observer(device, irp);
  auto* ext = static_cast<PciPdoExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (hold_system_power && stack->MinorFunction == held_minor && stack->Parameters.Power.Type == SystemPowerState) {
    IoMarkIrpPending(irp);
    held_power_irps.push_back(irp);
    return STATUS_PENDING;
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER) SetPdoPower(device, *ext, stack);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  // IRP_MN_WAIT_WAKE: the card has no PME support; like every request the
  // bus driver does not serve, it completes with the status it came with.
  irp->IoStatus.Status = status;
  PoStartNextPowerIrp(irp);
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

PciBusDriver::PciBusDriver() : driver_(K().io->CreateBuiltinDriver("pci")) {
  driver_->object.MajorFunction[IRP_MJ_PNP] = PdoPnp;
  driver_->object.MajorFunction[IRP_MJ_POWER] = PdoPower;
  driver_->object.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PdoSystemControl;
  bus_driver_record = driver_;
}

PciBusDriver::~PciBusDriver() {
  if (bus_driver_record == driver_) bus_driver_record = nullptr;
  failing_config_request = config_requests_seen = 0;
  unhandled_minors = 0;
  power_observer = nullptr;
  restore_header = true;
  hold_system_power = false;
  held_minor = IRP_MN_SET_POWER;
  held_power_irps.clear();
}

void PciBusDriver::LeaveUnhandled(UCHAR minor, bool unhandled) {
  if (minor >= 32) return;
  if (unhandled) unhandled_minors |= 1u << minor;
  else unhandled_minors &= ~(1u << minor);
}

void PciBusDriver::ObservePower(std::function<void(DEVICE_OBJECT*, IRP*)> observer) {
  power_observer = std::move(observer);
}

void PciBusDriver::RestoreHeaderOnD0(bool restore) { restore_header = restore; }

void PciBusDriver::HoldSystemPowerIrps(bool hold, UCHAR minor) {
  hold_system_power = hold;
  held_minor = minor;
}

void PciBusDriver::ReleaseHeldPowerIrps() {
  std::vector<IRP*> held;
  held.swap(held_power_irps);
  for (IRP* irp : held) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

void PciBusDriver::SystemPowerLost() {
  for (const auto& [device, record] : K().io->devices()) {
    if (record->driver != driver_ || record->deleted) continue;
    auto* ext = static_cast<PciPdoExtension*>(const_cast<DEVICE_OBJECT*>(device)->DeviceExtension);
    if (ext->header_saved) ext->power_lost = true;
  }
}

void PciBusDriver::FailNthConfigRequest(unsigned n) {
  failing_config_request = n;
  config_requests_seen = 0;
}

DEVICE_OBJECT* PciBusDriver::CreatePdo(const PciLocation& location) {
  char name[48];
  std::snprintf(name, sizeof name, "\\Device\\NTPNP_PCI%04u", count_);
  std::u16string wide = Utf8ToUtf16(name);
  UNICODE_STRING unicode{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2),
                         reinterpret_cast<PWSTR>(wide.data())};
  DEVICE_OBJECT* pdo = nullptr;
  NTSTATUS status = K().io->CreateDevice(driver_, sizeof(PciPdoExtension), &unicode, FILE_DEVICE_BUS_EXTENDER,
                                         FILE_DEVICE_SECURE_OPEN, FALSE, &pdo, nullptr);
  if (!NT_SUCCESS(status)) return nullptr;
  auto* ext = new (pdo->DeviceExtension) PciPdoExtension{};
  ext->location = location;
  ext->index = count_++;
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return pdo;
}

PciPdoExtension* PciPdoOf(const DEVICE_OBJECT* device) {
  if (!device || !bus_driver_record || !HasKernel()) return nullptr;
  DeviceRecord* record = K().io->FindDevice(device);
  if (!record || record->driver != bus_driver_record) return nullptr;
  return static_cast<PciPdoExtension*>(device->DeviceExtension);
}

}  // namespace sim::hw
