// The port's control codes: settings as the UART shows them, bad input,
// properties, the wait mask, and the internal settings codes sent by a
// driver above.
#include "serial_machine.h"

namespace serial_test {
namespace {

class ControlTest : public SerialTest {
 protected:
  void SetUp() override {
    SerialTest::SetUp();
    port_ = ports().Open("\\\\.\\COM3");
  }
  void TearDown() override {
    if (port_) {
      EXPECT_EQ(machine().app().Close(port_), STATUS_SUCCESS);
    }
    SerialTest::TearDown();
  }
  sim::hw::Uart16550& Uart() { return machine().cards().at(0).model->uart(0); }

  // An internal control request from a driver above the port.
  IO_STATUS_BLOCK Internal(ULONG code, void* in, ULONG in_length, void* out, ULONG out_length) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(ports().Node(1)->pdo);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, in, in_length, out, out_length, TRUE, &done, &status);
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    return status;
  }

  HANDLE port_ = nullptr;
};

TEST_F(ControlTest, SettingsReachTheUartAndBadSettingsChangeNothing) {
  SerialPorts& p = ports();
  // Baud rate: the divisor of the 1.8432 MHz clock, within 1%.
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), STATUS_SUCCESS);
  EXPECT_EQ(Uart().divisor(), 1);
  for (ULONG bad : {0u, 1u, 200000u, 100000u})
    EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{bad}), STATUS_INVALID_PARAMETER) << bad;
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_BAUD_RATE, USHORT{9600}), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(p.Get<SERIAL_BAUD_RATE>(port_, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 115200u);
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{300}), STATUS_SUCCESS);
  EXPECT_EQ(Uart().divisor(), 384);

  // Line control: 5 to 8 bits, 1.5 stop bits only with 5, five parities.
  const SERIAL_LINE_CONTROL bad_lines[] = {
      {STOP_BIT_1, NO_PARITY, 4}, {STOP_BIT_1, NO_PARITY, 9},     {STOP_BITS_1_5, NO_PARITY, 8},
      {STOP_BITS_2, NO_PARITY, 5}, {STOP_BIT_1, 5 /* parity */, 8}, {3 /* stop */, NO_PARITY, 8}};
  for (const SERIAL_LINE_CONTROL& line : bad_lines)
    EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_LINE_CONTROL, line), STATUS_INVALID_PARAMETER)
        << int(line.WordLength) << " " << int(line.StopBits) << " " << int(line.Parity);
  EXPECT_EQ(Uart().line_control(), 0x03);
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7}),
            STATUS_SUCCESS);
  EXPECT_EQ(Uart().line_control(), 0x1E);
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_1_5, SPACE_PARITY, 5}),
            STATUS_SUCCESS);
  EXPECT_EQ(Uart().line_control(), 0x3C);
  const SERIAL_LINE_CONTROL line = p.Get<SERIAL_LINE_CONTROL>(port_, IOCTL_SERIAL_GET_LINE_CONTROL);
  EXPECT_EQ(line.WordLength, 5);
  EXPECT_EQ(line.Parity, SPACE_PARITY);

  // Break and the modem control lines.
  EXPECT_EQ(p.Control(port_, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Uart().line_control(), 0x7C);
  EXPECT_EQ(p.Control(port_, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Uart().line_control(), 0x3C);
  EXPECT_EQ(p.Control(port_, IOCTL_SERIAL_CLR_DTR, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Uart().modem_control(), 0x0A);
  EXPECT_EQ(p.Get<ULONG>(port_, IOCTL_SERIAL_GET_DTRRTS), ULONG{SERIAL_RTS_STATE});
  EXPECT_EQ(p.Control(port_, IOCTL_SERIAL_CLR_RTS, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(p.Control(port_, IOCTL_SERIAL_SET_DTR, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Uart().modem_control(), 0x09);
  EXPECT_EQ(p.Get<ULONG>(port_, IOCTL_SERIAL_GET_DTRRTS), ULONG{SERIAL_DTR_STATE});
  // The modem status register as the UART reports it (DSR follows DTR in
  // the UART's loopback mode, off here: no inputs).
  EXPECT_EQ(p.Get<ULONG>(port_, IOCTL_SERIAL_GET_MODEMSTATUS) & 0xF0, 0u);

  // Time-outs: MAXULONG everywhere in the read part is not a valid combination.
  EXPECT_EQ(p.SetTimeouts(port_, 10, 20, 30, 40, 50), STATUS_SUCCESS);
  EXPECT_EQ(p.SetTimeouts(port_, MAXULONG, MAXULONG, MAXULONG), STATUS_INVALID_PARAMETER);
  const SERIAL_TIMEOUTS kept = p.Get<SERIAL_TIMEOUTS>(port_, IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(kept.ReadTotalTimeoutConstant, 30u);
  EXPECT_EQ(kept.WriteTotalTimeoutConstant, 50u);

  // Handshake and flow control: no undefined bits, DTR mode 3 does not exist.
  SERIAL_HANDFLOW flow = p.Get<SERIAL_HANDFLOW>(port_, IOCTL_SERIAL_GET_HANDFLOW);
  EXPECT_EQ(flow.ControlHandShake, ULONG{SERIAL_DTR_CONTROL});
  EXPECT_EQ(flow.FlowReplace, ULONG{SERIAL_RTS_CONTROL});
  SERIAL_HANDFLOW bad_flow = flow;
  bad_flow.ControlHandShake = SERIAL_DTR_MASK;
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_HANDFLOW, bad_flow), STATUS_INVALID_PARAMETER);
  bad_flow = flow;
  bad_flow.FlowReplace |= 0x100;
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_HANDFLOW, bad_flow), STATUS_INVALID_PARAMETER);
  bad_flow = flow;
  bad_flow.XoffLimit = 1 << 20;
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_HANDFLOW, bad_flow), STATUS_INVALID_PARAMETER);

  // Special characters; XON and XOFF must differ.
  SERIAL_CHARS chars = p.Get<SERIAL_CHARS>(port_, IOCTL_SERIAL_GET_CHARS);
  chars.XonChar = chars.XoffChar;
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_CHARS, chars), STATUS_INVALID_PARAMETER);
  chars.XonChar = 'q';
  chars.EventChar = '\n';
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
  EXPECT_EQ(p.Get<SERIAL_CHARS>(port_, IOCTL_SERIAL_GET_CHARS).XonChar, 'q');

  // Purge takes the four documented bits only.
  for (ULONG bad : {0u, 0x10u, 0x80000000u})
    EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_PURGE, bad), STATUS_INVALID_PARAMETER) << bad;
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR}), STATUS_SUCCESS);

  // Codes the driver does not know.
  const ULONG unknown = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS);
  EXPECT_EQ(p.Control(port_, unknown, nullptr, 0).status, STATUS_INVALID_PARAMETER);
}

