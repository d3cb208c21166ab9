// The four ways to configuration space (the bus driver's requests, its bus
// interface, ports 0xCF8/0xCFC, memory-mapped space) and the HAL's bus data
// routines all reach the same bytes; functions nobody answers read all ones.
#include <gtest/gtest.h>

#include "hw_test_support.h"

namespace {

using sim::hw::ConfigPath;
using sim::hw::PciLocation;

class ConfigPathsTest : public sim::test::HwTest {};

TEST_F(ConfigPathsTest, EveryPathReadsTheSameHeader) {
  ULONG by_request = 0;
  ASSERT_EQ(ConfigRequest(false, &by_request, 0, 4), STATUS_SUCCESS);
  EXPECT_EQ(by_request, 0x11991C29u);
  EXPECT_EQ(LegacyRead(at(), 0x00), by_request);
  EXPECT_EQ(EcamRead32(at(), 0x00), by_request);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  BUS_INTERFACE_STANDARD bus = QueryBusInterface(&status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ULONG by_interface = 0;
  EXPECT_EQ(bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, &by_interface, 0, 4), 4u);
  EXPECT_EQ(by_interface, by_request);
  bus.InterfaceDereference(bus.Context);
  ULONG by_hal = 0;
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, at().bus, at().device | at().function << 5, &by_hal, 0, 4), 4u);
  EXPECT_EQ(by_hal, by_request);
}

TEST_F(ConfigPathsTest, AWriteByOnePathIsSeenByTheOthers) {
  // Byte +1 of block 5 (FIFO setting) through each path in turn.
  const ULONG reg = 0x40 + 8 * 5 + 1;
  UCHAR value = 0x21;
  ASSERT_EQ(ConfigRequest(true, &value, reg, 1), STATUS_SUCCESS);
  EXPECT_EQ((LegacyRead(at(), reg & ~3u) >> 8 * (reg & 3)) & 0xFF, 0x21u);

  LegacyWrite(at(), reg & ~3u, 0x00003300u);  // bytes +0 to +3 of the block in one dword
  EXPECT_EQ(card().PortBlock(5)[1], 0x33);

  EcamWrite8(at(), reg, 0x44);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  BUS_INTERFACE_STANDARD bus = QueryBusInterface(&status);
  UCHAR seen = 0;
  EXPECT_EQ(bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, &seen, reg, 1), 1u);
  EXPECT_EQ(seen, 0x44);
  UCHAR by_interface = 0x55;
  EXPECT_EQ(bus.SetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, &by_interface, reg, 1), 1u);
  bus.InterfaceDereference(bus.Context);

  UCHAR by_hal = 0;
  HalGetBusDataByOffset(PCIConfiguration, at().bus, at().device, &by_hal, reg, 1);
  EXPECT_EQ(by_hal, 0x55);
  by_hal = 0x66;
  EXPECT_EQ(HalSetBusDataByOffset(PCIConfiguration, at().bus, at().device, &by_hal, reg, 1), 1u);
  UCHAR back = 0;
  ASSERT_EQ(ConfigRequest(false, &back, reg, 1), STATUS_SUCCESS);
  EXPECT_EQ(back, 0x66);
}

TEST_F(ConfigPathsTest, ExtendedSpaceIsReachedByRequestsEcamAndHalButNotTheLegacyPorts) {
  UCHAR gpio = 0x5A;
  ASSERT_EQ(ConfigRequest(true, &gpio, 0x119, 1), STATUS_SUCCESS);
  EXPECT_EQ((EcamRead32(at(), 0x118) >> 8) & 0xFF, 0x5Au);
  UCHAR by_hal = 0;
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, at().bus, at().device, &by_hal, 0x119, 1), 1u);
  EXPECT_EQ(by_hal, 0x5A);
  // Mechanism #1 has eight register bits: 0x118 wraps to 0x18 (BAR2).
  EXPECT_EQ(LegacyRead(at(), 0x118), card().Get32(0x18));
}

