// The registry store through its C++ interface, without a running machine.
#include <gtest/gtest.h>

#include <memory>

#include "nt/zw.h"
#include "ntstatus.h"
#include "sim/kernel/registry/registry.h"

namespace sim {
namespace {

constexpr const char* kService = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110";

TEST(RegistryStore, StartsWithTheMachineAndUserTrees) {
  Registry registry;
  EXPECT_TRUE(registry.KeyExists("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services"));
  EXPECT_TRUE(registry.KeyExists("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum"));
  EXPECT_TRUE(registry.KeyExists("\\Registry\\User"));
  EXPECT_FALSE(registry.KeyExists("\\Registry\\Machine\\SYSTEM\\Nothing"));
}

TEST(RegistryStore, NamesMatchWithoutCaseAndKeepTheirCase) {
  Registry registry;
  registry.CreateKey(std::string(kService) + "\\Parameters");
  auto key = registry.FindKey(
      "\\REGISTRY\\machine\\system\\currentcontrolset\\SERVICES\\kalvor1110\\PARAMETERS");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->name(), u"Parameters");
  EXPECT_EQ(key->Path(),
            u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110\\Parameters");

  registry.SetDword(kService, "Start", 3);
  registry.SetDword(kService, "START", 4);  // same value, new data, old name kept
  EXPECT_EQ(registry.ValueNames(kService), std::vector<std::string>{"Start"});
  EXPECT_EQ(registry.GetDword(kService, "start"), 4u);
}

TEST(RegistryStore, SubkeysSortedByNameValuesInCreationOrder) {
  Registry registry;
  for (const char* name : {"b", "C", "a"}) registry.CreateKey(std::string(kService) + "\\" + name);
  EXPECT_EQ(registry.SubkeyNames(kService), (std::vector<std::string>{"a", "b", "C"}));

  registry.SetDword(kService, "Zeta", 1);
  registry.SetDword(kService, "Alpha", 2);
  registry.SetDword(kService, "Mid", 3);
  registry.SetDword(kService, "zeta", 9);  // replacing keeps the position
  EXPECT_EQ(registry.ValueNames(kService), (std::vector<std::string>{"Zeta", "Alpha", "Mid"}));
}

TEST(RegistryStore, DeleteKeyRefusesWhileItHasSubkeys) {
  Registry registry;
  registry.CreateKey(std::string(kService) + "\\Enum");
  EXPECT_EQ(registry.DeleteKey(kService), STATUS_CANNOT_DELETE);
  EXPECT_EQ(registry.DeleteKey(std::string(kService) + "\\Enum"), STATUS_SUCCESS);
  EXPECT_EQ(registry.DeleteKey(kService), STATUS_SUCCESS);
  EXPECT_FALSE(registry.KeyExists(kService));
  EXPECT_EQ(registry.DeleteKey(kService), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(registry.DeleteKey("\\Registry"), STATUS_CANNOT_DELETE);

  registry.CreateKey(std::string(kService) + "\\A\\B");
  registry.DeleteTree(kService);
  EXPECT_FALSE(registry.KeyExists(kService));
}

TEST(RegistryStore, TypedHelpersEncodeAsWindowsStoresThem) {
  Registry registry;
  registry.SetString(kService, "PortName", u"COM3");
  auto raw = registry.GetValue(kService, "PortName");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->type, ULONG(REG_SZ));
  EXPECT_EQ(raw->data, (std::vector<uint8_t>{'C', 0, 'O', 0, 'M', 0, '3', 0, 0, 0}));
  EXPECT_EQ(registry.GetString(kService, "portname"), u"COM3");
  EXPECT_FALSE(registry.GetDword(kService, "PortName"));  // wrong type

  registry.SetMultiString(kService, "Enum", {u"PCI\\A", u"B"});
  EXPECT_EQ(registry.GetBinary(kService, "Enum")->size(), (5 + 1 + 1 + 1 + 1) * 2u);
  EXPECT_EQ(registry.GetMultiString(kService, "Enum"),
            (std::vector<std::u16string>{u"PCI\\A", u"B"}));
  registry.SetMultiString(kService, "Empty", {});
  EXPECT_EQ(registry.GetBinary(kService, "Empty")->size(), 2u);
  EXPECT_EQ(registry.GetMultiString(kService, "Empty")->size(), 0u);

  registry.SetDword(kService, "Flag", 0x01020304);
  EXPECT_EQ(*registry.GetBinary(kService, "Flag"), (std::vector<uint8_t>{4, 3, 2, 1}));
  registry.SetValue(kService, "Short", REG_DWORD, {1, 2});
  EXPECT_FALSE(registry.GetDword(kService, "Short"));  // not four bytes

  EXPECT_TRUE(registry.DeleteValue(kService, "FLAG"));
  EXPECT_FALSE(registry.DeleteValue(kService, "Flag"));
  EXPECT_FALSE(registry.GetValue(kService, "Flag"));
}

TEST(RegistryStore, KeysHeldPastTheRegistryKeepTheirPath) {
  // A leaked handle is described after the machine's registry is gone.
  auto registry = std::make_unique<Registry>();
  auto key = registry->CreateKey(std::string(kService) + "\\Parameters");
  auto deleted = registry->CreateKey(std::string(kService) + "\\Old");
  ASSERT_EQ(registry->Delete(*deleted), STATUS_SUCCESS);
  registry.reset();
  EXPECT_EQ(key->Path(),
            u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110\\Parameters");
  EXPECT_EQ(deleted->Path(),
            u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110\\Old");
  EXPECT_TRUE(deleted->deleted());
}

TEST(RegistryStore, RejectsPathsOutsideTheRegistry) {
  Registry registry;
  EXPECT_THROW(registry.CreateKey("\\Machine\\SYSTEM"), RegistryError);
  EXPECT_THROW(registry.CreateKey("Registry\\Machine"), RegistryError);
  EXPECT_THROW(registry.SubkeyNames("\\Registry\\Machine\\Missing"), RegistryError);
}

}  // namespace
}  // namespace sim
