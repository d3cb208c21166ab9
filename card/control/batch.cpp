// The FIFO batch: begin snapshots the card's header and block bytes and
// learns its port count, select arms and picks a pattern, apply rewrites
// the FIFO byte of every port in one write of the 256 bytes. The state is
// driver-wide and unlocked: a begin sent to one card governs an apply sent
// to another.
#include "card/control/control.h"
#include "card/hw/hw_access.h"
#include "card/hw/register_map.h"

namespace {

ULONG BatchArmed = 0;
LONG BatchPortCount = 0;
CHAR BatchSelection = 3;

// Bits 1:0 and 5:4 of each FIFO byte, by selection 1 to 4.
const UCHAR kPatterns[4] = {0x00, 0x11, 0x22, 0x33};
const ULONG kFifoByte = PORT_BLOCK(0) + BLOCK_FIFO;
const UCHAR kKeptBits = 0xCC;

BOOLEAN SelectionValid(LONG Selection) { return Selection >= 1 && Selection <= 4; }

USHORT SnapshotWord(const UCHAR* Snapshot, ULONG Offset) {
  return static_cast<USHORT>(Snapshot[Offset] | Snapshot[Offset + 1] << 8);
}

ULONG Begin(CardExtension* Card, ControlRecord* Record, BOOLEAN* ReturnRecord) {
  BatchArmed = 0;
  UCHAR snapshot[CFG_HEADER_SIZE];
  NTSTATUS status = CardConfigAccess(Card->Self, FALSE, snapshot, 0, sizeof snapshot);
  if (NT_SUCCESS(status) && SnapshotWord(snapshot, CFG_VENDOR_ID) == CARD_VENDOR_ID) {
    Record->Result = snapshot[kFifoByte];
    BatchPortCount = static_cast<LONG>(ChipPortCount(SnapshotWord(snapshot, CFG_DEVICE_ID)));
  } else {
    // A snapshot that could not be read counts as another vendor's card.
    Record->Result = CONTROL_RESULT_REFUSED;
    BatchPortCount = 0;
  }
  *ReturnRecord = TRUE;
  return sizeof(ControlRecord);
}

// A selection without a pattern is refused here, so an apply never meets one.
ULONG Select(ControlRecord* Record, BOOLEAN* ReturnRecord) {
  const CHAR selection = static_cast<CHAR>(Record->Value & 0xFF);
  if (Record->Value != 0 && !SelectionValid(selection)) return 0;
  BatchArmed = 1;
  if (Record->Value != 0) BatchSelection = selection;
  Record->Result = 0;
  *ReturnRecord = TRUE;
  return sizeof(ControlRecord);
}

ULONG Apply(CardExtension* Card, ControlRecord* Record, BOOLEAN* ReturnRecord) {
  if (BatchPortCount == 0) {
    Record->Result = CONTROL_RESULT_REFUSED;
    *ReturnRecord = TRUE;
    return sizeof(ControlRecord);
  }
  if (BatchArmed != 1) return sizeof(ControlRecord);
  const LONG count = BatchPortCount;
  const CHAR selection = BatchSelection;
  if (count < 0 || count > CARD_MAX_PORTS || !SelectionValid(selection)) return 0;
  UCHAR snapshot[CFG_HEADER_SIZE];
  // A snapshot that was not read is never written back.
  if (!NT_SUCCESS(CardConfigAccess(Card->Self, FALSE, snapshot, 0, sizeof snapshot))) return 0;
  for (LONG i = 0; i < count; ++i) {
    UCHAR* fifo = &snapshot[kFifoByte + 8 * i];
    *fifo = static_cast<UCHAR>((*fifo & kKeptBits) | kPatterns[selection - 1]);
  }
  CardConfigAccess(Card->Self, TRUE, snapshot, 0, sizeof snapshot);
  return sizeof(ControlRecord);
}

}  // namespace

ULONG ServeBatchCode(CardExtension* Card, ULONG Code, ControlRecord* Record, BOOLEAN* ReturnRecord) {
  switch (Code) {
    case IOCTL_CARD_BATCH_BEGIN:
      return Begin(Card, Record, ReturnRecord);
    case IOCTL_CARD_BATCH_SELECT:
      return Select(Record, ReturnRecord);
    case IOCTL_CARD_BATCH_APPLY:
      return Apply(Card, Record, ReturnRecord);
    default:
      return 0;
  }
}
