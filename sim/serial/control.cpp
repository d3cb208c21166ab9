// Control requests: the published serial codes, the internal settings
// codes, and our two private codes. Unknown codes get
// STATUS_INVALID_PARAMETER, as serial port drivers answer them.
#include "sim/serial/serial_port.h"

namespace {

const ULONG kValidWaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY | SERIAL_EV_CTS | SERIAL_EV_DSR |
                             SERIAL_EV_RLSD | SERIAL_EV_BREAK | SERIAL_EV_ERR | SERIAL_EV_RING | SERIAL_EV_PERR |
                             SERIAL_EV_RX80FULL | SERIAL_EV_EVENT1 | SERIAL_EV_EVENT2;
const ULONG kValidPurge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

struct Request {
  PSERIAL_EXTENSION Ext;
  PIRP Irp;
  PVOID Buffer;
  ULONG InLength;
  ULONG OutLength;
  ULONG_PTR Information;
};

// Standard baud rates and their SERIAL_COMMPROP bits.
const struct {
  ULONG Baud;
  ULONG Bit;
} kBauds[] = {{75, SERIAL_BAUD_075},       {110, SERIAL_BAUD_110},       {150, SERIAL_BAUD_150},
              {300, SERIAL_BAUD_300},      {600, SERIAL_BAUD_600},       {1200, SERIAL_BAUD_1200},
              {1800, SERIAL_BAUD_1800},    {2400, SERIAL_BAUD_2400},     {4800, SERIAL_BAUD_4800},
              {7200, SERIAL_BAUD_7200},    {9600, SERIAL_BAUD_9600},     {14400, SERIAL_BAUD_14400},
              {19200, SERIAL_BAUD_19200},  {38400, SERIAL_BAUD_38400},   {57600, SERIAL_BAUD_57600},
              {115200, SERIAL_BAUD_115200}, {128000, SERIAL_BAUD_128K}};

NTSTATUS Output(Request* r, const void* data, ULONG length) {
  if (r->OutLength < length) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(r->Buffer, data, length);
  r->Information = length;
  return STATUS_SUCCESS;
}

BOOLEAN InputShort(Request* r, ULONG length) { return r->InLength < length; }

void Reprogram(PSERIAL_EXTENSION Ext) {
  if (Ext->HardwareReady) SerialProgram(Ext);
}

NTSTATUS SetHandFlow(PSERIAL_EXTENSION Ext, const SERIAL_HANDFLOW* h) {
  if ((h->ControlHandShake & SERIAL_CONTROL_INVALID) || (h->FlowReplace & SERIAL_FLOW_INVALID) ||
      (h->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || h->XonLimit < 0 || h->XoffLimit < 0 ||
      static_cast<ULONG>(h->XonLimit) > Ext->RxSize || static_cast<ULONG>(h->XoffLimit) > Ext->RxSize)
    return STATUS_INVALID_PARAMETER;
  Ext->Settings.HandFlow = *h;
  // The lines follow the new control modes at once.
  if ((h->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL) Ext->Settings.Mcr |= MCR_DTR;
  if ((h->ControlHandShake & SERIAL_DTR_MASK) == 0) Ext->Settings.Mcr &= ~MCR_DTR;
  if ((h->FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL) Ext->Settings.Mcr |= MCR_RTS;
  if ((h->FlowReplace & SERIAL_RTS_MASK) == 0) Ext->Settings.Mcr &= ~MCR_RTS;
  if (Ext->OpenCount > 0) SerialApplyModemControl(Ext);
  return STATUS_SUCCESS;
}

void CurrentBasic(PSERIAL_EXTENSION Ext, SERIAL_BASIC_SETTINGS* Basic) {
  Basic->Timeouts = Ext->Settings.Timeouts;
  Basic->HandFlow = Ext->Settings.HandFlow;
  Basic->RxFifo = Ext->Settings.Fcr & FCR_TRIGGER_MASK;
  Basic->TxFifo = Ext->Settings.TxFifo;
}

void ApplyBasic(PSERIAL_EXTENSION Ext, const SERIAL_BASIC_SETTINGS* Basic) {
  Ext->Settings.Timeouts = Basic->Timeouts;
  SetHandFlow(Ext, &Basic->HandFlow);
  Ext->Settings.Fcr = static_cast<UCHAR>(FCR_ENABLE | (Basic->RxFifo & FCR_TRIGGER_MASK));
  Ext->Settings.TxFifo = Basic->TxFifo >= 1 && Basic->TxFifo <= UART_FIFO_DEPTH ? Basic->TxFifo : UART_FIFO_DEPTH;
  Reprogram(Ext);
}

struct Status {
  PSERIAL_EXTENSION Ext;
  SERIAL_STATUS* Out;
  SERIALPERF_STATS* Perf;
  BOOLEAN ClearPerf;
};

BOOLEAN NTAPI StatusSynchronized(PVOID Context) {
  Status* s = static_cast<Status*>(Context);
  PSERIAL_EXTENSION ext = s->Ext;
  if (s->Out) {
    s->Out->Errors = ext->Errors;
    ext->Errors = 0;
    s->Out->AmountInInQueue = ext->RxCount;
    s->Out->AmountInOutQueue = ext->TxRemaining;
  }
  if (s->Perf) *s->Perf = ext->Perf;
  if (s->ClearPerf) RtlZeroMemory(&ext->Perf, sizeof(ext->Perf));
  return TRUE;
}

BOOLEAN NTAPI ModemStatusSynchronized(PVOID Context) {
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  ext->LastMsr = SerialReadRegister(ext, UART_MSR);
  return TRUE;
}

struct QueueSwap {
  PSERIAL_EXTENSION Ext;
  PUCHAR Buffer;
  ULONG Size;
};

BOOLEAN NTAPI SwapQueueSynchronized(PVOID Context) {
  QueueSwap* q = static_cast<QueueSwap*>(Context);
  PSERIAL_EXTENSION ext = q->Ext;
  for (ULONG i = 0; i < ext->RxCount; ++i) q->Buffer[i] = ext->RxBuffer[(ext->RxHead + i) % ext->RxSize];
  PUCHAR old = ext->RxBuffer;
  ext->RxBuffer = q->Buffer;
  ext->RxSize = q->Size;
  ext->RxHead = 0;
  q->Buffer = old;
  return TRUE;
}

BOOLEAN NTAPI TxClearSynchronized(PVOID Context) {
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  if (ext->HardwareReady) SerialWriteRegister(ext, UART_FCR, static_cast<UCHAR>(ext->Settings.Fcr | FCR_TX_RESET));
  return TRUE;
}

// The requests that keep the IRP: WAIT_ON_MASK. Returns STATUS_PENDING
// when it was queued or finished through the done list.
NTSTATUS WaitOnMask(Request* r, PLIST_ENTRY Done) {
  PSERIAL_EXTENSION ext = r->Ext;
  if (r->OutLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  if (ext->WaitIrp || ext->WaitMask == 0) return STATUS_INVALID_PARAMETER;
  if (ext->EventHistory) {
    *static_cast<PULONG>(r->Buffer) = ext->EventHistory;
    ext->EventHistory = 0;
    r->Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  IoMarkIrpPending(r->Irp);
  r->Irp->IoStatus.Information = 0;
  (void)IoSetCancelRoutine(r->Irp, SerialCancel);
  if (r->Irp->Cancel && IoSetCancelRoutine(r->Irp, NULL) != NULL) {
    r->Irp->IoStatus.Status = STATUS_CANCELLED;
    InsertTailList(Done, &r->Irp->Tail.Overlay.ListEntry);
    return STATUS_PENDING;
  }
  ext->WaitIrp = r->Irp;
  return STATUS_PENDING;
}

// Everything that runs under ControlLock.
NTSTATUS Locked(Request* r, ULONG Code, PLIST_ENTRY Done) {
  PSERIAL_EXTENSION ext = r->Ext;
  SERIAL_SETTINGS* s = &ext->Settings;
  switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
      if (InputShort(r, sizeof(SERIAL_BAUD_RATE))) return STATUS_BUFFER_TOO_SMALL;
      const ULONG baud = static_cast<PSERIAL_BAUD_RATE>(r->Buffer)->BaudRate;
      if (SerialDivisor(ext->ClockRate, baud) == 0) return STATUS_INVALID_PARAMETER;
      s->BaudRate = baud;
      Reprogram(ext);
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_BAUD_RATE: {
      SERIAL_BAUD_RATE baud = {s->BaudRate};
      return Output(r, &baud, sizeof(baud));
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
      if (InputShort(r, sizeof(SERIAL_LINE_CONTROL))) return STATUS_BUFFER_TOO_SMALL;
      const SERIAL_LINE_CONTROL* lc = static_cast<PSERIAL_LINE_CONTROL>(r->Buffer);
      if (SerialLineControlBits(lc) == 0xFF) return STATUS_INVALID_PARAMETER;
      s->LineControl = *lc;
      Reprogram(ext);
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_LINE_CONTROL: return Output(r, &s->LineControl, sizeof(s->LineControl));
    case IOCTL_SERIAL_SET_TIMEOUTS: {
      if (InputShort(r, sizeof(SERIAL_TIMEOUTS))) return STATUS_BUFFER_TOO_SMALL;
      const SERIAL_TIMEOUTS* t = static_cast<PSERIAL_TIMEOUTS>(r->Buffer);
      // "Return on the first byte or after the constant" needs a constant
      // below MAXULONG.
      if (t->ReadIntervalTimeout == MAXULONG && t->ReadTotalTimeoutMultiplier == MAXULONG &&
          t->ReadTotalTimeoutConstant == MAXULONG)
        return STATUS_INVALID_PARAMETER;
      s->Timeouts = *t;
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS: return Output(r, &s->Timeouts, sizeof(s->Timeouts));
    case IOCTL_SERIAL_SET_HANDFLOW:
      if (InputShort(r, sizeof(SERIAL_HANDFLOW))) return STATUS_BUFFER_TOO_SMALL;
      return SetHandFlow(ext, static_cast<PSERIAL_HANDFLOW>(r->Buffer));
    case IOCTL_SERIAL_GET_HANDFLOW: return Output(r, &s->HandFlow, sizeof(s->HandFlow));
    case IOCTL_SERIAL_SET_CHARS: {
      if (InputShort(r, sizeof(SERIAL_CHARS))) return STATUS_BUFFER_TOO_SMALL;
      const SERIAL_CHARS* c = static_cast<PSERIAL_CHARS>(r->Buffer);
      if (c->XonChar == c->XoffChar) return STATUS_INVALID_PARAMETER;
      s->Chars = *c;
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_CHARS: return Output(r, &s->Chars, sizeof(s->Chars));
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
      if ((s->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) return STATUS_INVALID_PARAMETER;
      s->Mcr = Code == IOCTL_SERIAL_SET_DTR ? s->Mcr | MCR_DTR : s->Mcr & ~MCR_DTR;
      SerialApplyModemControl(ext);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
      if ((s->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE ||
          (s->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE)
        return STATUS_INVALID_PARAMETER;
      s->Mcr = Code == IOCTL_SERIAL_SET_RTS ? s->Mcr | MCR_RTS : s->Mcr & ~MCR_RTS;
      SerialApplyModemControl(ext);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_DTRRTS: {
      ULONG lines = (s->Mcr & MCR_DTR ? SERIAL_DTR_STATE : 0) | (s->Mcr & MCR_RTS ? SERIAL_RTS_STATE : 0);
      return Output(r, &lines, sizeof(lines));
    }
    case IOCTL_SERIAL_GET_MODEMSTATUS: {
      if (ext->HardwareReady) SerialSynchronize(ext, ModemStatusSynchronized, ext);
      ULONG msr = ext->LastMsr;
      return Output(r, &msr, sizeof(msr));
    }
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
      s->Break = Code == IOCTL_SERIAL_SET_BREAK_ON;
      Reprogram(ext);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_PURGE: {
      if (InputShort(r, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
      const ULONG what = *static_cast<PULONG>(r->Buffer);
      if (what == 0 || (what & ~kValidPurge)) return STATUS_INVALID_PARAMETER;
      if (what & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT))
        SerialEndPending(ext, (what & SERIAL_PURGE_RXABORT) != 0, (what & SERIAL_PURGE_TXABORT) != 0, FALSE,
                         STATUS_CANCELLED, Done);
      if (what & SERIAL_PURGE_RXCLEAR) SerialPurgeReceive(ext);
      if (what & SERIAL_PURGE_TXCLEAR) SerialSynchronize(ext, TxClearSynchronized, ext);
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK: {
      if (InputShort(r, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
      const ULONG mask = *static_cast<PULONG>(r->Buffer);
      if (mask & ~kValidWaitMask) return STATUS_INVALID_PARAMETER;
      // A waiting WAIT_ON_MASK ends with no events.
      if (ext->WaitIrp && IoSetCancelRoutine(ext->WaitIrp, NULL) != NULL) {
        PIRP wait = ext->WaitIrp;
        ext->WaitIrp = NULL;
        *static_cast<PULONG>(wait->AssociatedIrp.SystemBuffer) = 0;
        wait->IoStatus.Status = STATUS_SUCCESS;
        wait->IoStatus.Information = sizeof(ULONG);
        InsertTailList(Done, &wait->Tail.Overlay.ListEntry);
      }
      ext->WaitMask = mask;
      ext->EventHistory = 0;
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_WAIT_MASK: return Output(r, &ext->WaitMask, sizeof(ULONG));
    case IOCTL_SERIAL_WAIT_ON_MASK: return WaitOnMask(r, Done);
    case IOCTL_SERIAL_GET_COMMSTATUS: {
      if (r->OutLength < sizeof(SERIAL_STATUS)) return STATUS_BUFFER_TOO_SMALL;
      SERIAL_STATUS status;
      RtlZeroMemory(&status, sizeof(status));
      Status query = {ext, &status, NULL, FALSE};
      SerialSynchronize(ext, StatusSynchronized, &query);
      if (s->Break) status.HoldReasons |= SERIAL_TX_WAITING_ON_BREAK;
      if (ext->CurrentWrite) {
        for (PLIST_ENTRY e = ext->WriteQueue.Flink; e != &ext->WriteQueue; e = e->Flink)
          status.AmountInOutQueue +=
              IoGetCurrentIrpStackLocation(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry))->Parameters.Write.Length;
      }
      return Output(r, &status, sizeof(status));
    }
    case IOCTL_SERIAL_GET_STATS:
    case IOCTL_SERIAL_CLEAR_STATS: {
      SERIALPERF_STATS perf;
      if (Code == IOCTL_SERIAL_GET_STATS && r->OutLength < sizeof(perf)) return STATUS_BUFFER_TOO_SMALL;
      Status query = {ext, NULL, &perf, Code == IOCTL_SERIAL_CLEAR_STATS};
      SerialSynchronize(ext, StatusSynchronized, &query);
      return Code == IOCTL_SERIAL_GET_STATS ? Output(r, &perf, sizeof(perf)) : STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_PROPERTIES: {
      if (r->OutLength < sizeof(SERIAL_COMMPROP)) return STATUS_BUFFER_TOO_SMALL;
      SERIAL_COMMPROP p;
      RtlZeroMemory(&p, sizeof(p));
      p.PacketLength = sizeof(p);
      p.PacketVersion = 2;
      p.ServiceMask = SERIAL_SP_SERIALCOMM;
      p.MaxTxQueue = 0;
      p.MaxRxQueue = SERIAL_MAX_QUEUE;
      p.MaxBaud = SERIAL_BAUD_USER;
      p.ProvSubType = SERIAL_SP_RS232;
      p.ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
                           SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS | SERIAL_PCF_SPECIALCHARS;
      p.SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                         SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
      p.SettableBaud = SERIAL_BAUD_USER;
      for (const auto& b : kBauds)
        if (SerialDivisor(ext->ClockRate, b.Baud) != 0) p.SettableBaud |= b.Bit;
      p.SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
      p.SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                             SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
      p.CurrentTxQueue = 0;
      p.CurrentRxQueue = ext->RxSize;
      return Output(r, &p, sizeof(p));
    }
    case IOCTL_PORT_QUERY_KEY: {
      ULONG base = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(ext->Port) & 0xFFFF);
      return Output(r, &base, sizeof(base));
    }
    default: return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS SetQueueSize(Request* r) {
  PSERIAL_EXTENSION ext = r->Ext;
  if (InputShort(r, sizeof(SERIAL_QUEUE_SIZE))) return STATUS_BUFFER_TOO_SMALL;
  const ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(r->Buffer)->InSize;
  if (size > SERIAL_MAX_QUEUE) return STATUS_INVALID_PARAMETER;
  // The receive buffer only grows: a smaller size keeps the current one.
  if (size <= ext->RxSize) return STATUS_SUCCESS;
  QueueSwap swap = {ext, static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, SERIAL_POOL_TAG)), size};
  if (!swap.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  if (size > ext->RxSize) SerialSynchronize(ext, SwapQueueSynchronized, &swap);
  KeReleaseSpinLock(&ext->ControlLock, irql);
  ExFreePoolWithTag(swap.Buffer, SERIAL_POOL_TAG);
  return STATUS_SUCCESS;
}

NTSTATUS Finish(PSERIAL_EXTENSION Ext, PIRP Irp, NTSTATUS Status, ULONG_PTR Information, PLIST_ENTRY Done) {
  if (Status != STATUS_PENDING) {
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Information : 0;
    SerialComplete(Ext, Irp, Status);
  }
  SerialCompleteList(Ext, Done);
  return Status;
}

}  // namespace

NTSTATUS SerialDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return SerialCompleteNow(Irp, status, 0);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  Request r = {ext, Irp, Irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
               stack->Parameters.DeviceIoControl.OutputBufferLength, 0};
  LIST_ENTRY done;
  InitializeListHead(&done);

  if (ext->PnpState == SerialSurpriseRemoved || ext->PnpState == SerialRemoved)
    return Finish(ext, Irp, STATUS_DELETE_PENDING, 0, &done);
  if (code == IOCTL_SERIAL_SET_QUEUE_SIZE) return Finish(ext, Irp, SetQueueSize(&r), 0, &done);
  if (code == IOCTL_PORT_SET_COM_INDEX) {
    if (InputShort(&r, sizeof(ULONG))) return Finish(ext, Irp, STATUS_BUFFER_TOO_SMALL, 0, &done);
    return Finish(ext, Irp, SerialSetComIndex(ext, *static_cast<PULONG>(r.Buffer)), 0, &done);
  }
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  status = Locked(&r, code, &done);
  KeReleaseSpinLock(&ext->ControlLock, irql);
  return Finish(ext, Irp, status, r.Information, &done);
}

NTSTATUS SerialInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return SerialCompleteNow(Irp, status, 0);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  Request r = {ext, Irp, Irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
               stack->Parameters.DeviceIoControl.OutputBufferLength, 0};
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: {
      // Hands back the settings in force and puts the port to basic
      // operation: no time-outs, DTR and RTS under control, no flow
      // control, one-byte FIFO triggers.
      if (r.OutLength < sizeof(SERIAL_BASIC_SETTINGS)) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      SERIAL_BASIC_SETTINGS basic;
      CurrentBasic(ext, &basic);
      status = Output(&r, &basic, sizeof(basic));
      RtlZeroMemory(&basic, sizeof(basic));
      basic.HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
      basic.HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
      basic.HandFlow.XonLimit = static_cast<LONG>(ext->Settings.HandFlow.XonLimit);
      basic.HandFlow.XoffLimit = static_cast<LONG>(ext->Settings.HandFlow.XoffLimit);
      basic.RxFifo = 0;
      basic.TxFifo = 1;
      ApplyBasic(ext, &basic);
      break;
    }
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS: {
      if (InputShort(&r, sizeof(SERIAL_BASIC_SETTINGS))) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      SERIAL_BASIC_SETTINGS basic = *static_cast<PSERIAL_BASIC_SETTINGS>(r.Buffer);
      if (SetHandFlow(ext, &basic.HandFlow) != STATUS_SUCCESS) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      ApplyBasic(ext, &basic);
      status = STATUS_SUCCESS;
      break;
    }
    default: status = STATUS_INVALID_PARAMETER; break;
  }
  KeReleaseSpinLock(&ext->ControlLock, irql);
  return Finish(ext, Irp, status, r.Information, &done);
}
