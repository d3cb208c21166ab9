// The registry routines both drivers share, called by their declared names
// in a booted machine: reads never go past the caller's buffer, values of the wrong type
// or size are refused, and writes size their data by type.
#include <gtest/gtest.h>

#include <vector>

#include "card_machine.h"
#include "common/registry_access.h"
#include "support/pool_failure.h"
#include "sim/kernel/io_manager.h"

namespace card_test {
namespace {

constexpr char kKey[] = "\\Registry\\Machine\\SOFTWARE\\ZarkTest";
const WCHAR kKeyW[] = L"\\Registry\\Machine\\SOFTWARE\\ZarkTest";

class RegistryAccessTest : public CardMachineTest {
 protected:
  RegistryAccessTest() { config_.cards = {Card(0x1104)}; }
  void SetUp() override {
    CardMachineTest::SetUp();
    ASSERT_EQ(IoOpenDeviceRegistryKey(machine().cards().at(0).pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key_),
              STATUS_SUCCESS);
  }
  void TearDown() override {
    if (key_) ZwClose(key_);
    CardMachineTest::TearDown();
  }

  HANDLE key_ = nullptr;
};

TEST_F(RegistryAccessTest, QueryByPathCopiesAtMostTheCapacityAndCreatesAMissingKey) {
  EXPECT_FALSE(kernel().registry->KeyExists(kKey));
  ULONG length = 0;
  UCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(QueryValueByPath(L"Table", &length, buffer, 4, kKeyW, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(kernel().registry->KeyExists(kKey)) << "the key is created";

  kernel().registry->SetBinary(kKey, "Table", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  ULONG type = 0;
  ASSERT_EQ(QueryValueByPath(L"Table", &length, buffer, 4, kKeyW, &type), STATUS_SUCCESS);
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + 8), (std::vector<UCHAR>{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(RegistryAccessTest, SetByPathSizesTheDataByType) {
  const WCHAR name[] = L"COM7";
  ASSERT_EQ(SetValueByPath(L"PortName", name, REG_SZ, kKeyW, 99), STATUS_SUCCESS);
  EXPECT_EQ(kernel().registry->GetValue(kKey, "PortName")->data.size(), 10u);
  const ULONG dword = 0x01020304;
  ASSERT_EQ(SetValueByPath(L"Flag", &dword, REG_DWORD, kKeyW, 99), STATUS_SUCCESS);
  EXPECT_EQ(kernel().registry->GetDword(kKey, "Flag"), 0x01020304u);
  const UCHAR bytes[3] = {7, 8, 9};
  ASSERT_EQ(SetValueByPath(L"Bytes", bytes, REG_BINARY, kKeyW, 3), STATUS_SUCCESS);
  EXPECT_EQ(kernel().registry->GetBinary(kKey, "Bytes"), (std::vector<uint8_t>{7, 8, 9}));
}

TEST_F(RegistryAccessTest, KeyValueLongerThanTheBufferIsNotCopied) {
  const UCHAR six[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(SetKeyValue(key_, L"Six", REG_BINARY, six, sizeof six), STATUS_SUCCESS);
  UCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(QueryKeyValue(key_, L"Six", buffer, 4), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + 8), std::vector<UCHAR>(8, 0xEE));
  EXPECT_EQ(QueryKeyValue(key_, L"Six", buffer, 6), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + 8), (std::vector<UCHAR>{1, 2, 3, 4, 5, 6, 0xEE, 0xEE}));
}

TEST_F(RegistryAccessTest, DwordOfAnotherTypeOrSizeIsRefused) {
  const std::string device_key = DeviceKey();
  kernel().registry->SetDword(device_key, "Good", 42);
  kernel().registry->SetBinary(device_key, "Binary", {1, 0, 0, 0});
  kernel().registry->SetValue(device_key, "Short", REG_DWORD, {1, 0});
  kernel().registry->SetValue(device_key, "Long", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0});
  ULONG value = 7;
  EXPECT_EQ(QueryKeyDword(key_, L"Good", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 42u);
  value = 7;
  EXPECT_EQ(QueryKeyDword(key_, L"Binary", &value), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(QueryKeyDword(key_, L"Short", &value), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(QueryKeyDword(key_, L"Long", &value), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(QueryKeyDword(key_, L"Missing", &value), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 7u);
}

TEST_F(RegistryAccessTest, NoPoolForTheValueIsAFailureWithNothingCopied) {
  kernel().registry->SetDword(kKey, "Small", 0x11223344);
  ULONG value = 7;
  ULONG length = 99;
  {
    sim::test::PoolFailure failure(1);
    EXPECT_EQ(QueryValueByPath(L"Small", &length, &value, sizeof value, kKeyW, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(length, 99u);
  }
  {
    sim::test::PoolFailure failure(1);
    EXPECT_EQ(QueryKeyDword(key_, L"Small", &value), STATUS_INSUFFICIENT_RESOURCES);
  }
  EXPECT_EQ(QueryValueByPath(L"Small", &length, &value, sizeof value, kKeyW, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x11223344u);
}

}  // namespace
}  // namespace card_test