TEST_F(ControlTest, PropertiesQueueSizeAndStatus) {
  SerialPorts& p = ports();
  SERIAL_COMMPROP props = p.Get<SERIAL_COMMPROP>(port_, IOCTL_SERIAL_GET_PROPERTIES);
  EXPECT_EQ(props.PacketLength, sizeof(SERIAL_COMMPROP));
  EXPECT_EQ(props.ProvSubType, ULONG{SERIAL_SP_RS232});
  // Rates the clock makes within 1%, and user-defined ones.
  const ULONG made = SERIAL_BAUD_300 | SERIAL_BAUD_1200 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 | SERIAL_BAUD_19200 |
                     SERIAL_BAUD_57600 | SERIAL_BAUD_115200 | SERIAL_BAUD_USER;
  EXPECT_EQ(props.SettableBaud & made, made);
  EXPECT_EQ(props.SettableBaud & (SERIAL_BAUD_56K | SERIAL_BAUD_128K), 0u);
  EXPECT_EQ(props.SettableData, SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8);
  EXPECT_EQ(props.CurrentRxQueue, 4096u);
  UCHAR small[sizeof(SERIAL_COMMPROP) - 1];
  EXPECT_EQ(p.Control(port_, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, small, sizeof(small)).status,
            STATUS_BUFFER_TOO_SMALL);

  // The receive buffer grows on request and never shrinks.
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{8192, 0}), STATUS_SUCCESS);
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{100, 0}), STATUS_SUCCESS);
  EXPECT_EQ(p.Get<SERIAL_COMMPROP>(port_, IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue, 8192u);
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{props.MaxRxQueue + 1, 0}),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_QUEUE_SIZE, ULONG{8192}), STATUS_BUFFER_TOO_SMALL);

  SERIAL_STATUS status = p.Get<SERIAL_STATUS>(port_, IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(status.AmountInInQueue, 0u);
  UCHAR short_status[sizeof(SERIAL_STATUS) - 4];
  EXPECT_EQ(p.Control(port_, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, short_status, sizeof(short_status)).status,
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ControlTest, WaitOnMaskIsOneAtATimeAndEndsWithANewMask) {
  SerialPorts& p = ports();
  ULONG events = 0xFFFF;
  sim::Overlapped wait;
  // No mask, nothing to wait for.
  EXPECT_EQ(machine().app().DeviceIoControlAsync(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events,
                                                 sizeof(events), &wait),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{0x8000}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY}), STATUS_SUCCESS);
  EXPECT_EQ(p.Get<ULONG>(port_, IOCTL_SERIAL_GET_WAIT_MASK), ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY});
  USHORT short_events = 0;
  EXPECT_EQ(p.Control(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &short_events, sizeof(short_events)).status,
            STATUS_BUFFER_TOO_SMALL);

  ASSERT_EQ(machine().app().DeviceIoControlAsync(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events,
                                                 sizeof(events), &wait),
            STATUS_PENDING);
  ULONG second_events = 0;
  EXPECT_EQ(p.Control(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &second_events, sizeof(second_events)).status,
            STATUS_INVALID_PARAMETER);
  p.Wait(100 * kMs);
  EXPECT_EQ(machine().app().Result(&wait, false).status, STATUS_PENDING);
  // A new mask ends the wait with no events.
  EXPECT_EQ(p.Set(port_, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), STATUS_SUCCESS);
  sim::IoResult result = machine().app().Result(&wait, true);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, sizeof(ULONG));
  EXPECT_EQ(events, 0u);

  // A wait pending at cleanup is cancelled.
  ASSERT_EQ(machine().app().DeviceIoControlAsync(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events,
                                                 sizeof(events), &wait),
            STATUS_PENDING);
  EXPECT_EQ(machine().app().Close(port_), STATUS_SUCCESS);
  port_ = nullptr;
  EXPECT_EQ(machine().app().Result(&wait, true).status, STATUS_CANCELLED);
}

