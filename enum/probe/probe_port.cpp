// One probe of a port: open it through the serial driver, save its
// settings, run the line sequence up to three times, restore the settings,
// claim the port's COM number while it is still open, close it, and decide
// from the answer whether the child device stays, goes or is replaced.
#include "enum/id_string.h"
#include "enum/multi_string.h"
#include "enum/probe/probe.h"

namespace {

struct SavedSettings {
  SERIAL_BAUD_RATE BaudRate;
  SERIAL_LINE_CONTROL LineControl;
  BOOLEAN Basic;  // Basic holds the settings, else Timeouts
  SERIAL_BASIC_SETTINGS BasicSettings;
  SERIAL_TIMEOUTS Timeouts;
};

NTSTATUS Save(EnumFilterExtension* filter, PKEVENT event, SavedSettings* saved) {
  PDEVICE_OBJECT port = filter->NextLowerDevice;
  // The first two only tell the port driver the probe is about to change them.
  SendSerialIoctl(IOCTL_SERIAL_GET_BAUD_RATE, FALSE, port, event, NULL, 0, &saved->BaudRate, sizeof(saved->BaudRate));
  SendSerialIoctl(IOCTL_SERIAL_GET_LINE_CONTROL, FALSE, port, event, NULL, 0, &saved->LineControl,
                  sizeof(saved->LineControl));
  saved->Basic = NT_SUCCESS(SendSerialIoctl(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, TRUE, port, event, NULL, 0,
                                            &saved->BasicSettings, sizeof(saved->BasicSettings)));
  if (saved->Basic) return STATUS_SUCCESS;
  NTSTATUS status = SendSerialIoctl(IOCTL_SERIAL_GET_TIMEOUTS, FALSE, port, event, NULL, 0, &saved->Timeouts,
                                    sizeof(saved->Timeouts));
  if (!NT_SUCCESS(status)) return status;
  SERIAL_TIMEOUTS none;
  RtlZeroMemory(&none, sizeof(none));
  SendSerialIoctl(IOCTL_SERIAL_SET_TIMEOUTS, FALSE, port, event, &none, sizeof(none), NULL, 0);
  return STATUS_SUCCESS;
}

void Restore(EnumFilterExtension* filter, PKEVENT event, SavedSettings* saved) {
  PDEVICE_OBJECT port = filter->NextLowerDevice;
  if (saved->Basic)
    SendSerialIoctl(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, TRUE, port, event, &saved->BasicSettings,
                    sizeof(saved->BasicSettings), NULL, 0);
  else
    SendSerialIoctl(IOCTL_SERIAL_SET_TIMEOUTS, FALSE, port, event, &saved->Timeouts, sizeof(saved->Timeouts), NULL, 0);
  SendSerialIoctl(IOCTL_SERIAL_SET_BAUD_RATE, FALSE, port, event, &saved->BaudRate, sizeof(saved->BaudRate), NULL, 0);
  SendSerialIoctl(IOCTL_SERIAL_SET_LINE_CONTROL, FALSE, port, event, &saved->LineControl, sizeof(saved->LineControl),
                  NULL, 0);
}

void Close(PIRP probe_irp, PKEVENT event, PDEVICE_OBJECT port) {
  SendOpenCloseRequest(probe_irp, IRP_MJ_CLEANUP, event, port);
  SendOpenCloseRequest(probe_irp, IRP_MJ_CLOSE, event, port);
}

// The identities of a legacy mouse from its signature; FALSE when the bytes
// carry none (or no memory was left for them).
BOOLEAN MouseIdentities(const UCHAR* bytes, ULONG count, EnumChildIds* ids) {
  ULONG index = 0;
  const UCHAR signature = FindMouseSignature(bytes, count, &index);
  if (!signature) return FALSE;
  static const char kWheel[] = "*PNP0F08";
  static const char kTwoButton[] = "*PNP0F01";
  static const char kBallpoint[] = "*PNP0F09";
  static const char kBallpointCompatible[] = "*PNP0F0F";
  static const char kSerialMouse[] = "SERIAL_MOUSE";
  static const char kMouseId[] = "Serenum\\Mouse";
  static const char kBallpointId[] = "Serenum\\BallPoint";
  PCSTR hardware[2] = {NULL, NULL};
  PCSTR compatible[3] = {kSerialMouse, NULL, NULL};
  PCSTR device_id[2] = {kMouseId, NULL};
  if (signature == 'B') {
    hardware[0] = kBallpoint;
    compatible[0] = kBallpointCompatible;
    compatible[1] = kSerialMouse;
    device_id[0] = kBallpointId;
  } else if (index >= 2 && index + 1 < count && bytes[index + 1] == '3') {
    hardware[0] = kWheel;
  } else {
    hardware[0] = kTwoButton;
  }
  if (NT_SUCCESS(BuildMultiString(&ids->HardwareIds, hardware)) &&
      NT_SUCCESS(BuildMultiString(&ids->CompatibleIds, compatible)) &&
      NT_SUCCESS(BuildMultiString(&ids->DeviceId, device_id)))
    return TRUE;
  FreeChildIds(ids);
  return FALSE;
}

BOOLEAN SameDevice(EnumChildExtension* child, const EnumChildIds* ids) {
  return RtlEqualUnicodeString(&child->HardwareIds, &ids->HardwareIds, FALSE) &&
         RtlEqualUnicodeString(&child->CompatibleIds, &ids->CompatibleIds, FALSE);
}

void Forget(EnumFilterExtension* filter, PDEVICE_OBJECT previous) {
  if (previous) MarkChildGone(filter, ChildOf(previous));
}

// Decides from the answer; takes the buffer. *Unchanged is set only when
// the device is the previous child.
NTSTATUS Decide(EnumFilterExtension* filter, PDEVICE_OBJECT previous, UCHAR name_digit, PUCHAR buffer, USHORT length,
                UCHAR dsr_absent, PUCHAR unchanged) {
  EnumChildIds ids;
  RtlZeroMemory(&ids, sizeof(ids));
  if (length == 0) {
    ExFreePoolWithTag(buffer, kEnumPoolTag);
    Forget(filter, previous);
    return STATUS_SUCCESS;
  }
  BOOLEAN found = dsr_absent && MouseIdentities(buffer, length, &ids);
  if (!found) {
    found = NT_SUCCESS(ParseIdString(filter, buffer, length, &ids.HardwareIds, &ids.CompatibleIds, &ids.DeviceId,
                                     &ids.DeviceDescription, &ids.SerialNumber, &ids.PnpRevision));
    if (!found) {
      FreeChildIds(&ids);
      // A device that drives DSR is no legacy mouse.
      if (!dsr_absent) found = MouseIdentities(buffer, length, &ids);
    }
  }
  ExFreePoolWithTag(buffer, kEnumPoolTag);
  if (!found || !IsValidIdList(&ids.HardwareIds) || !IsValidIdList(&ids.CompatibleIds) ||
      !IsValidIdList(&ids.DeviceId)) {
    Forget(filter, previous);
    FreeChildIds(&ids);
    return STATUS_SUCCESS;
  }
  if (previous && SameDevice(ChildOf(previous), &ids)) {
    *unchanged = 1;
    FreeChildIds(&ids);
    return STATUS_SUCCESS;
  }
  Forget(filter, previous);
  return CreateChild(filter, name_digit, &ids);
}

NTSTATUS ProbeWithPrevious(PIRP ProbeIrp, EnumFilterExtension* Filter, PDEVICE_OBJECT previous, PUCHAR Unchanged) {
  UCHAR unchanged = 0;
  NTSTATUS status = KeWaitForSingleObject(&Filter->OpenSemaphore, Executive, KernelMode, FALSE, NULL);
  if (status != STATUS_SUCCESS) return status;

  const UCHAR name_digit = Filter->ProbeCount++;
  if (Filter->SelfRemovalPending && previous) {
    MarkChildGone(Filter, ChildOf(previous));
    previous = NULL;
  }
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PDEVICE_OBJECT port = Filter->NextLowerDevice;
  status = SendOpenCloseRequest(ProbeIrp, IRP_MJ_CREATE, &event, port);
  if (!NT_SUCCESS(status)) {
    KeReleaseSemaphore(&Filter->OpenSemaphore, IO_NO_INCREMENT, 1, FALSE);
    return status;
  }
  SavedSettings saved;
  status = Save(Filter, &event, &saved);
  if (!NT_SUCCESS(status)) {
    Close(ProbeIrp, &event, port);
    KeReleaseSemaphore(&Filter->OpenSemaphore, IO_NO_INCREMENT, 1, FALSE);
    return status;
  }

  PUCHAR buffer = NULL;
  USHORT length = 0;
  UCHAR dsr_absent = 0;
  for (ULONG call = 0; call < PROBE_ONCE_CALLS; ++call) {
    if (buffer) ExFreePoolWithTag(buffer, kEnumPoolTag);
    status = ProbeOnce(Filter, &buffer, &length, &dsr_absent);
    if (status == STATUS_SUCCESS) break;
  }
  Restore(Filter, &event, &saved);
  status = ArbitrateComName(Filter, &event);
  Close(ProbeIrp, &event, port);

  if (!NT_SUCCESS(status)) {
    if (buffer) ExFreePoolWithTag(buffer, kEnumPoolTag);
    KeReleaseSemaphore(&Filter->OpenSemaphore, IO_NO_INCREMENT, 1, FALSE);
    return status;
  }
  if (buffer) {
    status = Decide(Filter, previous, name_digit, buffer, length, dsr_absent, &unchanged);
  } else if (status != STATUS_INSUFFICIENT_RESOURCES) {
    // Every call failed before it had an answer: the port counts as empty.
    Forget(Filter, previous);
    status = STATUS_SUCCESS;
  }
  KeReleaseSemaphore(&Filter->OpenSemaphore, IO_NO_INCREMENT, 1, FALSE);
  if (!NT_SUCCESS(status)) return status;
  *Unchanged = unchanged;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ProbePort(PIRP ProbeIrp, EnumFilterExtension* Filter, PUCHAR Unchanged) {
  // The pending child is held while the probe looks at it: a self-removal
  // meanwhile may have it reported gone and deleted.
  KIRQL irql;
  KeAcquireSpinLock(&Filter->ProbeLock, &irql);
  PDEVICE_OBJECT previous = Filter->PendingChild;
  if (previous) ObReferenceObject(previous);
  KeReleaseSpinLock(&Filter->ProbeLock, irql);
  const NTSTATUS status = ProbeWithPrevious(ProbeIrp, Filter, previous, Unchanged);
  if (previous) ObDereferenceObject(previous);
  return status;
}
