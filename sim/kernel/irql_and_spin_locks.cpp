// IRQL and spin locks. A spin lock held on another processor makes its
// acquirer spin, letting the other processors run, until it is released; a
// context acquiring a lock it already holds would spin forever, which is
// reported.
#include "ntstatus.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sim_thread.h"
#include "wdm.h"

using sim::K;

namespace sim {

bool CheckIrql(const char* routine, KIRQL max_irql) {
  if (!HasKernel()) return true;
  KIRQL irql = K().scheduler->Irql();
  if (irql <= max_irql) return true;
  K().verifier->Report("irql", routine,
                       std::string(routine) + " called at IRQL " + std::to_string(irql) + " (highest allowed " +
                           std::to_string(max_irql) + ")");
  return false;
}

}  // namespace sim

namespace {

void TakeLock(PKSPIN_LOCK lock, const sim::DriverImage* caller) {
  if (*lock == K().scheduler->LockMark()) {
    sim::ReportCaller(caller, "spin-lock", "spin lock acquired again by the context that holds it");
    return;
  }
  K().scheduler->AcquireSpinLock(lock);
}

void DropLock(PKSPIN_LOCK lock, const sim::DriverImage* caller) {
  if (*lock == 0) {
    sim::ReportCaller(caller, "spin-lock", "release of a spin lock that is not held");
  } else if (*lock != K().scheduler->LockMark()) {
    sim::ReportCaller(caller, "spin-lock", "release of a spin lock that another context holds");
  }
  *lock = 0;
}

}  // namespace

extern "C" {

KIRQL KeGetCurrentIrql(void) { return K().scheduler->Irql(); }

void KfRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  sim::Scheduler& scheduler = *K().scheduler;
  *OldIrql = scheduler.Irql();
  if (NewIrql < *OldIrql) {
    sim::ReportCaller(SIM_CALLER(), "irql", "KeRaiseIrql to a lower IRQL");
    return;
  }
  scheduler.SetIrql(NewIrql);
}

void KeLowerIrql(KIRQL NewIrql) {
  sim::Scheduler& scheduler = *K().scheduler;
  if (NewIrql > scheduler.Irql()) {
    sim::ReportCaller(SIM_CALLER(), "irql", "KeLowerIrql to a higher IRQL");
    return;
  }
  scheduler.SetIrql(NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KfRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}


KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  sim::Scheduler& scheduler = *K().scheduler;
  KIRQL old = scheduler.Irql();
  if (old > DISPATCH_LEVEL) sim::ReportCaller(SIM_CALLER(), "irql", "KeAcquireSpinLock above DISPATCH_LEVEL");
  if (old < DISPATCH_LEVEL) scheduler.Current()->irql = DISPATCH_LEVEL;
  TakeLock(SpinLock, SIM_CALLER());
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  sim::Scheduler& scheduler = *K().scheduler;
  DropLock(SpinLock, SIM_CALLER());
  if (scheduler.Irql() != DISPATCH_LEVEL)
    sim::ReportCaller(SIM_CALLER(), "irql", "KeReleaseSpinLock not at DISPATCH_LEVEL");
  scheduler.SetIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (K().scheduler->Irql() < DISPATCH_LEVEL)
    sim::ReportCaller(SIM_CALLER(), "irql", "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  TakeLock(SpinLock, SIM_CALLER());
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { DropLock(SpinLock, SIM_CALLER()); }

}  // extern "C"
