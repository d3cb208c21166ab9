// A driver with concurrency faults on purpose, so that tests can show the
// bench finds each under some seed. Its service key's DWORD value "Mode"
// picks the fault; DriverEntry runs the faulty code to its end, so the
// finding shows when the driver unloads.
#include <ntddk.h>

#include "service_mode.h"

namespace {

enum : ULONG {
  kUnlockedCounter = 1,    // two threads take slots from a counter without its lock
  kFreeAfterCancel = 2,    // frees a timer's context right after KeCancelTimer
  kDpcSharesUnlocked = 3,  // a DPC and a thread share a table without the spin lock
  kIsrNeverClaims = 4,     // an interrupt service routine that never claims its line
  kUnloadUnderDpc = 5,     // unloads while its timer's DPC may still run elsewhere
};

constexpr ULONG kTag = 'ycaR';
constexpr ULONG kSlots = 64;

// The shared table: slots filled by threads, emptied by the unload routine
// or a DPC.
PVOID slots[kSlots];
ULONG next_slot;
KSPIN_LOCK slots_lock;

KTIMER drain_timer;
KDPC drain_dpc;
PKINTERRUPT interrupt;

struct TimerContext {
  KTIMER timer;
  KDPC dpc;
  LONG fired;
};

// The fault: the counter is read, then pool is allocated (a kernel call),
// then the counter is written back, all without the lock.
void TakeSlot() {
  ULONG slot = next_slot;
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
  if (slot < kSlots) slots[slot] = block;
  next_slot = slot + 1;
}

KSTART_ROUTINE TakeSlots;
void TakeSlots(PVOID) {
  for (int i = 0; i < 4; ++i) TakeSlot();
}

KDEFERRED_ROUTINE DrainSlots;
void DrainSlots(PKDPC, PVOID, PVOID, PVOID) {
  // The DPC takes the lock; the thread (TakeSlot) does not.
  KeAcquireSpinLockAtDpcLevel(&slots_lock);
  for (ULONG i = 0; i < next_slot && i < kSlots; ++i) ExFreePoolWithTag(slots[i], kTag);
  next_slot = 0;
  KeReleaseSpinLockFromDpcLevel(&slots_lock);
}

KDEFERRED_ROUTINE CountFiring;
void CountFiring(PKDPC, PVOID context, PVOID, PVOID) {
  auto* timer_context = static_cast<TimerContext*>(context);
  KeStallExecutionProcessor(1);
  timer_context->fired += 1;
}

KSTART_ROUTINE SetCancelAndFree;
void SetCancelAndFree(PVOID) {
  auto* context = static_cast<TimerContext*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TimerContext), kTag));
  if (!context) return;
  context->fired = 0;
  KeInitializeTimer(&context->timer);
  KeInitializeDpc(&context->dpc, CountFiring, context);
  LARGE_INTEGER due;
  due.QuadPart = -10000;  // 1 ms
  KeSetTimer(&context->timer, due, &context->dpc);
  KeDelayExecutionThread(KernelMode, FALSE, &due);
  // The fault: FALSE means the timer already fired and its DPC may still
  // be queued or running; the context must outlive it.
  KeCancelTimer(&context->timer);
  ExFreePoolWithTag(context, kTag);
}

KDEFERRED_ROUTINE SlowDpc;
void SlowDpc(PKDPC, PVOID, PVOID, PVOID) {
  for (int i = 0; i < 8; ++i) KeStallExecutionProcessor(1);
}

KSERVICE_ROUTINE NeverClaims;
BOOLEAN NeverClaims(PKINTERRUPT, PVOID) { return FALSE; }

void RunThreads(PKSTART_ROUTINE routine, int count) {
  PVOID threads[2] = {};
  for (int i = 0; i < count; ++i) {
    HANDLE handle;
    if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, routine, NULL))) continue;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &threads[i], NULL);
    ZwClose(handle);
  }
  for (int i = 0; i < count; ++i) {
    if (!threads[i]) continue;
    KeWaitForSingleObject(threads[i], Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(threads[i]);
  }
}

DRIVER_UNLOAD Unload;
void Unload(PDRIVER_OBJECT) {
  KeCancelTimer(&drain_timer);
  if (interrupt) IoDisconnectInterrupt(interrupt);
  for (ULONG i = 0; i < next_slot && i < kSlots; ++i) ExFreePoolWithTag(slots[i], kTag);
  next_slot = 0;
}

}  // namespace

extern "C" DRIVER_INITIALIZE DriverEntry;
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->DriverUnload = Unload;
  KeInitializeSpinLock(&slots_lock);
  KeInitializeTimer(&drain_timer);
  switch (ReadServiceMode(RegistryPath)) {
    case kUnlockedCounter:
      RunThreads(TakeSlots, 2);
      break;
    case kFreeAfterCancel:
      RunThreads(SetCancelAndFree, 1);
      break;
    case kDpcSharesUnlocked: {
      KeInitializeDpc(&drain_dpc, DrainSlots, NULL);
      LARGE_INTEGER due;
      due.QuadPart = 0;
      KeSetTimerEx(&drain_timer, due, 0, &drain_dpc);
      RunThreads(TakeSlots, 1);
      // Let a DPC that is still due run before the driver is unloaded.
      LARGE_INTEGER pause;
      pause.QuadPart = -10000;
      KeDelayExecutionThread(KernelMode, FALSE, &pause);
      break;
    }
    case kUnloadUnderDpc: {
      // The fault is in what the unload routine leaves out: KeCancelTimer
      // returns FALSE once the DPC runs, and nothing waits for it to end.
      KeInitializeDpc(&drain_dpc, SlowDpc, NULL);
      LARGE_INTEGER due;
      due.QuadPart = 0;
      KeSetTimer(&drain_timer, due, &drain_dpc);
      break;
    }
    case kIsrNeverClaims:
      // Line 10 as the machine translates it: vector 0x5A at IRQL 5.
      return IoConnectInterrupt(&interrupt, NeverClaims, NULL, NULL, 0x5A, 5, 5, LevelSensitive, TRUE, 1, FALSE);
    default:
      break;
  }
  return STATUS_SUCCESS;
}
