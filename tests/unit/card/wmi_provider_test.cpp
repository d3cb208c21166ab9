// The card's WMI blocks as a management application sees them: the WMI
// service asks each registered provider for its registration, then reads,
// writes and calls the blocks through IRP_MJ_SYSTEM_CONTROL requests that
// the WMI library takes apart for the card's callbacks.
#include <cstring>

#include "card_machine.h"
#include "sim/kernel/utf16_text.h"
#include "sim/kernel/wmi/wmi_service.h"
#include "wmistr.h"

namespace card_test {
namespace {

const GUID kBlock = *sim::ParseGuid("{a0f95fd4-a587-11d2-bb3a-00c04fa330a7}");
const GUID kSecondBlock = *sim::ParseGuid("8209EC2A-2D6B-11D2-BA49-00A0C9062910");

std::vector<uint8_t> Bytes(ULONG value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

template <typename T>
const T& Wnode(const sim::WmiResult& result) {
  EXPECT_GE(result.wnode.size(), sizeof(T));
  return *reinterpret_cast<const T*>(result.wnode.data());
}

class CardWmiTest : public CardMachineTest {
 protected:
  void SetUp() override {
    config_.cards = {Card(0x1104), Card(0x1108)};
    CardMachineTest::SetUp();
  }
  DEVICE_OBJECT* Fdo(size_t i) { return machine().cards().at(i).pdo->AttachedDevice; }
  std::u16string InstanceName(size_t i) { return sim::Utf8ToUtf16(Node(i)->InstancePath()) + u"_0"; }
  // The instance of card i: the service orders instances by name.
  ULONG InstanceOf(size_t i) {
    auto names = wmi.InstanceNames(kBlock);
    return static_cast<ULONG>(std::find(names.begin(), names.end(), InstanceName(i)) - names.begin());
  }
  ULONG Value(const GUID& guid, size_t card) {
    sim::WmiResult r = wmi.QuerySingleInstance(guid, InstanceOf(card));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.data.size(), 4u);
    ULONG value = 0;
    std::memcpy(&value, r.data.data(), std::min<size_t>(r.data.size(), 4));
    return value;
  }
  // A single-instance query of the block's instance 0 aimed at any device
  // with any provider ID.
  sim::WmiResult RawQuery(DEVICE_OBJECT* target, DEVICE_OBJECT* provider, UCHAR minor = IRP_MN_QUERY_SINGLE_INSTANCE,
                          ULONG instance = 0, GUID guid = kBlock) {
    std::vector<uint8_t> buffer(sizeof(WNODE_SINGLE_INSTANCE) + 8);
    auto wnode = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(buffer.data());
    wnode->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    wnode->WnodeHeader.Guid = guid;
    wnode->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    wnode->InstanceIndex = instance;
    wnode->DataBlockOffset = sizeof(WNODE_SINGLE_INSTANCE);
    return wmi.Send(target, reinterpret_cast<ULONG_PTR>(provider), minor, &guid, buffer);
  }

  sim::WmiService wmi;
};

TEST_F(CardWmiTest, RegistersTwoBlocksPerCardNamedAfterItsPdo) {
  std::vector<sim::WmiProvider> providers = wmi.Providers();
  ASSERT_EQ(providers.size(), 2u);
  for (const sim::WmiProvider& provider : providers) {
    EXPECT_EQ(provider.status, STATUS_SUCCESS);
    EXPECT_TRUE(provider.device == Fdo(0) || provider.device == Fdo(1));
    EXPECT_EQ(provider.mof_resource, u"MofResource");
    EXPECT_EQ(sim::Utf16ToUtf8(provider.registry_path),
              "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\zarkcard");
    ASSERT_EQ(provider.blocks.size(), 2u);
    EXPECT_EQ(std::memcmp(&provider.blocks[0].guid, &kBlock, sizeof(GUID)), 0);
    EXPECT_EQ(std::memcmp(&provider.blocks[1].guid, &kSecondBlock, sizeof(GUID)), 0);
    for (const sim::WmiBlockRegistration& block : provider.blocks) {
      EXPECT_EQ(block.flags, ULONG{WMIREG_FLAG_INSTANCE_PDO});
      EXPECT_EQ(block.instance_count, 1u);
      EXPECT_EQ(block.pdo, provider.device == Fdo(0) ? machine().cards()[0].pdo : machine().cards()[1].pdo);
    }
  }
  auto names = wmi.InstanceNames(kSecondBlock);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(std::find(names.begin(), names.end(), InstanceName(0)), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), InstanceName(1)), names.end());

