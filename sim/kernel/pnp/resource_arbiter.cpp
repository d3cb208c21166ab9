#include "sim/kernel/pnp/resource_arbiter.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// The model's interrupt controller maps line n to vector 0x50 + n.
constexpr ULONG kFirstVector = 0x50;

CM_PARTIAL_RESOURCE_DESCRIPTOR Translate(const CM_PARTIAL_RESOURCE_DESCRIPTOR& raw) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR translated = raw;
  if (raw.Type == CmResourceTypeInterrupt) {
    ULONG line = raw.u.Interrupt.Level;
    translated.u.Interrupt.Level = InterruptIrql(line);
    translated.u.Interrupt.Vector = TranslatedVector(line);
    translated.u.Interrupt.Affinity = 1;
  }
  return translated;
}

std::vector<uint8_t> BuildList(const IO_RESOURCE_REQUIREMENTS_LIST* requirements,
                               const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& descriptors) {
  size_t count = descriptors.size();
  size_t size = sizeof(CM_RESOURCE_LIST) + (count ? count - 1 : 0) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  std::vector<uint8_t> bytes(size, 0);
  auto* list = reinterpret_cast<CM_RESOURCE_LIST*>(bytes.data());
  list->Count = 1;
  list->List[0].InterfaceType = requirements->InterfaceType;
  list->List[0].BusNumber = requirements->BusNumber;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = static_cast<ULONG>(count);
  if (count) std::memcpy(list->List[0].PartialResourceList.PartialDescriptors, descriptors.data(),
                         count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  return bytes;
}

}  // namespace

ULONG TranslatedVector(ULONG line) { return kFirstVector + line; }
KIRQL InterruptIrql(ULONG line) { return static_cast<KIRQL>(TranslatedVector(line) >> 4); }

bool ResourceArbiter::Free(UCHAR type, ULONGLONG start, ULONGLONG end, bool shared) const {
  for (const Range& range : ranges_) {
    if (range.type != type || range.end < start || range.start > end) continue;
    if (!(shared && range.shared)) return false;
  }
  return true;
}

bool ResourceArbiter::Choose(const IO_RESOURCE_DESCRIPTOR& option, CM_PARTIAL_RESOURCE_DESCRIPTOR* chosen,
                             std::vector<Range>* taken) const {
  std::memset(chosen, 0, sizeof(*chosen));
  chosen->Type = option.Type;
  chosen->ShareDisposition = option.ShareDisposition;
  chosen->Flags = option.Flags;
  const bool shared = option.ShareDisposition == CmResourceShareShared;
  auto clear_of_taken = [&](UCHAR type, ULONGLONG start, ULONGLONG end) {
    for (const Range& range : *taken)
      if (range.type == type && !(range.end < start || range.start > end) && !(shared && range.shared)) return false;
    return true;
  };
  switch (option.Type) {
    case CmResourceTypePort:
    case CmResourceTypeMemory: {
      ULONGLONG length = option.u.Generic.Length;
      ULONGLONG alignment = option.u.Generic.Alignment ? option.u.Generic.Alignment : 1;
      ULONGLONG minimum = static_cast<ULONGLONG>(option.u.Generic.MinimumAddress.QuadPart);
      ULONGLONG maximum = static_cast<ULONGLONG>(option.u.Generic.MaximumAddress.QuadPart);
      if (length == 0) {  // nothing to decode: the range is given as is
        chosen->u.Generic.Start.QuadPart = static_cast<LONGLONG>(minimum);
        chosen->u.Generic.Length = 0;
        return true;
      }
      if (maximum < minimum || maximum - minimum + 1 < length) return false;
      ULONGLONG start = (minimum + alignment - 1) / alignment * alignment;
      for (; start + length - 1 <= maximum; start += alignment) {
        if (Free(option.Type, start, start + length - 1, shared) && clear_of_taken(option.Type, start, start + length - 1)) {
          chosen->u.Generic.Start.QuadPart = static_cast<LONGLONG>(start);
          chosen->u.Generic.Length = static_cast<ULONG>(length);
          taken->push_back(Range{option.Type, start, start + length - 1, shared, nullptr});
          return true;
        }
      }
      return false;
    }
    case CmResourceTypeInterrupt: {
      for (ULONG line = option.u.Interrupt.MinimumVector; line <= option.u.Interrupt.MaximumVector; ++line) {
        if (Free(option.Type, line, line, shared) && clear_of_taken(option.Type, line, line)) {
          chosen->u.Interrupt.Level = line;
          chosen->u.Interrupt.Vector = line;
          chosen->u.Interrupt.Affinity = static_cast<KAFFINITY>(-1);
          taken->push_back(Range{option.Type, line, line, shared, nullptr});
          return true;
        }
        if (line == option.u.Interrupt.MaximumVector) break;
      }
      return false;
    }
    case CmResourceTypeDevicePrivate:
      std::memcpy(chosen->u.DevicePrivate.Data, option.u.DevicePrivate.Data, sizeof(chosen->u.DevicePrivate.Data));
      return true;
    case CmResourceTypeBusNumber:
      chosen->u.BusNumber.Start = option.u.BusNumber.MinBusNumber;
      chosen->u.BusNumber.Length = option.u.BusNumber.Length;
      return true;
    default:
      return true;
  }
}

