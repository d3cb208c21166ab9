// One pass of the enumeration line sequence: DTR up with RTS down to look at
// DSR, then at 1200 baud 7N1 the lines dropped and raised again (DTR, then
// RTS), and what the device sends read until it falls silent.
#include "enum/probe/probe.h"

namespace {

// A control code without buffers to the port's driver.
NTSTATUS Line(EnumFilterExtension* filter, PKEVENT event, ULONG code) {
  return SendSerialIoctl(code, FALSE, filter->NextLowerDevice, event, NULL, 0, NULL, 0);
}

}  // namespace

NTSTATUS ReadIdBytes(PUCHAR Buffer, ULONG Capacity, ULONG TimeoutMs, PUSHORT Length, PIO_STATUS_BLOCK IoStatus,
                     EnumFilterExtension* Filter) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  // The first byte, or the constant when none comes.
  SERIAL_TIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = MAXULONG;
  timeouts.ReadTotalTimeoutMultiplier = MAXULONG;
  timeouts.ReadTotalTimeoutConstant = TimeoutMs;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  NTSTATUS status = SendSerialIoctl(IOCTL_SERIAL_SET_TIMEOUTS, FALSE, Filter->NextLowerDevice, &event, &timeouts,
                                    sizeof(timeouts), NULL, 0);
  if (!NT_SUCCESS(status)) return status;
  *Length = 0;
  // One byte per request, so that every byte restarts the gap.
  while (*Length < Capacity) {
    KeClearEvent(&event);
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Filter->NextLowerDevice, Buffer + *Length, 1, &offset,
                                            &event, IoStatus);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    status = IoCallDriver(Filter->NextLowerDevice, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
      status = IoStatus->Status;
    }
    if (!NT_SUCCESS(status) || status == STATUS_TIMEOUT) break;
    *Length = static_cast<USHORT>(*Length + IoStatus->Information);
  }
  return status;
}

NTSTATUS ProbeOnce(EnumFilterExtension* Filter, PUCHAR* Buffer, PUSHORT Length, PUCHAR DsrAbsent) {
  KEVENT event;
  KTIMER timer;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  *Buffer = NULL;
  *DsrAbsent = 0;
  *Length = 0;
  PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, PROBE_BUFFER_SIZE, kEnumPoolTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  buffer[PROBE_READ_CAPACITY] = 0;

  PDEVICE_OBJECT port = Filter->NextLowerDevice;
  NTSTATUS status = Line(Filter, &event, IOCTL_SERIAL_SET_DTR);
  if (NT_SUCCESS(status)) status = Line(Filter, &event, IOCTL_SERIAL_CLR_RTS);
  if (NT_SUCCESS(status)) {
    WaitWithTimer(&timer, PROBE_LINE_SETTLE_TIME);
    ULONG modem_status = 0;
    status = SendSerialIoctl(IOCTL_SERIAL_GET_MODEMSTATUS, FALSE, port, &event, NULL, 0, &modem_status,
                             sizeof(modem_status));
    if (NT_SUCCESS(status) && !(modem_status & SERIAL_DSR_STATE)) *DsrAbsent = 1;
  }
  if (NT_SUCCESS(status)) {
    SERIAL_BAUD_RATE baud;
    baud.BaudRate = 1200;
    status = SendSerialIoctl(IOCTL_SERIAL_SET_BAUD_RATE, FALSE, port, &event, &baud, sizeof(baud), NULL, 0);
  }
  if (NT_SUCCESS(status)) {
    SERIAL_LINE_CONTROL line;
    line.StopBits = STOP_BIT_1;
    line.Parity = NO_PARITY;
    line.WordLength = 7;
    status = SendSerialIoctl(IOCTL_SERIAL_SET_LINE_CONTROL, FALSE, port, &event, &line, sizeof(line), NULL, 0);
  }
  for (ULONG attempt = 0; NT_SUCCESS(status) && attempt < 2; ++attempt) {
    ULONG purge = SERIAL_PURGE_RXCLEAR;
    status = SendSerialIoctl(IOCTL_SERIAL_PURGE, FALSE, port, &event, &purge, sizeof(purge), NULL, 0);
    if (NT_SUCCESS(status)) status = Line(Filter, &event, IOCTL_SERIAL_CLR_DTR);
    if (NT_SUCCESS(status)) status = Line(Filter, &event, IOCTL_SERIAL_CLR_RTS);
    if (!NT_SUCCESS(status)) break;
    WaitWithTimer(&timer, PROBE_LINE_SETTLE_TIME);
    status = Line(Filter, &event, IOCTL_SERIAL_SET_DTR);
    if (!NT_SUCCESS(status)) break;
    if (attempt == 0) WaitWithTimer(&timer, PROBE_LINE_SETTLE_TIME);
    status = Line(Filter, &event, IOCTL_SERIAL_SET_RTS);
    if (!NT_SUCCESS(status)) break;
    IO_STATUS_BLOCK io;
    status = ReadIdBytes(buffer, PROBE_READ_CAPACITY, PROBE_READ_GAP_MS, Length, &io, Filter);
    if (status == STATUS_TIMEOUT) {
      if (*Length == 0) continue;  // nothing came: the next attempt
      status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status)) {
      *Buffer = buffer;
      return status;
    }
  }
  if (status == STATUS_TIMEOUT) {
    // Two attempts and not a byte.
    *Buffer = buffer;
    return status;
  }
  ExFreePoolWithTag(buffer, kEnumPoolTag);
  *Length = 0;
  return status;
}
