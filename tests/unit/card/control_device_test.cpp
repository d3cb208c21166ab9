// The card's control device through a booted machine with three cards (4,
// 8 and 12 ports on buses 1 to 3): each code's length test, batch, raw
// access within the card's bounds, per-port and GPIO codes, seen in the
// card's configuration space and registry as well as in the records.
#include <gmock/gmock.h>

#include <cstring>
#include <string>

#include "card/control/control_codes.h"
#include "card_machine.h"
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/utf16_text.h"
#include "sim/machine/serial_session.h"
#include "support/seed_range.h"

namespace card_test {
namespace {

// The caller's buffer, marked so that any byte written past what the
// request returned shows.
struct Exchange {
  ULONG information = 0;
  uint8_t out[64];
  template <typename Record>
  Record As() const {
    Record record;
    std::memcpy(&record, out, sizeof record);
    return record;
  }
};

ControlRecord Record(uint32_t target, uint32_t value = 0) {
  ControlRecord record{};
  record.Target = target;
  record.Value = value;
  record.Result = 0xA5A5A5A5u;
  std::memcpy(record.Opaque, "opaque!", 7);
  return record;
}

PciAccessRecord Pci(uint32_t bus, uint8_t device, uint8_t function, uint32_t offset, uint32_t data = 0x11223344,
                    uint32_t width = 4) {
  return PciAccessRecord{bus, data, offset, width, device, function};
}

class ControlDeviceTest : public CardMachineTest {
 protected:
  void SetUp() override {
    config_.host_bridge.id_dword = 0x22808086;
    config_.cards = {Card(0x1104), Card(0x1108), Card(0x1112)};
    // Port 1 of the first card: a device that says HELLO at 9600 baud
    // shortly after DTR rises.
    sim::hw::AttachedDeviceConfig hello;
    hello.kind = "raw";
    hello.bytes = "HELLO";
    hello.trigger = "dtr";
    hello.delay_ms = 20;
    config_.cards[0].devices[1] = hello;
    Boot();
    ASSERT_EQ(app().EnablePrivilege(SE_LOAD_DRIVER_PRIVILEGE), STATUS_SUCCESS);
    for (size_t i = 0; i < 3; ++i) {
      ASSERT_TRUE(Started(i));
      ASSERT_EQ(app().Open("\\Device\\ZARKLINK_" + std::to_string(i), &handles_[i]), STATUS_SUCCESS);
      ASSERT_EQ(Extension(i)->BusNumber, i + 1);
    }
  }
  void TearDown() override {
    for (HANDLE handle : handles_) EXPECT_EQ(app().Close(handle), STATUS_SUCCESS);
    CardMachineTest::TearDown();
  }

