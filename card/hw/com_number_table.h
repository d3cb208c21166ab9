// The card's part in the shared "ComNumConfig" table: loading it, recording
// new ports, and writing it back.
#pragma once

#include <ntddk.h>

#include "card/driver/card_extension.h"

// Loads "ComNumConfig" into Table (COM_NUMBER_TABLE_BUFFER_SIZE bytes,
// zeroed first). A value that does not exist is created as zeros. TRUE when
// the table may be added to and written back: FALSE when the value could
// not be read for another reason, or is not binary, since writing then
// would replace entries the other cards and the port enumerator keep.
BOOLEAN LoadComNumberTable(PUCHAR Table);

// Writes the table back, whole.
void SaveComNumberTable(const UCHAR* Table);

// What the COM-number bookkeeping of one port needs to know.
typedef struct _PortRecordContext {
  CardExtension* Card;
  PUCHAR ComNumberTable;     // COM_NUMBER_TABLE_BUFFER_SIZE bytes
  const UCHAR* ConfigImage;  // CONFIG_FILE_SIZE bytes
  BOOLEAN BusKnown;
  ULONG ConfigBus;           // the bus the configuration file is matched against
  USHORT DeviceId;
} PortRecordContext;

// Records the port at I/O base Address (slot Slot, position Position) in the
// "ComNumConfig" image unless it is there already, taking its COM number
// from the card's active configuration-file record. TRUE when an entry was
// added.
BOOLEAN RecordPortComNumber(const PortRecordContext* Context, USHORT Address, ULONG Slot, ULONG Position);
