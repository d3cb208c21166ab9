// zarkenum: the upper filter on each port of the card, above the port's
// serial driver, and the bus driver of the one serial device the port may
// hold. Its two kinds of device, their extensions, and the routines shared
// among the driver's files.
#pragma once

#include <ntddk.h>
#include <ntddser.h>

#include "enum/pool_tag.h"
#include "enum/serial/port_contract.h"

// Both extensions begin with these fields, so that a dispatch routine can
// tell a filter from a child.
#define ENUM_EXTENSION_HEADER \
  PDEVICE_OBJECT Self;        \
  UCHAR IsFilter;             \
  UCHAR Removed

struct EnumHeader {
  ENUM_EXTENSION_HEADER;
};

// ProbeFlags bits.
#define PROBE_RUNNING 0x1       // a probe thread runs or awaits its cleanup
#define CHILDREN_CHANGED 0x2    // the pending child fields differ from the reported ones
#define REPROBE_REQUESTED 0x4   // probe again at the next bus-relations query

struct EnumChildExtension;

struct EnumFilterExtension {
  ENUM_EXTENSION_HEADER;
  DEVICE_POWER_STATE DevicePowerState;
  UCHAR ProbeCount;  // probes started; gives the next child's name
  UCHAR Started;
  UCHAR ReportedChildCount;
  UCHAR PendingChildCount;
  UCHAR SelfRemovalPending;
  PDEVICE_OBJECT ReportedChild;
  PDEVICE_OBJECT PendingChild;
  EnumChildExtension* ReportedChildExtension;
  EnumChildExtension* PendingChildExtension;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextLowerDevice;
  volatile LONG OutstandingIo;  // requests in progress plus 1
  KEVENT RemoveEvent;           // set when OutstandingIo falls to 0
  UNICODE_STRING InterfaceName;
  ULONG SystemWake;
  ULONG DeviceWake;
  KSEMAPHORE OpenSemaphore;  // keeps an open passed down and a probe apart
  ULONG SkipEnumerations;    // relations queries still answered without probing
  KSPIN_LOCK ProbeLock;      // guards ProbeFlags, ProbeThread, ProbeWorkItem, child fields
  ULONG ProbeFlags;
  PVOID ProbeThread;  // referenced thread object of a running probe
  PIO_WORKITEM ProbeWorkItem;
  KEVENT ProbeIdle;  // set while no probe thread is running or being cleaned up
};

struct EnumChildExtension {
  ENUM_EXTENSION_HEADER;
  DEVICE_POWER_STATE DevicePowerState;
  PDEVICE_OBJECT ParentFilter;
  UNICODE_STRING HardwareIds;
  UNICODE_STRING CompatibleIds;
  UNICODE_STRING DeviceId;
  UNICODE_STRING DeviceDescription;
  UNICODE_STRING SerialNumber;
  UNICODE_STRING PnpRevision;
  UCHAR Started;
  UCHAR Present;  // the port still holds the device
};

// The six identities of a child, as the identification-string parser or the
// mouse table builds them.
struct EnumChildIds {
  UNICODE_STRING HardwareIds;
  UNICODE_STRING CompatibleIds;
  UNICODE_STRING DeviceId;
  UNICODE_STRING DeviceDescription;
  UNICODE_STRING SerialNumber;
  UNICODE_STRING PnpRevision;
};

inline EnumFilterExtension* FilterOf(PDEVICE_OBJECT Device) {
  return static_cast<EnumFilterExtension*>(Device->DeviceExtension);
}
inline EnumChildExtension* ChildOf(PDEVICE_OBJECT Device) {
  return static_cast<EnumChildExtension*>(Device->DeviceExtension);
}
inline EnumHeader* HeaderOf(PDEVICE_OBJECT Device) { return static_cast<EnumHeader*>(Device->DeviceExtension); }
// The filter a request on either kind of device belongs to.
inline EnumFilterExtension* OwningFilter(PDEVICE_OBJECT Device) {
  return HeaderOf(Device)->IsFilter ? FilterOf(Device) : FilterOf(ChildOf(Device)->ParentFilter);
}

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD EnumDriverUnload;
DRIVER_ADD_DEVICE EnumAddDevice;
DRIVER_DISPATCH DispatchPassThrough;
DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchInternalDeviceControl;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchPnp;

// Counting of requests in progress on a filter.
NTSTATUS AcquireIo(EnumFilterExtension* Filter);
VOID ReleaseIo(EnumFilterExtension* Filter);

// Completion routines for requests sent down and waited for: both signal
// the KEVENT given as context and keep the IRP for the sender.
IO_COMPLETION_ROUTINE SignalAndKeep;       // priority increment 1
IO_COMPLETION_ROUTINE SignalAndKeepQuiet;  // increment 0, for the probe's requests

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// Reads a value of an open key into Buffer (at most Capacity bytes).
// *DataLength is the number of bytes copied: 0 when the value is longer
// than Capacity, which still succeeds. STATUS_BUFFER_OVERFLOW comes back as
// STATUS_BUFFER_TOO_SMALL, other warnings as STATUS_UNSUCCESSFUL.
NTSTATUS ReadKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, PVOID Buffer, ULONG Capacity,
                      PULONG DataLength);

NTSTATUS FilterPnp(PDEVICE_OBJECT Device, PIRP Irp);
NTSTATUS ChildPnp(PDEVICE_OBJECT Device, PIRP Irp);

// Child bookkeeping (enum/pnp/children.cpp).
VOID MarkChildGone(EnumFilterExtension* Filter, EnumChildExtension* Child);
VOID RequestReprobe(EnumFilterExtension* Filter);
NTSTATUS DeleteChild(PDEVICE_OBJECT Child, EnumChildExtension* ChildExtension);
NTSTATUS UpdateChildren(EnumFilterExtension* Filter);
VOID StopProbeThread(EnumFilterExtension* Filter);
VOID AttachNewChild(PDEVICE_OBJECT Child, EnumFilterExtension* Filter);
VOID FreeChildIds(EnumChildIds* Ids);

// Creates the child device "\Serial\<NameDigit>" for a detected device,
// moves the six identities into it (they are the child's from then on, also
// when the creation fails: they are freed then) and makes it the pending
// child. Exported by name: tests create children through it as a probe does.
extern "C" NTSTATUS NTAPI CreateChild(EnumFilterExtension* Filter, UCHAR NameDigit, EnumChildIds* Ids);
