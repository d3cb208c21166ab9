// The registry routines drivers call. Handles are kernel handles owned by
// the calling driver image; the routines check the caller's IRQL, and each
// call of a driver counts as a registry call for fault injection (an injected
// failure returns STATUS_INSUFFICIENT_RESOURCES). Kernel-mode
// callers are not held to the access they asked for at open, as on Windows
// (the previous mode of a Zw call is KernelMode).
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ntstatus.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "sim/kernel/handle_table.h"
#include "sim/kernel/object_attributes.h"
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/registry/key_records.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/registry/registry_key_object.h"
#include "sim/kernel/utf16_text.h"

namespace sim {
namespace {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

// Counts a driver's call for fault injection; true when it must fail.
bool InjectedFailure(const DriverImage* caller) {
  return K().faults && K().faults->ShouldFail(FaultKind::Registry, caller);
}

NTSTATUS FailOpen(PHANDLE handle) {
  if (handle != nullptr) *handle = nullptr;
  return STATUS_INSUFFICIENT_RESOURCES;
}

struct KeyName {
  std::shared_ptr<RegistryKey> start;
  std::vector<std::u16string_view> components;
};

// Where an object name leads: the key to start from and the components below
// it. Absolute names go through the object namespace ("\Registry" is the only
// registry object in it); relative names need a key handle as RootDirectory.
NTSTATUS ParseKeyName(const OBJECT_ATTRIBUTES* attributes, KeyName& out) {
  std::u16string_view text;
  if (NTSTATUS status = CheckObjectAttributes(attributes, &text); !NT_SUCCESS(status)) return status;

  if (attributes->RootDirectory != nullptr) {
    NTSTATUS status = KeyFromHandle(attributes->RootDirectory, out.start);
    if (!NT_SUCCESS(status)) return status;
    if (!text.empty() && text[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    out.components = SplitPath(text);
    return STATUS_SUCCESS;
  }
  if (text.empty() || text[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  auto parts = SplitPath(text);
  if (parts.empty()) return STATUS_OBJECT_TYPE_MISMATCH;  // the namespace root is no key
  if (!EqualsIgnoreCase(parts[0], u"Registry"))
    return parts.size() > 1 ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
  out.start = K().registry->root();
  out.components.assign(parts.begin() + 1, parts.end());
  return STATUS_SUCCESS;
}

NTSTATUS ValueName(const UNICODE_STRING* name, std::u16string_view& out) {
  if (name == nullptr || name->Length % 2 != 0 || (name->Length > 0 && name->Buffer == nullptr))
    return STATUS_INVALID_PARAMETER;
  out = View(name);
  if (out.size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS OpenKey(PHANDLE key_handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                 const DriverImage* owner) {
  if (key_handle == nullptr) return STATUS_INVALID_PARAMETER;
  *key_handle = nullptr;
  KeyName name;
  NTSTATUS status = ParseKeyName(attributes, name);
  if (!NT_SUCCESS(status)) return status;
  auto key = K().registry->Walk(name.start, name.components);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  *key_handle = OpenKeyHandle(key, owner, access);
  return STATUS_SUCCESS;
}

NTSTATUS CreateKey(PHANDLE key_handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                   PUNICODE_STRING class_name, ULONG options, PULONG disposition,
                   const DriverImage* owner) {
  if (key_handle == nullptr) return STATUS_INVALID_PARAMETER;
  *key_handle = nullptr;
  if (options & ~static_cast<ULONG>(REG_LEGAL_OPTION)) return STATUS_INVALID_PARAMETER;
  KeyName name;
  NTSTATUS status = ParseKeyName(attributes, name);
  if (!NT_SUCCESS(status)) return status;

  Registry& registry = *K().registry;
  std::shared_ptr<RegistryKey> key;
  ULONG result = REG_OPENED_EXISTING_KEY;
  if (name.components.empty()) {
    key = name.start;
  } else {
    std::vector<std::u16string_view> parent_path(name.components.begin(),
                                                 name.components.end() - 1);
    auto parent = registry.Walk(name.start, parent_path);
    if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string_view leaf = name.components.back();
    key = parent->FindSubkey(leaf);
    if (!key) {
      if (leaf.size() > kMaxKeyNameChars) return STATUS_INVALID_PARAMETER;
      bool is_volatile = (options & REG_OPTION_VOLATILE) != 0;
      if (parent->is_volatile() && !is_volatile) return STATUS_CHILD_MUST_BE_VOLATILE;
      key = registry.AddSubkey(*parent, leaf, is_volatile, View(class_name));
      result = REG_CREATED_NEW_KEY;
    }
  }
  *key_handle = OpenKeyHandle(key, owner, access);
  if (disposition != nullptr) *disposition = result;
  return STATUS_SUCCESS;
}

NTSTATUS QueryValue(HANDLE handle, PUNICODE_STRING value_name,
                    KEY_VALUE_INFORMATION_CLASS info_class, PVOID buffer, ULONG length,
                    PULONG result_length) {
  std::shared_ptr<RegistryKey> key;
  NTSTATUS status = KeyFromHandle(handle, key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string_view name;
  status = ValueName(value_name, name);
  if (!NT_SUCCESS(status)) return status;
  if (result_length == nullptr) return STATUS_INVALID_PARAMETER;
  const RegistryValue* value = key->FindValue(name);
  InfoRecord record;
  // The class is checked before the value is looked up.
  status = BuildValueRecord(value ? *value : RegistryValue{}, info_class, record);
  if (!NT_SUCCESS(status)) return status;
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return CopyRecord(record, buffer, length, result_length);
}

// The key behind the handle, its record built by `build` and copied out as
// the routines that return a record do (partial copy, ResultLength).
template <typename Build>
NTSTATUS ReturnRecord(HANDLE handle, PVOID buffer, ULONG length, PULONG result_length, Build build) {
  std::shared_ptr<RegistryKey> key;
  NTSTATUS status = KeyFromHandle(handle, key);
  if (!NT_SUCCESS(status)) return status;
  if (result_length == nullptr) return STATUS_INVALID_PARAMETER;
  InfoRecord record;
  status = build(*key, record);
  if (!NT_SUCCESS(status)) return status;
  return CopyRecord(record, buffer, length, result_length);
}

NTSTATUS EnumerateValue(HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS info_class,
                        PVOID buffer, ULONG length, PULONG result_length) {
  return ReturnRecord(handle, buffer, length, result_length, [&](RegistryKey& key, InfoRecord& record) {
    if (index >= key.values().size()) return STATUS_NO_MORE_ENTRIES;
    return BuildValueRecord(key.values()[index], info_class, record);
  });
}

NTSTATUS QueryKey(HANDLE handle, KEY_INFORMATION_CLASS info_class, PVOID buffer, ULONG length,
                  PULONG result_length) {
  return ReturnRecord(handle, buffer, length, result_length, [&](RegistryKey& key, InfoRecord& record) {
    return BuildKeyRecord(key, info_class, false, record);
  });
}

NTSTATUS EnumerateKey(HANDLE handle, ULONG index, KEY_INFORMATION_CLASS info_class, PVOID buffer,
                      ULONG length, PULONG result_length) {
  return ReturnRecord(handle, buffer, length, result_length, [&](RegistryKey& key, InfoRecord& record) {
    if (index >= key.subkeys().size()) return STATUS_NO_MORE_ENTRIES;
    return BuildKeyRecord(*key.subkeys()[index], info_class, true, record);
  });
}

NTSTATUS SetValue(HANDLE handle, PUNICODE_STRING value_name, ULONG type, PVOID data,
                  ULONG size) {
  std::shared_ptr<RegistryKey> key;
  NTSTATUS status = KeyFromHandle(handle, key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string_view name;
  status = ValueName(value_name, name);
  if (!NT_SUCCESS(status)) return status;
  if (data == nullptr && size != 0) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const uint8_t*>(data);
  K().registry->Set(*key, name, type, std::vector<uint8_t>(bytes, bytes + size));
  return STATUS_SUCCESS;
}

NTSTATUS DeleteValue(HANDLE handle, PUNICODE_STRING value_name) {
  std::shared_ptr<RegistryKey> key;
  NTSTATUS status = KeyFromHandle(handle, key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string_view name;
  status = ValueName(value_name, name);
  if (!NT_SUCCESS(status)) return status;
  return K().registry->Remove(*key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS DeleteKey(HANDLE handle) {
  std::shared_ptr<RegistryKey> key;
  NTSTATUS status = KeyFromHandle(handle, key);
  if (!NT_SUCCESS(status)) return status;
  return K().registry->Delete(*key);
}

NTSTATUS FlushKey(HANDLE handle) {
  std::shared_ptr<RegistryKey> key;
  return KeyFromHandle(handle, key);
}

// The key an RtlXxxRegistryValue call names: Path under the root that
// RelativeTo selects.
NTSTATUS RelativeKeyPath(ULONG relative_to, PCWSTR path, std::u16string& out) {
  static const char16_t* const kRoots[] = {
      u"",
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
      u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
      u"\\Registry\\Machine\\Hardware\\DeviceMap",
      u"\\Registry\\User\\CurrentUser",
  };
  const ULONG root = relative_to & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
  if (root >= RTL_REGISTRY_MAXIMUM || path == nullptr) return STATUS_INVALID_PARAMETER;
  out = kRoots[root];
  std::u16string_view relative(reinterpret_cast<const char16_t*>(path));
  if (root != RTL_REGISTRY_ABSOLUTE && !relative.empty() && relative.front() != u'\\') out += u'\\';
  out += relative;
  return STATUS_SUCCESS;
}

// Opens (create: creates) the key of an RtlXxxRegistryValue call; *close
// says whether the handle is the routine's own.
NTSTATUS OpenRelativeKey(ULONG relative_to, PCWSTR path, bool create, const DriverImage* owner, HANDLE* handle,
                         bool* close) {
  *close = false;
  if (relative_to & RTL_REGISTRY_HANDLE) {
    *handle = const_cast<PWSTR>(path);
    return STATUS_SUCCESS;
  }
  std::u16string full;
  NTSTATUS status = RelativeKeyPath(relative_to, path, full);
  if (!NT_SUCCESS(status)) return status;
  if (full.size() * sizeof(char16_t) > UNICODE_STRING_MAX_BYTES) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING name;
  name.Buffer = reinterpret_cast<PWSTR>(full.data());
  name.Length = name.MaximumLength = static_cast<USHORT>(full.size() * sizeof(char16_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  status = create ? CreateKey(handle, KEY_ALL_ACCESS, &attributes, nullptr, REG_OPTION_NON_VOLATILE, nullptr, owner)
                  : OpenKey(handle, KEY_ALL_ACCESS, &attributes, owner);
  *close = NT_SUCCESS(status);
  return status;
}

}  // namespace
}  // namespace sim

extern "C" {

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwOpenKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return sim::FailOpen(KeyHandle);
  return sim::OpenKey(KeyHandle, DesiredAccess, ObjectAttributes, owner);
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwCreateKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return sim::FailOpen(KeyHandle);
  UNREFERENCED_PARAMETER(TitleIndex);
  return sim::CreateKey(KeyHandle, DesiredAccess, ObjectAttributes, Class, CreateOptions,
                        Disposition, owner);
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwDeleteKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  return sim::DeleteKey(KeyHandle);
}

NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwFlushKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  return sim::FlushKey(KeyHandle);
}

NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                          PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwQueryKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  return sim::QueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                              KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                              ULONG Length, PULONG ResultLength) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwEnumerateKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  return sim::EnumerateKey(KeyHandle, Index, KeyInformationClass, KeyInformation, Length,
                           ResultLength);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwQueryValueKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  return sim::QueryValue(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation,
                         Length, ResultLength);
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length,
                                   PULONG ResultLength) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwEnumerateValueKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  return sim::EnumerateValue(KeyHandle, Index, KeyValueInformationClass, KeyValueInformation,
                             Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwSetValueKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  UNREFERENCED_PARAMETER(TitleIndex);
  return sim::SetValue(KeyHandle, ValueName, Type, Data, DataSize);
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("ZwDeleteValueKey", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  return sim::DeleteValue(KeyHandle, ValueName);
}

}  // extern "C"

// Run-time library routines over the registry.
extern "C" {

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("RtlWriteRegistryValue", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  HANDLE key = nullptr;
  bool close = false;
  // A missing key is created, below a parent that must exist.
  NTSTATUS status = sim::OpenRelativeKey(RelativeTo, Path, true, owner, &key, &close);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  status = sim::SetValue(key, &name, ValueType, ValueData, ValueLength);
  if (close) sim::K().handles->Close(key);
  return status;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  const sim::DriverImage* owner = sim::ImageOf(__builtin_return_address(0));
  sim::CheckIrql("RtlDeleteRegistryValue", PASSIVE_LEVEL);
  if (sim::InjectedFailure(owner)) return STATUS_INSUFFICIENT_RESOURCES;
  HANDLE key = nullptr;
  bool close = false;
  NTSTATUS status = sim::OpenRelativeKey(RelativeTo, Path, false, owner, &key, &close);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  status = sim::DeleteValue(key, &name);
  if (close) sim::K().handles->Close(key);
  return status;
}

}  // extern "C"
