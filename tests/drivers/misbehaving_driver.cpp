// A driver image that breaks the rules on purpose, so that tests can show
// the verifier names the driver and what it left behind. Its service key's
// DWORD value "Mode" picks the faults (bits below).
#include <ntddk.h>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

enum : ULONG { kLeakPool = 1, kLeakHandle = 2, kLeaveThread = 4, kLeaveTimer = 8 };

KEVENT never_signalled;
KTIMER timer;
KDPC timer_dpc;

KSTART_ROUTINE WaitForever;
KDEFERRED_ROUTINE TimerRoutine;
DRIVER_UNLOAD Unload;

void WaitForever(PVOID) { KeWaitForSingleObject(&never_signalled, Executive, KernelMode, FALSE, NULL); }

void TimerRoutine(PKDPC, PVOID, PVOID, PVOID) {}

void Unload(PDRIVER_OBJECT) {}

ULONG ReadMode(PUNICODE_STRING registry_path, HANDLE* key) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registry_path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(key, KEY_READ, &attributes))) return 0;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Mode");
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  ULONG length = 0;
  ULONG mode = 0;
  auto* value = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  if (NT_SUCCESS(ZwQueryValueKey(*key, &name, KeyValuePartialInformation, value, sizeof buffer, &length)) &&
      value->Type == REG_DWORD && value->DataLength == sizeof(ULONG)) {
    RtlCopyMemory(&mode, value->Data, sizeof mode);
  }
  return mode;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->DriverUnload = Unload;
  HANDLE key = NULL;
  ULONG mode = ReadMode(RegistryPath, &key);
  if (key && !(mode & kLeakHandle)) ZwClose(key);
  if (mode & kLeakPool) ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'kaeL');
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
