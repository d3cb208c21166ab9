// Kernel timers and deferred procedure calls.
#include "ntstatus.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/scheduler.h"
#include "wdm.h"

using sim::K;

extern "C" {

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  RtlZeroMemory(Dpc, sizeof(*Dpc));
  Dpc->Type = 0x13;  // DpcObject
  Dpc->Importance = 1;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (!sim::CheckIrql("KeInsertQueueDpc", HIGH_LEVEL)) return FALSE;
  if (Dpc->DpcData) return FALSE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  return K().scheduler->QueueDpc(Dpc);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) { return K().scheduler->RemoveDpc(Dpc); }

void KeFlushQueuedDpcs(void) {
  if (!sim::CheckIrql("KeFlushQueuedDpcs", PASSIVE_LEVEL)) return;
  K().scheduler->FlushQueuedDpcs();
}

// A timer that fired has no say over its DPC any more: KeCancelTimer then
// returns FALSE while the DPC may still be queued or running elsewhere.

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  RtlZeroMemory(Timer, sizeof(*Timer));
  Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
  InitializeListHead(&Timer->Header.WaitListHead);
  InitializeListHead(&Timer->TimerListEntry);
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  if (!sim::CheckIrql("KeSetTimerEx", DISPATCH_LEVEL)) return FALSE;
  sim::Scheduler& scheduler = *K().scheduler;
  BOOLEAN was_set = scheduler.TimerPending(Timer);
  scheduler.SetTimer(Timer, sim::DeadlineFrom(&DueTime), Period, Dpc);
  return was_set;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  if (!sim::CheckIrql("KeCancelTimer", DISPATCH_LEVEL)) return FALSE;
  return K().scheduler->CancelTimer(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState > 0; }

}  // extern "C"
