#include "sim/hw/serial_line.h"

#include <algorithm>

#include "sim/hw/uart_16550.h"

namespace sim::hw {

SerialLine::SerialLine(Uart16550& uart) : uart_(uart) {}

SerialLine::~SerialLine() {
  device_events_.CancelAll();
  if (device_) {
    device_->Unplugged();
    device_->Attach(nullptr);
  }
}

void SerialLine::Plug(std::unique_ptr<SerialDevice> device) {
  Unplug();
  if (!device) return;
  device_ = std::move(device);
  device_->Attach(this);
  sending_until_ = Now();
  device_->Plugged();
}

std::unique_ptr<SerialDevice> SerialLine::Unplug() {
  if (!device_) return nullptr;
  device_->Unplugged();
  device_events_.CancelAll();
  device_->Attach(nullptr);
  std::unique_ptr<SerialDevice> device = std::move(device_);
  SetBreak(false);
  SetModem(ModemLines{});
  return device;
}

LONGLONG SerialLine::Send(uint8_t byte, const SerialFormat& format, LONGLONG start) {
  const LONGLONG begins = std::max(start < 0 ? Now() : start, sending_until_);
  const LONGLONG ends = begins + format.CharacterTime();
  sending_until_ = ends;
  device_events_.At(ends, [this, byte, format] {
    ++to_uart_;
    uart_.LineCharacter(byte, format);
  });
  return ends;
}

void SerialLine::SetBreak(bool spacing) {
  if (spacing == spacing_) return;
  spacing_ = spacing;
  uart_.LineBreak(spacing);
}

void SerialLine::SetModem(const ModemLines& lines) {
  modem_ = lines;
  uart_.SetLineInputs(static_cast<uint8_t>((lines.cts ? 0x10 : 0) | (lines.dsr ? 0x20 : 0) | (lines.ri ? 0x40 : 0) |
                                           (lines.dcd ? 0x80 : 0)));
}

void SerialLine::FromUart(uint8_t byte, const SerialFormat& format) {
  if (!device_) return;
  ++to_device_;
  device_->Received(byte, format);
}

void SerialLine::SetControl(const ControlLines& lines) {
  if (lines == control_) return;
  const ControlLines before = control_;
  control_ = lines;
  if (device_) device_->ControlChanged(before);
}

void SerialSender::Start(SerialLine& line, std::string bytes, const SerialFormat& format, LONGLONG start, LONGLONG gap,
                         std::function<void()> done) {
  Stop();
  if (bytes.empty()) {
    if (done) done();
    return;
  }
  line_ = &line;
  bytes_ = std::move(bytes);
  next_ = 0;
  format_ = format;
  gap_ = gap;
  done_ = std::move(done);
  Next(std::max(start, line.sending_until()));
}

void SerialSender::Next(LONGLONG start) {
  event_ = line_->At(start, [this] {
    event_ = 0;
    const LONGLONG ends = line_->Send(static_cast<uint8_t>(bytes_[next_++]), format_);
    ++sent_;
    if (next_ < bytes_.size()) {
      Next(ends + gap_);
      return;
    }
    // The last character: done once its stop bit ends.
    event_ = line_->At(ends, [this] {
      event_ = 0;
      line_ = nullptr;
      std::function<void()> done = std::move(done_);
      if (done) done();
    });
  });
}

void SerialSender::Stop() {
  if (line_ && event_) line_->Cancel(event_);
  event_ = 0;
  line_ = nullptr;
  done_ = nullptr;
}

}  // namespace sim::hw