  template <typename Record>
  Exchange Send(size_t card, ULONG code, const Record& record, ULONG in = sizeof(Record), ULONG out = sizeof(Record)) {
    Exchange exchange;
    std::memset(exchange.out, 0xEE, sizeof exchange.out);
    uint8_t input[64] = {};
    std::memcpy(input, &record, sizeof record);
    sim::IoResult result = app().DeviceIoControl(handles_[card], code, input, in, exchange.out, out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    exchange.information = static_cast<ULONG>(result.information);
    for (size_t b = exchange.information; b < sizeof exchange.out; ++b)
      EXPECT_EQ(exchange.out[b], 0xEE) << "byte " << b << " returned past Information";
    return exchange;
  }
  // The record came back exactly as sent.
  template <typename Record>
  void ExpectUnchanged(const Exchange& exchange, const Record& sent, ULONG information = sizeof(Record)) {
    EXPECT_EQ(exchange.information, information);
    EXPECT_EQ(std::memcmp(exchange.out, &sent, information), 0);
  }

  uint8_t ConfigByte(size_t card, uint32_t offset) { return Model(card).Get8(offset); }
  std::string PortKey(size_t card, unsigned port) { return sim::DeviceParametersPath(*machine().PortNode(card, port)); }

  HANDLE handles_[3] = {};
};

TEST_F(ControlDeviceTest, LengthTestsAndUnknownCodes) {
  const ControlRecord probe = Record(0x00);
  EXPECT_EQ(Send(0, 0xA415280Cu, probe).information, 0u);
  EXPECT_EQ(Send(0, IOCTL_CARD_READ_CONFIG_BYTE, probe, 19, 20).information, 0u);
  // The batch codes test both lengths like the others.
  for (ULONG code : {IOCTL_CARD_BATCH_BEGIN, IOCTL_CARD_BATCH_SELECT, IOCTL_CARD_BATCH_APPLY}) {
    EXPECT_EQ(Send(0, code, probe, 18, 19).information, 0u);
    EXPECT_EQ(Send(0, code, probe, 19, 4).information, 0u);
  }
  // Offsets past the card's 4 KiB are left alone; the record comes back as sent.
  ExpectUnchanged(Send(0, IOCTL_CARD_READ_CONFIG_BYTE, Record(0x1000)), Record(0x1000));
  const Exchange vendor = Send(0, IOCTL_CARD_READ_CONFIG_BYTE, Record(0x01));
  EXPECT_EQ(vendor.information, 19u);
  EXPECT_EQ(vendor.As<ControlRecord>().Result, 0x1Cu);

  // A write to an I/O port is served whatever the output length; no byte
  // goes back past the caller's buffer.
  const uint16_t scratch = static_cast<uint16_t>(SlotAddress(Bar5(), 0) + 7);
  for (ULONG out : {0u, 4u, 19u, 40u}) {
    const Exchange write = Send(0, IOCTL_CARD_WRITE_IO_BYTE, Record(scratch, 0x40 + out), 19, out);
    EXPECT_EQ(write.information, std::min(out, 19u));
    EXPECT_EQ(Send(0, IOCTL_CARD_READ_IO_BYTE, Record(scratch)).As<ControlRecord>().Result, 0x40 + out);
  }
}

TEST_F(ControlDeviceTest, BatchRewritesFifoBytesOfEveryPort) {
  auto fifo_bytes = [&](size_t card, unsigned ports) {
    std::vector<uint8_t> bytes;
    for (unsigned i = 0; i < ports; ++i) bytes.push_back(ConfigByte(card, 0x41 + 8 * i));
    return bytes;
  };
  // Apply right after load, with no begin.
  EXPECT_EQ(Send(0, IOCTL_CARD_BATCH_APPLY, Record(0)).As<ControlRecord>().Result, CONTROL_RESULT_REFUSED);

  const std::vector<uint8_t> before = fifo_bytes(0, 4);
  const Exchange begin = Send(0, IOCTL_CARD_BATCH_BEGIN, Record(0));
  EXPECT_EQ(begin.As<ControlRecord>().Result, before[0]);
  // Apply without select changes nothing and returns the record as sent.
  ExpectUnchanged(Send(0, IOCTL_CARD_BATCH_APPLY, Record(0)), Record(0));
  EXPECT_EQ(fifo_bytes(0, 4), before);

  // A selection without a pattern is refused and keeps the batch as it was.
  EXPECT_EQ(Send(0, IOCTL_CARD_BATCH_SELECT, Record(0, 5)).information, 0u);
  EXPECT_EQ(Send(0, IOCTL_CARD_BATCH_APPLY, Record(0)).information, 19u);
  EXPECT_EQ(fifo_bytes(0, 4), before);

  // Value 0 arms and keeps selection 3: pattern 0x22 in bits 1:0 and 5:4.
  EXPECT_EQ(Send(0, IOCTL_CARD_BATCH_SELECT, Record(0, 0)).As<ControlRecord>().Result, 0u);
  Send(0, IOCTL_CARD_BATCH_APPLY, Record(0));
  const std::vector<uint8_t> after = fifo_bytes(0, 4);
  for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(after[i], (before[i] & 0xCC) | 0x22) << "port " << i + 1;

  // On the 12-port chip the apply rewrites the twelve bytes 0x41 to 0x99;
  // the state is the driver's, so a select sent to another card counts.
  const std::vector<uint8_t> before12 = fifo_bytes(2, 12);
  Send(2, IOCTL_CARD_BATCH_BEGIN, Record(0));
  Send(1, IOCTL_CARD_BATCH_SELECT, Record(0, 0x104));
  Send(2, IOCTL_CARD_BATCH_APPLY, Record(0));
  const std::vector<uint8_t> after12 = fifo_bytes(2, 12);
  for (unsigned i = 0; i < 12; ++i) EXPECT_EQ(after12[i], (before12[i] & 0xCC) | 0x33) << "port " << i + 1;
  EXPECT_EQ(fifo_bytes(0, 4), after);
}

TEST_F(ControlDeviceTest, RawAccessReachesOnlyTheCard) {
  // The configuration window of bus 3 on a host bridge that keeps no base.
  const Exchange window = Send(2, IOCTL_CARD_GET_CONFIG_WINDOW, Record(0));
  EXPECT_EQ(window.As<ControlRecord>().Result, 0xE0300000u);
  const uint32_t own = 0xE0300000u;
  // The card's extended registers through the window, written and read back.
  EXPECT_EQ(Send(2, IOCTL_CARD_READ_MEMORY_BYTE, Record(own + 0)).As<ControlRecord>().Result, 0x29u);
  EXPECT_EQ(Send(2, IOCTL_CARD_WRITE_MEMORY_BYTE, Record(own + 0xF8, 0x5A)).information, 19u);
  EXPECT_EQ(ConfigByte(2, 0xF8), 0x5A);
  // Another function's window, another card's window, ordinary memory: refused.
  for (uint32_t address : {own + 0x1000, 0xE0100000u, 0x00001000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Send(2, IOCTL_CARD_READ_MEMORY_BYTE, Record(address)).information, 0u) << std::hex << address;
    EXPECT_EQ(Send(2, IOCTL_CARD_WRITE_MEMORY_BYTE, Record(address, 1)).information, 0u) << std::hex << address;
  }
  // I/O ports: the card's UARTs yes; the configuration ports, another card's UARTs no.
  for (uint32_t port : {0xCF8u, 0xCFCu, 0x80u, static_cast<uint32_t>(SlotAddress(Bar5(0), 0))})
    EXPECT_EQ(Send(2, IOCTL_CARD_READ_IO_BYTE, Record(port)).information, 0u) << std::hex << port;
  EXPECT_EQ(Send(2, IOCTL_CARD_READ_IO_BYTE, Record(SlotAddress(Bar5(2), 0) + 3)).information, 19u);

  // Legacy dwords: the card's own function and its root port; not the host
  // bridge, nor another card or its root port.
  const Exchange id = Send(2, IOCTL_CARD_READ_PCI_DWORD, Pci(3, 0, 0, 0));
  EXPECT_EQ(id.information, 18u);
  EXPECT_EQ(id.As<PciAccessRecord>().Data, 0x11121C29u);
  auto root_port_of = [&](uint32_t bus) {
    for (sim::hw::PciBridge* bridge : machine().hardware().pci().Bridges())
      if (bridge->Get8(0x19) == bus) return bridge->location();
    ADD_FAILURE() << "no bridge to bus " << bus;
    return sim::hw::PciLocation{};
  };
  const sim::hw::PciLocation root = root_port_of(3);
  const Exchange bridge = Send(2, IOCTL_CARD_READ_PCI_DWORD, Pci(root.bus, root.device, root.function, 0x18));
  EXPECT_EQ(bridge.information, 18u);
  EXPECT_EQ(bridge.As<PciAccessRecord>().Data & 0xFFFF00, 0x030300u);
  const sim::hw::PciLocation other_root = root_port_of(1);
  for (const sim::hw::PciLocation& at : {sim::hw::PciLocation{0, 0, 0}, sim::hw::PciLocation{1, 0, 0}, other_root}) {
    const uint32_t before = machine().hardware().pci().Find(at)->Read(0x3C, 4);
    EXPECT_EQ(Send(2, IOCTL_CARD_READ_PCI_DWORD, Pci(at.bus, static_cast<uint8_t>(at.device), 0, 0)).information, 0u);
    EXPECT_EQ(Send(2, IOCTL_CARD_WRITE_PCI, Pci(at.bus, static_cast<uint8_t>(at.device), 0, 0x3C, 0x0505)).information, 0u);
    EXPECT_EQ(machine().hardware().pci().Find(at)->Read(0x3C, 4), before) << sim::hw::Describe(at);
  }
  // Numbers no function has: the record comes back as sent; width 3 writes nothing.
  ExpectUnchanged(Send(2, IOCTL_CARD_READ_PCI_DWORD, Pci(256, 0, 0, 0)), Pci(256, 0, 0, 0));
  const uint32_t line = ConfigByte(2, 0x3C);
  ExpectUnchanged(Send(2, IOCTL_CARD_WRITE_PCI, Pci(3, 0, 0, 0x3C, 0x77, 3)), Pci(3, 0, 0, 0x3C, 0x77, 3));
  EXPECT_EQ(ConfigByte(2, 0x3C), line);
  // Width 1 and 2 reach the card's own space whatever bus they name.
  Send(2, IOCTL_CARD_WRITE_PCI, Pci(0, 0, 0, 0xF8, 0xBEEF, 2));
  EXPECT_EQ(ConfigByte(2, 0xF8), 0xEF);
  EXPECT_EQ(ConfigByte(2, 0xF9), 0xBE);
  EXPECT_EQ(ConfigByte(0, 0xF8), 0x00);
}

TEST_F(ControlDeviceTest, PortCodesSetTheBlockAndTheDeviceKey) {
  // Clock: the whole byte and "ClockRate".
  Send(1, IOCTL_CARD_SET_PORT_CLOCK, Record(2, 7));
  EXPECT_EQ(ConfigByte(1, 0x48), 0x00);
  EXPECT_EQ(kernel().registry->GetDword(PortKey(1, 2), "ClockRate"), 24000000u);
  Send(1, IOCTL_CARD_SET_PORT_CLOCK, Record(2, 2));
  EXPECT_EQ(ConfigByte(1, 0x48), 0xC1);
  EXPECT_EQ(kernel().registry->GetDword(PortKey(1, 2), "ClockRate"), 14769000u);
  // Port information: COM number, clock choice, clock-rate class.
  kernel().registry->SetString(PortKey(1, 2), "PortName", u"COM12");
  EXPECT_EQ(Send(1, IOCTL_CARD_GET_PORT_INFO, Record(2)).As<ControlRecord>().Result, 0xC22u);
  kernel().registry->SetString(PortKey(1, 2), "PortName", u"COM1234");
  EXPECT_EQ(Send(1, IOCTL_CARD_GET_PORT_INFO, Record(2)).As<ControlRecord>().Result, 0x022u);

  // FIFO: the byte, "FifoSpeed", and the get.
  ASSERT_EQ(Send(1, IOCTL_CARD_SET_PORT_FIFO, Record(8, 4)).information, 19u);
  EXPECT_EQ(ConfigByte(1, 0x79), 0x03);
  EXPECT_EQ(kernel().registry->GetDword(PortKey(1, 8), "FifoSpeed"), 3u);
  EXPECT_EQ(Send(1, IOCTL_CARD_GET_PORT_FIFO, Record(8)).As<ControlRecord>().Result, 4u);

  // Without the bus interface's buffer, or without the interface, the code
  // is refused and touches nothing.
  for (sim::FaultKind kind : {sim::FaultKind::Pool, sim::FaultKind::Irp}) {
    const unsigned calls = kernel().faults->Calls(kind);
    kernel().faults->FailNth(kind, 1);
    EXPECT_EQ(Send(1, IOCTL_CARD_SET_PORT_FIFO, Record(8, 9)).information, 0u) << sim::FaultKindName(kind);
    EXPECT_EQ(kernel().faults->Calls(kind), calls + 1) << sim::FaultKindName(kind);
    kernel().faults->Clear();
  }
  EXPECT_EQ(ConfigByte(1, 0x79), 0x03);
  EXPECT_EQ(kernel().registry->GetDword(PortKey(1, 8), "FifoSpeed"), 3u);

  // Mode: bits 5:4 only, "Mode" as sent.
  const uint8_t mode = ConfigByte(1, 0x47);
  Send(1, IOCTL_CARD_SET_PORT_MODE, Record(1, 485));
  EXPECT_EQ(ConfigByte(1, 0x47), (mode & 0xCF) | 0x10);
  EXPECT_EQ(kernel().registry->GetDword(PortKey(1, 1), "Mode"), 485u);
  Send(1, IOCTL_CARD_SET_PORT_MODE, Record(1, 232));
  EXPECT_EQ(ConfigByte(1, 0x47), mode & 0xCF);
  EXPECT_EQ(kernel().registry->GetDword(PortKey(1, 1), "Mode"), 232u);

  // Port numbers outside 1 to the card's ports are refused and touch nothing.
  const uint8_t below = ConfigByte(1, 0x38);
  const uint8_t beyond = ConfigByte(1, 0x89);
  for (uint32_t port : {0u, 9u, 13u, 0x80000000u}) {
    EXPECT_EQ(Send(1, IOCTL_CARD_SET_PORT_FIFO, Record(port, 6)).information, 0u) << port;
    EXPECT_EQ(Send(1, IOCTL_CARD_GET_PORT_INFO, Record(port)).information, 0u) << port;
  }
  EXPECT_EQ(ConfigByte(1, 0x38), below);
  EXPECT_EQ(ConfigByte(1, 0x89), beyond);

  // GPIO: a value under the card's key, no hardware touched until the next
  // bring-up; a number whose name does not fit is refused.
  std::vector<uint8_t> space;
  for (uint32_t b = 0; b < Model(0).size(); ++b) space.push_back(ConfigByte(0, b));
  EXPECT_EQ(Send(0, IOCTL_CARD_SET_GPIO, Record(3, 0x1234)).information, 19u);
  EXPECT_EQ(kernel().registry->GetDword(DeviceKey(0), "GPIO3"), 0x1234u);
  EXPECT_EQ(Send(0, IOCTL_CARD_SET_GPIO, Record(static_cast<uint32_t>(-1234), 1)).information, 19u);
  EXPECT_EQ(kernel().registry->GetDword(DeviceKey(0), "GPIO-1234"), 1u);
  for (int32_t number : {100000, -12345})
    EXPECT_EQ(Send(0, IOCTL_CARD_SET_GPIO, Record(static_cast<uint32_t>(number), 1)).information, 0u);
  std::vector<std::string> gpio_values;
  for (const std::string& name : kernel().registry->ValueNames(DeviceKey(0)))
    if (name.starts_with("GPIO")) gpio_values.push_back(name);
  EXPECT_THAT(gpio_values, ::testing::UnorderedElementsAre("GPIO3", "GPIO-1234"));
  for (uint32_t b = 0; b < space.size(); ++b) EXPECT_EQ(ConfigByte(0, b), space[b]) << b;
  BringUpAgain(0);
  EXPECT_EQ(ConfigByte(0, 0xF8 + 8 * 3), 0x34);
  EXPECT_EQ(ConfigByte(0, 0xF9 + 8 * 3), 0x12);
}

// A clock change reaches the line only once the serial port driver knows the
// new rate: it reads "ClockRate" from the port's device key when the port
// starts, so until the port restarts it divides the new clock as the old one.
TEST_F(ControlDeviceTest, ClockChangeReachesTheLineWhenThePortRestarts) {
  sim::SerialSession session;
  session.com_name = sim::Utf16ToUtf8(*kernel().registry->GetString(PortKey(0, 1), "PortName"));
  session.baud_rate = 9600;
  session.read_ms = 100;
  session.read_length = 5;
  auto hear = [&] {
    sim::SerialSessionResult result = sim::RunSerialSession(app(), session);
    EXPECT_EQ(result.status(), STATUS_SUCCESS);
    return std::string(result.read.begin(), result.read.end());
  };
  EXPECT_EQ(hear(), "HELLO");
  ASSERT_EQ(Send(0, IOCTL_CARD_SET_PORT_CLOCK, Record(1, 2)).information, 19u);
  EXPECT_EQ(Model(0).BaudClock(0), 14769000u);
  EXPECT_NE(hear(), "HELLO");
  sim::DeviceNode* port = machine().PortNode(0, 1);
  ASSERT_EQ(kernel().pnp->DisableDevice(port), STATUS_SUCCESS);
  ASSERT_EQ(kernel().pnp->EnableDevice(port), STATUS_SUCCESS);
  EXPECT_EQ(Model(0).BaudClock(0), 14769000u);
  EXPECT_EQ(hear(), "HELLO");
}

// A port device is not the control device: a request sent straight to it
// is refused as one it does not know, and the card's records stay as they are.
TEST_F(ControlDeviceTest, PortDeviceRefusesControlCodes) {
  DEVICE_OBJECT* port = Extension(0)->PortDevices[0];
  ASSERT_NE(port, nullptr);
  const uint8_t fifo = ConfigByte(0, 0x41);
  ControlRecord in = Record(1, 9);
  ControlRecord out{};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_CARD_SET_PORT_FIFO, port, &in, sizeof in, &out, sizeof out, FALSE,
                                           &done, &status);
  ASSERT_NE(irp, nullptr);
  if (IoCallDriver(port, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(status.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(status.Information, 0u);
  EXPECT_EQ(ConfigByte(0, 0x41), fifo);
}

// Only the system and administrators open the card, by the setup
// information's security on every device object of its stack; and the
// driver itself serves the codes that change anything only to a caller
// with the load-driver privilege enabled.
TEST_F(ControlDeviceTest, OnlyAdministratorsChangeTheCard) {
  DEVICE_OBJECT* pdo = machine().cards()[0].pdo;
  for (DEVICE_OBJECT* device : {pdo, pdo->AttachedDevice})
    EXPECT_NE(kernel().io->FindDevice(device)->security, nullptr);
  EXPECT_EQ(kernel().io->FindDevice(Extension(0)->PortDevices[0])->security, nullptr);

  app().RunAs(sim::Account::User);
  HANDLE handle = nullptr;
  EXPECT_EQ(app().Open("\\\\.\\ZARKCARD", &handle), STATUS_ACCESS_DENIED);
  EXPECT_EQ(app().Open("\\Device\\ZARKLINK_0", &handle), STATUS_ACCESS_DENIED);
  EXPECT_EQ(app().EnablePrivilege(SE_LOAD_DRIVER_PRIVILEGE), STATUS_NOT_ALL_ASSIGNED);

  // An administrator opens it; without the privilege enabled only the
  // codes that read are served.
  app().RunAs(sim::Account::Administrator);
  ASSERT_EQ(app().Open("\\\\.\\ZARKCARD", &handle), STATUS_SUCCESS);
  ControlRecord record = Record(1, 5);
  sim::IoResult result;
  for (ULONG code : {IOCTL_CARD_GET_PORT_FIFO, IOCTL_CARD_GET_PORT_INFO, IOCTL_CARD_READ_CONFIG_BYTE}) {
    result = app().DeviceIoControl(handle, code, &record, 19, &record, 19);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(result.information, 19u) << std::hex << code;
  }
  PciAccessRecord pci = Pci(3, 0, 0, 0);
  result = app().DeviceIoControl(handle, IOCTL_CARD_READ_PCI_DWORD, &pci, 18, &pci, 18);
  EXPECT_EQ(result.status, STATUS_PRIVILEGE_NOT_HELD);
  const uint8_t fifo = ConfigByte(2, 0x41);
  for (ULONG code : {IOCTL_CARD_SET_PORT_FIFO, IOCTL_CARD_BATCH_BEGIN, IOCTL_CARD_WRITE_CONFIG_BYTE,
                     IOCTL_CARD_READ_IO_BYTE, IOCTL_CARD_SET_GPIO, IOCTL_CARD_GET_CONFIG_WINDOW}) {
    record = Record(1, 5);
    result = app().DeviceIoControl(handle, code, &record, 19, &record, 19);
    EXPECT_EQ(result.status, STATUS_PRIVILEGE_NOT_HELD) << std::hex << code;
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(ConfigByte(2, 0x41), fifo);
  EXPECT_FALSE(kernel().registry->GetDword(DeviceKey(2), "GPIO1"));
  ASSERT_EQ(app().EnablePrivilege(SE_LOAD_DRIVER_PRIVILEGE), STATUS_SUCCESS);
  record = Record(1, 5);
  EXPECT_EQ(app().DeviceIoControl(handle, IOCTL_CARD_SET_PORT_FIFO, &record, 19, &record, 19).information, 19u);
  EXPECT_EQ(ConfigByte(2, 0x41), 0x04);
  EXPECT_EQ(app().Close(handle), STATUS_SUCCESS);
}

struct ControlCaller {
  sim::Application* app;
  HANDLE handle;
  ULONG served = 0;
};

// Per-port codes, each using a port device and the card's stack, until the
// card is gone and its requests are refused.
void NTAPI SendPortCodesUntilRefused(PVOID context) {
  auto* caller = static_cast<ControlCaller*>(context);
  for (int i = 0; i < 40; ++i) {
    ControlRecord record = Record(1 + i % 4, 1 + i % 16);
    const ULONG code = i % 2 ? IOCTL_CARD_GET_PORT_INFO : IOCTL_CARD_SET_PORT_FIFO;
    sim::IoResult result = caller->app->DeviceIoControl(caller->handle, code, &record, sizeof record, &record, sizeof record);
    if (result.information == 0) break;
    ++caller->served;
  }
}

// The card pulled and its handle closed while another thread sends control
// requests: under no seed does a request use a port device or the card's
// extension after they went, nor leave anything behind.
TEST(ControlDeviceRemovalTest, PulledCardUnderControlRequests) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment(40);
  ULONG served_before_removal = 0;
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    sim::MachineConfig config = sim::test::PreemptedMachine(seed);
    config.cards = {Card(0x1104)};
    sim::Machine machine(config);
    machine.Boot();
    ControlCaller caller{&machine.app(), nullptr};
    ASSERT_EQ(machine.app().EnablePrivilege(SE_LOAD_DRIVER_PRIVILEGE), STATUS_SUCCESS);
    ASSERT_EQ(machine.app().Open("\\\\.\\ZARKCARD", &caller.handle), STATUS_SUCCESS) << "seed " << seed;
    HANDLE handle = nullptr;
    PVOID thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SendPortCodesUntilRefused,
                                   &caller),
              STATUS_SUCCESS);
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    EXPECT_EQ(machine.PullCard(0), STATUS_SUCCESS) << "seed " << seed;
    machine.app().Close(caller.handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    machine.kernel().pnp->WaitIdle();
    machine.Shutdown();
    served_before_removal += caller.served;
    for (const sim::Finding& finding : machine.verifier().findings())
      ADD_FAILURE() << "seed " << seed << ": " << finding.rule << " (" << finding.subject << "): " << finding.detail;
    if (!machine.verifier().clean()) break;
  }
  // Requests were served before the pull, not only refused after it.
  EXPECT_GT(served_before_removal, 0u);
}

}  // namespace
}  // namespace card_test
