// When probes run: a bus-relations query starts one on a thread of its own
// when the port is idle, or runs one itself after the child was removed;
// the thread's end is cleaned up by a work item, and stop and removal wait
// for a running probe (it is never interrupted).
#include "enum/probe/probe.h"

namespace {

// Under ProbeLock.
void TakeOverPending(EnumFilterExtension* filter) {
  filter->ReportedChild = filter->PendingChild;
  filter->ReportedChildExtension = filter->PendingChildExtension;
  filter->ReportedChildCount = filter->PendingChildCount;
  filter->SelfRemovalPending = 0;
}

// The probe cycle ended or never began: the port is idle again.
void ProbeEnded(EnumFilterExtension* filter) {
  KIRQL irql;
  KeAcquireSpinLock(&filter->ProbeLock, &irql);
  filter->ProbeFlags &= ~PROBE_RUNNING;
  // Under the lock, so that it cannot mark a probe started meanwhile idle.
  KeSetEvent(&filter->ProbeIdle, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&filter->ProbeLock, irql);
}

}  // namespace

NTSTATUS UpdateChildren(EnumFilterExtension* Filter) {
  if (Filter->SkipEnumerations) {
    if (Filter->SkipEnumerations != 0xFFFFFFFF) --Filter->SkipEnumerations;
    return STATUS_SUCCESS;
  }
  KIRQL irql;
  KeAcquireSpinLock(&Filter->ProbeLock, &irql);
  if (Filter->ProbeFlags == 0) {
    Filter->ProbeFlags = PROBE_RUNNING;
    KeClearEvent(&Filter->ProbeIdle);
    KeReleaseSpinLock(&Filter->ProbeLock, irql);
    return StartProbeThread(Filter);
  }
  if ((Filter->ProbeFlags & REPROBE_REQUESTED) && !(Filter->ProbeFlags & PROBE_RUNNING)) {
    Filter->ProbeFlags &= ~REPROBE_REQUESTED;
    KeReleaseSpinLock(&Filter->ProbeLock, irql);
    PIRP irp = AllocateProbeIrp(Filter);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    UCHAR unchanged = 1;
    const NTSTATUS status = ProbePort(irp, Filter, &unchanged);
    IoFreeIrp(irp);
    KeAcquireSpinLock(&Filter->ProbeLock, &irql);
    // What this query reports is what the probe left pending: nothing is
    // left for the next query to take over.
    if (status == STATUS_SUCCESS) {
      TakeOverPending(Filter);
      Filter->ProbeFlags &= ~CHILDREN_CHANGED;
    }
    KeReleaseSpinLock(&Filter->ProbeLock, irql);
    return status;
  }
  if (Filter->ProbeFlags & CHILDREN_CHANGED) {
    TakeOverPending(Filter);
    Filter->ProbeFlags &= ~CHILDREN_CHANGED;
  }
  KeReleaseSpinLock(&Filter->ProbeLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS StartProbeThread(EnumFilterExtension* Filter) {
  PIO_WORKITEM work_item = IoAllocateWorkItem(Filter->Self);
  if (!work_item) {
    // Nothing runs: the next relations query may try again.
    ProbeEnded(Filter);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Filter->ProbeWorkItem = work_item;
  HANDLE handle = NULL;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ProbeThreadMain, Filter);
  if (!NT_SUCCESS(status)) {
    Filter->ProbeWorkItem = NULL;
    IoFreeWorkItem(work_item);
    ProbeEnded(Filter);
    return status;
  }
  PVOID thread = NULL;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &thread, NULL);
  // Without the object the thread still ends through its work item, and
  // stop and removal wait for that.
  if (NT_SUCCESS(status)) {
    KIRQL irql;
    KeAcquireSpinLock(&Filter->ProbeLock, &irql);
    // A probe that already ended and was cleaned up has no thread to wait for.
    const BOOLEAN running = Filter->ProbeWorkItem == work_item;
    if (running) Filter->ProbeThread = thread;
    KeReleaseSpinLock(&Filter->ProbeLock, irql);
    if (!running) ObDereferenceObject(thread);
  }
  ZwClose(handle);
  return status;
}

VOID ProbeThreadMain(PVOID Context) {
  EnumFilterExtension* filter = static_cast<EnumFilterExtension*>(Context);
  // The cross toolchain's inline KeGetCurrentThread reads gs:[0x188], which
  // its compiler takes for an out-of-bounds access.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
  PKTHREAD self = KeGetCurrentThread();
#pragma GCC diagnostic pop
  KeSetPriorityThread(self, 31);
  UCHAR unchanged = 1;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  PIRP irp = AllocateProbeIrp(filter);
  if (irp) {
    status = ProbePort(irp, filter, &unchanged);
    IoFreeIrp(irp);
  }
  const BOOLEAN changed = status == STATUS_SUCCESS && !unchanged;
  if (changed) {
    KIRQL irql;
    KeAcquireSpinLock(&filter->ProbeLock, &irql);
    filter->ProbeFlags |= CHILDREN_CHANGED;
    KeReleaseSpinLock(&filter->ProbeLock, irql);
    IoInvalidateDeviceRelations(filter->PhysicalDeviceObject, BusRelations);
  }
  IoQueueWorkItem(filter->ProbeWorkItem, ProbeCleanup, DelayedWorkQueue, filter);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID ProbeCleanup(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  EnumFilterExtension* filter = static_cast<EnumFilterExtension*>(Context);
  KIRQL irql;
  KeAcquireSpinLock(&filter->ProbeLock, &irql);
  PVOID thread = filter->ProbeThread;
  filter->ProbeThread = NULL;
  PIO_WORKITEM work_item = filter->ProbeWorkItem;
  filter->ProbeWorkItem = NULL;
  KeReleaseSpinLock(&filter->ProbeLock, irql);
  if (thread) ObDereferenceObject(thread);
  IoFreeWorkItem(work_item);
  ProbeEnded(filter);
}

VOID StopProbeThread(EnumFilterExtension* Filter) {
  KIRQL irql;
  KeAcquireSpinLock(&Filter->ProbeLock, &irql);
  PVOID thread = Filter->ProbeThread;
  Filter->ProbeThread = NULL;
  KeReleaseSpinLock(&Filter->ProbeLock, irql);
  if (thread) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(thread);
  }
  // The cycle ends with the thread's work item, which clears ProbeRunning.
  KeWaitForSingleObject(&Filter->ProbeIdle, Executive, KernelMode, FALSE, NULL);
}
