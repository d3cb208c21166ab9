// The UART: register access, the presence check, programming from the
// settings, the receive ring and the interrupt service routine.
#include "sim/serial/serial_port.h"

UCHAR SerialReadRegister(PSERIAL_EXTENSION Ext, ULONG Register) { return READ_PORT_UCHAR(Ext->Port + Register); }

void SerialWriteRegister(PSERIAL_EXTENSION Ext, ULONG Register, UCHAR Value) {
  WRITE_PORT_UCHAR(Ext->Port + Register, Value);
}

BOOLEAN SerialUartAnswers(PSERIAL_EXTENSION Ext) {
  // Nothing decoded reads all ones. A 16550 keeps what is written to its
  // scratch register and its divisor latch, and reads its interrupt enable
  // register's upper half as zeros.
  const UCHAR lcr = SerialReadRegister(Ext, UART_LCR);
  if (lcr == 0xFF && SerialReadRegister(Ext, UART_IIR) == 0xFF) return FALSE;
  const UCHAR scratch = SerialReadRegister(Ext, UART_SCR);
  SerialWriteRegister(Ext, UART_SCR, 0x5A);
  BOOLEAN answers = SerialReadRegister(Ext, UART_SCR) == 0x5A;
  SerialWriteRegister(Ext, UART_SCR, 0xA5);
  answers = answers && SerialReadRegister(Ext, UART_SCR) == 0xA5;
  SerialWriteRegister(Ext, UART_SCR, scratch);

  SerialWriteRegister(Ext, UART_IER, 0x0F);
  answers = answers && SerialReadRegister(Ext, UART_IER) == 0x0F;
  SerialWriteRegister(Ext, UART_IER, 0);

  SerialWriteRegister(Ext, UART_LCR, static_cast<UCHAR>(lcr | LCR_DLAB));
  const UCHAR dll = SerialReadRegister(Ext, UART_DLL);
  const UCHAR dlm = SerialReadRegister(Ext, UART_DLM);
  SerialWriteRegister(Ext, UART_DLL, 0x34);
  SerialWriteRegister(Ext, UART_DLM, 0x12);
  answers = answers && SerialReadRegister(Ext, UART_DLL) == 0x34 && SerialReadRegister(Ext, UART_DLM) == 0x12;
  SerialWriteRegister(Ext, UART_DLL, dll);
  SerialWriteRegister(Ext, UART_DLM, dlm);
  SerialWriteRegister(Ext, UART_LCR, static_cast<UCHAR>(lcr & ~LCR_DLAB));
  return answers;
}

BOOLEAN SerialSynchronize(PSERIAL_EXTENSION Ext, PKSYNCHRONIZE_ROUTINE Routine, PVOID Context) {
  if (Ext->Interrupt) return KeSynchronizeExecution(Ext->Interrupt, Routine, Context);
  return Routine(Context);
}

ULONG SerialDivisor(ULONG ClockRate, ULONG BaudRate) {
  if (BaudRate == 0 || ClockRate < 16) return 0;
  const ULONGLONG base = ClockRate / 16;
  const ULONGLONG divisor = (base + BaudRate / 2) / BaudRate;
  if (divisor == 0 || divisor > 0xFFFF) return 0;
  const ULONGLONG actual = base / divisor;
  const ULONGLONG error = actual > BaudRate ? actual - BaudRate : BaudRate - actual;
  if (error * 100 > BaudRate) return 0;
  return static_cast<ULONG>(divisor);
}

UCHAR SerialLineControlBits(const SERIAL_LINE_CONTROL* LineControl) {
  if (LineControl->WordLength < 5 || LineControl->WordLength > 8) return 0xFF;
  UCHAR bits = static_cast<UCHAR>(LineControl->WordLength - 5);
  switch (LineControl->StopBits) {
    case STOP_BIT_1: break;
    case STOP_BITS_1_5:
      if (LineControl->WordLength != 5) return 0xFF;
      bits |= LCR_TWO_STOP;
      break;
    case STOP_BITS_2:
      if (LineControl->WordLength == 5) return 0xFF;
      bits |= LCR_TWO_STOP;
      break;
    default: return 0xFF;
  }
  switch (LineControl->Parity) {
    case NO_PARITY: break;
    case ODD_PARITY: bits |= 0x08; break;
    case EVEN_PARITY: bits |= 0x18; break;
    case MARK_PARITY: bits |= 0x28; break;
    case SPACE_PARITY: bits |= 0x38; break;
    default: return 0xFF;
  }
  return bits;
}

