// IoRegisterDeviceInterface and IoSetDeviceInterfaceState: a device node's
// interfaces by symbolic link, "\??\<instance path with '#'>#{class}" as on
// Windows, with their enabled state.
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/rtl/string_pool.h"
#include "sim/kernel/utf16_text.h"

namespace {

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string LinkOf(PCUNICODE_STRING name) {
  return sim::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(name->Buffer), name->Length / 2));
}

}  // namespace

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  const sim::DriverImage* caller = SIM_CALLER();
  sim::CheckIrql("IoRegisterDeviceInterface", PASSIVE_LEVEL);
  sim::DeviceNode* node = PhysicalDeviceObject && sim::K().io->IsLiveDevice(PhysicalDeviceObject)
                              ? sim::K().pnp->NodeOf(PhysicalDeviceObject)
                              : nullptr;
  if (!node || node->pdo != PhysicalDeviceObject) {
    sim::ReportCaller(caller, "not-a-pdo",
                      "IoRegisterDeviceInterface on " + sim::K().io->DescribeDevice(PhysicalDeviceObject) +
                          ", which is not a physical device object");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::string instance = node->InstancePath();
  for (char& c : instance)
    if (c == '\\') c = '#';
  std::string link = "\\??\\" + instance + "#" + GuidText(*InterfaceClassGuid);
  if (ReferenceString && ReferenceString->Length) link += "\\" + LinkOf(ReferenceString);
  node->interfaces.emplace(link, false);
  const std::u16string text = sim::Utf8ToUtf16(link);
  const USHORT bytes = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  auto* buffer = static_cast<PWSTR>(sim::rtl::AllocateStringBuffer(bytes + sizeof(WCHAR), caller));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, text.c_str(), bytes + sizeof(WCHAR));
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = bytes;
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  sim::CheckIrql("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
  const std::string link = LinkOf(SymbolicLinkName);
  for (const auto& node : sim::K().pnp->nodes()) {
    auto found = node->interfaces.find(link);
    if (found == node->interfaces.end()) continue;
    if (found->second == (Enable != FALSE)) return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    found->second = Enable != FALSE;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
