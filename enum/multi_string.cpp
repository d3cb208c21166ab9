// Multi-string construction and the character check for identity lists.
#include "enum/multi_string.h"

#include "enum/pool_tag.h"

namespace {

constexpr WCHAR kFormFeed = 0x0C;

// An ANSI_STRING over a NUL-terminated piece; FALSE when the piece is too
// long for a counted string.
BOOLEAN DescribePiece(PCSTR piece, ANSI_STRING* ansi) {
  ULONG length = 0;
  while (piece[length] != 0) {
    if (length == MAXUSHORT - 1) {
      return FALSE;
    }
    ++length;
  }
  ansi->Length = (USHORT)length;
  ansi->MaximumLength = (USHORT)(length + 1);
  ansi->Buffer = (PCHAR)piece;
  return TRUE;
}

}  // namespace

NTSTATUS BuildMultiString(PUNICODE_STRING MultiString, const PCSTR* Pieces) {
  MultiString->Buffer = NULL;
  MultiString->Length = 0;
  MultiString->MaximumLength = 0;

  // Each piece's converted size includes its terminating NUL.
  ULONG size = 0;
  for (ULONG k = 0; Pieces[k] != NULL; ++k) {
    ANSI_STRING ansi;
    if (!DescribePiece(Pieces[k], &ansi)) {
      return STATUS_INVALID_PARAMETER;
    }
    size += RtlxAnsiStringToUnicodeSize(&ansi);
    if (size + sizeof(WCHAR) > MAXUSHORT) {
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (size == 0) {
    return STATUS_SUCCESS;
  }

  const ULONG total = size + sizeof(WCHAR);
  PWCHAR buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, total, kEnumPoolTag);
  if (buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  ULONG used = 0;  // in characters
  for (ULONG k = 0; Pieces[k] != NULL; ++k) {
    ANSI_STRING ansi;
    DescribePiece(Pieces[k], &ansi);
    UNICODE_STRING part;
    part.Buffer = buffer + used;
    part.Length = 0;
    part.MaximumLength = (USHORT)(total - used * sizeof(WCHAR));
    NTSTATUS status = RtlAnsiStringToUnicodeString(&part, &ansi, FALSE);
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(buffer, kEnumPoolTag);
      return status;
    }
    const ULONG chars = part.Length / sizeof(WCHAR);
    for (ULONG c = 0; c < chars; ++c) {
      if (part.Buffer[c] == L',' || part.Buffer[c] == kFormFeed) {
        part.Buffer[c] = 0;
      }
    }
    part.Buffer[chars] = 0;
    used += chars + 1;
  }
  buffer[used] = 0;

  MultiString->Buffer = buffer;
  MultiString->Length = (USHORT)total;
  MultiString->MaximumLength = (USHORT)total;
  return STATUS_SUCCESS;
}

VOID FreeMultiString(PUNICODE_STRING MultiString) {
  if (MultiString->Buffer != NULL) {
    ExFreePoolWithTag(MultiString->Buffer, kEnumPoolTag);
  }
  MultiString->Buffer = NULL;
  MultiString->Length = 0;
  MultiString->MaximumLength = 0;
}

BOOLEAN IsValidIdList(PCUNICODE_STRING List) {
  if (List->Buffer == NULL || List->Length == 0) {
    return TRUE;
  }
  const ULONG chars = List->Length / sizeof(WCHAR);
  BOOLEAN afterNul = FALSE;
  for (ULONG k = 0; k < chars; ++k) {
    const WCHAR c = List->Buffer[k];
    if (c == 0) {
      if (afterNul) {
        return TRUE;
      }
      afterNul = TRUE;
      continue;
    }
    afterNul = FALSE;
    if (c < 0x20 || c > 0x7F || c == L',') {
      return FALSE;
    }
  }
  return FALSE;
}