namespace {

BOOLEAN NTAPI ProgramSynchronized(PVOID Context) {
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  const SERIAL_SETTINGS* s = &ext->Settings;
  ULONG divisor = SerialDivisor(ext->ClockRate, s->BaudRate);
  if (divisor == 0) divisor = SerialDivisor(ext->ClockRate, SERIAL_DEFAULT_BAUD);
  if (divisor == 0) divisor = 1;
  UCHAR lcr = SerialLineControlBits(&s->LineControl);
  if (lcr == 0xFF) lcr = 0x03;
  if (s->Break) lcr |= LCR_BREAK;
  SerialWriteRegister(ext, UART_LCR, static_cast<UCHAR>(lcr | LCR_DLAB));
  SerialWriteRegister(ext, UART_DLL, static_cast<UCHAR>(divisor & 0xFF));
  SerialWriteRegister(ext, UART_DLM, static_cast<UCHAR>(divisor >> 8));
  SerialWriteRegister(ext, UART_LCR, lcr);
  SerialWriteRegister(ext, UART_FCR, static_cast<UCHAR>(s->Fcr | FCR_RX_RESET | FCR_TX_RESET));
  return TRUE;
}

BOOLEAN NTAPI ModemControlSynchronized(PVOID Context) {
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  const BOOLEAN open = ext->OpenCount > 0;
  UCHAR mcr = static_cast<UCHAR>(ext->Settings.Mcr & (MCR_DTR | MCR_RTS));
  if (open) mcr |= MCR_OUT2;
  SerialWriteRegister(ext, UART_MCR, mcr);
  SerialWriteRegister(ext, UART_IER, open ? IER_ALL : 0);
  ext->LastMsr = SerialReadRegister(ext, UART_MSR);
  return TRUE;
}

BOOLEAN NTAPI QuietSynchronized(PVOID Context) {
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  SerialWriteRegister(ext, UART_IER, 0);
  SerialWriteRegister(ext, UART_MCR, 0);
  return TRUE;
}

void Receive(PSERIAL_EXTENSION ext);

struct TakeContext {
  PSERIAL_EXTENSION Ext;
  PUCHAR Buffer;
  ULONG Length;
  ULONG Taken;
};

BOOLEAN NTAPI TakeSynchronized(PVOID Context) {
  TakeContext* take = static_cast<TakeContext*>(Context);
  PSERIAL_EXTENSION ext = take->Ext;
  while (take->Taken < take->Length && ext->RxCount > 0) {
    take->Buffer[take->Taken++] = ext->RxBuffer[ext->RxHead];
    ext->RxHead = (ext->RxHead + 1) % ext->RxSize;
    --ext->RxCount;
  }
  return TRUE;
}

BOOLEAN NTAPI CountSynchronized(PVOID Context) {
  TakeContext* take = static_cast<TakeContext*>(Context);
  take->Taken = take->Ext->RxCount;
  return TRUE;
}

BOOLEAN NTAPI PollReceiveSynchronized(PVOID Context) {
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  const ULONG before = ext->RxCount;
  if (ext->HardwareReady) Receive(ext);
  return ext->RxCount != before;
}

BOOLEAN NTAPI PurgeReceiveSynchronized(PVOID Context) {
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  ext->RxHead = 0;
  ext->RxCount = 0;
  if (ext->HardwareReady) {
    SerialWriteRegister(ext, UART_FCR, static_cast<UCHAR>(ext->Settings.Fcr | FCR_RX_RESET));
    while (SerialReadRegister(ext, UART_LSR) & LSR_DATA_READY) {
      SerialReadRegister(ext, UART_RBR);
      if (SerialReadRegister(ext, UART_LSR) == 0xFF) break;
    }
  }
  return TRUE;
}

// Feeds the transmit FIFO from the current write while the holding
// register is empty. The interrupt's lock is held.
void FeedTransmitter(PSERIAL_EXTENSION ext) {
  ULONG room = ext->Settings.Fcr & FCR_ENABLE ? ext->Settings.TxFifo : 1;
  if (room == 0) room = 1;
  while (room-- > 0 && ext->TxRemaining > 0) {
    SerialWriteRegister(ext, UART_THR, *ext->TxData);
    ++ext->TxData;
    --ext->TxRemaining;
    ++ext->Perf.TransmittedCount;
  }
}

void NoteLineStatus(PSERIAL_EXTENSION ext, UCHAR lsr) {
  if (lsr & LSR_OVERRUN) {
    ext->Errors |= SERIAL_ERROR_OVERRUN;
    ++ext->Perf.SerialOverrunErrorCount;
  }
  if (lsr & LSR_PARITY) {
    ext->Errors |= SERIAL_ERROR_PARITY;
    ++ext->Perf.ParityErrorCount;
    ext->PendingEvents |= SERIAL_EV_PERR;
  }
  if (lsr & LSR_FRAMING) {
    ext->Errors |= SERIAL_ERROR_FRAMING;
    ++ext->Perf.FrameErrorCount;
  }
  if (lsr & LSR_BREAK) {
    ext->Errors |= SERIAL_ERROR_BREAK;
    ext->PendingEvents |= SERIAL_EV_BREAK;
  }
  if (lsr & (LSR_OVERRUN | LSR_PARITY | LSR_FRAMING)) ext->PendingEvents |= SERIAL_EV_ERR;
}

void Receive(PSERIAL_EXTENSION ext) {
  for (ULONG guard = 0; guard < 4 * UART_FIFO_DEPTH; ++guard) {
    const UCHAR lsr = SerialReadRegister(ext, UART_LSR);
    if (lsr == 0xFF) return;  // the hardware has gone
    if (lsr & (LSR_OVERRUN | LSR_PARITY | LSR_FRAMING | LSR_BREAK)) NoteLineStatus(ext, lsr);
    if (!(lsr & LSR_DATA_READY)) return;
    const UCHAR byte = SerialReadRegister(ext, UART_RBR);
    ++ext->Perf.ReceivedCount;
    ext->PendingEvents |= SERIAL_EV_RXCHAR;
    if (byte == ext->Settings.Chars.EventChar) ext->PendingEvents |= SERIAL_EV_RXFLAG;
    if (ext->RxCount == ext->RxSize) {
      ext->Errors |= SERIAL_ERROR_QUEUEOVERRUN;
      ++ext->Perf.BufferOverrunErrorCount;
      ext->PendingEvents |= SERIAL_EV_ERR;
      continue;
    }
    ext->RxBuffer[(ext->RxHead + ext->RxCount) % ext->RxSize] = byte;
    ++ext->RxCount;
    if (ext->RxCount == ext->RxSize * 8 / 10 + 1) ext->PendingEvents |= SERIAL_EV_RX80FULL;
  }
}

}  // namespace

