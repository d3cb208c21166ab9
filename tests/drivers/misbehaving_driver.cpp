// A driver image that breaks the rules on purpose, so that tests can show
// the verifier names the driver and what it left behind. Its service key's
// DWORD value "Mode" picks the faults (bits below).
#include <ntddk.h>

#include "service_mode.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

enum : ULONG {
  kLeakPool = 1,
  kLeakHandle = 2,
  kLeaveThread = 4,
  kLeaveTimer = 8,
  kExclusiveDevice = 16,  // creates \Device\Misbehave, exclusive, and leaves it initializing
  kZeroPool = 32,         // allocates zero bytes
  kFreeSetTimer = 64,     // frees pool holding a set timer
  kFreeQueuedDpc = 128,   // frees pool holding a queued DPC
};

KEVENT never_signalled;
KTIMER timer;
KDPC timer_dpc;

// A timer and its DPC in pool.
struct TimerBlock {
  KTIMER timer;
  KDPC dpc;
};
TimerBlock* freed_with_timer;
KSTART_ROUTINE WaitForever;
KDEFERRED_ROUTINE TimerRoutine;
DRIVER_UNLOAD Unload;

void WaitForever(PVOID) { KeWaitForSingleObject(&never_signalled, Executive, KernelMode, FALSE, NULL); }

void TimerRoutine(PKDPC, PVOID, PVOID, PVOID) {}

// Counts the creates and closes that reach the driver.
DRIVER_DISPATCH Dispatch;
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  LONG* seen = static_cast<LONG*>(device->DeviceExtension);
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) ++seen[0];
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TimerBlock* NewTimerBlock() {
  TimerBlock* block = static_cast<TimerBlock*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TimerBlock), 'rmiT'));
  KeInitializeTimer(&block->timer);
  KeInitializeDpc(&block->dpc, TimerRoutine, NULL);
  return block;
}

void FreeWithLiveTimerOrDpc(ULONG mode) {
  LARGE_INTEGER due;
  due.QuadPart = -10000000LL;
  // Cancelled first, the block may go.
  TimerBlock* block = NewTimerBlock();
  KeSetTimer(&block->timer, due, &block->dpc);
  KeCancelTimer(&block->timer);
  ExFreePoolWithTag(block, 'rmiT');
  block = NewTimerBlock();
  if (mode & kFreeSetTimer) {
    KeSetTimer(&block->timer, due, &block->dpc);
    freed_with_timer = block;
    ExFreePoolWithTag(block, 'rmiT');
  } else {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&block->dpc, NULL, NULL);
    ExFreePoolWithTag(block, 'rmiT');
    KeLowerIrql(old);  // the DPC runs from the freed block
  }
}

void Unload(PDRIVER_OBJECT DriverObject) {
  if (DriverObject->DeviceObject) IoDeleteDevice(DriverObject->DeviceObject);
  // The verifier kept the freed block mapped; the timer must still go.
  if (freed_with_timer) KeCancelTimer(&freed_with_timer->timer);
  freed_with_timer = NULL;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->DriverUnload = Unload;
  HANDLE key;
  OpenServiceKey(RegistryPath, &key);
  ULONG mode = QueryServiceMode(key);
  if (key && !(mode & kLeakHandle)) ZwClose(key);
  if (mode & kLeakPool) ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'kaeL');
  if (mode & kZeroPool) ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 0, 'oreZ'), 'oreZ');
  if (mode & (kFreeSetTimer | kFreeQueuedDpc)) FreeWithLiveTimerOrDpc(mode);
  if (mode & kExclusiveDevice) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Misbehave");
    PDEVICE_OBJECT device;
    if (NT_SUCCESS(IoCreateDevice(DriverObject, sizeof(LONG), &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &device))) {
      *static_cast<LONG*>(device->DeviceExtension) = 0;
      DriverObject->MajorFunction[IRP_MJ_CREATE] = Dispatch;
      DriverObject->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
      DriverObject->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    }
  }
  if (mode & kLeaveThread) {
    KeInitializeEvent(&never_signalled, NotificationEvent, FALSE);
    HANDLE thread;
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, WaitForever, NULL)))
      ZwClose(thread);
  }
  if (mode & kLeaveTimer) {
    KeInitializeTimer(&timer);
    KeInitializeDpc(&timer_dpc, TimerRoutine, NULL);
    LARGE_INTEGER due;
    due.QuadPart = -10000000LL;
    KeSetTimer(&timer, due, &timer_dpc);
  }
  return STATUS_SUCCESS;
}
