// IoGetDeviceProperty and IoOpenDeviceRegistryKey on the card's PDO.
#include <gtest/gtest.h>

#include <cstring>

#include "hw_test_support.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/registry/registry.h"

namespace {

class DevicePropertiesTest : public sim::test::HwTest {};

TEST_F(DevicePropertiesTest, BusNumberAndAddressComeFromThePciLocation) {
  ULONG value = 0, length = 0;
  ASSERT_EQ(IoGetDeviceProperty(pdo(), DevicePropertyBusNumber, sizeof value, &value, &length), STATUS_SUCCESS);
  EXPECT_EQ(value, at().bus);
  EXPECT_EQ(length, 4u);
  ASSERT_EQ(IoGetDeviceProperty(pdo(), DevicePropertyAddress, sizeof value, &value, &length), STATUS_SUCCESS);
  EXPECT_EQ(value, at().device << 16 | at().function);
}

TEST_F(DevicePropertiesTest, AShortBufferGetsTheSizeNeeded) {
  UCHAR small[2] = {};
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo(), DevicePropertyBusNumber, sizeof small, small, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(IoGetDeviceProperty(pdo(), DevicePropertyHardwareID, 0, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
  std::vector<WCHAR> ids(length / 2);
  ASSERT_EQ(IoGetDeviceProperty(pdo(), DevicePropertyHardwareID, length, ids.data(), &length), STATUS_SUCCESS);
  std::u16string first(reinterpret_cast<const char16_t*>(ids.data()));
  EXPECT_EQ(first, u"PCI\\VEN_1C29&DEV_1199&SUBSYS_00000000&REV_00");
}

TEST_F(DevicePropertiesTest, DeviceKeyIsTheInstanceKeysDeviceParameters) {
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"InitialFlag");
  ULONG one = 1;
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof one), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  sim::DeviceNode* node = kernel().pnp->NodeOf(pdo());
  std::string path = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + node->InstancePath() + "\\Device Parameters";
  EXPECT_EQ(kernel().registry->GetDword(path, "InitialFlag"), 1u);
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_PARAMETER);
}

TEST_F(DevicePropertiesTest, CardsOnDifferentBusesHaveDifferentInstanceKeys) {
  sim::CardConfig second;
  second.device_id = 0x1199;
  DEVICE_OBJECT* other = machine().PlugCard(second);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(kernel().pnp->NodeOf(other)->InstancePath(), kernel().pnp->NodeOf(pdo())->InstancePath());
  ULONG bus = 0;
  ASSERT_EQ(IoGetDeviceProperty(other, DevicePropertyBusNumber, sizeof bus, &bus, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(bus, at().bus + 1);
}

TEST_F(DevicePropertiesTest, ADeviceThatIsNotAPdoIsACallersError) {
  sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("other");
  DEVICE_OBJECT* device = nullptr;
  ASSERT_EQ(kernel().io->CreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device, nullptr), STATUS_SUCCESS);
  ULONG bus = 0;
  EXPECT_EQ(IoGetDeviceProperty(device, DevicePropertyBusNumber, sizeof bus, &bus, nullptr), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(kernel().verifier->Count("not-a-pdo"), 1u);
  kernel().verifier->Forget("not-a-pdo");
  IoDeleteDevice(device);
}

}  // namespace
