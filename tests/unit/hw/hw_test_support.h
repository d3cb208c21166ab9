// A machine with one serial card that no driver claims (its Device ID is
// not in the driver table), so tests see the hardware exactly as the
// models leave it, plus helpers for the four ways to configuration space.
#pragma once

#include <cstdint>

#include "sim/hw/hardware.h"
#include "support/kernel_test.h"
#include "wdm.h"

namespace sim::test {

class HwTest : public KernelTest {
 protected:
  MachineConfig config() const override {
    MachineConfig config;
    CardConfig card;
    card.device_id = 0x1199;  // bound to no driver
    card.uart_count = 12;
    config.cards.push_back(card);
    return config;
  }
  hw::Hardware& hw() { return machine().hardware(); }
  hw::UartCard& card() { return *machine().cards().at(0).model; }
  DEVICE_OBJECT* pdo() { return machine().cards().at(0).pdo; }
  hw::PciLocation at() { return card().location(); }

  // IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG sent to the PDO and waited for.
  NTSTATUS ConfigRequest(bool write, void* buffer, ULONG offset, ULONG length, ULONG_PTR* information = nullptr);
  // Mechanism #1 through ports 0xCF8 / 0xCFC.
  uint32_t LegacyRead(const hw::PciLocation& where, uint32_t reg);
  void LegacyWrite(const hw::PciLocation& where, uint32_t reg, uint32_t value);
  // Memory-mapped configuration space through MmMapIoSpace.
  uint32_t EcamRead32(const hw::PciLocation& where, uint32_t reg);
  void EcamWrite8(const hw::PciLocation& where, uint32_t reg, uint8_t value);
  // The standard bus interface from the PDO.
  BUS_INTERFACE_STANDARD QueryBusInterface(NTSTATUS* status);
  // Writes byte +0 (enable) and the address bytes of port block n.
  void EnableBlock(unsigned n, uint16_t address);
};

}  // namespace sim::test
