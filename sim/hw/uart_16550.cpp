#include "sim/hw/uart_16550.h"

#include "sim/hw/serial_line.h"

namespace sim::hw {

Uart16550::Uart16550() : line_(std::make_unique<SerialLine>(*this)) { Reset(); }

Uart16550::~Uart16550() = default;

void Uart16550::Reset() {
  events_.CancelAll();
  ier_ = lcr_ = mcr_ = msr_deltas_ = scr_ = fcr_ = 0;
  dll_ = dlm_ = 0;
  lsr_errors_ = 0;
  thre_pending_ = timeout_pending_ = shifting_ = false;
  rx_spacing_ = false;
  timeout_event_ = break_event_ = 0;
  rx_.clear();
  tx_.clear();
  UpdateControl();
}

SerialFormat Uart16550::format() const {
  SerialFormat f;
  f.baud = divisor() ? static_cast<double>(clock_) / (16.0 * divisor()) : 0;
  f.data_bits = static_cast<uint8_t>(5 + (lcr_ & 3));
  f.stop_halves = !(lcr_ & 0x04) ? 2 : f.data_bits == 5 ? 3 : 4;
  if (!(lcr_ & 0x08)) f.parity = Parity::None;
  else if (lcr_ & 0x20) f.parity = (lcr_ & 0x10) ? Parity::Space : Parity::Mark;
  else f.parity = (lcr_ & 0x10) ? Parity::Even : Parity::Odd;
  return f;
}

unsigned Uart16550::TriggerLevel() const {
  static const unsigned kLevels[] = {1, 4, 8, 14};
  return fifo_enabled() ? kLevels[fcr_ >> 6] : 1;
}

// CTS, DSR, RI, DCD as bits 4 to 7 of the modem status register. In
// loopback RTS drives CTS, DTR drives DSR, OUT1 drives RI, OUT2 drives DCD.
uint8_t Uart16550::Inputs() const {
  if (!(mcr_ & kLoopback)) return line_inputs_ & 0xF0;
  uint8_t in = 0;
  if (mcr_ & kRts) in |= 0x10;
  if (mcr_ & kDtr) in |= 0x20;
  if (mcr_ & kOut1) in |= 0x40;
  if (mcr_ & kOut2) in |= 0x80;
  return in;
}

// Delta bits: CTS, DSR and DCD on any change, RI on its trailing edge.
void Uart16550::UpdateDeltas(uint8_t before) {
  uint8_t after = Inputs();
  uint8_t changed = before ^ after;
  if (changed & 0x10) msr_deltas_ |= 0x01;
  if (changed & 0x20) msr_deltas_ |= 0x02;
  if ((before & 0x40) && !(after & 0x40)) msr_deltas_ |= 0x04;
  if (changed & 0x80) msr_deltas_ |= 0x08;
}

uint8_t Uart16550::Cause() const {
  if ((ier_ & 0x04) && lsr_errors_) return 0x06;
  if (ier_ & 0x01) {
    if (!rx_.empty() && rx_.size() >= TriggerLevel()) return 0x04;
    if (timeout_pending_) return 0x0C;
  }
  if ((ier_ & 0x02) && thre_pending_) return 0x02;
  if ((ier_ & 0x08) && msr_deltas_) return 0x00;
  return 0x01;
}

uint8_t Uart16550::Read(unsigned reg) {
  const bool dlab = (lcr_ & 0x80) != 0;
  switch (reg & 7) {
    case kData: {
      if (dlab) return dll_;
      if (rx_.empty()) return last_rbr_;
      last_rbr_ = rx_.front().byte;
      rx_.pop_front();
      // The next character's errors show once it is at the top.
      if (!rx_.empty()) lsr_errors_ |= rx_.front().errors;
      RestartTimeout();
      return last_rbr_;
    }
    case kInterruptEnable:
      return dlab ? dlm_ : ier_;
    case kInterruptId: {
      const uint8_t cause = Cause();
      if (cause == 0x02) thre_pending_ = false;
      return static_cast<uint8_t>((fifo_enabled() ? 0xC0 : 0x00) | cause);
    }
    case kLineControl:
      return lcr_;
    case kModemControl:
      return mcr_;
    case kLineStatus: {
      uint8_t value = lsr_errors_;
      if (!rx_.empty()) value |= kDataReady;
      if (tx_.empty()) value |= kThrEmpty;
      if (tx_.empty() && !shifting_) value |= kTransmitterEmpty;
      if (fifo_enabled())
        for (const RxEntry& entry : rx_)
          if (entry.errors) value |= kFifoError;
      lsr_errors_ = 0;
      return value;
    }
    case kModemStatus: {
      uint8_t value = static_cast<uint8_t>(Inputs() | msr_deltas_);
      msr_deltas_ = 0;
      return value;
    }
    default:
      return scr_;
  }
}

void Uart16550::Write(unsigned reg, uint8_t value) {
  const bool dlab = (lcr_ & 0x80) != 0;
  switch (reg & 7) {
    case kData:
      if (dlab) {
        dll_ = value;
        break;
      }
      if (tx_.size() < Depth()) tx_.push_back(value);
      else if (!fifo_enabled()) tx_.back() = value;  // the holding register is overwritten
      thre_pending_ = false;
      break;
    case kInterruptEnable:
      if (dlab) {
        dlm_ = value;
      } else {
        // Enabling the THRE interrupt while THR is empty raises it.
        if ((value & 0x02) && !(ier_ & 0x02) && tx_.empty()) thre_pending_ = true;
        ier_ = value & 0x0F;
      }
      break;
    case kFifoControl: {
      const bool enable = (value & 1) != 0;
      if (enable != fifo_enabled()) {
        // Switching between FIFO and character mode empties both FIFOs.
        rx_.clear();
        tx_.clear();
      }
      if (!enable) {
        fcr_ = 0;
      } else {
        fcr_ = value & 0xC9;
        if (value & 0x02) rx_.clear();
        if (value & 0x04) {
          if (!tx_.empty()) thre_pending_ = true;
          tx_.clear();
        }
      }
      RestartTimeout();
      break;
    }
    case kLineControl:
      lcr_ = value;
      UpdateControl();
      UpdateReceiverSpacing();
      break;
    case kModemControl: {
      const uint8_t before = Inputs();
      mcr_ = value & 0x1F;
      UpdateDeltas(before);
      UpdateControl();
      UpdateReceiverSpacing();
      break;
    }
    case kLineStatus:
    case kModemStatus:
      break;  // read-only
    default:
      scr_ = value;
      break;
  }
  StartShifting();
}

// --- Transmitter -------------------------------------------------------------

void Uart16550::StartShifting() {
  if (shifting_ || tx_.empty() || divisor() == 0) return;
  shift_byte_ = tx_.front();
  tx_.pop_front();
  shift_format_ = format();
  shifting_ = true;
  if (tx_.empty()) thre_pending_ = true;
  events_.At(HwNow() + shift_format_.CharacterTime(), [this] { ShiftDone(); });
}

void Uart16550::ShiftDone() {
  shifting_ = false;
  ++counters_.transmitted;
  const uint8_t byte = static_cast<uint8_t>(shift_byte_ & ((1u << shift_format_.data_bits) - 1));
  if (mcr_ & kLoopback) {
    if (divisor()) Deliver(Receive(byte, shift_format_, format()));
  } else if (!(lcr_ & 0x40)) {
    line_->FromUart(byte, shift_format_);  // during a break the line stays spacing
  }
  StartShifting();
  Changed();
}

void Uart16550::UpdateControl() {
  ControlLines lines;
  if (!(mcr_ & kLoopback)) {
    lines.dtr = (mcr_ & kDtr) != 0;
    lines.rts = (mcr_ & kRts) != 0;
    lines.brk = (lcr_ & 0x40) != 0;
  }
  if (line_) line_->SetControl(lines);
}

// --- Receiver ----------------------------------------------------------------

void Uart16550::LineCharacter(uint8_t byte, const SerialFormat& sent) {
  if ((mcr_ & kLoopback) || divisor() == 0) return;  // disconnected, or no receiver clock
  Deliver(Receive(byte, sent, format()));
  Changed();
}

void Uart16550::Deliver(const ReceivedCharacter& character) {
  ++counters_.received;
  uint8_t errors = 0;
  if (character.parity_error) {
    errors |= kParityError;
    ++counters_.parity_errors;
  }
  if (character.framing_error) {
    errors |= kFramingError;
    ++counters_.framing_errors;
  }
  if (character.break_detected) {
    errors |= kBreak;
    ++counters_.breaks;
  }
  if (rx_.size() >= Depth()) {
    lsr_errors_ |= kOverrun;
    ++counters_.overruns;
    // Character mode: the new character replaces the unread one. FIFO
    // mode: it is lost in the shift register.
    if (!fifo_enabled()) {
      rx_.back() = RxEntry{character.byte, errors};
      lsr_errors_ |= errors;
    }
  } else {
    rx_.push_back(RxEntry{character.byte, errors});
    if (rx_.size() == 1) lsr_errors_ |= errors;
  }
  RestartTimeout();
}

void Uart16550::RestartTimeout() {
  timeout_pending_ = false;
  if (timeout_event_) events_.Cancel(timeout_event_);
  timeout_event_ = 0;
  if (!fifo_enabled() || rx_.empty() || divisor() == 0) return;
  timeout_event_ = events_.At(HwNow() + 4 * format().CharacterTime(), [this] {
    timeout_event_ = 0;
    if (!rx_.empty()) timeout_pending_ = true;
    Changed();
  });
}

void Uart16550::LineBreak(bool spacing) {
  line_spacing_ = spacing;
  UpdateReceiverSpacing();
}

// A break is a spacing input longer than a whole character: one zero
// character with BI set, however long it lasts.
void Uart16550::UpdateReceiverSpacing() {
  const bool spacing = (mcr_ & kLoopback) ? (lcr_ & 0x40) != 0 : line_spacing_;
  if (spacing == rx_spacing_) return;
  rx_spacing_ = spacing;
  if (break_event_) events_.Cancel(break_event_);
  break_event_ = 0;
  if (!spacing || divisor() == 0) return;
  break_event_ = events_.At(HwNow() + format().CharacterTime(), [this] {
    break_event_ = 0;
    ReceivedCharacter character;
    character.break_detected = true;
    Deliver(character);
    Changed();
  });
}

void Uart16550::SetLineInputs(uint8_t inputs) {
  uint8_t before = Inputs();
  line_inputs_ = inputs & 0xF0;
  UpdateDeltas(before);
  Changed();
}

void Uart16550::Changed() {
  if (changed_) changed_();
}

}  // namespace sim::hw
