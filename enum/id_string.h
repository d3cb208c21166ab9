// Serial plug-and-play identification strings: what an attached device sends
// when the probe raises DTR and RTS, turned into the identities of its child
// device.
//
// Grammar (ASCII form):
//   [prefix] '(' rev rev ID(7) ['\' serial ['\' class ['\' compat ['\' desc]]]
//   [checksum(2)] ')'
// The 6-bit form starts with 0x08, ends with 0x09 and sends every character
// after the two revision bytes 0x20 lower. The checksum is present exactly
// when optional fields are.
#pragma once

#include <ntddk.h>

struct EnumFilterExtension;

// The read buffer of a probe holds at most this many bytes (plus a
// terminating 0 that the parser does not need).
constexpr ULONG kIdStringMaxBytes = 256;

// Finds a legacy mouse's signature: scanning from the first byte, the first
// 'M' or 'B' met before any start marker ('(' or 0x08). Returns the character
// ('M' or 'B') and its index, or 0 when there is none.
UCHAR FindMouseSignature(const UCHAR* Bytes, ULONG Count, PULONG Index);

// Parses Count bytes (at most kIdStringMaxBytes are looked at) read from a
// port. Reads and writes stay within Bytes[0 .. Count-1]; the buffer is
// changed in place (checksum cut off, 6-bit text converted to ASCII).
//
// The six outputs are set empty on entry, then built as multi-strings
// (BuildMultiString) from whatever was parsed, also when the string breaks
// a rule. The caller owns them and frees them with FreeMultiString whenever
// it does not hand them to a child device.
//
// Returns STATUS_SUCCESS; STATUS_UNSUCCESSFUL for a malformed string;
// STATUS_INSUFFICIENT_RESOURCES when no memory was left for the work area
// (the outputs then stay empty) or for an output. FilterExtension is unused.
NTSTATUS ParseIdString(EnumFilterExtension* FilterExtension, PUCHAR Bytes, ULONG Count,
                       PUNICODE_STRING HardwareIds, PUNICODE_STRING CompatibleIds,
                       PUNICODE_STRING DeviceId, PUNICODE_STRING DeviceDescription,
                       PUNICODE_STRING SerialNumber, PUNICODE_STRING PnpRevision);
