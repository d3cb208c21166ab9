// Cancel-safe IRP queues, as documented: the driver's callbacks keep the
// queue and its lock; these routines install the queue's own cancel routine
// on every queued IRP and take it out again under the driver's lock, so an
// IRP is either removed by the driver or completed as cancelled, never both.
// Irp->Tail.Overlay.DriverContext[3] holds the IRP's context, or the queue
// when the driver passed none.
#include "sim/kernel/io_manager.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"

using sim::K;

namespace {

PVOID& QueueSlot(PIRP irp) { return irp->Tail.Overlay.DriverContext[3]; }

// The queue and the context (or null) that the slot names.
PIO_CSQ QueueOf(PIRP irp, PIO_CSQ_IRP_CONTEXT* context) {
  PVOID slot = QueueSlot(irp);
  *context = nullptr;
  if (slot && *static_cast<ULONG*>(slot) == IO_TYPE_CSQ_IRP_CONTEXT) {
    *context = static_cast<PIO_CSQ_IRP_CONTEXT>(slot);
    return (*context)->Csq;
  }
  return static_cast<PIO_CSQ>(slot);
}

// Called with the driver's lock held: the IRP leaves the queue.
void TakeOut(PIO_CSQ csq, PIRP irp) {
  PIO_CSQ_IRP_CONTEXT context;
  QueueOf(irp, &context);
  csq->CsqRemoveIrp(csq, irp);
  if (context) context->Irp = nullptr;
  QueueSlot(irp) = nullptr;
}

void NTAPI CancelQueuedIrp(PDEVICE_OBJECT, PIRP irp) {
  K().io->ReleaseCancelLock(irp->CancelIrql, nullptr);
  PIO_CSQ_IRP_CONTEXT context;
  PIO_CSQ csq = QueueOf(irp, &context);
  KIRQL irql;
  csq->CsqAcquireLock(csq, &irql);
  TakeOut(csq, irp);
  csq->CsqReleaseLock(csq, irql);
  csq->CsqCompleteCanceledIrp(csq, irp);
}

bool IsQueue(PIO_CSQ csq, const char* routine, const sim::DriverImage* caller) {
  if (csq && csq->Type == IO_TYPE_CSQ) return true;
  sim::ReportCaller(caller, "bad-parameter", std::string(routine) + " with a queue IoCsqInitialize did not set up");
  return false;
}

}  // namespace

extern "C" {

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
  Csq->Type = IO_TYPE_CSQ;
  Csq->CsqInsertIrp = CsqInsertIrp;
  Csq->CsqRemoveIrp = CsqRemoveIrp;
  Csq->CsqPeekNextIrp = CsqPeekNextIrp;
  Csq->CsqAcquireLock = CsqAcquireLock;
  Csq->CsqReleaseLock = CsqReleaseLock;
  Csq->CsqCompleteCanceledIrp = CsqCompleteCanceledIrp;
  Csq->ReservePointer = nullptr;
  return STATUS_SUCCESS;
}

// An IRP already cancelled is not inserted but completed as cancelled; it
// is marked pending either way, so the dispatch routine returns
// STATUS_PENDING.
void IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context) {
  if (!sim::CheckIrql("IoCsqInsertIrp", DISPATCH_LEVEL) || !IsQueue(Csq, "IoCsqInsertIrp", SIM_CALLER())) return;
  if (Context) {
    Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
    Context->Irp = nullptr;
    Context->Csq = Csq;
  }
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  if (Irp->Cancel) {
    IoMarkIrpPending(Irp);
    Csq->CsqReleaseLock(Csq, irql);
    Csq->CsqCompleteCanceledIrp(Csq, Irp);
    return;
  }
  if (Context) Context->Irp = Irp;
  QueueSlot(Irp) = Context ? static_cast<PVOID>(Context) : static_cast<PVOID>(Csq);
  Csq->CsqInsertIrp(Csq, Irp);
  IoMarkIrpPending(Irp);
  IoSetCancelRoutine(Irp, CancelQueuedIrp);
  // A cancel that came in meanwhile found no routine; the IRP is ours to end.
  if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
    TakeOut(Csq, Irp);
    Csq->CsqReleaseLock(Csq, irql);
    Csq->CsqCompleteCanceledIrp(Csq, Irp);
    return;
  }
  Csq->CsqReleaseLock(Csq, irql);
}

// Null when the IRP is being cancelled: its cancellation removes it.
PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context) {
  if (!sim::CheckIrql("IoCsqRemoveIrp", DISPATCH_LEVEL) || !IsQueue(Csq, "IoCsqRemoveIrp", SIM_CALLER()))
    return nullptr;
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  PIRP irp = Context->Irp;
  if (irp && IoSetCancelRoutine(irp, nullptr)) {
    TakeOut(Csq, irp);
  } else {
    irp = nullptr;
  }
  Csq->CsqReleaseLock(Csq, irql);
  return irp;
}

// The first IRP the driver's peek routine offers that is not being
// cancelled.
PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext) {
  if (!sim::CheckIrql("IoCsqRemoveNextIrp", DISPATCH_LEVEL) || !IsQueue(Csq, "IoCsqRemoveNextIrp", SIM_CALLER()))
    return nullptr;
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
  while (irp && !IoSetCancelRoutine(irp, nullptr)) irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
  if (irp) TakeOut(Csq, irp);
  Csq->CsqReleaseLock(Csq, irql);
  return irp;
}

}  // extern "C"
