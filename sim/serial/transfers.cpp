// Reads, writes and the wait-on-mask request: their queues, time-outs,
// cancellation, and the DPC that finishes what the interrupt started.
//
// A pending request is always in exactly one place under ControlLock: a
// queue, CurrentRead, CurrentWrite or WaitIrp. Whoever ends it first takes
// its cancel routine away; when that fails, the cancel routine is already
// on its way and ends it itself, finding it where it is.
#include "sim/serial/serial_port.h"

namespace {

const LONGLONG kHundredNsPerMs = 10000;
// Time-outs longer than this (about 35 years) are as good as none.
const ULONGLONG kLongestTimeoutMs = 1ull << 40;

LONGLONG Now() { return static_cast<LONGLONG>(KeQueryInterruptTime()); }

// Arms the timer for an absolute interrupt time; returns that time.
LONGLONG ArmTimer(PKTIMER Timer, PKDPC Dpc, ULONGLONG Milliseconds) {
  if (Milliseconds > kLongestTimeoutMs) Milliseconds = kLongestTimeoutMs;
  const LONGLONG span = static_cast<LONGLONG>(Milliseconds) * kHundredNsPerMs;
  LARGE_INTEGER due;
  due.QuadPart = -(span > 0 ? span : 1);
  KeSetTimer(Timer, due, Dpc);
  return Now() + span;
}

BOOLEAN Claim(PIRP Irp) { return IoSetCancelRoutine(Irp, NULL) != NULL; }

void Finish(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, PLIST_ENTRY Done) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  InsertTailList(Done, &Irp->Tail.Overlay.ListEntry);
}

ULONG ReadLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length; }
ULONG WriteLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length; }

// The read becomes current: its time-outs are fixed now, from the settings
// in force when it starts.
void BeginRead(PSERIAL_EXTENSION Ext, PIRP Irp) {
  const SERIAL_TIMEOUTS* t = &Ext->Settings.Timeouts;
  Ext->CurrentRead = Irp;
  Ext->ReadDone = 0;
  Ext->ReadDeadline = 0;
  Ext->IntervalDeadline = 0;
  Ext->ReadReturnsOnAny = FALSE;
  ULONGLONG total = 0;
  if (t->ReadIntervalTimeout == MAXULONG && t->ReadTotalTimeoutMultiplier == 0 &&
      t->ReadTotalTimeoutConstant == 0) {
    // Return at once with what is there; ProcessReads sees the zero deadline
    // and the MAXULONG interval.
  } else if (t->ReadIntervalTimeout == MAXULONG && t->ReadTotalTimeoutMultiplier == MAXULONG &&
             t->ReadTotalTimeoutConstant > 0 && t->ReadTotalTimeoutConstant < MAXULONG) {
    Ext->ReadReturnsOnAny = TRUE;
    total = t->ReadTotalTimeoutConstant;
  } else {
    total = static_cast<ULONGLONG>(t->ReadTotalTimeoutMultiplier) * ReadLength(Irp) + t->ReadTotalTimeoutConstant;
  }
  if (total) Ext->ReadDeadline = ArmTimer(&Ext->ReadTotalTimer, &Ext->ReadTotalDpc, total);
}

BOOLEAN ReadReturnsAtOnce(PSERIAL_EXTENSION Ext) {
  const SERIAL_TIMEOUTS* t = &Ext->Settings.Timeouts;
  return t->ReadIntervalTimeout == MAXULONG && t->ReadTotalTimeoutMultiplier == 0 &&
         t->ReadTotalTimeoutConstant == 0;
}

// Ends the current read with the bytes it holds. Claimed: the caller is its
// cancel routine. FALSE when its cancel routine will end it instead.
BOOLEAN EndCurrentRead(PSERIAL_EXTENSION Ext, NTSTATUS Status, BOOLEAN Claimed, PLIST_ENTRY Done) {
  PIRP irp = Ext->CurrentRead;
  if (!Claimed && !Claim(irp)) return FALSE;
  KeCancelTimer(&Ext->ReadTotalTimer);
  KeCancelTimer(&Ext->ReadIntervalTimer);
  Ext->ReadDeadline = 0;
  Ext->IntervalDeadline = 0;
  Ext->CurrentRead = NULL;
  Finish(irp, Status, Ext->ReadDone, Done);
  return TRUE;
}

