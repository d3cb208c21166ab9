// A 16550A UART as seen at its eight I/O ports, with its 16-byte receive
// and transmit FIFOs, and its serial side: the transmitter shifts one
// character per character time in virtual time onto the port's SerialLine,
// and the receiver takes what the line delivers in the programmed format.
//
// Timing: the rate is the baud clock / 16 / divisor. A divisor of 0 stops
// the baud generator: nothing is shifted out (the transmit FIFO keeps its
// bytes until a divisor is set), characters arriving are lost, and the
// receive time-out does not run. After a reset the divisor is 0.
//
// Interrupt causes, highest first: receiver line status (OE, PE, FE, BI;
// cleared by reading LSR), received data at the trigger level (cleared when
// the FIFO drops below it) or a character time-out (a character in the FIFO
// and none received or read for four character times; cleared by reading
// RBR), transmitter holding register empty (cleared by reading IIR while it
// is the cause, or by writing THR; raised again when IER enables it while
// THR is empty), modem status (cleared by reading MSR).
//
// Loopback (MCR bit 4): the transmitter feeds the receiver, the line sees
// DTR, RTS and break inactive and its characters are not received, and the
// modem status inputs follow RTS, DTR, OUT1 and OUT2.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "sim/hw/hw_events.h"
#include "sim/hw/serial_device.h"
#include "sim/hw/serial_format.h"

namespace sim::hw {

class SerialLine;

class Uart16550 {
 public:
  // Register offsets.
  static constexpr unsigned kData = 0, kInterruptEnable = 1, kInterruptId = 2, kLineControl = 3,
                            kModemControl = 4, kLineStatus = 5, kModemStatus = 6, kScratch = 7;
  static constexpr unsigned kFifoControl = 2;  // written at the interrupt identification offset
  // Modem control bits.
  static constexpr uint8_t kDtr = 0x01, kRts = 0x02, kOut1 = 0x04, kOut2 = 0x08, kLoopback = 0x10;
  // Line status bits.
  static constexpr uint8_t kDataReady = 0x01, kOverrun = 0x02, kParityError = 0x04, kFramingError = 0x08,
                           kBreak = 0x10, kThrEmpty = 0x20, kTransmitterEmpty = 0x40, kFifoError = 0x80;
  static constexpr unsigned kFifoDepth = 16;
  static constexpr uint32_t kDefaultClock = 1843200;

  struct Counters {
    uint64_t transmitted = 0;     // characters shifted out (loopback included)
    uint64_t received = 0;        // characters the receiver assembled
    uint64_t overruns = 0;
    uint64_t framing_errors = 0;
    uint64_t parity_errors = 0;
    uint64_t breaks = 0;
    uint64_t interrupts = 0;      // rising edges of the output as the card sees it (counted by the card)
  };

  Uart16550();
  ~Uart16550();
  Uart16550(const Uart16550&) = delete;
  Uart16550& operator=(const Uart16550&) = delete;
  void Reset();

  uint8_t Read(unsigned reg);
  void Write(unsigned reg, uint8_t value);

  // --- Wiring ---
  void SetBaudClock(uint32_t hz) { clock_ = hz; }
  uint32_t baud_clock() const { return clock_; }
  // Called after every change that time or the line made (the card then
  // re-evaluates its interrupt line).
  void OnChange(std::function<void()> changed) { changed_ = std::move(changed); }
  SerialLine& line() const { return *line_; }

  // --- The serial side ---
  // A character from the line whose stop bit ends now, in the sender's format.
  void LineCharacter(uint8_t byte, const SerialFormat& sent);
  // The line is held spacing (a break) or marks again.
  void LineBreak(bool spacing);
  // Modem status inputs from the line (CTS, DSR, RI, DCD in bits 4 to 7);
  // ignored in loopback, where they follow the modem control outputs.
  void SetLineInputs(uint8_t inputs);

  // --- State ---
  // The interrupt output: some enabled cause is pending (IIR bit 0 clear).
  bool InterruptPending() const { return Cause() != 0x01; }
  // The format the line control register and divisor give (baud 0 for a
  // divisor of 0).
  SerialFormat format() const;
  uint8_t modem_control() const { return mcr_; }
  uint8_t line_control() const { return lcr_; }
  uint8_t interrupt_enable() const { return ier_; }
  bool fifo_enabled() const { return (fcr_ & 1) != 0; }
  uint16_t divisor() const { return static_cast<uint16_t>(dll_ | dlm_ << 8); }
  size_t rx_count() const { return rx_.size(); }
  size_t tx_count() const { return tx_.size() + (shifting_ ? 1 : 0); }
  Counters& counters() { return counters_; }
  const Counters& counters() const { return counters_; }

 private:
  struct RxEntry {
    uint8_t byte;
    uint8_t errors;  // PE, FE, BI in their line status positions
  };

  uint8_t Cause() const;
  uint8_t Inputs() const;
  void UpdateDeltas(uint8_t before);
  unsigned Depth() const { return fifo_enabled() ? kFifoDepth : 1; }
  unsigned TriggerLevel() const;
  void StartShifting();
  void ShiftDone();
  void Deliver(const ReceivedCharacter& character);
  void RestartTimeout();
  void UpdateControl();
  void UpdateReceiverSpacing();
  void Changed();

  uint8_t ier_ = 0, lcr_ = 0, mcr_ = 0, msr_deltas_ = 0, scr_ = 0, fcr_ = 0;
  uint8_t dll_ = 0, dlm_ = 0;
  uint8_t line_inputs_ = 0;
  uint8_t lsr_errors_ = 0;  // OE, PE, FE, BI latched until LSR is read
  uint8_t last_rbr_ = 0;
  bool thre_pending_ = false;
  bool timeout_pending_ = false;
  bool shifting_ = false;
  uint8_t shift_byte_ = 0;
  SerialFormat shift_format_;
  bool line_spacing_ = false;  // the line holds a break
  bool rx_spacing_ = false;    // what the receiver's input sees
  uint64_t timeout_event_ = 0;
  uint64_t break_event_ = 0;
  std::deque<RxEntry> rx_;
  std::deque<uint8_t> tx_;
  uint32_t clock_ = kDefaultClock;
  std::function<void()> changed_;
  Counters counters_;
  HwEvents events_;
  std::unique_ptr<SerialLine> line_;
};

}  // namespace sim::hw
