// The control device's entry: the length test of each code, then its
// handler, in the caller's thread. Every request the card serves completes
// successfully; a refused one shows as Information 0. Only the codes that
// read the card's configuration space or settings through the bus driver and
// the registry are open to every caller who got a handle; the others need
// the load-driver privilege, which only
// administrators and the system hold: raw port, memory and configuration
// access is as much power over the machine as loading a driver. Requests
// reaching a port device are not the card's and are refused as unknown; a
// request in progress holds the card's remove lock, so the card cannot go
// under it.
#include "card/control/control.h"
#include "card/driver/card_driver.h"

namespace {

struct CodeRule {
  ULONG Code;
  ULONG RecordSize;
  BOOLEAN OutputTested;  // the output length must equal the record size too
  // Reads through the bus driver or the registry only. The legacy
  // configuration ports are shared with the HAL, and port reads change a
  // UART's state, so even reading codes that use them are not read-only.
  BOOLEAN ReadOnly;
};

const CodeRule kRules[] = {
    {IOCTL_CARD_BATCH_BEGIN, sizeof(ControlRecord), TRUE, FALSE},
    {IOCTL_CARD_BATCH_SELECT, sizeof(ControlRecord), TRUE, FALSE},
    {IOCTL_CARD_BATCH_APPLY, sizeof(ControlRecord), TRUE, FALSE},
    {IOCTL_CARD_READ_CONFIG_BYTE, sizeof(ControlRecord), TRUE, TRUE},
    {IOCTL_CARD_WRITE_CONFIG_BYTE, sizeof(ControlRecord), TRUE, FALSE},
    {IOCTL_CARD_READ_IO_BYTE, sizeof(ControlRecord), TRUE, FALSE},
    {IOCTL_CARD_WRITE_IO_BYTE, sizeof(ControlRecord), FALSE, FALSE},
    {IOCTL_CARD_READ_MEMORY_BYTE, sizeof(ControlRecord), TRUE, FALSE},
    {IOCTL_CARD_WRITE_MEMORY_BYTE, sizeof(ControlRecord), TRUE, FALSE},
    {IOCTL_CARD_READ_PCI_DWORD, sizeof(PciAccessRecord), FALSE, FALSE},
    {IOCTL_CARD_WRITE_PCI, sizeof(PciAccessRecord), FALSE, FALSE},
    {IOCTL_CARD_GET_PORT_INFO, sizeof(ControlRecord), TRUE, TRUE},
    {IOCTL_CARD_SET_PORT_CLOCK, sizeof(ControlRecord), FALSE, FALSE},
    {IOCTL_CARD_GET_PORT_FIFO, sizeof(ControlRecord), TRUE, TRUE},
    {IOCTL_CARD_SET_PORT_FIFO, sizeof(ControlRecord), FALSE, FALSE},
    {IOCTL_CARD_SET_PORT_MODE, sizeof(ControlRecord), FALSE, FALSE},
    {IOCTL_CARD_SET_GPIO, sizeof(ControlRecord), FALSE, FALSE},
    {IOCTL_CARD_GET_CONFIG_WINDOW, sizeof(ControlRecord), FALSE, FALSE},
};

const CodeRule* RuleOf(ULONG Code) {
  for (ULONG i = 0; i < sizeof(kRules) / sizeof(kRules[0]); ++i)
    if (kRules[i].Code == Code) return &kRules[i];
  return NULL;
}

// Runs the code's handler on a copy of the caller's record and puts the
// record back when the handler returns it. Information never exceeds the
// caller's output length: a code that tests the input length only still
// returns no byte past the caller's buffer.
ULONG ServeCode(CardExtension* Card, const CodeRule* Rule, PVOID SystemBuffer, ULONG OutputLength) {
  BOOLEAN return_record = FALSE;
  ULONG information = 0;
  if (Rule->Code == IOCTL_CARD_READ_PCI_DWORD || Rule->Code == IOCTL_CARD_WRITE_PCI) {
    PciAccessRecord record;
    RtlCopyMemory(&record, SystemBuffer, sizeof record);
    information = ServePciCode(Card, Rule->Code, &record, &return_record);
    if (return_record) RtlCopyMemory(SystemBuffer, &record, sizeof record);
  } else {
    ControlRecord record;
    RtlCopyMemory(&record, SystemBuffer, sizeof record);
    if (Rule->Code <= IOCTL_CARD_BATCH_APPLY)
      information = ServeBatchCode(Card, Rule->Code, &record, &return_record);
    else if (Rule->Code < IOCTL_CARD_GET_PORT_INFO)
      information = ServeRawCode(Card, Rule->Code, &record, &return_record);
    else
      information = ServePortCode(Card, Rule->Code, &record, &return_record);
    if (return_record) RtlCopyMemory(SystemBuffer, &record, sizeof record);
  }
  return information < OutputLength ? information : OutputLength;
}

}  // namespace

NTSTATUS DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsPortExtension(DeviceObject->DeviceExtension))
    return CompleteRequestWithInformation(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  CardExtension* card = static_cast<CardExtension*>(DeviceObject->DeviceExtension);
  NTSTATUS status = IoAcquireRemoveLockEx(&card->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) return CompleteRequestWithInformation(Irp, status, 0);

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const CodeRule* rule = RuleOf(stack->Parameters.DeviceIoControl.IoControlCode);
  if (rule && !rule->ReadOnly &&
      !SeSinglePrivilegeCheck(RtlConvertLongToLuid(SE_LOAD_DRIVER_PRIVILEGE), Irp->RequestorMode)) {
    CompleteRequestWithInformation(Irp, STATUS_PRIVILEGE_NOT_HELD, 0);
    IoReleaseRemoveLockEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    return STATUS_PRIVILEGE_NOT_HELD;
  }
  ULONG information = 0;
  // A card that is not started has no ranges to reach and may be moving.
  if (rule && input_length == rule->RecordSize && (!rule->OutputTested || output_length == rule->RecordSize) &&
      card->PnpState == Started && Irp->AssociatedIrp.SystemBuffer)
    information = ServeCode(card, rule, Irp->AssociatedIrp.SystemBuffer, output_length);
  CompleteRequestWithInformation(Irp, STATUS_SUCCESS, information);
  IoReleaseRemoveLockEx(&card->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return STATUS_SUCCESS;
}