ULONG FillCurrentRead(PSERIAL_EXTENSION Ext) {
  PIRP irp = Ext->CurrentRead;
  const ULONG length = ReadLength(irp);
  const ULONG got = SerialTakeReceived(Ext, static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer) + Ext->ReadDone,
                                       length - Ext->ReadDone);
  Ext->ReadDone += got;
  return got;
}

struct StopTransmit {
  PSERIAL_EXTENSION Ext;
  ULONG Unsent;
};

BOOLEAN NTAPI StopTransmitSynchronized(PVOID Context) {
  StopTransmit* stop = static_cast<StopTransmit*>(Context);
  PSERIAL_EXTENSION ext = stop->Ext;
  stop->Unsent = ext->TxRemaining;
  ext->TxRemaining = 0;
  ext->TxData = NULL;
  ext->TxActive = FALSE;
  ext->TxDone = FALSE;
  return TRUE;
}

BOOLEAN EndCurrentWrite(PSERIAL_EXTENSION Ext, NTSTATUS Status, BOOLEAN Claimed, PLIST_ENTRY Done) {
  PIRP irp = Ext->CurrentWrite;
  if (!Claimed && !Claim(irp)) return FALSE;
  StopTransmit stop = {Ext, 0};
  SerialSynchronize(Ext, StopTransmitSynchronized, &stop);
  KeCancelTimer(&Ext->WriteTotalTimer);
  Ext->WriteDeadline = 0;
  Ext->CurrentWrite = NULL;
  Finish(irp, Status, WriteLength(irp) - stop.Unsent, Done);
  return TRUE;
}

struct Collected {
  PSERIAL_EXTENSION Ext;
  BOOLEAN TxDone;
  ULONG Events;
};

BOOLEAN NTAPI CollectSynchronized(PVOID Context) {
  Collected* c = static_cast<Collected*>(Context);
  c->TxDone = c->Ext->TxDone;
  c->Ext->TxDone = FALSE;
  c->Events = c->Ext->PendingEvents;
  c->Ext->PendingEvents = 0;
  return TRUE;
}

void EndQueue(PLIST_ENTRY Queue, NTSTATUS Status, PLIST_ENTRY Done) {
  PLIST_ENTRY entry = Queue->Flink;
  while (entry != Queue) {
    PLIST_ENTRY next = entry->Flink;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (Claim(irp)) {
      RemoveEntryList(entry);
      Finish(irp, Status, 0, Done);
    }
    entry = next;
  }
}

}  // namespace

void SerialComplete(PSERIAL_EXTENSION Ext, PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
  IoReleaseRemoveLock(&Ext->RemoveLock, Irp);
}

void SerialCompleteList(PSERIAL_EXTENSION Ext, PLIST_ENTRY Done) {
  while (!IsListEmpty(Done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(Done), IRP, Tail.Overlay.ListEntry);
    SerialComplete(Ext, irp, irp->IoStatus.Status);
  }
}

void SerialQueueRequest(PSERIAL_EXTENSION Ext, PLIST_ENTRY Queue, PIRP Irp, PLIST_ENTRY Done) {
  UNREFERENCED_PARAMETER(Ext);
  (void)IoSetCancelRoutine(Irp, SerialCancel);
  if (Irp->Cancel && Claim(Irp)) {
    Finish(Irp, STATUS_CANCELLED, 0, Done);
    return;
  }
  InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
}

void SerialProcessReads(PSERIAL_EXTENSION Ext, PLIST_ENTRY Done) {
  for (;;) {
    if (!Ext->CurrentRead) {
      if (IsListEmpty(&Ext->ReadQueue)) return;
      BeginRead(Ext, CONTAINING_RECORD(RemoveHeadList(&Ext->ReadQueue), IRP, Tail.Overlay.ListEntry));
    }
    PIRP irp = Ext->CurrentRead;
    if (irp->Cancel) return;  // its cancel routine ends it
    const ULONG got = FillCurrentRead(Ext);
    const BOOLEAN finished = Ext->ReadDone == ReadLength(irp) || ReadReturnsAtOnce(Ext) ||
                             (Ext->ReadReturnsOnAny && Ext->ReadDone > 0);
    if (!finished) {
      const ULONG interval = Ext->Settings.Timeouts.ReadIntervalTimeout;
      if (got > 0 && interval != 0 && interval != MAXULONG && !Ext->ReadReturnsOnAny)
        Ext->IntervalDeadline = ArmTimer(&Ext->ReadIntervalTimer, &Ext->ReadIntervalDpc, interval);
      return;
    }
    if (!EndCurrentRead(Ext, STATUS_SUCCESS, FALSE, Done)) return;
  }
}

