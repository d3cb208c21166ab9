// The card driver's device extensions. Both kinds begin with the same three
// fields (CommonHeader), so a dispatch routine can tell a port device from
// the card by DeviceFlags bit 0 before it knows which record it has.
#pragma once

#include <ntddk.h>

// Pool tag of every allocation of the card driver ("TBus" in memory).
#define CARD_POOL_TAG 'suBT'

// The most UARTs a card has, and so the most port devices.
#define CARD_MAX_PORTS 12

// DeviceFlags bit 0: the extension is a PortExtension.
#define DEVICE_FLAG_PORT 0x00000001u
// DeviceFlags bit n (1 to 12) of a port: the port in slot n-1.
#define DEVICE_FLAG_SLOT(slot) (1u << ((slot) + 1))

typedef enum _CardPnpState {
  NotStarted = 0,
  Started = 1,
  StopPending = 2,
  RemovePending = 3,
  SurpriseRemovePending = 4,
  Deleted = 5
} CardPnpState;

typedef struct _CommonHeader {
  ULONG DeviceFlags;
  PDEVICE_OBJECT Self;
  // The device a request goes to next: the card's NextLowerDevice, a port's
  // ParentFdo (the card whose stack answers what a port passes on).
  PDEVICE_OBJECT NextTarget;
} CommonHeader;

// The block of a slot that has no enabled UART behind it.
#define PORT_BLOCK_NONE 0xFFFFFFFFu

typedef struct _PortExtension {
  ULONG DeviceFlags;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT ParentFdo;
  ULONG Block;           // the card's port block (physical UART) the slot led to when the port was made
  // Retired (its slot now leads to another UART, or to none: see the card's
  // RetiredPorts), and a bus relations answer has left it out since.
  BOOLEAN ReportedGone;
  // The Plug and Play manager has sent the port a request since its last
  // removal, so it knows the device as a PDO: only then may the port's
  // device key be opened.
  BOOLEAN Enumerated;
} PortExtension;

typedef struct _PortResourcePair {
  CM_PARTIAL_RESOURCE_DESCRIPTOR Raw;
  CM_PARTIAL_RESOURCE_DESCRIPTOR Translated;
} PortResourcePair;

// One I/O or memory range of the card's started resources.
typedef struct _CardRange {
  ULONGLONG Start;
  ULONG Length;
  BOOLEAN Io;
} CardRange;

#define CARD_MAX_RANGES 8

// The PCI Express port above the card, found by the power path's search:
// its bus, its slot (PCI_SLOT_NUMBER: device in bits 0-4, function in bits
// 5-7), the offset of its PCI Express capability, and whether one was found.
typedef struct _CardUpstreamPort {
  ULONG Bus;
  ULONG Slot;
  UCHAR CapabilityOffset;
  UCHAR Found;
} CardUpstreamPort;

typedef struct _CardExtension {
  ULONG DeviceFlags;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT NextLowerDevice;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDRIVER_OBJECT DriverObject;
  IO_REMOVE_LOCK RemoveLock;
  UNICODE_STRING DeviceName;
  UNICODE_STRING LinkName;
  ULONG PnpState;          // CardPnpState
  ULONG PreviousPnpState;  // CardPnpState
  ULONG CurrentDeviceState;  // DEVICE_POWER_STATE
  ULONG CurrentSystemState;  // SYSTEM_POWER_STATE
  DEVICE_CAPABILITIES ParentCapabilities;
  KSPIN_LOCK IoByteLock;
  PDEVICE_OBJECT PortDevices[CARD_MAX_PORTS];
  // Retired port devices waiting for their removal, in no particular order.
  PDEVICE_OBJECT RetiredPorts[CARD_MAX_PORTS];
  volatile LONG InterfaceReferences;
  PortResourcePair PortResources[CARD_MAX_PORTS];
  CM_PARTIAL_RESOURCE_DESCRIPTOR InterruptRaw;
  CM_PARTIAL_RESOURCE_DESCRIPTOR InterruptTranslated;
  ULONG WmiValue;
  ULONG BusNumber;
  ULONG SlotNumber;
  UCHAR PortCount;
  // Settings: the header registers saved at the first bring-up, what the
  // last bring-up found, and the configuration file's flags.
  UCHAR SavedConfigValid;
  ULONG SavedBars[6];  // BAR5 first, BAR0 last: use SAVED_BAR(n)
  UCHAR SavedCommand;
  UCHAR SavedInterruptLine;
  UCHAR PinnedCard;
  ULONG AbsentPortMask;  // bit n: the presence probe found port n absent
  ULONG EnabledPortMask;  // bit n: the last bring-up enabled port block n; slot s is the s-th set bit
  UCHAR ProbeEnabled;
  UCHAR CardInConfigFile;
  UCHAR SleepRequested;
  UCHAR LinkBounceEnabled;
  UCHAR StartBridgeFixup;
  // The card's I/O and memory ranges as last started (translated): all the
  // control codes' raw port and memory access may reach besides the card's
  // configuration space.
  CardRange Ranges[CARD_MAX_RANGES];
  ULONG RangeCount;
  // Power: the bridge whose link the last search disabled; kept for the
  // life of the device object.
  CardUpstreamPort UpstreamPort;
} CardExtension;

// BARn (0 to 5) as saved by the first bring-up.
#define SAVED_BAR(card, n) ((card)->SavedBars[5 - (n)])

static_assert(FIELD_OFFSET(CardExtension, DeviceFlags) == FIELD_OFFSET(CommonHeader, DeviceFlags), "header");
static_assert(FIELD_OFFSET(CardExtension, NextLowerDevice) == FIELD_OFFSET(CommonHeader, NextTarget), "header");
static_assert(FIELD_OFFSET(PortExtension, ParentFdo) == FIELD_OFFSET(CommonHeader, NextTarget), "header");

inline bool IsPortExtension(const void* extension) {
  return (static_cast<const CommonHeader*>(extension)->DeviceFlags & DEVICE_FLAG_PORT) != 0;
}

// The slot (0 to 11) a port's DeviceFlags name, or -1 when no slot bit is set.
inline int PortSlotFromFlags(ULONG flags) {
  for (int slot = 0; slot < CARD_MAX_PORTS; ++slot)
    if (flags & DEVICE_FLAG_SLOT(slot)) return slot;
  return -1;
}
