// UTF-16 text helpers shared by the registry and the file system: conversion
// to and from UTF-8, the case-insensitive comparison the object manager uses
// for names, and counted-string access.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nt/basetypes.h"

namespace sim {

// Unpaired surrogates survive the trip to UTF-8 as their three-byte forms, so
// that any UTF-16 string converts and converts back unchanged.
std::string Utf16ToUtf8(std::u16string_view text);
// Throws std::invalid_argument for malformed UTF-8.
std::u16string Utf8ToUtf16(std::string_view text);

// Comparison by the kernel's upcase mapping (sim::rtl::UpcaseChar).
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
// Orders names the way the registry sorts subkeys: by their upper case.
int CompareIgnoreCase(std::u16string_view a, std::u16string_view b);

// The entries of a multi-string (strings each ending in NUL, the list ending
// in an empty one), reading at most max_chars characters.
std::vector<std::string> MultiStringEntries(const WCHAR* list, size_t max_chars);
inline std::vector<std::string> MultiStringEntries(const UNICODE_STRING& list) {
  return MultiStringEntries(list.Buffer, list.Length / sizeof(WCHAR));
}

// The characters of a counted string (empty for a null pointer).
std::u16string_view View(const UNICODE_STRING* text);

// Splits a path at backslashes, dropping empty components (repeated or
// trailing separators).
std::vector<std::u16string_view> SplitPath(std::u16string_view path);

}  // namespace sim
