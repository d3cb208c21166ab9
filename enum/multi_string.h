// Multi-strings (REG_MULTI_SZ form) for the identities zarkenum reports:
// entries separated by NUL, the list ended by an extra NUL.
#pragma once

#include <ntddk.h>

// Builds a multi-string from a list of 8-bit strings ending with a NULL
// entry. Each piece is converted with the kernel's ANSI conversion; every ','
// and form feed (0x0C) in the converted text becomes an entry separator.
// Length and MaximumLength count every character, separator and the final
// NUL. No pieces give an empty string (null buffer). The buffer comes from
// paged pool (tag "Senm"); the caller frees it with FreeMultiString.
// Returns STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, or
// STATUS_INVALID_PARAMETER when the result would not fit a UNICODE_STRING.
NTSTATUS BuildMultiString(PUNICODE_STRING MultiString, const PCSTR* Pieces);

// Frees the buffer of a string made by BuildMultiString, with the tag it was
// allocated with, and leaves the string empty. Empty strings are left alone.
VOID FreeMultiString(PUNICODE_STRING MultiString);

// TRUE when every entry of the list holds only characters 0x20..0x7F other
// than ','. A null or zero-length list is valid; a list that does not end
// with two NULs within its Length is not.
BOOLEAN IsValidIdList(PCUNICODE_STRING List);
