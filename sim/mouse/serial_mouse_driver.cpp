// SerialMouse: the bench's function driver for a detected serial mouse
// (compatible ID "SERIAL_MOUSE"). It runs on the child device the port
// enumerator reports and reaches the port through it: a thread opens the
// port, sets 1200 baud 7N1, reads the mouse's three-byte packets (a fourth
// byte carries a three-button mouse's middle button) and records each
// decoded movement under the device's hardware key, where the machine's
// report finds them:
//   "MouseEvents"      REG_BINARY, the last kMaxEvents records of 4 bytes:
//                      dx, dy (signed), buttons (1 left, 2 right, 4 middle), 0
//   "MouseEventCount"  REG_DWORD, every event decoded since the start
// Stop, query-remove, surprise removal and removal end the thread, which
// closes the port: an open mouse never holds the port's removal up.
#include <ntddk.h>
#include <ntddser.h>

namespace {

constexpr ULONG kMaxEvents = 64;
constexpr ULONG kPollMs = 100;  // a read with nothing to read ends after this

struct MouseExtension {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Pdo;
  PDEVICE_OBJECT Lower;
  PVOID Reader;             // referenced thread object while reading
  volatile LONG Stopping;
  UCHAR Packet[3];
  ULONG Have;               // bytes of the packet so far
  UCHAR Buttons;
  ULONG Count;
  UCHAR Events[kMaxEvents * 4];
};

MouseExtension* Ext(PDEVICE_OBJECT device) { return static_cast<MouseExtension*>(device->DeviceExtension); }

NTSTATUS NTAPI Signal(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP's next location down and waits; returns its status.
NTSTATUS SendAndWait(MouseExtension* ext, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->Lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  return irp->IoStatus.Status;
}

NTSTATUS OpenClose(MouseExtension* ext, UCHAR major) {
  PIRP irp = IoAllocateIrp(ext->Lower->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  const NTSTATUS status = SendAndWait(ext, irp);
  IoFreeIrp(irp);
  return status;
}

NTSTATUS Control(MouseExtension* ext, ULONG code, PVOID in, ULONG in_length) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io;
  PIRP irp = IoBuildDeviceIoControlRequest(code, ext->Lower, in, in_length, NULL, 0, FALSE, &done, &io);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  if (IoCallDriver(ext->Lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  return io.Status;
}

NTSTATUS ReadByte(MouseExtension* ext, PUCHAR byte, ULONG_PTR* got) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, ext->Lower, byte, 1, &offset, &done, &io);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(ext->Lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = io.Status;
  }
  *got = NT_SUCCESS(status) ? io.Information : 0;
  return status;
}

void Record(MouseExtension* ext, CHAR dx, CHAR dy) {
  const ULONG slot = ext->Count % kMaxEvents;
  ext->Events[slot * 4] = static_cast<UCHAR>(dx);
  ext->Events[slot * 4 + 1] = static_cast<UCHAR>(dy);
  ext->Events[slot * 4 + 2] = ext->Buttons;
  ext->Events[slot * 4 + 3] = 0;
  ++ext->Count;
  // Oldest first.
  UCHAR ordered[kMaxEvents * 4];
  const ULONG kept = ext->Count < kMaxEvents ? ext->Count : kMaxEvents;
  const ULONG first = ext->Count < kMaxEvents ? 0 : ext->Count % kMaxEvents;
  for (ULONG i = 0; i < kept; ++i) RtlCopyMemory(ordered + 4 * i, ext->Events + 4 * ((first + i) % kMaxEvents), 4);
  HANDLE key;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(ext->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key))) return;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"MouseEvents");
  ZwSetValueKey(key, &name, 0, REG_BINARY, ordered, kept * 4);
  RtlInitUnicodeString(&name, L"MouseEventCount");
  ULONG count = ext->Count;
  ZwSetValueKey(key, &name, 0, REG_DWORD, &count, sizeof(count));
  ZwClose(key);
}

// Microsoft mouse protocol: bit 6 marks the first byte of a packet.
void Decode(MouseExtension* ext, UCHAR byte) {
  if (byte & 0x40) {
    ext->Packet[0] = byte;
    ext->Have = 1;
    return;
  }
  if (ext->Have == 3) {
    // A three-button mouse's fourth byte: the middle button.
    const UCHAR buttons = static_cast<UCHAR>((ext->Buttons & ~4) | ((byte & 0x20) ? 4 : 0));
    if (buttons != ext->Buttons) {
      ext->Buttons = buttons;
      Record(ext, 0, 0);
    }
    ext->Have = 0;
    return;
  }
  if (ext->Have == 0) return;  // not in a packet
  ext->Packet[ext->Have++] = byte;
  if (ext->Have < 3) return;
  const UCHAR first = ext->Packet[0];
  const CHAR dx = static_cast<CHAR>(((first & 0x03) << 6) | (ext->Packet[1] & 0x3F));
  const CHAR dy = static_cast<CHAR>(((first & 0x0C) << 4) | (ext->Packet[2] & 0x3F));
  ext->Buttons = static_cast<UCHAR>((ext->Buttons & 4) | ((first & 0x20) ? 1 : 0) | ((first & 0x10) ? 2 : 0));
  Record(ext, dx, dy);
}

