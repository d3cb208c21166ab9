// COM naming of a card's ports: every relations request on a port runs one
// pass over the registry entries of the port's card, keeping the ports'
// COM names in port order and their friendly names in step with them, and
// for a card listed in the configuration file, enforcing the COM numbers
// configured per UART address.
#pragma once

#include <ntddk.h>

#include "card/driver/card_extension.h"
#include "common/settings_records.h"

// Runs the naming pass for the card. PASSIVE_LEVEL. The pass works on
// registry values only and reports nothing: a failure leaves the names as
// they are for the next request to retry.
void RunNamingPass(CardExtension* Card);

// --- Shared by the passes and the walk of the serial service's Enum list.

#define NAMING_TEXT_CHARS 256       // an "Enum" value; a "FriendlyName"
#define NAMING_PATH_CHARS 336       // "\Registry\...\Enum\" + instance path + "\Device Parameters"
#define NAMING_PORT_NAME_CHARS 7    // "COMnnn" and its NUL

// Everything a pass works with, in one paged allocation: the buffers are
// too large for a kernel stack.
typedef struct _NamingWork {
  CardExtension* Card;
  WCHAR EnumValue[NAMING_TEXT_CHARS];    // the walked value: an instance path
  WCHAR InstanceKey[NAMING_PATH_CHARS];  // the walked value's instance key
  WCHAR CardKey[NAMING_PATH_CHARS];      // the instance key of the card's port 01, once found
  WCHAR PortKey[NAMING_PATH_CHARS];      // a port's instance key or parameters key
  WCHAR FriendlyName[NAMING_TEXT_CHARS];
  WCHAR PortName[NAMING_PORT_NAME_CHARS];
  UCHAR ComTable[COM_NUMBER_TABLE_BUFFER_SIZE];
  UCHAR CurrentNumbers[CARD_MAX_PORTS];  // by slot; 0: no number
  UCHAR NewNumbers[CARD_MAX_PORTS];      // by slot; 255: no change
  ULONG FirstSlot;                       // the card's lowest slot with a port device
  ULONG FirstSlotNumber;                 // that port's COM number; 0: none known
  BOOLEAN CardKeyKnown;
} NamingWork;

// Called for each walked value that names a port of some card, with
// InstanceKey built; returns TRUE to end the walk.
typedef BOOLEAN (*NamingVisit)(NamingWork* Work);

// Walks the values "0", "1", ... of the serial service's Enum list.
void WalkSerialEnum(NamingWork* Work, NamingVisit Visit);

// The visit that looks for the card's own instances: ends the walk with
// CardKey set when the walked value's card is Work->Card.
BOOLEAN FindCardInstance(NamingWork* Work);

// Makes Work->PortKey the instance key of port Port (1 to 12) of the card
// whose instance key is CardKey. Requires CardKeyKnown.
void BuildPortKey(NamingWork* Work, ULONG Port);

// Appends "\Device Parameters" to a key path; FALSE when it does not fit.
BOOLEAN AppendParameters(PWCHAR KeyPath);

// Registry reads into cleared buffers; a value that does not fit with its
// NUL (text) or in 4 bytes (dword) is refused and leaves the buffer clear.
NTSTATUS ReadTextByPath(PCWSTR ValueName, PCWSTR KeyPath, PWCHAR Buffer, ULONG Chars);
NTSTATUS ReadDwordByPath(PCWSTR ValueName, PCWSTR KeyPath, PULONG Value);
// "PortName" of a port's open device key into Work->PortName. A name too
// long for the buffer is not copied and reads as no number (success).
NTSTATUS ReadPortNameByKey(HANDLE Key, NamingWork* Work);

// The COM number of "COMn" and of "Communications Port (COMn)".
ULONG PortNameNumber(const WCHAR* PortName);
ULONG FriendlyNameNumber(const WCHAR* FriendlyName);
