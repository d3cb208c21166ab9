#include "sim/kernel/wmi/wmi_service.h"
#include "sim/kernel/wmi/wnode_alignment.h"

#include <algorithm>
#include <set>
#include <cstdio>
#include <cstring>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/utf16_text.h"
#include "wmistr.h"

namespace sim {

namespace {

// WMI requests start out unanswered, like Plug and Play requests.
constexpr NTSTATUS kInitialStatus = STATUS_NOT_SUPPORTED;

std::u16string CountedStringAt(const std::vector<uint8_t>& buffer, ULONG offset) {
  USHORT length = 0;
  if (offset + sizeof length > buffer.size()) return {};
  std::memcpy(&length, buffer.data() + offset, sizeof length);
  if (offset + sizeof length + length > buffer.size()) return {};
  std::u16string text(length / 2, u'\0');
  std::memcpy(text.data(), buffer.data() + offset + sizeof length, length / 2 * 2);
  return text;
}

template <typename T>
T& At(std::vector<uint8_t>& buffer) {
  return *reinterpret_cast<T*>(buffer.data());
}

}  // namespace

std::optional<GUID> ParseGuid(const std::string& text) {
  std::string s = text;
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return std::nullopt;
  std::string hex;
  for (char c : s)
    if (c != '-') hex += c;
  if (hex.size() != 32 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
  auto field = [&](size_t at, size_t digits) { return std::stoull(hex.substr(at, digits), nullptr, 16); };
  GUID guid{};
  guid.Data1 = static_cast<ULONG>(field(0, 8));
  guid.Data2 = static_cast<USHORT>(field(8, 4));
  guid.Data3 = static_cast<USHORT>(field(12, 4));
  for (size_t i = 0; i < 8; ++i) guid.Data4[i] = static_cast<UCHAR>(field(16 + 2 * i, 2));
  return guid;
}

std::string FormatGuid(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

WmiResult WmiService::Send(DEVICE_OBJECT* target, ULONG_PTR provider_id, UCHAR minor, void* data_path,
                           std::vector<uint8_t> buffer) {
  IoRequest request;
  request.major = IRP_MJ_SYSTEM_CONTROL;
  request.minor = minor;
  request.initial_status = kInitialStatus;
  request.fill = [&](IO_STACK_LOCATION* stack) {
    stack->Parameters.WMI.ProviderId = provider_id;
    stack->Parameters.WMI.DataPath = data_path;
    stack->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
    stack->Parameters.WMI.Buffer = buffer.empty() ? nullptr : buffer.data();
  };
  const IO_STATUS_BLOCK io = K().io->SendAndWait(target, request);
  WmiResult result;
  result.status = io.Status;
  result.information = io.Information;
  buffer.resize(std::min<size_t>(buffer.size(), io.Information));
  result.wnode = std::move(buffer);
  const bool is_wnode = minor != IRP_MN_REGINFO && minor != IRP_MN_REGINFO_EX;
  if (is_wnode && NT_SUCCESS(io.Status) && result.wnode.size() >= sizeof(WNODE_TOO_SMALL) &&
      (At<WNODE_HEADER>(result.wnode).Flags & WNODE_FLAG_TOO_SMALL)) {
    result.status = STATUS_BUFFER_TOO_SMALL;
    result.size_needed = At<WNODE_TOO_SMALL>(result.wnode).SizeNeeded;
  }
  return result;
}

std::vector<WmiProvider> WmiService::Providers() {
  std::vector<DEVICE_OBJECT*> registered;
  for (const auto& [device, record] : K().io->devices())
    if (record->wmi_registered && !record->deleted) registered.push_back(record->device);
  std::vector<WmiProvider> providers;
  for (DEVICE_OBJECT* device : registered) {
    WmiProvider provider;
    provider.device = device;
    // A first buffer that a provider of several blocks outgrows: it answers
    // with the size it needs, and the request goes again.
    WmiResult reply = Send(device, reinterpret_cast<ULONG_PTR>(device), IRP_MN_REGINFO_EX,
                           reinterpret_cast<void*>(static_cast<ULONG_PTR>(WMIREGISTER)), std::vector<uint8_t>(64));
    if (reply.status == STATUS_BUFFER_TOO_SMALL && reply.wnode.size() == sizeof(ULONG)) {
      const ULONG needed = At<ULONG>(reply.wnode);
      reply = Send(device, reinterpret_cast<ULONG_PTR>(device), IRP_MN_REGINFO_EX,
                   reinterpret_cast<void*>(static_cast<ULONG_PTR>(WMIREGISTER)), std::vector<uint8_t>(needed));
    }
    provider.status = reply.status;
    if (NT_SUCCESS(reply.status) && reply.wnode.size() >= sizeof(WMIREGINFOW)) {
      const auto& info = At<WMIREGINFOW>(reply.wnode);
      const size_t fits = (reply.wnode.size() - sizeof(WMIREGINFOW)) / sizeof(WMIREGGUIDW);
      for (ULONG i = 0; i < info.GuidCount && i < fits; ++i) {
        const WMIREGGUIDW& entry = info.WmiRegGuid[i];
        WmiBlockRegistration block;
        block.guid = entry.Guid;
        block.flags = entry.Flags;
        block.instance_count = entry.InstanceCount;
        if (entry.Flags & WMIREG_FLAG_INSTANCE_PDO) block.pdo = reinterpret_cast<DEVICE_OBJECT*>(entry.Pdo);
        provider.blocks.push_back(block);
      }
      provider.registry_path = CountedStringAt(reply.wnode, info.RegistryPath);
      provider.mof_resource = CountedStringAt(reply.wnode, info.MofResourceName);
    }
    providers.push_back(std::move(provider));
  }
  return providers;
}

std::vector<WmiService::Target> WmiService::Instances(const GUID& guid) {
  std::vector<Target> targets;
  for (const WmiProvider& provider : Providers()) {
    for (const WmiBlockRegistration& block : provider.blocks) {
      if (std::memcmp(&block.guid, &guid, sizeof guid) != 0) continue;
      std::u16string base;
      if (const DeviceNode* node = block.pdo ? K().pnp->NodeOf(block.pdo) : nullptr)
        base = Utf8ToUtf16(node->InstancePath());
      else
        base = Utf8ToUtf16(K().io->DescribeDevice(provider.device));
      for (ULONG i = 0; i < block.instance_count; ++i)
        targets.push_back({provider.device, i, base + u"_" + Utf8ToUtf16(std::to_string(i))});
    }
  }
  std::stable_sort(targets.begin(), targets.end(), [](const Target& a, const Target& b) { return a.name < b.name; });
  return targets;
}

std::vector<std::u16string> WmiService::InstanceNames(const GUID& guid) {
  std::vector<std::u16string> names;
  for (const Target& target : Instances(guid)) names.push_back(target.name);
  return names;
}

std::vector<uint8_t> WmiService::InstanceWnode(const GUID& guid, const Target& target, ULONG fixed_size, ULONG flags,
                                               ULONG data_size, ULONG* data_offset) {
  const ULONG name_bytes = static_cast<ULONG>(target.name.size() * sizeof(char16_t));
  *data_offset = WnodeAlign(fixed_size + sizeof(USHORT) + name_bytes);
  std::vector<uint8_t> buffer(*data_offset + data_size);
  auto& header = At<WNODE_HEADER>(buffer);
  header.BufferSize = static_cast<ULONG>(buffer.size());
  header.ProviderId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(target.provider));
  header.Guid = guid;
  header.Flags = flags | WNODE_FLAG_STATIC_INSTANCE_NAMES;
  const USHORT length = static_cast<USHORT>(name_bytes);
  std::memcpy(buffer.data() + fixed_size, &length, sizeof length);
  std::memcpy(buffer.data() + fixed_size + sizeof length, target.name.data(), name_bytes);
  return buffer;
}

WmiResult WmiService::SendForInstance(const GUID& guid, ULONG instance, UCHAR minor, ULONG fixed_size, ULONG flags,
                                      ULONG item_or_method, const std::vector<uint8_t>& data, ULONG room) {
  const std::vector<Target> targets = Instances(guid);
  WmiResult result;
  if (targets.empty()) {
    result.status = STATUS_WMI_GUID_NOT_FOUND;
    return result;
  }
  if (instance >= targets.size()) {
    result.status = STATUS_WMI_INSTANCE_NOT_FOUND;
    return result;
  }
  const Target& target = targets[instance];
  ULONG offset = 0;
  const ULONG data_size = std::max<ULONG>(static_cast<ULONG>(data.size()), room);
  std::vector<uint8_t> buffer = InstanceWnode(guid, target, fixed_size, flags, data_size, &offset);
  if (!data.empty()) std::memcpy(buffer.data() + offset, data.data(), data.size());
  // The fixed fields after the header: OffsetInstanceName, InstanceIndex,
  // then per request the item or method ID, DataBlockOffset and the size of
  // what the WNODE carries.
  if (minor == IRP_MN_CHANGE_SINGLE_ITEM) {
    auto& wnode = At<WNODE_SINGLE_ITEM>(buffer);
    wnode.OffsetInstanceName = fixed_size;
    wnode.InstanceIndex = target.index;
    wnode.ItemId = item_or_method;
    wnode.DataBlockOffset = offset;
    wnode.SizeDataItem = static_cast<ULONG>(data.size());
  } else if (minor == IRP_MN_EXECUTE_METHOD) {
    auto& wnode = At<WNODE_METHOD_ITEM>(buffer);
    wnode.OffsetInstanceName = fixed_size;
    wnode.InstanceIndex = target.index;
    wnode.MethodId = item_or_method;
    wnode.DataBlockOffset = offset;
    wnode.SizeDataBlock = static_cast<ULONG>(data.size());
  } else {
    auto& wnode = At<WNODE_SINGLE_INSTANCE>(buffer);
    wnode.OffsetInstanceName = fixed_size;
    wnode.InstanceIndex = target.index;
    wnode.DataBlockOffset = offset;
    wnode.SizeDataBlock = static_cast<ULONG>(data.size());
  }
  GUID path = guid;
  result = Send(target.provider, reinterpret_cast<ULONG_PTR>(target.provider), minor, &path, std::move(buffer));
  result.instance_name = target.name;
  if (result.status == STATUS_BUFFER_TOO_SMALL && result.size_needed >= offset)
    result.data_needed = result.size_needed - offset;
  if (NT_SUCCESS(result.status) && result.wnode.size() >= fixed_size &&
      (minor == IRP_MN_QUERY_SINGLE_INSTANCE || minor == IRP_MN_EXECUTE_METHOD)) {
    const auto& wnode = At<WNODE_SINGLE_INSTANCE>(result.wnode);
    const ULONG size = minor == IRP_MN_EXECUTE_METHOD ? At<WNODE_METHOD_ITEM>(result.wnode).SizeDataBlock
                                                      : wnode.SizeDataBlock;
    const ULONG at = minor == IRP_MN_EXECUTE_METHOD ? At<WNODE_METHOD_ITEM>(result.wnode).DataBlockOffset
                                                    : wnode.DataBlockOffset;
    if (at <= result.wnode.size() && size <= result.wnode.size() - at)
      result.data.assign(result.wnode.begin() + at, result.wnode.begin() + at + size);
  }
  return result;
}

WmiResult WmiService::QuerySingleInstance(const GUID& guid, ULONG instance, ULONG data_room) {
  return SendForInstance(guid, instance, IRP_MN_QUERY_SINGLE_INSTANCE, sizeof(WNODE_SINGLE_INSTANCE),
                         WNODE_FLAG_SINGLE_INSTANCE, 0, {}, data_room);
}

WmiResult WmiService::SetSingleInstance(const GUID& guid, ULONG instance, const std::vector<uint8_t>& data) {
  return SendForInstance(guid, instance, IRP_MN_CHANGE_SINGLE_INSTANCE, sizeof(WNODE_SINGLE_INSTANCE),
                         WNODE_FLAG_SINGLE_INSTANCE, 0, data, 0);
}

WmiResult WmiService::SetSingleItem(const GUID& guid, ULONG instance, ULONG item_id,
                                    const std::vector<uint8_t>& data) {
  return SendForInstance(guid, instance, IRP_MN_CHANGE_SINGLE_ITEM, sizeof(WNODE_SINGLE_ITEM),
                         WNODE_FLAG_SINGLE_ITEM, item_id, data, 0);
}

WmiResult WmiService::ExecuteMethod(const GUID& guid, ULONG instance, ULONG method_id,
                                    const std::vector<uint8_t>& input, ULONG output_room) {
  return SendForInstance(guid, instance, IRP_MN_EXECUTE_METHOD, sizeof(WNODE_METHOD_ITEM),
                         WNODE_FLAG_METHOD_ITEM, method_id, input, output_room);
}

WmiResult WmiService::QueryAllData(const GUID& guid, ULONG data_room) {
  // One request to the provider of the first instance; its WNODE_ALL_DATA
  // holds every instance that provider has.
  const std::vector<Target> targets = Instances(guid);
  WmiResult result;
  if (targets.empty()) {
    result.status = STATUS_WMI_GUID_NOT_FOUND;
    return result;
  }
  const Target& target = targets.front();
  std::vector<uint8_t> buffer(sizeof(WNODE_ALL_DATA) + data_room);
  auto& header = At<WNODE_HEADER>(buffer);
  header.BufferSize = static_cast<ULONG>(buffer.size());
  header.ProviderId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(target.provider));
  header.Guid = guid;
  header.Flags = WNODE_FLAG_ALL_DATA;
  GUID path = guid;
  result = Send(target.provider, reinterpret_cast<ULONG_PTR>(target.provider), IRP_MN_QUERY_ALL_DATA, &path,
                std::move(buffer));
  result.instance_name = target.name;
  if (NT_SUCCESS(result.status) && result.wnode.size() >= sizeof(WNODE_ALL_DATA)) {
    const auto& wnode = At<WNODE_ALL_DATA>(result.wnode);
    if (wnode.InstanceCount >= 1) {
      const OFFSETINSTANCEDATAANDLENGTH& first = wnode.OffsetInstanceDataAndLength[0];
      if (first.OffsetInstanceData <= result.wnode.size() &&
          first.LengthInstanceData <= result.wnode.size() - first.OffsetInstanceData)
        result.data.assign(result.wnode.begin() + first.OffsetInstanceData,
                           result.wnode.begin() + first.OffsetInstanceData + first.LengthInstanceData);
    }
  }
  return result;
}

WmiResult WmiService::Control(const GUID& guid, UCHAR minor) {
  const std::vector<Target> targets = Instances(guid);
  WmiResult result;
  result.status = STATUS_WMI_GUID_NOT_FOUND;
  // Once per provider, whatever order its instances' names put it in.
  std::set<const void*> asked;
  for (size_t i = 0; i < targets.size(); ++i) {
    if (!asked.insert(targets[i].provider).second) continue;
    std::vector<uint8_t> buffer(sizeof(WNODE_HEADER));
    auto& header = At<WNODE_HEADER>(buffer);
    header.BufferSize = sizeof(WNODE_HEADER);
    header.ProviderId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(targets[i].provider));
    header.Guid = guid;
    GUID path = guid;
    result = Send(targets[i].provider, reinterpret_cast<ULONG_PTR>(targets[i].provider), minor, &path,
                  std::move(buffer));
    if (!NT_SUCCESS(result.status)) break;
  }
  return result;
}

}  // namespace sim
