// Parsing of serial plug-and-play identification strings.
//
// The fields are taken into a work area of fixed-size text slots, then the
// six identities are built from the slots. Every index is checked against the
// number of bytes received, so a short or hostile string can neither read nor
// write outside the bytes it arrived in.
#include "enum/id_string.h"

#include "enum/multi_string.h"
#include "enum/pool_tag.h"

namespace {

constexpr UCHAR kAsciiStart = '(';
constexpr UCHAR kAsciiEnd = ')';
constexpr UCHAR kSixBitStart = 0x08;
constexpr UCHAR kSixBitEnd = 0x09;
constexpr UCHAR kSixBitShift = 0x20;
constexpr UCHAR kFieldMark = '\\';
constexpr UCHAR kFormFeed = 0x0C;

// The start marker is looked for in this many leading bytes first.
constexpr ULONG kPrefixWindow = 16;
// Bytes from the first revision byte to the end marker of a string without
// optional fields: two revision bytes and the seven-character device ID.
constexpr ULONG kShortBodyLength = 9;
constexpr ULONG kManufacturerLength = 3;
constexpr ULONG kDeviceIdLength = 7;
constexpr ULONG kSerialDigits = 8;
constexpr ULONG kMaxClassName = 32;
constexpr ULONG kMaxCompatibleIds = 40;
constexpr ULONG kMaxDescription = 40;

constexpr char kDeviceIdPrefix[] = "SERENUM\\";
constexpr ULONG kDeviceIdPrefixLength = sizeof(kDeviceIdPrefix) - 1;
constexpr char kSerialMouse[] = "SERIAL_MOUSE";

constexpr ULONG kTextSlot = 256;

// Every slot is a NUL-terminated text; the work area starts zeroed, so every
// slot starts empty.
struct IdStringWorkArea {
  CHAR Revision[kTextSlot];
  CHAR DeviceId[kTextSlot];
  CHAR SerialNumber[kTextSlot];
  CHAR ClassName[kTextSlot];
  CHAR Description[kTextSlot];
  CHAR CompatibleIds[kTextSlot + 1];  // with the leading '*'
};

// A text slot being filled: characters past its capacity are counted but
// not stored, so length rules see the whole field.
struct SlotWriter {
  PCHAR Text;
  ULONG Capacity;  // characters, not counting the terminating NUL
  ULONG Stored;
  ULONG Counted;

