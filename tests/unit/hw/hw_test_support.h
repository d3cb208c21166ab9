// A machine with one serial card that no driver claims (its Device ID is
// not in the driver table), so tests see the hardware exactly as the
// models leave it, plus helpers for the four ways to configuration space.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/hw/hardware.h"
#include "sim/hw/serial_device.h"
#include "sim/hw/serial_line.h"
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

  // Lets virtual time pass with the test thread waiting.
  void Advance(LONGLONG ticks);
  // The card's interrupt line as the interrupt controller sees it.
  bool IntxAsserted();
};

// A UART reached through I/O ports as a driver reaches it.
struct UartPorts {
  uint16_t base = 0;
  UCHAR In(unsigned reg) const;
  void Out(unsigned reg, UCHAR value) const;
  // Divisor latch and line control, as a driver sets a rate and a format.
  void Program(uint16_t divisor, UCHAR line_control) const;
  // Reads the receive FIFO while it has data.
  std::string Drain() const;
};

// A device for tests: records what the UART sends and when its control
// lines change, and lets the test send through the line.
class ProbeDevice : public hw::SerialDevice {
 public:
  struct Heard {
    uint8_t byte;
    hw::SerialFormat format;
    LONGLONG at;
  };
  struct Control {
    hw::ControlLines lines;
    LONGLONG at;
  };
  std::vector<Heard> heard;
  std::vector<Control> controls;
  bool plugged = false;

  void Plugged() override { plugged = true; }
  void Unplugged() override { plugged = false; }
  void Received(uint8_t byte, const hw::SerialFormat& format) override {
    heard.push_back({byte, format, line().Now()});
  }
  void ControlChanged(const hw::ControlLines&) override { controls.push_back({line().control(), line().Now()}); }
  std::string kind() const override { return "probe"; }
  std::string state() const override { return std::to_string(heard.size()) + " heard"; }
  hw::SerialLine& wire() { return line(); }
};

}  // namespace sim::test
