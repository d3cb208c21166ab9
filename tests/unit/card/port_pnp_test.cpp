// Plug and Play requests of a port device: lifecycle requests accepted and
// harmless, text left alone, the port resource interface handed out and
// counted, and what only the card's bus knows asked of the card's stack,
// with the fail-if-unhandled rule for what that stack leaves unanswered.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "card_machine.h"
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/pool.h"
#include "wdmguid.h"

namespace {

using card_test::Card;
using card_test::CardMachineTest;

class PortPnpTest : public CardMachineTest {
 protected:
  PortPnpTest() { config_.cards = {Card(0x1108)}; }
  DEVICE_OBJECT* Port(int slot = 1) { return Extension()->PortDevices[slot]; }
  IO_STATUS_BLOCK ToPort(UCHAR minor, const std::function<void(IO_STACK_LOCATION*)>& fill = {},
                         NTSTATUS initial = STATUS_NOT_SUPPORTED, ULONG_PTR information = 0) {
    return SendPnp(Port(), minor, fill, initial, information);
  }
};

TEST_F(PortPnpTest, LifecycleRequestsAreAcceptedAndTheDeviceStays) {
  // The port's own handlers, with no serial port driver above them.
  ASSERT_EQ(kernel().pnp->DisableDevice(PortNodes().at(1)), STATUS_SUCCESS);
  const UCHAR accepted[] = {IRP_MN_START_DEVICE,         IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                            IRP_MN_QUERY_STOP_DEVICE,    IRP_MN_STOP_DEVICE,         IRP_MN_CANCEL_STOP_DEVICE,
                            IRP_MN_QUERY_RESOURCES,      IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                            0x0E,                        IRP_MN_SURPRISE_REMOVAL,    IRP_MN_REMOVE_DEVICE};
  for (UCHAR minor : accepted) {
    IO_STATUS_BLOCK result = ToPort(minor, {}, STATUS_NOT_SUPPORTED, 0x5A5A);
    EXPECT_EQ(result.Status, STATUS_SUCCESS) << "minor " << int(minor);
    EXPECT_EQ(result.Information, 0x5A5Au) << "minor " << int(minor);
  }
  EXPECT_TRUE(kernel().io->IsLiveDevice(Port())) << "only the card's teardown deletes a port";
  EXPECT_EQ(Extension()->PortDevices[1], Port());
  EXPECT_EQ(PortNodes().size(), 8u);
}

TEST_F(PortPnpTest, RemovedPortNodeComesBackWithTheSameDevice) {
  sim::DeviceNode* node = PortNodes().at(1);
  ASSERT_EQ(node->pdo, Port());
  ASSERT_EQ(kernel().pnp->RemoveDevice(node), STATUS_SUCCESS);
  EXPECT_TRUE(node->Gone());
  EXPECT_TRUE(kernel().io->IsLiveDevice(Port()));
  EXPECT_EQ(PortNodes().size(), 7u);
  // A sibling's relations query runs the card's naming pass, which leaves
  // the device key of a port without a node alone (the verifier checks).
  EXPECT_EQ(SendPnp(Port(0), IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION* stack) {
              stack->Parameters.QueryDeviceRelations.Type = RemovalRelations;
            }).Status,
            STATUS_NOT_SUPPORTED);
  // The card still reports it, so the next enumeration finds it again.
  kernel().pnp->EnumerateNow(Node());
  ASSERT_EQ(PortNodes().size(), 8u);
  EXPECT_EQ(PortNodes().back()->pdo, Port());
  EXPECT_EQ(PortNodes().back()->device_id, "ZARKLINK\\*KVRCOM02");
}

TEST_F(PortPnpTest, TextAndUnknownRequestsKeepTheirStatus) {
  for (UCHAR minor : {static_cast<UCHAR>(IRP_MN_QUERY_DEVICE_TEXT), static_cast<UCHAR>(IRP_MN_DEVICE_ENUMERATED),
                      static_cast<UCHAR>(0x40)}) {
    EXPECT_EQ(ToPort(minor, {}, STATUS_NOT_SUPPORTED).Status, STATUS_NOT_SUPPORTED) << "minor " << int(minor);
    EXPECT_EQ(ToPort(minor, {}, STATUS_SUCCESS).Status, STATUS_SUCCESS) << "minor " << int(minor);
  }
  EXPECT_TRUE(Node()->children.at(0)->description.empty());
}

