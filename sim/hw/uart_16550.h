// A 16550-class UART as seen at its eight I/O ports. This model holds the
// register file with the modem-control loopback; characters on a serial
// line come with the serial line model.
#pragma once

#include <cstdint>
#include <deque>

namespace sim::hw {

class Uart16550 {
 public:
  // Register offsets.
  static constexpr unsigned kData = 0, kInterruptEnable = 1, kInterruptId = 2, kLineControl = 3,
                            kModemControl = 4, kLineStatus = 5, kModemStatus = 6, kScratch = 7;
  // Modem control bits.
  static constexpr uint8_t kDtr = 0x01, kRts = 0x02, kOut1 = 0x04, kOut2 = 0x08, kLoopback = 0x10;
  // Line status bits.
  static constexpr uint8_t kDataReady = 0x01, kOverrun = 0x02, kBreak = 0x10, kThrEmpty = 0x20,
                           kTransmitterEmpty = 0x40;

  Uart16550();
  void Reset();

  uint8_t Read(unsigned reg);
  void Write(unsigned reg, uint8_t value);

  // Modem status inputs from the line (CTS, DSR, RI, DCD in bits 4 to 7);
  // ignored in loopback, where they follow the modem control outputs.
  void SetLineInputs(uint8_t inputs);
  uint8_t modem_control() const { return mcr_; }
  uint8_t line_control() const { return lcr_; }
  uint16_t divisor() const { return static_cast<uint16_t>(dll_ | dlm_ << 8); }

 private:
  uint8_t Inputs() const;
  void UpdateDeltas(uint8_t before);

  uint8_t ier_ = 0, lcr_ = 0, mcr_ = 0, lsr_ = 0, msr_deltas_ = 0, scr_ = 0, fcr_ = 0;
  uint8_t dll_ = 0, dlm_ = 0;
  uint8_t line_inputs_ = 0;
  std::deque<uint8_t> receive_;
};

}  // namespace sim::hw