TEST_F(ControlTest, BasicSettingsHandBackTheSettingsInForceAndRestoreThem) {
  SerialPorts& p = ports();
  EXPECT_EQ(p.SetTimeouts(port_, 5, 6, 7, 8, 9), STATUS_SUCCESS);
  SERIAL_BASIC_SETTINGS previous{};
  IO_STATUS_BLOCK status = Internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, 0, &previous, sizeof(previous));
  EXPECT_EQ(status.Status, STATUS_SUCCESS);
  EXPECT_EQ(status.Information, 44u);
  EXPECT_EQ(previous.Timeouts.ReadIntervalTimeout, 5u);
  EXPECT_EQ(previous.Timeouts.WriteTotalTimeoutConstant, 9u);
  EXPECT_EQ(previous.HandFlow.ControlHandShake, ULONG{SERIAL_DTR_CONTROL});
  EXPECT_EQ(previous.TxFifo, 16u);
  // Basic operation: no time-outs.
  const SERIAL_TIMEOUTS basic = p.Get<SERIAL_TIMEOUTS>(port_, IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(basic.ReadIntervalTimeout + basic.ReadTotalTimeoutConstant + basic.WriteTotalTimeoutConstant, 0u);

  UCHAR small[40];
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, 0, small, sizeof(small)).Status,
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, small, sizeof(small), nullptr, 0).Status,
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, &previous, sizeof(previous), nullptr, 0).Status,
            STATUS_SUCCESS);
  const SERIAL_TIMEOUTS restored = p.Get<SERIAL_TIMEOUTS>(port_, IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(restored.ReadIntervalTimeout, 5u);
  EXPECT_EQ(restored.WriteTotalTimeoutConstant, 9u);
  EXPECT_EQ(Internal(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0, nullptr,
                     0)
                .Status,
            STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace serial_test