TEST_F(PortPnpTest, IdsNameThePortByItsSlot) {
  struct Query {
    BUS_QUERY_ID_TYPE type;
    std::u16string answer;  // empty: not supported
  };
  const Query queries[] = {{BusQueryDeviceID, u"ZARKLINK\\*KVRCOM02"},
                           {BusQueryHardwareIDs, u"*KVRCOM02"},
                           {BusQueryInstanceID, u"0000"},
                           {BusQueryCompatibleIDs, u""},
                           {BusQueryDeviceSerialNumber, u""},
                           {BusQueryContainerID, u""}};
  for (const Query& query : queries) {
    IO_STATUS_BLOCK result =
        ToPort(IRP_MN_QUERY_ID, [&](IO_STACK_LOCATION* stack) { stack->Parameters.QueryId.IdType = query.type; },
               STATUS_NOT_SUPPORTED, 0x77);
    if (query.answer.empty()) {
      EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
      EXPECT_EQ(result.Information, 0u);
      continue;
    }
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    auto* text = reinterpret_cast<const char16_t*>(result.Information);
    // A one-entry multi-string: the text, its NUL and a second NUL.
    EXPECT_EQ(std::u16string(text), query.answer);
    EXPECT_EQ(text[query.answer.size() + 1], u'\0');
    EXPECT_EQ(kernel().pool->blocks().at(reinterpret_cast<PVOID>(result.Information)).size,
              (query.answer.size() + 2) * sizeof(char16_t));
    ExFreePool(reinterpret_cast<PVOID>(result.Information));
  }
  // Port 12 of a twelve-port card.
  machine().PlugCard(Card(0x1112));
  IO_STATUS_BLOCK result = SendPnp(Extension(1)->PortDevices[11], IRP_MN_QUERY_ID, [](IO_STACK_LOCATION* stack) {
    stack->Parameters.QueryId.IdType = BusQueryDeviceID;
  });
  ASSERT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(result.Information)), u"ZARKLINK\\*KVRCOM12");
  ExFreePool(reinterpret_cast<PVOID>(result.Information));
}

TEST_F(PortPnpTest, NoPoolForAnIdFailsIt) {
  kernel().faults->FailNth(sim::FaultKind::Pool, 1);
  IO_STATUS_BLOCK result = ToPort(IRP_MN_QUERY_ID, [](IO_STACK_LOCATION* stack) {
    stack->Parameters.QueryId.IdType = BusQueryHardwareIDs;
  }, STATUS_NOT_SUPPORTED, 0x77);
  EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.Information, 0u);
}

TEST_F(PortPnpTest, TargetRelationIsThePortItself) {
  IO_STATUS_BLOCK result = ToPort(IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION* stack) {
    stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  });
  ASSERT_EQ(result.Status, STATUS_SUCCESS);
  auto* list = reinterpret_cast<DEVICE_RELATIONS*>(result.Information);
  ASSERT_EQ(list->Count, 1u);
  EXPECT_EQ(list->Objects[0], Port());
  ObfDereferenceObject(list->Objects[0]);
  ExFreePool(list);

  // Bus relations are the port enumerator's, above the serial driver: no
  // device on the port, an empty list.
  result = ToPort(IRP_MN_QUERY_DEVICE_RELATIONS,
                  [](IO_STACK_LOCATION* stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; });
  ASSERT_EQ(result.Status, STATUS_SUCCESS);
  list = reinterpret_cast<DEVICE_RELATIONS*>(result.Information);
  EXPECT_EQ(list->Count, 0u);
  ExFreePool(list);

  // Other relation types are not the port's to answer yet.
  for (DEVICE_RELATION_TYPE type : {RemovalRelations, EjectionRelations}) {
    result = ToPort(IRP_MN_QUERY_DEVICE_RELATIONS,
                    [type](IO_STACK_LOCATION* stack) { stack->Parameters.QueryDeviceRelations.Type = type; });
    EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.Information, 0u);
  }
}

// ---------------------------------------------------------------------------
// The port resource interface.