void SerialProgram(PSERIAL_EXTENSION Ext) {
  SerialSynchronize(Ext, ProgramSynchronized, Ext);
  SerialApplyModemControl(Ext);
}

void SerialApplyModemControl(PSERIAL_EXTENSION Ext) {
  if (Ext->HardwareReady) SerialSynchronize(Ext, ModemControlSynchronized, Ext);
}

void SerialQuiet(PSERIAL_EXTENSION Ext) {
  if (Ext->HardwareReady) SerialSynchronize(Ext, QuietSynchronized, Ext);
}

ULONG SerialTakeReceived(PSERIAL_EXTENSION Ext, PUCHAR Buffer, ULONG Length) {
  TakeContext take = {Ext, Buffer, Length, 0};
  SerialSynchronize(Ext, TakeSynchronized, &take);
  return take.Taken;
}

ULONG SerialReceivedCount(PSERIAL_EXTENSION Ext) {
  TakeContext take = {Ext, NULL, 0, 0};
  SerialSynchronize(Ext, CountSynchronized, &take);
  return take.Taken;
}

void SerialPurgeReceive(PSERIAL_EXTENSION Ext) { SerialSynchronize(Ext, PurgeReceiveSynchronized, Ext); }

void SerialPollReceive(PSERIAL_EXTENSION Ext) {
  // The events the bytes bring are reported by the interrupt's DPC.
  if (SerialSynchronize(Ext, PollReceiveSynchronized, Ext)) KeInsertQueueDpc(&Ext->Self->Dpc, NULL, NULL);
}

