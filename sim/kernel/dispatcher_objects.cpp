// Events, semaphores, waits and delays.
#include "ntstatus.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sim_thread.h"
#include "wdm.h"

using sim::K;

namespace {

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state) {
  header->Type = type;
  header->Signalling = 0;
  header->Size = 0;
  header->Reserved1 = 0;
  header->SignalState = state;
  InitializeListHead(&header->WaitListHead);
}

}  // namespace

extern "C" {

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  InitializeHeader(&Event->Header,
                   Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                   State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  sim::CheckIrql("KeSetEvent", DISPATCH_LEVEL);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  K().scheduler->Signal(&Event->Header);
  return previous;
}

void KeClearEvent(PRKEVENT Event) { Event->Header.SignalState = 0; }

LONG KeResetEvent(PRKEVENT Event) {
  sim::CheckIrql("KeResetEvent", DISPATCH_LEVEL);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) { return Event->Header.SignalState; }

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  InitializeHeader(&Semaphore->Header, SemaphoreObject, Count);
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  sim::CheckIrql("KeReleaseSemaphore", DISPATCH_LEVEL);
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit || previous + Adjustment < previous) {
    // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here.
    sim::ReportCaller(SIM_CALLER(), "semaphore-limit",
                      "KeReleaseSemaphore would raise the count past the semaphore's limit");
    return previous;
  }
  Semaphore->Header.SignalState = previous + Adjustment;
  K().scheduler->Signal(&Semaphore->Header);
  return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) { return Semaphore->Header.SignalState; }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
  sim::Scheduler& scheduler = *K().scheduler;
  bool zero_timeout = Timeout && Timeout->QuadPart == 0;
  KIRQL irql = scheduler.Irql();
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !zero_timeout)) {
    sim::ReportCaller(SIM_CALLER(), "irql",
                      "KeWaitForSingleObject with a non-zero time-out at IRQL " + std::to_string(irql));
  }
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  return scheduler.WaitForObject(header, sim::DeadlineFrom(Timeout));
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (!sim::CheckIrql("KeDelayExecutionThread", APC_LEVEL)) return STATUS_SUCCESS;
  sim::Scheduler& scheduler = *K().scheduler;
  scheduler.DelayUntil(sim::DeadlineFrom(Interval));
  return STATUS_SUCCESS;
}

}  // extern "C"
