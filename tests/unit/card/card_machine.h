// A machine with serial cards for tests of the card driver's hardware side:
// the card's model and extension, its device key, the shared COM number
// table, and a second bring-up through a rebalance (stop and start).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "card/driver/card_extension.h"
// The interface GUID is defined (weakly) wherever this header is used.
#include <initguid.h>
#include "enum/serial/port_resource_interface.h"
#include "sim/hw/hardware.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/enum_registry.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/registry/registry.h"
#include "support/kernel_test.h"

namespace card_test {

inline constexpr char kServiceKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110";
inline constexpr char kComNumConfig[] = "ComNumConfig";

inline sim::CardConfig Card(USHORT device_id, UCHAR optional_mask = 0x3F, USHORT absent = 0) {
  sim::CardConfig card;
  card.device_id = device_id;
  card.optional_port_mask = optional_mask;
  card.absent_uarts = absent;
  return card;
}

// A configuration file of `records` 16-byte records, all zero.
inline std::vector<uint8_t> ConfigFile(size_t records = 27) { return std::vector<uint8_t>(records * 16, 0); }

// Sets record r: selector, COM numbers by slot, global flags, FIFO setting.
inline void SetRecord(std::vector<uint8_t>& file, size_t r, uint8_t selector, std::vector<uint8_t> com_numbers = {},
                      uint8_t flags = 0x01, uint8_t fifo = 0) {
  file.at(16 * r) = selector;
  for (size_t s = 0; s < com_numbers.size(); ++s) file.at(16 * r + 1 + s) = com_numbers[s];
  file.at(16 * r + 13) = flags;
  file.at(16 * r + 14) = fifo;
}

// The UART address of slot s on a card whose BAR5 is bar5.
inline uint16_t SlotAddress(uint32_t bar5, unsigned slot) { return static_cast<uint16_t>((bar5 & 0xFFFC) + 8 * slot); }

// Long enough for the port enumerator's probe of an empty port (100 ns units).
inline constexpr LONGLONG kPortProbeTime = 4 * 10000000LL;

class CardMachineTest : public sim::test::KernelTest {
 protected:
  sim::MachineConfig config() const override { return config_; }

  // Fixtures whose tests build config_ themselves boot with Boot().
  void SetUp() override {
    if (!boot_in_test_) Boot();
  }
  void TearDown() override {
    if (booted_) KernelTest::TearDown();
  }
  void Boot() {
    booted_ = true;
    KernelTest::SetUp();
  }

  sim::hw::UartCard& Model(size_t i = 0) { return *machine().cards().at(i).model; }
  sim::DeviceNode* Node(size_t i = 0) { return kernel().pnp->NodeOf(machine().cards().at(i).pdo); }
  CardExtension* Extension(size_t i = 0) {
    DEVICE_OBJECT* fdo = machine().cards().at(i).pdo->AttachedDevice;
    return fdo ? static_cast<CardExtension*>(fdo->DeviceExtension) : nullptr;
  }
  bool Started(size_t i = 0) { return Node(i)->state == sim::DeviceNode::State::Started; }
  std::string DeviceKey(size_t i = 0) { return sim::DeviceParametersPath(*Node(i)); }
  uint32_t Bar5(size_t i = 0) { return Model(i).config().bars[5]; }

  // Puts the card on a bus of the test's choosing (other than 1), behind a
  // root port whose windows hold its default BARs.
  void PlaceOnBus(sim::CardConfig* card, uint32_t bus) {
    sim::hw::BridgeConfig port;
    port.location = {0, 1, 0};
    port.secondary_bus = port.subordinate_bus = static_cast<uint8_t>(bus);
    port.io_base = port.io_limit = 0xE0;
    port.memory_base = port.memory_limit = 0xFE00;
    config_.bridges = {port};
    card->location = sim::hw::PciLocation{bus, 0, 0};
  }

  // Stops and starts the card again: the second bring-up. The port
  // enumerator refuses to let a port stop while it probes the port, which
  // it does for up to 3.84 s after each start: the restart comes after that.
  void BringUpAgain(size_t i = 0) {
    machine().DelayUntil(kernel().Now() + kPortProbeTime);
    ASSERT_EQ(kernel().pnp->Rebalance(Node(i)), STATUS_SUCCESS);
  }

  bool BlockEnabled(unsigned n, size_t i = 0) { return Model(i).PortBlock(n)[0] & 1; }
  uint16_t BlockAddress(unsigned n, size_t i = 0) {
    auto block = Model(i).PortBlock(n);
    return static_cast<uint16_t>(block[4] | block[5] << 8);
  }

  // The card's port device nodes, in the order its relations reported them.
  std::vector<sim::DeviceNode*> PortNodes(size_t i = 0) {
    std::vector<sim::DeviceNode*> ports;
    for (sim::DeviceNode* child : Node(i)->children)
      if (!child->Gone()) ports.push_back(child);
    return ports;
  }
  // Slots whose port device exists.
  std::vector<int> OccupiedSlots(size_t i = 0) {
    std::vector<int> slots;
    for (int slot = 0; slot < CARD_MAX_PORTS; ++slot)
      if (Extension(i)->PortDevices[slot]) slots.push_back(slot);
    return slots;
  }

  // A Plug and Play request sent to the top of a device's stack, with the
  // status it starts with.
  IO_STATUS_BLOCK SendPnp(DEVICE_OBJECT* device, UCHAR minor, const std::function<void(IO_STACK_LOCATION*)>& fill = {},
                          NTSTATUS initial_status = STATUS_NOT_SUPPORTED, ULONG_PTR information = 0) {
    sim::IoRequest request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    request.initial_status = initial_status;
    request.initial_information = information;
    request.fill = fill;
    return kernel().io->SendAndWait(device, request);
  }

  // Asks a port for the port resource interface: the status, and the record.
  NTSTATUS QueryPortInterface(DEVICE_OBJECT* port, PortResourceInterface* record, USHORT size = sizeof(PortResourceInterface),
                              USHORT version = 1) {
    *record = PortResourceInterface{};
    return SendPnp(port, IRP_MN_QUERY_INTERFACE, [&](IO_STACK_LOCATION* stack) {
             stack->Parameters.QueryInterface.InterfaceType = &GUID_PORT_RESOURCE_INTERFACE;
             stack->Parameters.QueryInterface.Size = size;
             stack->Parameters.QueryInterface.Version = version;
             stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(record);
           }).Status;
  }

  std::vector<uint8_t> ComTable() {
    auto value = kernel().registry->GetValue(kServiceKey, kComNumConfig);
    return value ? value->data : std::vector<uint8_t>{};
  }
  // The four bytes of entry e of "ComNumConfig".
  std::vector<uint8_t> ComEntry(size_t e) {
    std::vector<uint8_t> table = ComTable();
    table.resize(1024, 0);
    return {table.begin() + 4 * e, table.begin() + 4 * e + 4};
  }

  sim::MachineConfig config_;
  bool boot_in_test_ = false;
  bool booted_ = false;
};

}  // namespace card_test