TEST_F(ConfigPathsTest, AFunctionThatDoesNotExistReadsAllOnes) {
  const PciLocation nobody{at().bus, 7, 0};
  EXPECT_EQ(LegacyRead(nobody, 0x00), 0xFFFFFFFFu);
  EXPECT_EQ(LegacyRead({200, 0, 0}, 0x00), 0xFFFFFFFFu);
  EXPECT_EQ(EcamRead32(nobody, 0x08), 0xFFFFFFFFu);
  UCHAR cls[2] = {0, 0};
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, at().bus, 7, cls, 0x0A, 2), 2u) << "empty slot";
  EXPECT_EQ(cls[0], 0xFF);
  EXPECT_EQ(cls[1], 0xFF);
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 200, 0, cls, 0x0A, 1), 0u) << "no such bus";
  LegacyWrite(nobody, 0x10, 0);  // ignored, and harmless
  // Without the enable bit the data port is not a configuration cycle.
  WRITE_PORT_ULONG(reinterpret_cast<PULONG>(0xCF8), at().bus << 16);
  EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(0xCFC)), 0xFFFFFFFFu);
}

TEST_F(ConfigPathsTest, TheLatchAtCf8ReadsBackWithoutItsLowBits) {
  WRITE_PORT_ULONG(reinterpret_cast<PULONG>(0xCF8), 0x80000063u);
  EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(0xCF8)), 0x80000060u);
  // Host bridge register 0x60 through the latch, whatever bits 1:0 said.
  EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(0xCFC)), hw().pci().host_bridge().Get32(0x60));
}

TEST_F(ConfigPathsTest, RequestsPastTheEndTransferWhatFitsAndFail) {
  UCHAR bytes[8] = {};
  ULONG_PTR information = 99;
  EXPECT_EQ(ConfigRequest(false, bytes, 0xFFC, 8, &information), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(information, 4u);
}

TEST_F(ConfigPathsTest, ReadOnlyRegistersKeepTheirValuesWhateverThePath) {
  ULONG ones = 0xFFFFFFFF;
  ASSERT_EQ(ConfigRequest(true, &ones, 0x00, 4), STATUS_SUCCESS);
  LegacyWrite(at(), 0x2C, 0x12345678);
  EcamWrite8(at(), 0xF3, 0x00);
  EXPECT_EQ(LegacyRead(at(), 0x00), 0x11991C29u);
  EXPECT_EQ(card().Get32(0x2C), 0u);
  EXPECT_EQ(card().Get8(0xF3), 0x3F) << "OptionalPortMask is read-only";
}

TEST_F(ConfigPathsTest, BarsAnswerSizingWithTheirSizeAndKeepTheirFlags) {
  LegacyWrite(at(), 0x24, 0xFFFFFFFF);
  EXPECT_EQ(LegacyRead(at(), 0x24), 0xFFFFFFE1u) << "32-byte I/O BAR";
  LegacyWrite(at(), 0x24, 0xC000);
  EXPECT_EQ(LegacyRead(at(), 0x24), 0xC001u);
  LegacyWrite(at(), 0x14, 0xFFFFFFFF);
  EXPECT_EQ(LegacyRead(at(), 0x14), 0xFFFFF000u) << "4 KiB memory BAR";
}

TEST_F(ConfigPathsTest, EachPathCountsItsOwnAccesses) {
  const sim::hw::HwCounters before = hw().counters();
  ULONG value = 0;
  ConfigRequest(false, &value, 0, 4);
  LegacyRead(at(), 0);
  EcamRead32(at(), 0);
  HalGetBusDataByOffset(PCIConfiguration, at().bus, at().device, &value, 0, 1);
  const sim::hw::HwCounters& after = hw().counters();
  for (ConfigPath path : {ConfigPath::BusRequest, ConfigPath::LegacyPorts, ConfigPath::Ecam, ConfigPath::Hal})
    EXPECT_EQ(after.ConfigAccesses(path) - before.ConfigAccesses(path), 1u) << sim::hw::ConfigPathName(path);
  EXPECT_EQ(after.port_writes - before.port_writes, 1u);
  EXPECT_EQ(after.port_reads - before.port_reads, 1u);
  EXPECT_EQ(after.register_reads - before.register_reads, 1u);
}

}  // namespace