  // A registration buffer too small for the record learns the size it needs.
  std::vector<uint8_t> small(sizeof(ULONG));
  sim::WmiResult r = wmi.Send(Fdo(0), reinterpret_cast<ULONG_PTR>(Fdo(0)), IRP_MN_REGINFO_EX, nullptr, small);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(r.information, sizeof(ULONG));
  ULONG needed = 0;
  std::memcpy(&needed, r.wnode.data(), sizeof needed);
  EXPECT_EQ(needed, sizeof(WMIREGINFOW) + 2 * sizeof(WMIREGGUIDW) + 2 +
                        std::string("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\zarkcard").size() * 2 +
                        2 + std::string("MofResource").size() * 2);
}

TEST_F(CardWmiTest, ReadsAndWritesTheValueThroughBothBlocks) {
  // A fresh card holds 42 in both blocks.
  EXPECT_EQ(Value(kBlock, 0), 42u);
  EXPECT_EQ(Value(kSecondBlock, 0), 42u);
  EXPECT_EQ(Value(kBlock, 1), 42u);

  // The WNODE that comes back: the data block after the instance name,
  // eight-byte aligned, its size in SizeDataBlock and the whole in BufferSize.
  sim::WmiResult r = wmi.QuerySingleInstance(kBlock, InstanceOf(0));
  const WNODE_SINGLE_INSTANCE single = Wnode<WNODE_SINGLE_INSTANCE>(r);
  const ULONG name_end = sizeof(WNODE_SINGLE_INSTANCE) + 2 + 2 * static_cast<ULONG>(InstanceName(0).size());
  EXPECT_EQ(single.DataBlockOffset, (name_end + 7) & ~7u);
  EXPECT_EQ(single.SizeDataBlock, 4u);
  EXPECT_EQ(single.WnodeHeader.BufferSize, single.DataBlockOffset + 4);
  EXPECT_EQ(r.information, single.WnodeHeader.BufferSize);
  EXPECT_EQ(r.instance_name, InstanceName(0));

  // Room for 3 bytes: the request succeeds with a WNODE_TOO_SMALL that asks
  // for the whole WNODE with 4 bytes of data.
  r = wmi.QuerySingleInstance(kBlock, InstanceOf(0), 3);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.information, sizeof(WNODE_TOO_SMALL));
  EXPECT_EQ(r.data_needed, 4u);
  EXPECT_EQ(r.size_needed, single.DataBlockOffset + 4);
  EXPECT_TRUE(Wnode<WNODE_HEADER>(r).Flags & WNODE_FLAG_TOO_SMALL);

  // 8 bytes are refused and change nothing; 4 through the second block are
  // what the first block reads, on that card only.
  r = wmi.SetSingleInstance(kBlock, InstanceOf(0), {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(r.status, STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(Value(kBlock, 0), 42u);
  EXPECT_EQ(wmi.SetSingleInstance(kSecondBlock, InstanceOf(0), Bytes(0x12345678)).status, STATUS_SUCCESS);
  EXPECT_EQ(Value(kBlock, 0), 0x12345678u);
  EXPECT_EQ(Value(kSecondBlock, 0), 0x12345678u);
  EXPECT_EQ(Value(kBlock, 1), 42u);

  // Items: only item 1 exists, and it takes exactly 4 bytes.
  EXPECT_EQ(wmi.SetSingleItem(kBlock, InstanceOf(0), 2, Bytes(7)).status, STATUS_WMI_ITEMID_NOT_FOUND);
  EXPECT_EQ(wmi.SetSingleItem(kBlock, InstanceOf(0), 1, {7, 0}).status, STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(Value(kBlock, 0), 0x12345678u);
  EXPECT_EQ(wmi.SetSingleItem(kBlock, InstanceOf(0), 1, Bytes(7)).status, STATUS_SUCCESS);
  EXPECT_EQ(Value(kSecondBlock, 0), 7u);

  // No methods; every enable and disable is accepted.
  r = wmi.ExecuteMethod(kBlock, InstanceOf(0), 1, Bytes(3));
  EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(r.information, 0u);
  for (UCHAR minor : {IRP_MN_ENABLE_EVENTS, IRP_MN_DISABLE_EVENTS, IRP_MN_ENABLE_COLLECTION,
                      IRP_MN_DISABLE_COLLECTION})
    EXPECT_EQ(wmi.Control(kSecondBlock, minor).status, STATUS_SUCCESS) << int(minor);

  // All data: one instance, its offset and length in the table.
  r = wmi.QueryAllData(kBlock);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  const WNODE_ALL_DATA all = Wnode<WNODE_ALL_DATA>(r);
  EXPECT_EQ(all.InstanceCount, 1u);
  EXPECT_EQ(all.DataBlockOffset, 72u);
  EXPECT_EQ(all.OffsetInstanceDataAndLength[0].OffsetInstanceData, 72u);
  EXPECT_EQ(all.OffsetInstanceDataAndLength[0].LengthInstanceData, 4u);
  EXPECT_EQ(all.WnodeHeader.BufferSize, 76u);
  EXPECT_EQ(r.data.size(), 4u);

  // A card device made afresh starts again at 42; the other card keeps its value.
  EXPECT_EQ(wmi.SetSingleItem(kBlock, InstanceOf(1), 1, Bytes(9)).status, STATUS_SUCCESS);
  ASSERT_EQ(kernel().pnp->DisableDevice(Node(0)), STATUS_SUCCESS);
  EXPECT_EQ(wmi.InstanceNames(kBlock), std::vector<std::u16string>{InstanceName(1)});
  ASSERT_EQ(kernel().pnp->EnableDevice(Node(0)), STATUS_SUCCESS);
  EXPECT_EQ(Value(kBlock, 0), 42u);
  EXPECT_EQ(Value(kSecondBlock, 1), 9u);
}

TEST_F(CardWmiTest, RequestsForOthersPassOnAndBadOnesAreRefused) {
  DEVICE_OBJECT* card = Fdo(0);
  DEVICE_OBJECT* port = Extension(0)->PortDevices[0];
  ASSERT_NE(port, nullptr);

  // Through a port's stack: the port hands it to its card, whose provider ID
  // it carries.
  sim::WmiResult r = RawQuery(port, card);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(Wnode<WNODE_SINGLE_INSTANCE>(r).SizeDataBlock, 4u);

  // Another provider's request, or one that is no WMI request, goes down to
  // the PCI bus driver, which leaves it as it came.
  EXPECT_EQ(RawQuery(card, Fdo(1)).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(RawQuery(card, card, 0x0A).status, STATUS_NOT_SUPPORTED);

  // What the library refuses the card completes: an unknown block, an
  // instance the card does not have.
  r = RawQuery(card, card, IRP_MN_QUERY_SINGLE_INSTANCE, 0, *sim::ParseGuid("{00000000-0000-0000-0000-000000000001}"));
  EXPECT_EQ(r.status, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(RawQuery(card, card, IRP_MN_QUERY_SINGLE_INSTANCE, 1).status, STATUS_WMI_INSTANCE_NOT_FOUND);
  EXPECT_EQ(wmi.QuerySingleInstance(kBlock, 2).status, STATUS_WMI_INSTANCE_NOT_FOUND);
  EXPECT_EQ(Value(kBlock, 0), 42u);
}

}  // namespace
}  // namespace card_test
