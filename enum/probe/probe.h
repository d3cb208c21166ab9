// Device detection: the probe that finds out what is attached to a port, the
// thread it runs on, the serial requests it sends down the port's stack, and
// the claim of the port's COM number it makes while the port is open.
#pragma once

#include "enum/driver/enum_driver.h"

// Relative times in 100 ns units.
#define PROBE_LINE_SETTLE_TIME (-2000000LL)  // 200 ms after every line step
#define PROBE_READ_GAP_MS 240                // a gap this long ends the answer
#define PROBE_READ_CAPACITY 256              // bytes read at most
#define PROBE_BUFFER_SIZE (PROBE_READ_CAPACITY + 1)
#define PROBE_ONCE_CALLS 3                   // ProbeOnce calls per probe at most

NTSTATUS StartProbeThread(EnumFilterExtension* Filter);
KSTART_ROUTINE ProbeThreadMain;
IO_WORKITEM_ROUTINE ProbeCleanup;

// Allocates the IRP that carries a probe's open, cleanup and close: one
// stack location more than the port's stack, the first one the filter's.
PIRP AllocateProbeIrp(EnumFilterExtension* Filter);

// Runs one probe of the port. *Unchanged is 1 when the device found is the
// pending child already; 0 when the child set changed or may have.
NTSTATUS ProbePort(PIRP ProbeIrp, EnumFilterExtension* Filter, PUCHAR Unchanged);

// Drives the modem-control lines once and reads the answer. On success or
// STATUS_TIMEOUT *Buffer is the read buffer (the caller frees it); on an
// error it is null.
NTSTATUS ProbeOnce(EnumFilterExtension* Filter, PUCHAR* Buffer, PUSHORT Length, PUCHAR DsrAbsent);

// Reads one byte per request until Capacity bytes came or a read ends
// otherwise; returns the last read's status (STATUS_TIMEOUT after a gap).
NTSTATUS ReadIdBytes(PUCHAR Buffer, ULONG Capacity, ULONG TimeoutMs, PUSHORT Length, PIO_STATUS_BLOCK IoStatus,
                     EnumFilterExtension* Filter);

NTSTATUS SendSerialIoctl(ULONG Code, BOOLEAN Internal, PDEVICE_OBJECT Device, PKEVENT Event, PVOID Input,
                         ULONG InputLength, PVOID Output, ULONG OutputLength);
NTSTATUS SendOpenCloseRequest(PIRP ProbeIrp, UCHAR MajorFunction, PKEVENT Event, PDEVICE_OBJECT Device);
NTSTATUS WaitWithTimer(PKTIMER Timer, LONGLONG DueTime);

// Completes the port's entry of the COM number table and claims its number
// in the COM name database; the port must be open.
NTSTATUS ArbitrateComName(EnumFilterExtension* Filter, PKEVENT Event);