  void Put(UCHAR c) {
    if (Stored < Capacity) {
      Text[Stored++] = (CHAR)c;
      Text[Stored] = 0;
    }
    ++Counted;
  }
};

SlotWriter WriterFor(PCHAR slot, ULONG slotBytes) {
  SlotWriter writer = {slot, slotBytes - 1, 0, 0};
  slot[0] = 0;
  return writer;
}

BOOLEAN IsStartMarker(UCHAR c) { return c == kAsciiStart || c == kSixBitStart; }

BOOLEAN IsHexDigit(UCHAR c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

UCHAR AsciiUpper(UCHAR c) { return (c >= 'a' && c <= 'z') ? (UCHAR)(c - 'a' + 'A') : c; }

BOOLEAN EqualsIgnoringCase(PCSTR a, PCSTR b) {
  for (;; ++a, ++b) {
    if (AsciiUpper((UCHAR)*a) != AsciiUpper((UCHAR)*b)) {
      return FALSE;
    }
    if (*a == 0) {
      return TRUE;
    }
  }
}

void CopyText(PCHAR slot, PCSTR text) {
  while ((*slot++ = *text++) != 0) {
  }
}

// "1.00" for 100, "40.95" for 4095: the hundreds digit, a point and two
// decimals, with the thousands digit in front when there is one.
void FormatRevision(ULONG revision, PCHAR text) {
  ULONG k = 0;
  if (revision / 100 > 9) {
    text[k++] = (CHAR)('0' + revision / 1000);
  }
  text[k++] = (CHAR)('0' + (revision / 100) % 10);
  text[k++] = '.';
  text[k++] = (CHAR)('0' + (revision % 100) / 10);
  text[k++] = (CHAR)('0' + revision % 10);
  text[k] = 0;
}

// The bytes of one parse and the position reached.
struct IdCursor {
  PUCHAR Bytes;
  ULONG Count;     // bytes received, at most kIdStringMaxBytes
  ULONG Position;

  // Text fields never take the last byte received (where the end marker of
  // a complete string sits).
  ULONG TextLimit() const { return Count - 1; }

  // Starts an optional field when the current byte is a backslash.
  BOOLEAN EnterField() {
    if (Position < Count && Bytes[Position] == kFieldMark) {
      ++Position;
      return TRUE;
    }
    return FALSE;
  }
};

// Takes the bytes of a text field up to the next backslash or ')'.
void TakeTextField(IdCursor* cursor, SlotWriter* writer, BOOLEAN starAfterSeparator) {
  while (cursor->Position < cursor->TextLimit()) {
    const UCHAR c = cursor->Bytes[cursor->Position];
    if (c == kFieldMark || c == kAsciiEnd) {
      break;
    }
    writer->Put(c);
    if (starAfterSeparator && (c == ',' || c == kFormFeed)) {
      writer->Put('*');
    }
    ++cursor->Position;
  }
}

// Finds the start marker and checks the checksum. On success the cursor
// stands on the first revision byte and Shift/EndMarker give the encoding.
NTSTATUS FindFrame(IdCursor* cursor, UCHAR* shift, UCHAR* endMarker) {
  PUCHAR b = cursor->Bytes;
  const ULONG n = cursor->Count;

  ULONG start = kPrefixWindow;
  for (ULONG k = 0; k < kPrefixWindow && k < n; ++k) {
    if (IsStartMarker(b[k])) {
      start = k;
      break;
    }
  }
  if (start >= n || b[start] == 0) {
    return STATUS_UNSUCCESSFUL;
  }

  ULONG marker = start;
  while (marker < n && !IsStartMarker(b[marker])) {
    ++marker;
  }
  if (marker >= n) {
    return STATUS_UNSUCCESSFUL;
  }
  *shift = b[marker] == kAsciiStart ? 0 : kSixBitShift;
  *endMarker = b[marker] == kAsciiStart ? kAsciiEnd : kSixBitEnd;
  const ULONG i = marker + 1;

  if (n <= i + kShortBodyLength) {
    return STATUS_UNSUCCESSFUL;
  }

  if (b[i + kShortBodyLength] != *endMarker) {
    // Optional fields follow, so a checksum of two hexadecimal digits
    // precedes the end marker. The revision bytes are binary and may equal
    // the end marker, so the search starts after them. The end position is
    // a plain index: strings may end anywhere in the 256 bytes received.
    ULONG end = i + 2;
    while (end < n && b[end] != *endMarker) {
      ++end;
    }
    if (end >= n) {
      return STATUS_UNSUCCESSFUL;
    }
    if (!IsHexDigit((UCHAR)(b[end - 2] + *shift)) || !IsHexDigit((UCHAR)(b[end - 1] + *shift))) {
      return STATUS_UNSUCCESSFUL;
    }
    // The checksum is not verified; cutting it off leaves the fields
    // followed directly by the end marker.
    b[end - 2] = *endMarker;
    b[end - 1] = 0;
  }

  cursor->Position = i;
  return STATUS_SUCCESS;
}

NTSTATUS ParseFields(IdCursor* cursor, IdStringWorkArea* work) {
  UCHAR shift = 0;
  UCHAR endMarker = 0;
  NTSTATUS status = FindFrame(cursor, &shift, &endMarker);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PUCHAR b = cursor->Bytes;
  const ULONG n = cursor->Count;
  const ULONG i = cursor->Position;

  // Revision: two 6-bit values, high part first.
  if ((signed char)b[i] > 0x3F || (signed char)b[i + 1] > 0x3F) {
    return STATUS_UNSUCCESSFUL;
  }
  FormatRevision((b[i] & 0x3F) * 64 + (b[i + 1] & 0x3F), work->Revision);

  if (shift != 0) {
    for (ULONG k = i + 2; k < n; ++k) {
      b[k] = (UCHAR)(b[k] + shift);
      if (b[k] == kAsciiEnd) {
        break;
      }
    }
  }
  cursor->Position = i + 2;

  // Device ID: a three-character manufacturer code as sent, then the
  // hexadecimal digits among the next four bytes.
  SlotWriter id = WriterFor(work->DeviceId, sizeof(work->DeviceId));
  for (ULONG k = 0; k < kDeviceIdPrefixLength; ++k) {
    id.Put((UCHAR)kDeviceIdPrefix[k]);
  }
  for (ULONG k = 0; k < kDeviceIdLength && cursor->Position < n; ++k, ++cursor->Position) {
    const UCHAR c = b[cursor->Position];
    if (k < kManufacturerLength || IsHexDigit(c)) {
      id.Put(c);
    }
  }

  if (cursor->EnterField()) {
    SlotWriter serial = WriterFor(work->SerialNumber, sizeof(work->SerialNumber));
    while (serial.Counted < kSerialDigits && cursor->Position < cursor->TextLimit() &&
           IsHexDigit(b[cursor->Position])) {
      serial.Put(b[cursor->Position++]);
    }
    if (serial.Counted != 0 && serial.Counted != kSerialDigits) {
      return STATUS_UNSUCCESSFUL;
    }
  }

  if (cursor->EnterField()) {
    SlotWriter className = WriterFor(work->ClassName, sizeof(work->ClassName));
    TakeTextField(cursor, &className, FALSE);
    if (className.Counted > kMaxClassName) {
      return STATUS_UNSUCCESSFUL;
    }
    if (EqualsIgnoringCase(work->ClassName, "MOUSE")) {
      CopyText(work->ClassName, kSerialMouse);
    }
  }

  if (cursor->EnterField()) {
    // Every entry becomes "*ID": a star in front of the list and after each
    // separator. The list is stored without its leading star first.
    SlotWriter list = WriterFor(work->CompatibleIds + 1, sizeof(work->CompatibleIds) - 2);
    TakeTextField(cursor, &list, TRUE);
    if (list.Counted > kMaxCompatibleIds) {
      return STATUS_UNSUCCESSFUL;
    }
    if (list.Counted != 0) {
      work->CompatibleIds[0] = '*';
    }
  }

  if (cursor->EnterField()) {
    SlotWriter description = WriterFor(work->Description, sizeof(work->Description));
    TakeTextField(cursor, &description, FALSE);
    if (description.Counted > kMaxDescription) {
      return STATUS_UNSUCCESSFUL;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS BuildOptional(PUNICODE_STRING output, PCSTR text) {
  if (text[0] == 0) {
    return STATUS_SUCCESS;
  }
  const PCSTR pieces[] = {text, NULL};
  return BuildMultiString(output, pieces);
}

// The six identities of the child, from whatever the parse reached.
NTSTATUS BuildIdentities(const IdStringWorkArea* work, BOOLEAN mouse, PUNICODE_STRING hardwareIds,
                         PUNICODE_STRING compatibleIds, PUNICODE_STRING deviceId,
                         PUNICODE_STRING deviceDescription, PUNICODE_STRING serialNumber,
                         PUNICODE_STRING pnpRevision) {
  // The slot is zeroed beyond its text, so the ID alone is empty when the
  // device ID was not reached.
  const PCSTR hardwarePieces[] = {work->DeviceId, work->DeviceId + kDeviceIdPrefixLength, NULL};
  NTSTATUS status = BuildMultiString(hardwareIds, hardwarePieces);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  // An empty class name is left out: an empty entry would end the list and
  // hide the entries after it.
  PCSTR compatiblePieces[4] = {NULL, NULL, NULL, NULL};
  ULONG pieces = 0;
  if (work->CompatibleIds[0] != 0) {
    compatiblePieces[pieces++] = work->CompatibleIds;
    if (work->ClassName[0] != 0) {
      compatiblePieces[pieces++] = work->ClassName;
    }
  }
  if (mouse) {
    compatiblePieces[pieces++] = kSerialMouse;
  }
  status = BuildMultiString(compatibleIds, compatiblePieces);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  const PCSTR deviceIdPieces[] = {work->DeviceId, NULL};
  status = BuildMultiString(deviceId, deviceIdPieces);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  // The description is reported even when empty.
  const PCSTR descriptionPieces[] = {work->Description, NULL};
  status = BuildMultiString(deviceDescription, descriptionPieces);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  status = BuildOptional(serialNumber, work->SerialNumber);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return BuildOptional(pnpRevision, work->Revision);
}

void SetEmpty(PUNICODE_STRING s) {
  s->Buffer = NULL;
  s->Length = 0;
  s->MaximumLength = 0;
}

}  // namespace

UCHAR FindMouseSignature(const UCHAR* Bytes, ULONG Count, PULONG Index) {
  for (ULONG k = 0; k < Count; ++k) {
    if (IsStartMarker(Bytes[k])) {
      break;
    }
    if (Bytes[k] == 'M' || Bytes[k] == 'B') {
      if (Index != NULL) {
        *Index = k;
      }
      return Bytes[k];
    }
  }
  return 0;
}

NTSTATUS ParseIdString(EnumFilterExtension* FilterExtension, PUCHAR Bytes, ULONG Count,
                       PUNICODE_STRING HardwareIds, PUNICODE_STRING CompatibleIds,
                       PUNICODE_STRING DeviceId, PUNICODE_STRING DeviceDescription,
                       PUNICODE_STRING SerialNumber, PUNICODE_STRING PnpRevision) {
  UNREFERENCED_PARAMETER(FilterExtension);
  SetEmpty(HardwareIds);
  SetEmpty(CompatibleIds);
  SetEmpty(DeviceId);
  SetEmpty(DeviceDescription);
  SetEmpty(SerialNumber);
  SetEmpty(PnpRevision);

  IdCursor cursor;
  cursor.Bytes = Bytes;
  cursor.Count = Count < kIdStringMaxBytes ? Count : kIdStringMaxBytes;
  cursor.Position = 0;

  const BOOLEAN mouse = FindMouseSignature(Bytes, cursor.Count, NULL) != 0;

  IdStringWorkArea* work =
      (IdStringWorkArea*)ExAllocatePoolWithTag(PagedPool, sizeof(IdStringWorkArea), kEnumPoolTag);
  if (work == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(work, sizeof(*work));

  const NTSTATUS parsed = ParseFields(&cursor, work);
  const NTSTATUS built = BuildIdentities(work, mouse, HardwareIds, CompatibleIds, DeviceId,
                                         DeviceDescription, SerialNumber, PnpRevision);
  ExFreePoolWithTag(work, kEnumPoolTag);
  return NT_SUCCESS(parsed) ? built : parsed;
}
