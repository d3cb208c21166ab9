// The multi-port serial card: one PCI Express function (vendor 0x1C29)
// with up to twelve 16550-class UARTs. Each UART n is configured by the
// 8-byte block at 0x40 + 8 n of configuration space and answers at the I/O
// address held in bytes +4 and +5 of its block, only while the block's
// enable bit (byte +0, bit 0) is set and the Command register enables I/O.
// Bits 7:6 of byte +0 select the UART's baud clock: 00 1.8432 MHz, 01
// 18.432 MHz, 10 24 MHz, 11 14.769 MHz.
//
// Interrupt: each UART's interrupt output, gated by its MCR OUT2, is ORed
// onto the card's level-triggered INTx, which drives the interrupt line
// the Interrupt Line register (0x3C) names. Only enabled blocks of fitted
// UARTs take part; the line is deasserted while the card is pulled, I/O
// decoding is off or the Command register's interrupt disable bit is set.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "sim/hw/io_device.h"
#include "sim/hw/pci_function.h"
#include "sim/hw/serial_device.h"
#include "sim/hw/uart_16550.h"

namespace sim::hw {

struct CardModelConfig {
  PciLocation location{1, 0, 0};
  uint16_t vendor_id = 0x1C29;
  uint16_t device_id = 0x1104;
  uint32_t subsystem = 0;           // subsystem ID << 16 | subsystem vendor ID
  uint8_t revision = 0;
  uint8_t optional_port_mask = 0x3F;  // register 0xF3
  uint16_t absent_uarts = 0;        // bit n: UART n is not fitted
  uint16_t unavailable_blocks = 0;  // bit n: block n carries the "not available" mark
  int uart_count = -1;              // -1: what the Device ID says (4, 8, 12; else 0)
  uint8_t interrupt_line = 0x0B;
  uint16_t command = 0x0003;        // I/O and memory decoding on
  std::array<uint32_t, 6> bars{0xE001, 0xFE000000, 0xE101, 0, 0, 0xE201};
  // BAR5, BAR4 and BAR3 are the I/O windows of the three groups of four
  // UARTs (ports 1-4, 5-8, 9-12), 32 bytes each.
  std::array<uint32_t, 6> bar_sizes{0x100, 0x1000, 0x100, 0x20, 0x20, 0x20};
};

// UARTs a chip has, by Device ID: 0x1104 four, 0x1108 eight, 0x1112 twelve.
int UartCountOf(uint16_t device_id);

class UartCard : public PciFunction, public IoDevice {
 public:
  static constexpr unsigned kMaxPorts = 12;
  static constexpr uint32_t kBlockBase = 0x40;
  static constexpr uint32_t kOptionalPortMask = 0xF3;

  explicit UartCard(const CardModelConfig& config);
  ~UartCard() override;

  const CardModelConfig& config() const { return config_; }
  // The eight bytes of port block n as the card holds them.
  std::array<uint8_t, 8> PortBlock(unsigned n) const;
  bool UartFitted(unsigned n) const;
  // Takes UART n off the card (it then reads all ones, as an absent one
  // does) or fits it again.
  void SetUartFitted(unsigned n, bool fitted);
  Uart16550& uart(unsigned n) { return uarts_.at(n); }
  // The UART answering at the port, or -1. The caller checks reachability.
  int UartAt(uint16_t port) const;

  // The baud clock bits 7:6 of block n's byte +0 select, in Hz.
  uint32_t BaudClock(unsigned n) const;

  // I/O space.
  bool Decodes(uint16_t port) const override { return UartAt(port) >= 0; }
  uint32_t ReadPort(uint16_t port, unsigned width) override;
  void WritePort(uint16_t port, uint32_t value, unsigned width) override;

  // The device plugged into port n (0-based UART index): plugging replaces
  // what was there; unplugging returns it (null when the port was empty).
  void Plug(unsigned uart_index, std::unique_ptr<SerialDevice> device);
  std::unique_ptr<SerialDevice> Unplug(unsigned uart_index);
  SerialDevice* attached(unsigned uart_index) const;

  // INTx as the card drives it, the line it goes to, and UART n's
  // contribution to it.
  bool InterruptAsserted() const { return asserted_; }
  int interrupt_line() const { return line_; }
  // Called when INTx or its line changes (the machine's hardware drives
  // the interrupt controller from it).
  void OnInterruptChange(std::function<void()> changed) { interrupt_changed_ = std::move(changed); }
  bool UartInterrupting(unsigned n) const;
  // Re-evaluates INTx; the card does it after every register access and
  // every change of its UARTs.
  void UpdateInterrupt();
  // The card loses power (D3 to D0 reset, or the system sleeps): the
  // header's Command, cache line, latency, BARs and Interrupt Line, every
  // port block and the chip's other registers go back to their reset
  // values (straps and identity stay), and every UART resets, dropping
  // DTR and RTS.
  void LosePower();

 protected:
  void WriteByte(uint32_t offset, uint8_t value, uint8_t mask) override;
  void Written() override { UpdateInterrupt(); }
  void PresenceChanged() override { UpdateInterrupt(); }

 private:
  CardModelConfig config_;
  int uart_count_;
  std::array<Uart16550, kMaxPorts> uarts_;
  std::array<bool, kMaxPorts> uart_output_{};
  bool asserted_ = false;
  int line_ = -1;
  std::function<void()> interrupt_changed_;
};

}  // namespace sim::hw