TEST_F(PortPnpTest, InterfaceIsHandedOutWithOneReferenceForTheCaller) {
  PortResourceInterface record;
  ASSERT_EQ(QueryPortInterface(Port(), &record), STATUS_SUCCESS);
  EXPECT_EQ(record.Size, 40);
  EXPECT_EQ(record.Version, 1);
  EXPECT_EQ(record.Context, Extension());
  ASSERT_NE(record.InterfaceReference, nullptr);
  ASSERT_NE(record.InterfaceDereference, nullptr);
  ASSERT_NE(record.GetPortResources, nullptr);
  EXPECT_EQ(Extension()->InterfaceReferences, 1);
  record.InterfaceReference(record.Context);
  EXPECT_EQ(Extension()->InterfaceReferences, 2);
  record.InterfaceDereference(record.Context);
  record.InterfaceDereference(record.Context);
  EXPECT_EQ(Extension()->InterfaceReferences, 0);

  // A larger buffer is fine; the record states its own size.
  ASSERT_EQ(QueryPortInterface(Port(), &record, 64), STATUS_SUCCESS);
  EXPECT_EQ(record.Size, 40);
  record.InterfaceDereference(record.Context);
}

TEST_F(PortPnpTest, InterfaceRequestsItCannotServeTakeNoReference) {
  PortResourceInterface record;
  EXPECT_EQ(QueryPortInterface(Port(), &record, 40, 0), STATUS_NOT_SUPPORTED) << "version 0 keeps the status";
  EXPECT_EQ(QueryPortInterface(Port(), &record, 39), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(record.GetPortResources, nullptr);
  EXPECT_EQ(ToPort(IRP_MN_QUERY_INTERFACE, [](IO_STACK_LOCATION* stack) {
              stack->Parameters.QueryInterface.InterfaceType = &GUID_PORT_RESOURCE_INTERFACE;
              stack->Parameters.QueryInterface.Size = sizeof(PortResourceInterface);
              stack->Parameters.QueryInterface.Version = 1;
              stack->Parameters.QueryInterface.Interface = nullptr;
            }).Status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Extension()->InterfaceReferences, 0);
}

TEST_F(PortPnpTest, OtherInterfacesComeFromTheCardsBus) {
  BUS_INTERFACE_STANDARD bus{};
  IO_STATUS_BLOCK result = ToPort(IRP_MN_QUERY_INTERFACE, [&](IO_STACK_LOCATION* stack) {
    stack->Parameters.QueryInterface.InterfaceType = &GUID_BUS_INTERFACE_STANDARD;
    stack->Parameters.QueryInterface.Size = sizeof bus;
    stack->Parameters.QueryInterface.Version = 1;
    stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
  });
  ASSERT_EQ(result.Status, STATUS_SUCCESS);
  ASSERT_NE(bus.GetBusData, nullptr);
  USHORT vendor = 0;
  EXPECT_EQ(bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, &vendor, 0, 2), 2u);
  EXPECT_EQ(vendor, 0x1C29);
  bus.InterfaceDereference(bus.Context);
  EXPECT_EQ(Extension()->InterfaceReferences, 0);
}

// ---------------------------------------------------------------------------
// Requests asked of the card's stack.

TEST_F(PortPnpTest, ConfigurationSpaceIsTheCards) {
  UCHAR header[64] = {};
  IO_STATUS_BLOCK result = ToPort(IRP_MN_READ_CONFIG, [&](IO_STACK_LOCATION* stack) {
    stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    stack->Parameters.ReadWriteConfig.Buffer = header;
    stack->Parameters.ReadWriteConfig.Offset = 0;
    stack->Parameters.ReadWriteConfig.Length = sizeof header;
  });
  ASSERT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.Information, sizeof header);
  for (unsigned offset = 0; offset < sizeof header; ++offset)
    EXPECT_EQ(header[offset], Model().Get8(offset)) << "offset " << offset;

  UCHAR line = 9;
  result = ToPort(IRP_MN_WRITE_CONFIG, [&](IO_STACK_LOCATION* stack) {
    stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    stack->Parameters.ReadWriteConfig.Buffer = &line;
    stack->Parameters.ReadWriteConfig.Offset = 0x3C;
    stack->Parameters.ReadWriteConfig.Length = 1;
  });
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(Model().Get8(0x3C), 9);
}