BOOLEAN SerialIsr(PKINTERRUPT Interrupt, PVOID ServiceContext) {
  UNREFERENCED_PARAMETER(Interrupt);
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(ServiceContext);
  UCHAR iir = SerialReadRegister(ext, UART_IIR);
  if (iir & IIR_NO_INTERRUPT) return FALSE;  // another device on the shared line
  BOOLEAN queue_dpc = FALSE;
  for (ULONG guard = 0; guard < 32 && !(iir & IIR_NO_INTERRUPT); ++guard) {
    switch (iir & IIR_CAUSE_MASK) {
      case IIR_LINE_STATUS:
        NoteLineStatus(ext, SerialReadRegister(ext, UART_LSR));
        queue_dpc = TRUE;
        break;
      case IIR_RX_DATA:
      case IIR_RX_TIMEOUT:
        Receive(ext);
        queue_dpc = TRUE;
        break;
      case IIR_THR_EMPTY:
        // Reading IIR cleared this cause; writing the holding register
        // brings it back once the bytes have left.
        if (ext->TxRemaining > 0) {
          FeedTransmitter(ext);
        } else if (ext->TxActive) {
          ext->TxActive = FALSE;
          ext->TxDone = TRUE;
          ext->PendingEvents |= SERIAL_EV_TXEMPTY;
          queue_dpc = TRUE;
        }
        break;
      case IIR_MODEM_STATUS: {
        const UCHAR msr = SerialReadRegister(ext, UART_MSR);
        ext->LastMsr = msr;
        if (msr & MSR_DCTS) ext->PendingEvents |= SERIAL_EV_CTS;
        if (msr & MSR_DDSR) ext->PendingEvents |= SERIAL_EV_DSR;
        if (msr & MSR_DDCD) ext->PendingEvents |= SERIAL_EV_RLSD;
        if (msr & MSR_TERI) ext->PendingEvents |= SERIAL_EV_RING;
        queue_dpc = TRUE;
        break;
      }
      default:
        // A cause a 16550 does not have: read everything that clears one.
        SerialReadRegister(ext, UART_LSR);
        SerialReadRegister(ext, UART_MSR);
        break;
    }
    iir = SerialReadRegister(ext, UART_IIR);
  }
  if (queue_dpc) IoRequestDpc(ext->Self, NULL, NULL);
  return TRUE;
}

namespace {

BOOLEAN NTAPI StartTransmitSynchronized(PVOID Context) {
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  if (!ext->TxActive) {
    // A new current write; one under way (after D0) goes on where it was.
    PIRP irp = ext->CurrentWrite;
    ext->TxData = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    ext->TxRemaining = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    ext->TxActive = TRUE;
    ext->TxDone = FALSE;
  }
  // The holding register may already be empty, which raises no new
  // interrupt: fill it now and let the interrupts carry on.
  if (SerialReadRegister(ext, UART_LSR) & LSR_THR_EMPTY) FeedTransmitter(ext);
  return TRUE;
}

}  // namespace

void SerialKickTransmitter(PSERIAL_EXTENSION Ext) { SerialSynchronize(Ext, StartTransmitSynchronized, Ext); }