NTSTATUS ResourceArbiter::Assign(const IO_RESOURCE_REQUIREMENTS_LIST* requirements, const void* owner,
                                 ResourceLists* out) {
  *out = ResourceLists{};
  if (!requirements || requirements->AlternativeLists == 0 ||
      requirements->ListSize < FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List))
    return STATUS_INVALID_PARAMETER;
  const auto* end = reinterpret_cast<const uint8_t*>(requirements) + requirements->ListSize;
  const IO_RESOURCE_LIST* alternative = requirements->List;
  for (ULONG list = 0; list < requirements->AlternativeLists; ++list) {
    const auto* first = reinterpret_cast<const uint8_t*>(alternative->Descriptors);
    if (reinterpret_cast<const uint8_t*>(alternative) + FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors) > end ||
        first + static_cast<size_t>(alternative->Count) * sizeof(IO_RESOURCE_DESCRIPTOR) > end)
      return STATUS_INVALID_PARAMETER;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> chosen;
    std::vector<Range> taken;
    bool fits = true;
    for (ULONG i = 0; i < alternative->Count && fits;) {
      // A requirement: this descriptor and the alternatives that follow it.
      ULONG next = i + 1;
      while (next < alternative->Count && (alternative->Descriptors[next].Option & IO_RESOURCE_ALTERNATIVE)) ++next;
      CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor;
      bool found = false;
      for (ULONG option = i; option < next && !found; ++option)
        found = Choose(alternative->Descriptors[option], &descriptor, &taken);
      if (found) {
        chosen.push_back(descriptor);
      } else {
        fits = false;
      }
      i = next;
    }
    if (fits) {
      for (Range& range : taken) {
        range.owner = owner;
        ranges_.push_back(range);
      }
      std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated;
      for (const auto& descriptor : chosen) translated.push_back(Translate(descriptor));
      out->raw = BuildList(requirements, chosen);
      out->translated = BuildList(requirements, translated);
      return STATUS_SUCCESS;
    }
    alternative = reinterpret_cast<const IO_RESOURCE_LIST*>(first + static_cast<size_t>(alternative->Count) *
                                                                      sizeof(IO_RESOURCE_DESCRIPTOR));
  }
  return STATUS_CONFLICTING_ADDRESSES;
}

void ResourceArbiter::Reserve(const CM_RESOURCE_LIST* list, const void* owner) {
  if (!list || list->Count == 0) return;
  const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
  for (ULONG i = 0; i < partial.Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = partial.PartialDescriptors[i];
    const bool shared = d.ShareDisposition == CmResourceShareShared;
    if ((d.Type == CmResourceTypePort || d.Type == CmResourceTypeMemory) && d.u.Generic.Length) {
      ULONGLONG start = static_cast<ULONGLONG>(d.u.Generic.Start.QuadPart);
      ranges_.push_back(Range{d.Type, start, start + d.u.Generic.Length - 1, shared, owner});
    } else if (d.Type == CmResourceTypeInterrupt) {
      ranges_.push_back(Range{d.Type, d.u.Interrupt.Level, d.u.Interrupt.Level, shared, owner});
    }
  }
}

void ResourceArbiter::Release(const void* owner) {
  std::erase_if(ranges_, [owner](const Range& range) { return range.owner == owner; });
}

std::vector<std::string> DescribeResources(const CM_RESOURCE_LIST* list) {
  std::vector<std::string> lines;
  if (!list || list->Count == 0) return lines;
  const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
  for (ULONG i = 0; i < partial.Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = partial.PartialDescriptors[i];
    const char* share = d.ShareDisposition == CmResourceShareShared ? "shared" : "exclusive";
    char text[128];
    switch (d.Type) {
      case CmResourceTypePort:
      case CmResourceTypeMemory:
        std::snprintf(text, sizeof text, "%u: %s 0x%llX-0x%llX %s", i, d.Type == CmResourceTypePort ? "port" : "memory",
                      static_cast<unsigned long long>(d.u.Generic.Start.QuadPart),
                      static_cast<unsigned long long>(d.u.Generic.Start.QuadPart) + d.u.Generic.Length - (d.u.Generic.Length ? 1 : 0),
                      share);
        break;
      case CmResourceTypeInterrupt:
        std::snprintf(text, sizeof text, "%u: interrupt level %u vector 0x%X %s", i, d.u.Interrupt.Level,
                      d.u.Interrupt.Vector, share);
        break;
      case CmResourceTypeDevicePrivate:
        std::snprintf(text, sizeof text, "%u: device-private 0x%X 0x%X 0x%X", i, d.u.DevicePrivate.Data[0],
                      d.u.DevicePrivate.Data[1], d.u.DevicePrivate.Data[2]);
        break;
      default:
        std::snprintf(text, sizeof text, "%u: type %u", i, d.Type);
        break;
    }
    lines.push_back(text);
  }
  return lines;
}

}  // namespace sim
