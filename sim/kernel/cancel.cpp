// IRP cancellation: the system's cancel spin lock, IoCancelIrp, and the
// I/O manager's own cancellations (CancelIo, thread rundown).
#include <vector>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sim_thread.h"

namespace sim {

namespace {

// Windows gives a thread's cancelled requests five minutes at its exit,
// looking again every 100 ms.
constexpr LONGLONG kRundownStep = 100 * 10000LL;
constexpr LONGLONG kRundownLimit = 5 * 60 * 10000000LL;

// The driver a routine belongs to: its image, or the device's driver for
// code that is not in a loaded image.
std::string OwnerOf(const void* routine, const DEVICE_OBJECT* device) {
  if (const DriverImage* image = ImageOf(routine)) return ImageName(image);
  return K().io->DriverNameOf(device);
}

}  // namespace

// A spin lock like any other: held on another processor, the acquirer spins
// until it is released; held by the acquirer itself, it never would be.
void IoManager::AcquireCancelLock(KIRQL* irql, const DriverImage* caller) {
  Scheduler& scheduler = *K().scheduler;
  SimThread* self = scheduler.Current();
  *irql = self->irql;
  if (self->irql < DISPATCH_LEVEL) self->irql = DISPATCH_LEVEL;
  if (cancel_lock_ == scheduler.LockMark()) {
    ReportCaller(caller, "spin-lock", "cancel spin lock acquired again by the context that holds it");
    return;
  }
  scheduler.AcquireSpinLock(&cancel_lock_);
}

void IoManager::ReleaseCancelLock(KIRQL irql, const DriverImage* caller) {
  SimThread* self = K().scheduler->Current();
  if (cancel_lock_ != K().scheduler->LockMark()) {
    ReportCaller(caller, "spin-lock", "release of the cancel spin lock, which this context does not hold");
    return;
  }
  cancel_lock_ = 0;
  if (self->irql != DISPATCH_LEVEL)
    ReportCaller(caller, "irql", "IoReleaseCancelSpinLock not at DISPATCH_LEVEL");
  K().scheduler->SetIrql(irql);
}

// As documented: the cancel bit is set whatever happens; a cancel routine,
// when there is one, is taken out of the IRP and called at DISPATCH_LEVEL
// with the cancel spin lock held, which it must release with CancelIrql.
BOOLEAN IoManager::CancelIrp(IRP* irp, const DriverImage* caller) {
  if (!FindIrp(irp)) {
    ReportCaller(caller, "irp-unknown", "IoCancelIrp of " + Hex(reinterpret_cast<ULONG_PTR>(irp)) + ", which is not an IRP");
    return FALSE;
  }
  KIRQL irql;
  AcquireCancelLock(&irql, caller);
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (!routine) {
    ReleaseCancelLock(irql, caller);
    return FALSE;
  }
  irp->CancelIrql = irql;
  DEVICE_OBJECT* device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  const std::string owner = OwnerOf(reinterpret_cast<const void*>(routine), device);
  routine(device, irp);
  SimThread* self = K().scheduler->Current();
  if (cancel_lock_ == K().scheduler->LockMark()) {
    K().verifier->Report("cancel-lock-held", owner, "a cancel routine returned holding the cancel spin lock");
    cancel_lock_ = 0;
    K().scheduler->SetIrql(irql);
  } else if (self->irql != irql) {
    K().verifier->Report("irql", owner,
                         "a cancel routine returned at IRQL " + std::to_string(self->irql) + " instead of " +
                             std::to_string(irql));
    K().scheduler->SetIrql(irql);
  }
  return TRUE;
}

void IoManager::CancelThreadIrps(FILE_OBJECT* file) {
  SimThread* self = K().scheduler->Current();
  std::vector<IRP*> mine;
  for (const auto& [irp, record] : irps_)
    if (record.threaded && record.thread == self && !record.completed && (!file || record.file == file))
      mine.push_back(const_cast<IRP*>(irp));
  // A cancel routine may complete, and so free, any of them.
  for (IRP* irp : mine) {
    const IrpRecord* record = FindIrp(irp);
    if (record && !record->completed) CancelIrp(irp, nullptr);
  }
}

void IoManager::RundownThread() {
  SimThread* self = K().scheduler->Current();
  auto pending = [&] {
    std::vector<IRP*> left;
    for (const auto& [irp, record] : irps_)
      if (record.threaded && record.thread == self) left.push_back(const_cast<IRP*>(irp));
    return left;
  };
  if (pending().empty()) return;
  CancelThreadIrps(nullptr);
  for (LONGLONG waited = 0; !pending().empty() && waited < kRundownLimit; waited += kRundownStep) {
    LARGE_INTEGER interval;
    interval.QuadPart = -kRundownStep;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  for (IRP* irp : pending()) {
    IrpRecord* record = FindIrp(irp);
    if (record->completed) continue;  // its completion step runs without the thread
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const DEVICE_OBJECT* holder = irp->CurrentLocation <= irp->StackCount ? stack->DeviceObject : nullptr;
    K().verifier->Report("irp-cancel-timeout", holder ? DriverNameOf(holder) : "kernel",
                         DescribeIrp(irp) + " of thread \"" + self->name +
                             "\" was cancelled at the thread's exit and not completed within five minutes");
    record->thread = nullptr;  // it completes without its thread
  }
}

}  // namespace sim

using sim::K;

extern "C" {

BOOLEAN IoCancelIrp(PIRP Irp) {
  if (!sim::CheckIrql("IoCancelIrp", DISPATCH_LEVEL)) return FALSE;
  return K().io->CancelIrp(Irp, SIM_CALLER());
}

void IoAcquireCancelSpinLock(PKIRQL Irql) {
  sim::CheckIrql("IoAcquireCancelSpinLock", DISPATCH_LEVEL);
  K().io->AcquireCancelLock(Irql, SIM_CALLER());
}

void IoReleaseCancelSpinLock(KIRQL Irql) { K().io->ReleaseCancelLock(Irql, SIM_CALLER()); }

}  // extern "C"