void NTAPI ReaderMain(PVOID Context) {
  MouseExtension* ext = static_cast<MouseExtension*>(Context);
  if (NT_SUCCESS(OpenClose(ext, IRP_MJ_CREATE))) {
    SERIAL_BAUD_RATE baud = {1200};
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 7};
    SERIAL_TIMEOUTS timeouts = {MAXULONG, MAXULONG, kPollMs, 0, 0};
    NTSTATUS status = Control(ext, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud));
    if (NT_SUCCESS(status)) status = Control(ext, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line));
    if (NT_SUCCESS(status)) status = Control(ext, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts));
    while (NT_SUCCESS(status) && !ext->Stopping) {
      UCHAR byte = 0;
      ULONG_PTR got = 0;
      status = ReadByte(ext, &byte, &got);
      if (got) Decode(ext, byte);
    }
    OpenClose(ext, IRP_MJ_CLEANUP);
    OpenClose(ext, IRP_MJ_CLOSE);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void StartReader(MouseExtension* ext) {
  if (ext->Reader) {
    // A reader whose port failed it has ended on its own: start afresh.
    LARGE_INTEGER now = {};
    if (KeWaitForSingleObject(ext->Reader, Executive, KernelMode, FALSE, &now) != STATUS_SUCCESS) return;
    ObDereferenceObject(ext->Reader);
    ext->Reader = NULL;
  }
  ext->Stopping = 0;
  ext->Have = 0;
  HANDLE handle;
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ReaderMain, ext))) return;
  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &ext->Reader, NULL);
  ZwClose(handle);
}

void StopReader(MouseExtension* ext) {
  if (!ext->Reader) return;
  InterlockedExchange(&ext->Stopping, 1);
  KeWaitForSingleObject(ext->Reader, Executive, KernelMode, FALSE, NULL);
  ObDereferenceObject(ext->Reader);
  ext->Reader = NULL;
}

NTSTATUS PassDown(MouseExtension* ext, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->Lower, irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  MouseExtension* ext = Ext(device);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      IoCopyCurrentIrpStackLocationToNext(irp);
      const NTSTATUS status = SendAndWait(ext, irp);
      if (NT_SUCCESS(status)) StartReader(ext);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
      StopReader(ext);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE: {
      IoCopyCurrentIrpStackLocationToNext(irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      const NTSTATUS status = SendAndWait(ext, irp);
      if (NT_SUCCESS(status)) StartReader(ext);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
      StopReader(ext);
      irp->IoStatus.Status = STATUS_SUCCESS;
      const NTSTATUS status = PassDown(ext, irp);
      IoDetachDevice(ext->Lower);
      IoDeleteDevice(device);
      return status;
    }
    default:
      return PassDown(ext, irp);
  }
}

// Power: as its stack's power policy owner the driver turns each system
// set-power, once it has come back up, into a device set-power (D0 for
// working, D3 for any sleep) and completes it when that is done.
void NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  PIRP system = static_cast<PIRP>(Context);
  system->IoStatus.Status = IoStatus->Status;
  PoStartNextPowerIrp(system);
  IoCompleteRequest(system, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemPowerDone(PDEVICE_OBJECT, PIRP irp, PVOID Context) {
  MouseExtension* ext = static_cast<MouseExtension*>(Context);
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    POWER_STATE device;
    device.DeviceState = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState == PowerSystemWorking
                             ? PowerDeviceD0
                             : PowerDeviceD3;
    const NTSTATUS status = PoRequestPowerIrp(ext->Pdo, IRP_MN_SET_POWER, device, DevicePowerDone, irp, NULL);
    if (NT_SUCCESS(status)) return STATUS_MORE_PROCESSING_REQUIRED;
    irp->IoStatus.Status = status;
  }
  PoStartNextPowerIrp(irp);
  return STATUS_CONTINUE_COMPLETION;
}

// The device's own state is reported on the way down to D3 and once the
// drivers below are back in D0.
NTSTATUS NTAPI DevicePowerUpDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  if (NT_SUCCESS(irp->IoStatus.Status))
    PoSetPowerState(device, DevicePowerState, IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State);
  PoStartNextPowerIrp(irp);
  return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  MouseExtension* ext = Ext(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    const bool system = stack->Parameters.Power.Type == SystemPowerState;
    const bool up = !system && stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
    if (!system && !up) PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
    if (system || up) {
      IoMarkIrpPending(irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, system ? SystemPowerDone : DevicePowerUpDone, ext, TRUE, TRUE, TRUE);
      PoCallDriver(ext->Lower, irp);
      return STATUS_PENDING;
    }
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->Lower, irp);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp) { return PassDown(Ext(device), irp); }

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(MouseExtension), NULL, FILE_DEVICE_MOUSE, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  MouseExtension* ext = Ext(device);
  RtlZeroMemory(ext, sizeof(*ext));
  ext->Self = device;
  ext->Pdo = pdo;
  ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (!ext->Lower) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = DispatchOther;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
