#include "sim/hw/uart_16550.h"

namespace sim::hw {

Uart16550::Uart16550() { Reset(); }

void Uart16550::Reset() {
  ier_ = lcr_ = mcr_ = msr_deltas_ = scr_ = fcr_ = 0;
  dll_ = dlm_ = 0;
  lsr_ = kThrEmpty | kTransmitterEmpty;
  receive_.clear();
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

uint8_t Uart16550::Read(unsigned reg) {
  bool dlab = (lcr_ & 0x80) != 0;
  switch (reg & 7) {
    case kData: {
      if (dlab) return dll_;
      if (receive_.empty()) return 0;
      uint8_t c = receive_.front();
      receive_.pop_front();
      if (receive_.empty()) lsr_ &= static_cast<uint8_t>(~kDataReady);
      return c;
    }
    case kInterruptEnable:
      return dlab ? dlm_ : ier_;
    case kInterruptId: {
      uint8_t fifo = (fcr_ & 1) ? 0xC0 : 0x00;
      if ((ier_ & 0x01) && (lsr_ & kDataReady)) return fifo | 0x04;
      if ((ier_ & 0x02) && (lsr_ & kThrEmpty)) return fifo | 0x02;
      if ((ier_ & 0x08) && msr_deltas_) return fifo | 0x00;
      return fifo | 0x01;
    }
    case kLineControl:
      return lcr_;
    case kModemControl:
      return mcr_;
    case kLineStatus: {
      uint8_t value = lsr_;
      lsr_ &= static_cast<uint8_t>(~0x1E);  // error and break bits clear on read
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
  bool dlab = (lcr_ & 0x80) != 0;
  switch (reg & 7) {
    case kData:
      if (dlab) {
        dll_ = value;
      } else if (mcr_ & kLoopback) {
        // The transmitter feeds the receiver; the character arrives at once.
        if (receive_.size() >= ((fcr_ & 1) ? 16u : 1u)) {
          lsr_ |= kOverrun;
        } else {
          receive_.push_back(value);
        }
        lsr_ |= kDataReady;
      }
      break;
    case kInterruptEnable:
      if (dlab) {
        dlm_ = value;
      } else {
        ier_ = value & 0x0F;
      }
      break;
    case kInterruptId:
      fcr_ = value;
      if (value & 0x02) {
        receive_.clear();
        lsr_ &= static_cast<uint8_t>(~kDataReady);
      }
      break;
    case kLineControl:
      lcr_ = value;
      break;
    case kModemControl: {
      uint8_t before = Inputs();
      mcr_ = value & 0x1F;
      UpdateDeltas(before);
      break;
    }
    case kLineStatus:
    case kModemStatus:
      break;  // read-only
    default:
      scr_ = value;
      break;
  }
}

void Uart16550::SetLineInputs(uint8_t inputs) {
  uint8_t before = Inputs();
  line_inputs_ = inputs & 0xF0;
  UpdateDeltas(before);
}

}  // namespace sim::hw
