// The WMI library and service with a provider of three instances of
// different lengths and no set or method callbacks: the WNODE_ALL_DATA
// table, the sizes a too-small buffer is told, and the requests the library
// refuses itself.
#include <cstring>
#include <vector>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/wmi/wmi_service.h"
#include "support/kernel_test.h"
#include "support/test_devices.h"
#include "wmilib.h"
#include "wmistr.h"

namespace {

const GUID kBlock = *sim::ParseGuid("{5d1b0c3e-27a4-4f0e-9b1a-6c2f4e8d9a10}");
constexpr ULONG kLengths[3] = {4, 10, 1};

constexpr ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

std::vector<SYSCTL_IRP_DISPOSITION>* dispositions;

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT, PULONG RegFlags, PUNICODE_STRING, PUNICODE_STRING* RegistryPath,
                            PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo) {
  static std::u16string path = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\wmitest";
  static UNICODE_STRING registry{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                                 reinterpret_cast<PWSTR>(path.data())};
  *RegFlags = WMIREG_FLAG_EXPENSIVE;
  *RegistryPath = &registry;
  RtlInitUnicodeString(MofResourceName, L"TestMof");
  *Pdo = nullptr;
  return STATUS_SUCCESS;
}

// Instance i is kLengths[i] bytes of 'a' + i, each instance eight-byte aligned.
NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG first, ULONG count, PULONG lengths,
                              ULONG available, PUCHAR buffer) {
  ULONG needed = 0;
  for (ULONG i = first; i < first + count; ++i) needed = (i == first ? 0 : Align8(needed)) + kLengths[i];
  if (!lengths || available < needed) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, needed, 0);
  ULONG at = 0;
  for (ULONG i = first; i < first + count; ++i) {
    at = i == first ? 0 : Align8(at);
    std::memset(buffer + at, 'a' + i, kLengths[i]);
    lengths[i - first] = kLengths[i];
    at += kLengths[i];
  }
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, at, 0);
}

WMIGUIDREGINFO guids[] = {{&kBlock, 3, 0}};
WMILIB_CONTEXT context = {1, guids, QueryRegInfo, QueryDataBlock, nullptr, nullptr, nullptr, nullptr};

NTSTATUS NTAPI ProviderSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  SYSCTL_IRP_DISPOSITION disposition;
  const NTSTATUS status = WmiSystemControl(&context, device, irp, &disposition);
  dispositions->push_back(disposition);
  if (disposition != IrpProcessed) IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class WmiLibraryTest : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    dispositions = &dispositions_;
    sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("wmitest");
    driver->object.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = ProviderSystemControl;
    device_ = sim::test::CreateTestDevice(driver);
    ASSERT_EQ(IoWMIRegistrationControl(device_, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  }
  void TearDown() override {
    IoDeleteDevice(device_);
    KernelTest::TearDown();
    dispositions = nullptr;
  }
  SYSCTL_IRP_DISPOSITION LastDisposition() const { return dispositions_.back(); }

  DEVICE_OBJECT* device_ = nullptr;
  std::vector<SYSCTL_IRP_DISPOSITION> dispositions_;
  sim::WmiService wmi;
};

TEST_F(WmiLibraryTest, LaysOutTheProvidersAnswersInTheWnode) {
  std::vector<sim::WmiProvider> providers = wmi.Providers();
  ASSERT_EQ(providers.size(), 1u);
  ASSERT_EQ(providers[0].blocks.size(), 1u);
  EXPECT_EQ(providers[0].blocks[0].flags, ULONG{WMIREG_FLAG_EXPENSIVE});  // the provider's flags on each block
  EXPECT_EQ(providers[0].blocks[0].instance_count, 3u);
  EXPECT_EQ(providers[0].mof_resource, u"TestMof");
  EXPECT_EQ(LastDisposition(), IrpNotCompleted);  // registration is the driver's to complete
  ASSERT_EQ(wmi.InstanceNames(kBlock).size(), 3u);

  // All data: the table of offsets and lengths after the fixed part, the
  // instances from the eight-byte aligned end of the table.
  sim::WmiResult r = wmi.QueryAllData(kBlock, 64);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(LastDisposition(), IrpProcessed);
  WNODE_ALL_DATA all;
  std::memcpy(&all, r.wnode.data(), sizeof all);
  const ULONG data = Align8(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + 3 * 8);
  EXPECT_EQ(all.InstanceCount, 3u);
  EXPECT_EQ(all.DataBlockOffset, data);
  EXPECT_EQ(all.WnodeHeader.BufferSize, data + 25);
  EXPECT_EQ(r.information, data + 25);
  const ULONG expected_offsets[3] = {data, data + 8, data + 24};
  for (ULONG i = 0; i < 3; ++i) {
    OFFSETINSTANCEDATAANDLENGTH entry;
    std::memcpy(&entry, r.wnode.data() + FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + 8 * i,
                sizeof entry);
    EXPECT_EQ(entry.OffsetInstanceData, expected_offsets[i]) << i;
    EXPECT_EQ(entry.LengthInstanceData, kLengths[i]) << i;
    EXPECT_EQ(r.wnode.at(entry.OffsetInstanceData + entry.LengthInstanceData - 1), 'a' + i) << i;
  }

  // Too little room even for the table: the provider gets no length array
  // and the caller learns the whole WNODE's size.
  r = wmi.QueryAllData(kBlock, 10);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.size_needed, data + 25);

  // One instance: its own data and size.
  r = wmi.QuerySingleInstance(kBlock, 1);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.data, std::vector<uint8_t>(10, 'b'));
  r = wmi.QuerySingleInstance(kBlock, 2, 0);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.data_needed, 1u);

  // What the provider has no callback for the library refuses, and leaves
  // the request for the driver to complete.
  EXPECT_EQ(wmi.SetSingleInstance(kBlock, 0, {1, 2, 3, 4}).status, STATUS_WMI_READ_ONLY);
  EXPECT_EQ(LastDisposition(), IrpNotCompleted);
  EXPECT_EQ(wmi.SetSingleItem(kBlock, 0, 1, {1}).status, STATUS_WMI_READ_ONLY);
  EXPECT_EQ(wmi.ExecuteMethod(kBlock, 0, 1, {}).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(wmi.Control(kBlock, IRP_MN_ENABLE_COLLECTION).status, STATUS_SUCCESS);
  EXPECT_EQ(LastDisposition(), IrpNotCompleted);

  // Deregistered, the block is gone.
  ASSERT_EQ(IoWMIRegistrationControl(device_, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
  EXPECT_EQ(wmi.QuerySingleInstance(kBlock, 0).status, STATUS_WMI_GUID_NOT_FOUND);
}

}  // namespace