void SerialStartNextWrite(PSERIAL_EXTENSION Ext, PLIST_ENTRY Done) {
  UNREFERENCED_PARAMETER(Done);
  if (Ext->CurrentWrite || IsListEmpty(&Ext->WriteQueue) || !Ext->HardwareReady) return;
  PIRP irp = CONTAINING_RECORD(RemoveHeadList(&Ext->WriteQueue), IRP, Tail.Overlay.ListEntry);
  Ext->CurrentWrite = irp;
  const SERIAL_TIMEOUTS* t = &Ext->Settings.Timeouts;
  const ULONGLONG total =
      static_cast<ULONGLONG>(t->WriteTotalTimeoutMultiplier) * WriteLength(irp) + t->WriteTotalTimeoutConstant;
  Ext->WriteDeadline = total ? ArmTimer(&Ext->WriteTotalTimer, &Ext->WriteTotalDpc, total) : 0;
  SerialKickTransmitter(Ext);
}

void SerialNoteEvents(PSERIAL_EXTENSION Ext, ULONG Events, PLIST_ENTRY Done) {
  Ext->EventHistory |= Events & Ext->WaitMask;
  if (!Ext->WaitIrp || !Ext->EventHistory || Ext->WaitIrp->Cancel) return;
  PIRP irp = Ext->WaitIrp;
  if (!Claim(irp)) return;
  Ext->WaitIrp = NULL;
  *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = Ext->EventHistory;
  Ext->EventHistory = 0;
  Finish(irp, STATUS_SUCCESS, sizeof(ULONG), Done);
}

void SerialCollectInterruptWork(PSERIAL_EXTENSION Ext, PLIST_ENTRY Done) {
  Collected c = {Ext, FALSE, 0};
  SerialSynchronize(Ext, CollectSynchronized, &c);
  if (c.TxDone && Ext->CurrentWrite && !Ext->CurrentWrite->Cancel) EndCurrentWrite(Ext, STATUS_SUCCESS, FALSE, Done);
  SerialNoteEvents(Ext, c.Events, Done);
  SerialProcessReads(Ext, Done);
  SerialStartNextWrite(Ext, Done);
}

void SerialEndPending(PSERIAL_EXTENSION Ext, BOOLEAN Reads, BOOLEAN Writes, BOOLEAN Wait, NTSTATUS Status,
                      PLIST_ENTRY Done) {
  if (Reads) {
    EndQueue(&Ext->ReadQueue, Status, Done);
    if (Ext->CurrentRead) EndCurrentRead(Ext, Status, FALSE, Done);
  }
  if (Writes) {
    EndQueue(&Ext->WriteQueue, Status, Done);
    if (Ext->CurrentWrite) EndCurrentWrite(Ext, Status, FALSE, Done);
  }
  if (Wait && Ext->WaitIrp && Claim(Ext->WaitIrp)) {
    Finish(Ext->WaitIrp, Status, 0, Done);
    Ext->WaitIrp = NULL;
  }
}

void SerialCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  if (Irp == ext->CurrentRead) {
    EndCurrentRead(ext, STATUS_CANCELLED, TRUE, &done);
    SerialProcessReads(ext, &done);
  } else if (Irp == ext->CurrentWrite) {
    EndCurrentWrite(ext, STATUS_CANCELLED, TRUE, &done);
    SerialStartNextWrite(ext, &done);
  } else if (Irp == ext->WaitIrp) {
    ext->WaitIrp = NULL;
    Finish(Irp, STATUS_CANCELLED, 0, &done);
  } else {
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    Finish(Irp, STATUS_CANCELLED, 0, &done);
  }
  KeReleaseSpinLock(&ext->ControlLock, irql);
  SerialCompleteList(ext, &done);
}

void SerialIsrDpc(PKDPC Dpc, PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(Context);
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KeAcquireSpinLockAtDpcLevel(&ext->ControlLock);
  SerialCollectInterruptWork(ext, &done);
  KeReleaseSpinLockFromDpcLevel(&ext->ControlLock);
  SerialCompleteList(ext, &done);
}

