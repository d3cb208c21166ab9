// IRQL and spin locks. One processor: a spin lock that is already held can
// never be released while its acquirer spins, so acquiring it is reported as
// the deadlock it would be.
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

ULONG_PTR OwnerMark() { return reinterpret_cast<ULONG_PTR>(K().scheduler->Current()) | 1; }

void TakeLock(PKSPIN_LOCK lock, const sim::DriverImage* caller) {
  if (*lock != 0) {
    sim::ReportCaller(caller, "spin-lock",
                      *lock == OwnerMark() ? "spin lock acquired again by the thread that holds it"
                                           : "spin lock acquired while another thread holds it");
  }
  *lock = OwnerMark();
}

void DropLock(PKSPIN_LOCK lock, const sim::DriverImage* caller) {
  if (*lock == 0) sim::ReportCaller(caller, "spin-lock", "release of a spin lock that is not held");
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

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  sim::Scheduler& scheduler = *K().scheduler;
  KIRQL old = scheduler.Irql();
  if (old > DISPATCH_LEVEL) sim::ReportCaller(SIM_CALLER(), "irql", "KeAcquireSpinLock above DISPATCH_LEVEL");
  TakeLock(SpinLock, SIM_CALLER());
  scheduler.Current()->irql = DISPATCH_LEVEL;
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
