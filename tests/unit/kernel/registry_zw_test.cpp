// The Zw registry routines as a driver sees them, in a running machine.
#include <wdm.h>

#include <cstring>
#include <vector>

#include "sim/kernel/fault_plan.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/registry/registry_key_object.h"
#include "tests/support/kernel_test.h"

namespace sim {
namespace {

constexpr const char* kService = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110";

class RegistryZwTest : public test::KernelTest {
 protected:
  // Opens a key by name (absolute, or relative to root); returns the status.
  NTSTATUS Open(const wchar_t* name, HANDLE* key, HANDLE root = nullptr) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
  }
  NTSTATUS Create(const wchar_t* name, HANDLE* key, ULONG* disposition, ULONG options = 0,
                  HANDLE root = nullptr) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, options, disposition);
  }
  NTSTATUS Query(HANDLE key, const wchar_t* value, KEY_VALUE_INFORMATION_CLASS info_class,
                 std::vector<uint8_t>& buffer, ULONG* result_length) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value);
    return ZwQueryValueKey(key, &name, info_class, buffer.data(), ULONG(buffer.size()),
                           result_length);
  }
  void Close(HANDLE handle) { EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS); }
  Registry& registry() { return *kernel().registry; }
};

TEST_F(RegistryZwTest, PartialInformationTooSmallOverflowAndExact) {
  registry().SetValue(kService, "Blob", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110", &key),
            STATUS_SUCCESS);
  const ULONG full = 12 + 10;

  // Smaller than the fixed part: nothing written.
  std::vector<uint8_t> small(11, 0xEE);
  ULONG length = 0;
  EXPECT_EQ(Query(key, L"Blob", KeyValuePartialInformation, small, &length),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, full);
  EXPECT_EQ(small, std::vector<uint8_t>(11, 0xEE));

  // The 16-byte probe the settings code uses: fixed part filled, data cut.
  std::vector<uint8_t> probe(sizeof(KEY_VALUE_PARTIAL_INFORMATION), 0xEE);
  EXPECT_EQ(Query(key, L"Blob", KeyValuePartialInformation, probe, &length),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(length, full);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(probe.data());
  EXPECT_EQ(info->TitleIndex, 0u);
  EXPECT_EQ(info->Type, ULONG(REG_BINARY));
  EXPECT_EQ(info->DataLength, 10u);
  EXPECT_EQ(std::vector<uint8_t>(probe.begin() + 12, probe.end()),
            (std::vector<uint8_t>{1, 2, 3, 4}));

  std::vector<uint8_t> exact(full, 0xEE);
  EXPECT_EQ(Query(key, L"BLOB", KeyValuePartialInformation, exact, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, full);
  EXPECT_EQ(exact[12 + 9], 10);

  EXPECT_EQ(Query(key, L"Missing", KeyValuePartialInformation, exact, &length),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Query(key, L"Blob", KEY_VALUE_INFORMATION_CLASS(42), exact, &length),
            STATUS_INVALID_PARAMETER);
  Close(key);
}

TEST_F(RegistryZwTest, BasicAndFullInformationLayouts) {
  registry().SetString(kService, "PortName", u"COM12");  // 12 bytes of data
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110", &key),
            STATUS_SUCCESS);
  ULONG length = 0;

  // Basic: 12 fixed bytes, then the name (16 bytes).
  std::vector<uint8_t> basic(12, 0);
  EXPECT_EQ(Query(key, L"portname", KeyValueBasicInformation, basic, &length),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(length, 12u + 16u);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(basic.data())->NameLength, 16u);
  basic.assign(length, 0);
  ASSERT_EQ(Query(key, L"portname", KeyValueBasicInformation, basic, &length), STATUS_SUCCESS);
  auto* b = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(basic.data());
  EXPECT_EQ(b->Type, ULONG(REG_SZ));
  EXPECT_EQ(std::memcmp(b->Name, L"PortName", 16), 0);  // the stored case

  // Full: 20 fixed bytes, the name, the data at the 4-aligned DataOffset.
  std::vector<uint8_t> full(19, 0);
  EXPECT_EQ(Query(key, L"PortName", KeyValueFullInformation, full, &length),
            STATUS_BUFFER_TOO_SMALL);
  const ULONG data_offset = 20 + 16;
  EXPECT_EQ(length, data_offset + 12);
  full.assign(20, 0);
  EXPECT_EQ(Query(key, L"PortName", KeyValueFullInformation, full, &length),
            STATUS_BUFFER_OVERFLOW);
  auto* f = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(full.data());
  EXPECT_EQ(f->DataOffset, data_offset);
  EXPECT_EQ(f->DataLength, 12u);
  EXPECT_EQ(f->NameLength, 16u);
  full.assign(length, 0);
  ASSERT_EQ(Query(key, L"PortName", KeyValueFullInformation, full, &length), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(full.data() + data_offset, L"COM12", 12), 0);

  // A 3-character name puts the data at 20 + 6 rounded up to 28.
  registry().SetDword(kService, "Odd", 7);
  full.assign(64, 0);
  ASSERT_EQ(Query(key, L"Odd", KeyValueFullInformation, full, &length), STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(full.data())->DataOffset, 28u);
  EXPECT_EQ(length, 32u);
  EXPECT_EQ(full[28], 7);
  Close(key);
}

TEST_F(RegistryZwTest, SetEnumerateAndDeleteValues) {
  HANDLE key;
  ULONG disposition = 0;
  ASSERT_EQ(Create(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110", &key,
                   &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"InitialFlag");
  ULONG one = 1;
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof one), STATUS_SUCCESS);
  RtlInitUnicodeString(&name, L"GPIO0");
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(registry().GetDword(kService, "initialflag"), 1u);

  std::vector<uint8_t> buffer(64);
  ULONG length = 0;
  std::vector<std::u16string> names;
  ULONG index = 0;
  NTSTATUS status;
  while ((status = ZwEnumerateValueKey(key, index++, KeyValueBasicInformation, buffer.data(),
                                       ULONG(buffer.size()), &length)) == STATUS_SUCCESS) {
    auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer.data());
    names.emplace_back(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / 2);
  }
  EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"InitialFlag", u"GPIO0"}));

  RtlInitUnicodeString(&name, L"gpio0");
  EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwEnumerateValueKey(key, 1, KeyValueBasicInformation, buffer.data(),
                                ULONG(buffer.size()), &length),
            STATUS_NO_MORE_ENTRIES);

  HANDLE again;
  ASSERT_EQ(Create(L"\\REGISTRY\\MACHINE\\system\\currentcontrolset\\services\\kalvor1110",
                   &again, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  Close(again);
  Close(key);
}

TEST_F(RegistryZwTest, EnumerateAndQuerySubkeys) {
  for (const char* sub : {"Zeta", "alpha", "Beta"})
    registry().CreateKey(std::string(kService) + "\\" + sub);
  registry().SetDword(kService, "Value", 1);
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110", &key),
            STATUS_SUCCESS);
  std::vector<uint8_t> buffer(128);
  ULONG length = 0;
  std::vector<std::u16string> names;
  for (ULONG i = 0;; ++i) {
    NTSTATUS status = ZwEnumerateKey(key, i, KeyBasicInformation, buffer.data(),
                                     ULONG(buffer.size()), &length);
    if (status == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
    EXPECT_EQ(length, 16 + info->NameLength);
    names.emplace_back(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / 2);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"alpha", u"Beta", u"Zeta"}));

  ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, buffer.data(), ULONG(buffer.size()), &length),
            STATUS_SUCCESS);
  auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer.data());
  EXPECT_EQ(full->SubKeys, 3u);
  EXPECT_EQ(full->Values, 1u);
  EXPECT_EQ(full->MaxNameLen, 10u);
  EXPECT_EQ(full->MaxValueDataLen, 4u);
  EXPECT_EQ(full->ClassOffset, 0xFFFFFFFFu);

  std::vector<uint8_t> tiny(4);
  EXPECT_EQ(ZwQueryKey(key, KeyNameInformation, tiny.data(), 4, &length), STATUS_BUFFER_OVERFLOW);
  const std::u16string path = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110";
  EXPECT_EQ(length, 4 + path.size() * 2);
  Close(key);
}

