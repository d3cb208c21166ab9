#include "sim/machine/serial_session.h"

#include "ntddser.h"

namespace sim {

NTSTATUS SerialSessionResult::status() const {
  for (const SerialStep& step : steps)
    if (!NT_SUCCESS(step.status)) return step.status;  // STATUS_TIMEOUT is a success status
  return STATUS_SUCCESS;
}

SerialSessionResult RunSerialSession(Application& app, const SerialSession& session) {
  SerialSessionResult result;
  HANDLE handle = nullptr;
  NTSTATUS opened = app.Open("\\\\.\\" + session.com_name, &handle);
  result.steps.push_back(SerialStep{"open", opened, 0});
  if (!NT_SUCCESS(opened)) return result;

  auto step = [&](const char* name, IoResult io) {
    result.steps.push_back(SerialStep{name, io.status, io.information});
    return NT_SUCCESS(io.status);
  };
  auto control = [&](const char* name, ULONG code, const void* input, ULONG length) {
    return step(name, app.DeviceIoControl(handle, code, input, length, nullptr, 0));
  };
  bool going = true;
  if (session.baud_rate) {
    SERIAL_BAUD_RATE baud{*session.baud_rate};
    going = control("baud_rate", IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud);
  }
  if (going && session.line) {
    SERIAL_LINE_CONTROL line{session.line->stop_bits, session.line->parity, session.line->word_length};
    going = control("line_control", IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line);
  }
  if (going && (session.timeouts || session.read_ms)) {
    SERIAL_TIMEOUTS timeouts{0, 0, session.read_ms, 0, 0};
    if (session.timeouts) {
      const SerialTimeoutSettings& t = *session.timeouts;
      timeouts = SERIAL_TIMEOUTS{t.read_interval, t.read_multiplier, t.read_constant, t.write_multiplier, t.write_constant};
    }
    going = control("timeouts", IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts);
  }
  if (going && !session.write.empty())
    going = step("write", app.Write(handle, session.write.data(), static_cast<ULONG>(session.write.size())));
  if (going && session.read_ms && session.read_length) {
    std::vector<uint8_t> buffer(session.read_length);
    IoResult read = app.Read(handle, buffer.data(), session.read_length);
    result.steps.push_back(SerialStep{"read", read.status, read.information});
    buffer.resize(std::min<size_t>(read.information, buffer.size()));
    result.read = std::move(buffer);
  }
  result.steps.push_back(SerialStep{"close", app.Close(handle), 0});
  return result;
}

}  // namespace sim