// A timer's DPC may run after its timer was cancelled or set again for
// another request; each acts only when its deadline has really passed.
void SerialReadTotalTimeout(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KeAcquireSpinLockAtDpcLevel(&ext->ControlLock);
  if (ext->CurrentRead && ext->ReadDeadline && Now() >= ext->ReadDeadline && !ext->CurrentRead->Cancel) {
    // Bytes that came in time count, also those still in the FIFO.
    SerialPollReceive(ext);
    FillCurrentRead(ext);
    const NTSTATUS status = ext->ReadDone == ReadLength(ext->CurrentRead) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    if (EndCurrentRead(ext, status, FALSE, &done)) SerialProcessReads(ext, &done);
  }
  KeReleaseSpinLockFromDpcLevel(&ext->ControlLock);
  SerialCompleteList(ext, &done);
}

void SerialReadIntervalTimeout(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KeAcquireSpinLockAtDpcLevel(&ext->ControlLock);
  if (ext->CurrentRead && ext->IntervalDeadline && Now() >= ext->IntervalDeadline && !ext->CurrentRead->Cancel) {
    // Bytes that came in time count, also those still in the FIFO below its
    // interrupt trigger or waiting for the interrupt's DPC.
    SerialPollReceive(ext);
    if (FillCurrentRead(ext) > 0 && ext->ReadDone < ReadLength(ext->CurrentRead)) {
      ext->IntervalDeadline = ArmTimer(&ext->ReadIntervalTimer, &ext->ReadIntervalDpc,
                                       ext->Settings.Timeouts.ReadIntervalTimeout);
    } else {
      const NTSTATUS status = ext->ReadDone == ReadLength(ext->CurrentRead) ? STATUS_SUCCESS : STATUS_TIMEOUT;
      if (EndCurrentRead(ext, status, FALSE, &done)) SerialProcessReads(ext, &done);
    }
  }
  KeReleaseSpinLockFromDpcLevel(&ext->ControlLock);
  SerialCompleteList(ext, &done);
}

void SerialWriteTotalTimeout(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PSERIAL_EXTENSION ext = static_cast<PSERIAL_EXTENSION>(Context);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KeAcquireSpinLockAtDpcLevel(&ext->ControlLock);
  if (ext->CurrentWrite && ext->WriteDeadline && Now() >= ext->WriteDeadline && !ext->CurrentWrite->Cancel) {
    if (EndCurrentWrite(ext, STATUS_TIMEOUT, FALSE, &done)) SerialStartNextWrite(ext, &done);
  }
  KeReleaseSpinLockFromDpcLevel(&ext->ControlLock);
  SerialCompleteList(ext, &done);
}

// Reads and writes. The port must run (or be in D3, where requests wait);
// a stopped port fails them, a removed one answers STATUS_DELETE_PENDING.
namespace {

NTSTATUS RefuseStatus(PSERIAL_EXTENSION Ext) {
  switch (Ext->PnpState) {
    case SerialStarted:
    case SerialStopPending:
    case SerialRemovePending: return STATUS_SUCCESS;
    case SerialSurpriseRemoved:
    case SerialRemoved: return STATUS_DELETE_PENDING;
    default: return STATUS_DEVICE_NOT_READY;
  }
}

NTSTATUS Transfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN IsRead) {
  PSERIAL_EXTENSION ext = SerialExt(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return SerialCompleteNow(Irp, status, 0);
  Irp->IoStatus.Information = 0;
  const ULONG length = IsRead ? ReadLength(Irp) : WriteLength(Irp);
  LIST_ENTRY done;
  InitializeListHead(&done);
  IoMarkIrpPending(Irp);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  status = RefuseStatus(ext);
  if (!NT_SUCCESS(status) || length == 0) {
    Finish(Irp, status, 0, &done);
  } else if (IsRead) {
    SerialQueueRequest(ext, &ext->ReadQueue, Irp, &done);
    SerialProcessReads(ext, &done);
  } else {
    SerialQueueRequest(ext, &ext->WriteQueue, Irp, &done);
    SerialStartNextWrite(ext, &done);
  }
  KeReleaseSpinLock(&ext->ControlLock, irql);
  SerialCompleteList(ext, &done);
  return STATUS_PENDING;
}

}  // namespace

NTSTATUS SerialRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Transfer(DeviceObject, Irp, TRUE); }

NTSTATUS SerialWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Transfer(DeviceObject, Irp, FALSE); }
