#include "sim/hw/uart_card.h"

#include "sim/hw/serial_line.h"

namespace sim::hw {

int UartCountOf(uint16_t device_id) {
  switch (device_id) {
    case 0x1104: return 4;
    case 0x1108: return 8;
    case 0x1112: return 12;
    default: return 0;
  }
}

UartCard::UartCard(const CardModelConfig& config)
    : PciFunction(config.location, true),
      config_(config),
      uart_count_(config.uart_count >= 0 ? config.uart_count : UartCountOf(config.device_id)) {
  if (uart_count_ > static_cast<int>(kMaxPorts)) uart_count_ = kMaxPorts;
  Set16(0x00, config.vendor_id);
  Set16(0x02, config.device_id);
  Set16(0x04, config.command);
  Set16(0x06, 0x0010);  // capability list
  Set8(0x08, config.revision);
  Set8(0x09, 0x02);  // 16550-compatible serial controller
  Set8(0x0A, 0x00);
  Set8(0x0B, 0x07);
  for (unsigned i = 0; i < 6; ++i) DefineBar(i, config.bars[i], config.bar_sizes[i]);
  Set32(0x2C, config.subsystem);
  Set8(0x34, 0xC0);
  Set8(0x3C, config.interrupt_line);
  Set8(0x3D, 0x01);
  // PCI Express capability (endpoint) at 0xC0, ending before 0xE4.
  Set8(0xC0, 0x10);
  Set16(0xC2, 0x0002);

  SetWritable(0x04, 1, 0x47);
  SetWritable(0x05, 1, 0x05);
  SetWritable(0x0C, 2, 0xFF);
  SetWritable(0x3C, 1, 0xFF);
  for (unsigned n = 0; n < kMaxPorts; ++n) {
    uint32_t block = kBlockBase + 8 * n;
    // Bits 2:1 of byte +0 are straps: the "not available" mark is 01.
    if (config.unavailable_blocks & (1u << n)) Set8(block, 0x02);
    SetWritable(block + 0, 1, 0xF9);
    SetWritable(block + 1, 1, 0xFF);
    SetWritable(block + 4, 2, 0xFF);
    SetWritable(block + 7, 1, 0xFF);
  }
  SetWritable(0xA1, 2, 0xFF);
  SetWritable(0xB9, 1, 0xFF);
  SetWritable(0xF1, 2, 0xFF);
  Set8(kOptionalPortMask, config.optional_port_mask);
  SetWritable(0xF8, 0x122 - 0xF8, 0xFF);  // GPIO register pairs
  for (unsigned n = 0; n < kMaxPorts; ++n) {
    uarts_[n].SetBaudClock(BaudClock(n));
    uarts_[n].OnChange([this] { UpdateInterrupt(); });
  }
}

void UartCard::LosePower() {
  ClearWritable(0, size());
  for (unsigned n = 0; n < kMaxPorts; ++n) {
    uarts_[n].Reset();
    uarts_[n].SetBaudClock(BaudClock(n));
  }
  UpdateInterrupt();
}

UartCard::~UartCard() {
  for (Uart16550& uart : uarts_) uart.OnChange(nullptr);
}

uint32_t UartCard::BaudClock(unsigned n) const {
  switch (Get8(kBlockBase + 8 * n) >> 6) {
    case 1: return 18432000;
    case 2: return 24000000;
    case 3: return 14769000;
    default: return Uart16550::kDefaultClock;
  }
}

void UartCard::WriteByte(uint32_t offset, uint8_t value, uint8_t mask) {
  PciFunction::WriteByte(offset, value, mask);
  if (offset >= kBlockBase && offset < kBlockBase + 8 * kMaxPorts && (offset - kBlockBase) % 8 == 0) {
    const unsigned n = (offset - kBlockBase) / 8;
    uarts_[n].SetBaudClock(BaudClock(n));
  }
}

bool UartCard::UartInterrupting(unsigned n) const {
  if (n >= kMaxPorts || !UartFitted(n) || !(Get8(kBlockBase + 8 * n) & 0x01)) return false;
  const Uart16550& uart = uarts_[n];
  return uart.InterruptPending() && (uart.modem_control() & Uart16550::kOut2);
}

void UartCard::UpdateInterrupt() {
  const uint16_t command = Get16(0x04);
  const bool enabled = present() && (command & 0x0001) && !(command & 0x0400);
  bool any = false;
  for (unsigned n = 0; n < kMaxPorts; ++n) {
    const bool output = enabled && UartInterrupting(n);
    if (output && !uart_output_[n]) ++uarts_[n].counters().interrupts;
    uart_output_[n] = output;
    any = any || output;
  }
  const int line = Get8(0x3C);
  if (any == asserted_ && line == line_) return;
  asserted_ = any;
  line_ = line;
  if (interrupt_changed_) interrupt_changed_();
}

void UartCard::Plug(unsigned uart_index, std::unique_ptr<SerialDevice> device) {
  uarts_.at(uart_index).line().Plug(std::move(device));
  UpdateInterrupt();
}

std::unique_ptr<SerialDevice> UartCard::Unplug(unsigned uart_index) {
  std::unique_ptr<SerialDevice> device = uarts_.at(uart_index).line().Unplug();
  UpdateInterrupt();
  return device;
}

SerialDevice* UartCard::attached(unsigned uart_index) const { return uarts_.at(uart_index).line().device(); }

std::array<uint8_t, 8> UartCard::PortBlock(unsigned n) const {
  std::array<uint8_t, 8> block{};
  for (unsigned i = 0; i < 8; ++i) block[i] = Get8(kBlockBase + 8 * n + i);
  return block;
}

bool UartCard::UartFitted(unsigned n) const {
  return static_cast<int>(n) < uart_count_ && !(config_.absent_uarts & (1u << n));
}

void UartCard::SetUartFitted(unsigned n, bool fitted) {
  if (n >= kMaxPorts) return;
  if (fitted) config_.absent_uarts = static_cast<uint16_t>(config_.absent_uarts & ~(1u << n));
  else config_.absent_uarts = static_cast<uint16_t>(config_.absent_uarts | (1u << n));
}

int UartCard::UartAt(uint16_t port) const {
  if (!(Get16(0x04) & 0x0001)) return -1;
  for (unsigned n = 0; n < kMaxPorts; ++n) {
    uint32_t block = kBlockBase + 8 * n;
    if (!(Get8(block) & 0x01)) continue;
    uint32_t base = Get16(block + 4);
    if (port >= base && port < base + 8) return UartFitted(n) ? static_cast<int>(n) : -1;
  }
  return -1;
}

uint32_t UartCard::ReadPort(uint16_t port, unsigned width) {
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    uint16_t at = static_cast<uint16_t>(port + i);
    int n = UartAt(at);
    uint8_t byte = 0xFF;
    if (n >= 0) byte = uarts_[n].Read(at - Get16(kBlockBase + 8 * n + 4));
    value |= static_cast<uint32_t>(byte) << (8 * i);
  }
  UpdateInterrupt();
  return value;
}

void UartCard::WritePort(uint16_t port, uint32_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) {
    uint16_t at = static_cast<uint16_t>(port + i);
    int n = UartAt(at);
    if (n >= 0) uarts_[n].Write(at - Get16(kBlockBase + 8 * n + 4), static_cast<uint8_t>(value >> (8 * i)));
  }
  UpdateInterrupt();
}

}  // namespace sim::hw