TEST_F(RegistryZwTest, WritesStampLastWriteTimeInVirtualTime) {
  HANDLE key;
  ULONG disposition;
  ASSERT_EQ(Create(L"\\Registry\\Machine\\SYSTEM\\Stamped", &key, &disposition), STATUS_SUCCESS);
  LARGE_INTEGER delay;
  delay.QuadPart = -10 * 1000 * 1000;  // one second
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  const LONGLONG written = kernel().Now();
  ASSERT_GE(written, 10 * 1000 * 1000);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"V");
  ULONG data = 1;
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &data, 4), STATUS_SUCCESS);
  KEY_BASIC_INFORMATION info;
  ULONG length;
  EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, &info, sizeof info, &length),
            STATUS_BUFFER_OVERFLOW);  // the name does not fit; the fixed part does
  EXPECT_EQ(info.LastWriteTime.QuadPart, written);
  EXPECT_EQ(length, 16u + 14u);
  Close(key);
}

TEST_F(RegistryZwTest, RelativeNamesAndPathErrors) {
  registry().CreateKey(std::string(kService) + "\\Parameters");
  HANDLE services, key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services", &services),
            STATUS_SUCCESS);
  ASSERT_EQ(Open(L"kalvor1110\\PARAMETERS", &key, services), STATUS_SUCCESS);
  EXPECT_EQ(kernel().handles->Lookup<RegistryKeyObject>(key)->key()->name(), u"Parameters");
  Close(key);
  ULONG disposition = 0;
  ASSERT_EQ(Create(L"KALVOR1110\\New", &key, &disposition, 0, services), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(registry().KeyExists(std::string(kService) + "\\New"));
  Close(key);

  key = reinterpret_cast<HANDLE>(1);
  EXPECT_EQ(Open(L"\\Registry\\Machine\\SYSTEM", &key, services), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(Open(L"Registry\\Machine", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(Open(L"\\Registry\\Machine\\SYSTEM\\Missing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(L"\\Nowhere\\Machine", &key), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(L"\\Nowhere", &key), STATUS_OBJECT_NAME_NOT_FOUND);
  // ZwCreateKey makes one key, not its missing parents.
  EXPECT_EQ(Create(L"\\Registry\\Machine\\SYSTEM\\A\\B", &key, &disposition),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(registry().KeyExists("\\Registry\\Machine\\SYSTEM\\A"));
  EXPECT_EQ(Open(L"Parameters", &key, reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);
  Close(services);

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"X");
  ULONG length;
  EXPECT_EQ(ZwQueryValueKey(services, &name, KeyValuePartialInformation, nullptr, 0, &length),
            STATUS_INVALID_HANDLE);
}

TEST_F(RegistryZwTest, KeyDeletedUnderAnOpenHandle) {
  registry().CreateKey(std::string(kService) + "\\Child");
  HANDLE parent, child, second;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110", &parent),
            STATUS_SUCCESS);
  ASSERT_EQ(Open(L"Child", &child, parent), STATUS_SUCCESS);
  ASSERT_EQ(Open(L"Child", &second, parent), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);  // it has a subkey
  EXPECT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
  EXPECT_FALSE(registry().KeyExists(std::string(kService) + "\\Child"));

  // Every handle to the deleted key fails until it is closed.
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"V");
  ULONG data = 5, length = 0;
  EXPECT_EQ(ZwSetValueKey(second, &name, 0, REG_DWORD, &data, 4), STATUS_KEY_DELETED);
  std::vector<uint8_t> buffer(32);
  EXPECT_EQ(ZwQueryValueKey(second, &name, KeyValuePartialInformation, buffer.data(), 32, &length),
            STATUS_KEY_DELETED);
  EXPECT_EQ(ZwEnumerateKey(second, 0, KeyBasicInformation, buffer.data(), 32, &length),
            STATUS_KEY_DELETED);
  EXPECT_EQ(ZwDeleteKey(second), STATUS_KEY_DELETED);
  HANDLE below;
  EXPECT_EQ(Open(L"X", &below, second), STATUS_KEY_DELETED);
  Close(child);
  Close(second);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
  Close(parent);
}

TEST_F(RegistryZwTest, VolatileKeysTakeOnlyVolatileChildren) {
  HANDLE key, child;
  ULONG disposition = 0;
  ASSERT_EQ(Create(L"\\Registry\\Machine\\SYSTEM\\Volatile", &key, &disposition,
                   REG_OPTION_VOLATILE),
            STATUS_SUCCESS);
  EXPECT_EQ(Create(L"Sub", &child, &disposition, REG_OPTION_NON_VOLATILE, key),
            STATUS_CHILD_MUST_BE_VOLATILE);
  ASSERT_EQ(Create(L"Sub", &child, &disposition, REG_OPTION_VOLATILE, key), STATUS_SUCCESS);
  EXPECT_TRUE(registry().FindKey("\\Registry\\Machine\\SYSTEM\\Volatile\\Sub")->is_volatile());
  HANDLE bad;
  EXPECT_EQ(Create(L"Bad", &bad, &disposition, 0x100, key), STATUS_INVALID_PARAMETER);
  Close(child);
  Close(key);
}

TEST_F(RegistryZwTest, HandlesRecordTheKeyAndTheOpener) {
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\SYSTEM", &key), STATUS_SUCCESS);
  const HandleEntry* entry = kernel().handles->Find(key);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->owner, nullptr);  // opened by the test, not by a driver image
  EXPECT_EQ(entry->access, ACCESS_MASK(KEY_ALL_ACCESS));
  EXPECT_EQ(entry->object->TypeName(), "Key");
  EXPECT_EQ(entry->object->Describe(), "\\Registry\\Machine\\SYSTEM");
  Close(key);
  EXPECT_EQ(kernel().handles->Find(key), nullptr);
}

TEST_F(RegistryZwTest, KernelCallsNeitherCountNorFailAsInjectedFaults) {
  // Fault plans count the drivers' calls only; this test calls as the kernel.
  kernel().faults->FailNth(FaultKind::Registry, 1);
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\SYSTEM", &key), STATUS_SUCCESS);
  EXPECT_EQ(kernel().faults->Calls(FaultKind::Registry), 0u);
  Close(key);
}

}  // namespace
}  // namespace sim