TEST_F(PortPnpTest, CapabilitiesAreTheCardsPciCapabilities) {
  sim::DeviceNode* port = PortNodes().at(0);
  EXPECT_EQ(std::memcmp(&port->capabilities, &Node()->capabilities, sizeof(DEVICE_CAPABILITIES)), 0);
  EXPECT_EQ(port->capabilities.Address, Node()->capabilities.Address);
}

TEST_F(PortPnpTest, BusInformationIsTheCardsBus) {
  IO_STATUS_BLOCK result = ToPort(IRP_MN_QUERY_BUS_INFORMATION);
  ASSERT_EQ(result.Status, STATUS_SUCCESS);
  auto* info = reinterpret_cast<PNP_BUS_INFORMATION*>(result.Information);
  EXPECT_EQ(info->LegacyBusType, PCIBus);
  EXPECT_EQ(info->BusNumber, Model().location().bus);
  ExFreePool(info);
}

// Requests the card's PCI bus driver leaves unhandled: the port fails the
// marked ones and leaves the others as the drivers above set them, their
// Information included.
TEST_F(PortPnpTest, RequestsTheCardsBusLeavesUnhandledFailOnlyWhereMarked) {
  struct Case {
    UCHAR minor;
    bool fails;
  };
  const Case cases[] = {{IRP_MN_READ_CONFIG, true},
                        {IRP_MN_WRITE_CONFIG, true},
                        {IRP_MN_EJECT, true},
                        {IRP_MN_SET_LOCK, true},
                        {IRP_MN_QUERY_BUS_INFORMATION, true},
                        {IRP_MN_QUERY_LEGACY_BUS_INFORMATION, true},
                        {IRP_MN_QUERY_PNP_DEVICE_STATE, false},
                        {IRP_MN_DEVICE_USAGE_NOTIFICATION, false}};
  UCHAR buffer[4] = {};
  auto config_access = [&](IO_STACK_LOCATION* stack) {
    stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    stack->Parameters.ReadWriteConfig.Buffer = buffer;
    stack->Parameters.ReadWriteConfig.Offset = 0x40;
    stack->Parameters.ReadWriteConfig.Length = sizeof buffer;
  };
  const UCHAR block_before = Model().Get8(0x40);
  for (const Case& c : cases) {
    SCOPED_TRACE("minor " + std::to_string(c.minor));
    machine().bus().LeaveUnhandled(c.minor);
    const bool config = c.minor == IRP_MN_READ_CONFIG || c.minor == IRP_MN_WRITE_CONFIG;
    // Drivers above set success and, for the device state, its flags.
    const ULONG_PTR above = PNP_DEVICE_NOT_DISABLEABLE;
    IO_STATUS_BLOCK result = ToPort(c.minor, config ? std::function<void(IO_STACK_LOCATION*)>(config_access) : nullptr,
                                    STATUS_SUCCESS, above);
    EXPECT_EQ(result.Status, c.fails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    EXPECT_EQ(result.Information, above);
    // One that came in unanswered stays so.
    result = ToPort(c.minor, config ? std::function<void(IO_STACK_LOCATION*)>(config_access) : nullptr,
                    STATUS_NOT_SUPPORTED, 0);
    EXPECT_EQ(result.Status, c.fails ? STATUS_UNSUCCESSFUL : STATUS_NOT_SUPPORTED);
    machine().bus().LeaveUnhandled(c.minor, false);
  }
  EXPECT_EQ(Model().Get8(0x40), block_before) << "an unhandled write wrote nothing";
  // The card's own state did not move.
  EXPECT_EQ(Extension()->PnpState, static_cast<ULONG>(::Started));
  EXPECT_TRUE(Started());
}

TEST_F(PortPnpTest, ForwardWithoutARequestToSpareFails) {
  kernel().faults->FailNth(sim::FaultKind::Irp, 1);
  IO_STATUS_BLOCK result = ToPort(IRP_MN_EJECT, {}, STATUS_NOT_SUPPORTED, 0x33);
  EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.Information, 0x33u);
}

}  // namespace
