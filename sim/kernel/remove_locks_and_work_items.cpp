// Remove locks and work items.
#include <deque>

#include "sim/kernel/fault_plan.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/work_queue.h"

using sim::K;

extern "C" {

void IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG RemlockSize) {
  if (RemlockSize != sizeof(IO_REMOVE_LOCK))
    sim::ReportCaller(SIM_CALLER(), "bad-parameter", "IoInitializeRemoveLockEx with a wrong lock size");
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, PCSTR, ULONG, ULONG) {
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (!RemoveLock->Common.Removed) return STATUS_SUCCESS;
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_DELETE_PENDING;
}

void IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG) {
  LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (count < 0) {
    sim::ReportCaller(SIM_CALLER(), "remove-lock", "remove lock released more often than it was acquired");
    return;
  }
  if (count == 0) {
    if (!RemoveLock->Common.Removed)
      sim::ReportCaller(SIM_CALLER(), "remove-lock", "remove lock released more often than it was acquired");
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

// The caller holds one acquisition; dropping it and the initial count lets
// the wait end once every other holder has released.
void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG) {
  if (!sim::CheckIrql("IoReleaseRemoveLockAndWait", PASSIVE_LEVEL)) return;
  RemoveLock->Common.Removed = TRUE;
  LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (count <= 0) {
    sim::ReportCaller(SIM_CALLER(), "remove-lock", "IoReleaseRemoveLockAndWait without holding the lock");
    return;
  }
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  if (!sim::CheckIrql("IoAllocateWorkItem", DISPATCH_LEVEL)) return nullptr;
  if (K().faults->ShouldFail(sim::FaultKind::WorkItem, SIM_CALLER())) return nullptr;
  auto* item = new _IO_WORKITEM{DeviceObject, SIM_CALLER(), false};
  K().work->Track(item);
  return item;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  if (!K().work->Untrack(IoWorkItem)) {
    sim::ReportCaller(SIM_CALLER(), "workitem-bad-free", "IoFreeWorkItem of an unknown work item");
    return;
  }
  if (IoWorkItem->queued) sim::ReportCaller(SIM_CALLER(), "workitem-freed-queued", "IoFreeWorkItem of a queued work item");
  delete IoWorkItem;
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE, PVOID Context) {
  if (!sim::CheckIrql("IoQueueWorkItem", DISPATCH_LEVEL)) return;
  if (IoWorkItem->queued) {
    sim::ReportCaller(SIM_CALLER(), "workitem-queued-twice", "IoQueueWorkItem of a work item already queued");
    return;
  }
  IoWorkItem->queued = true;
  PDEVICE_OBJECT device = IoWorkItem->device;
  ObfReferenceObject(device);  // kept until the routine has run
  K().work->Queue([IoWorkItem, WorkerRoutine, Context, device] {
    IoWorkItem->queued = false;
    WorkerRoutine(device, Context);
    ObfDereferenceObject(device);
  });
}

}  // extern "C"
