// The card driver's hardware access routines, called by their declared
// names in a booted machine: configuration mechanism #1, single physical
// bytes, the delay, the card's configuration space through its stack and
// the PCI bus interface.
#include <gtest/gtest.h>

#include "card/hw/hw_access.h"
#include "card_machine.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/scheduler.h"

namespace card_test {
namespace {

class HwAccessTest : public CardMachineTest {
 protected:
  HwAccessTest() {
    config_.host_bridge.id_dword = 0x12348086;
    config_.host_bridge.register_60 = 0xF8000001;
    config_.cards = {Card(0x1108)};
  }

  sim::hw::HwCounters& Counters() { return machine().hardware().counters(); }
  DEVICE_OBJECT* CardDevice() { return machine().cards().at(0).pdo->AttachedDevice; }
  // The card's configuration space in the memory-mapped window.
  uint32_t CardEcam() { return 0xF8000000u + (Model().location().bus << 20); }
};

TEST_F(HwAccessTest, ConfigMechanism1ChecksItsRangeAndSeesTheSameBytes) {
  auto* read = &PciConfigReadDword;
  auto* write = &PciConfigWriteDword;
  auto* read_port = &ReadPortDword;

  const uint64_t port_accesses = Counters().port_reads + Counters().port_writes;
  ULONG value = 0x5A5A5A5A;
  EXPECT_FALSE(read(256, 0, 0, 0, &value));
  EXPECT_FALSE(read(0, 32, 0, 0, &value));
  EXPECT_FALSE(read(0, 0, 8, 0, &value));
  EXPECT_FALSE(write(0, 0, 8, 0, &value));
  EXPECT_EQ(value, 0x5A5A5A5Au);
  EXPECT_EQ(Counters().port_reads + Counters().port_writes, port_accesses) << "no port touched";

  EXPECT_TRUE(read(255, 31, 7, 0, &value));
  EXPECT_EQ(value, 0xFFFFFFFFu) << "nobody answers";
  EXPECT_TRUE(read(0, 0, 0, 0x60, &value));
  EXPECT_EQ(value, 0xF8000001u);
  EXPECT_EQ(read_port(0xCF8), 0x80000060u);

  const uint32_t bus = Model().location().bus;
  EXPECT_TRUE(read(bus, 0, 0, 0, &value));
  EXPECT_EQ(value, 0x11081C29u);
  const ULONG line = 0x0000002A;
  EXPECT_TRUE(write(bus, 0, 0, 0x3C, &line));
  EXPECT_EQ(Model().Get8(0x3C), 0x2A);
}

TEST_F(HwAccessTest, PhysicalBytesTakeOneAccessAndOneMappingEach) {
  auto* read = &ReadPhysicalByte;
  auto* write = &WritePhysicalByte;
  const uint64_t reads = Counters().register_reads;
  const uint64_t mappings = Counters().mappings;
  // Vendor 0x1C29, device 0x1108: byte lanes 0 to 3 of the first dword.
  EXPECT_EQ(read(CardEcam() + 0), 0x29u);
  EXPECT_EQ(read(CardEcam() + 1), 0x1Cu);
  EXPECT_EQ(read(CardEcam() + 2), 0x08u);
  EXPECT_EQ(read(CardEcam() + 3), 0x11u);
  EXPECT_EQ(Counters().register_reads - reads, 4u) << "one 32-bit read per byte";
  EXPECT_EQ(Counters().mappings - mappings, 4u);

  write(CardEcam() + 0x109, 0x77);
  EXPECT_EQ(Model().Get8(0x109), 0x77);
  EXPECT_EQ(read(CardEcam() + 0x109), 0x77u);
}

TEST_F(HwAccessTest, DelaySleepsAtPassiveLevelAndSpinsAtDispatchLevel) {
  auto* delay = &DelayMicroseconds;
  LONGLONG before = kernel().scheduler->Now();
  delay(100);
  EXPECT_GE(kernel().scheduler->Now() - before, 1000);

  KIRQL old = PASSIVE_LEVEL;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  before = kernel().scheduler->Now();
  delay(100);
  EXPECT_EQ(kernel().scheduler->Now() - before, 1000);
  KeLowerIrql(old);
}

TEST_F(HwAccessTest, CardConfigurationSpaceAndBusInterfaceThroughTheStack) {
  auto* access = &CardConfigAccess;
  auto* query = &QueryBusInterface;

  UCHAR header[256] = {};
  ASSERT_EQ(access(CardDevice(), 0, header, 0, sizeof header), STATUS_SUCCESS);
  for (unsigned i = 0; i < 256; ++i) ASSERT_EQ(header[i], Model().Get8(i)) << "offset " << i;
  UCHAR fifo = 0x0F;
  ASSERT_EQ(access(CardDevice(), 1, &fifo, 0x41, 1), STATUS_SUCCESS);
  EXPECT_EQ(Model().Get8(0x41), 0x0F);

  BUS_INTERFACE_STANDARD bus = {};
  ASSERT_EQ(query(CardDevice(), &bus), STATUS_SUCCESS);
  EXPECT_EQ(bus.Size, sizeof(BUS_INTERFACE_STANDARD));
  EXPECT_EQ(bus.Version, 1);
  ASSERT_TRUE(bus.GetBusData && bus.InterfaceDereference);
  USHORT vendor = 0;
  EXPECT_EQ(bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, &vendor, 0, 2), 2u);
  EXPECT_EQ(vendor, 0x1C29);
  bus.InterfaceDereference(bus.Context);
}

}  // namespace
}  // namespace card_test
