// Character mappings shared by the string routines: upper/lower case of
// UTF-16 code units, and the system's ANSI code page (Windows-1252).
#pragma once
#include <cstdint>

namespace sim::rtl {

char16_t UpcaseChar(char16_t c);
char16_t DowncaseChar(char16_t c);

// Windows-1252 byte to UTF-16, and back ('?' for what the page lacks).
char16_t AnsiToUnicodeChar(unsigned char c);
unsigned char UnicodeToAnsiChar(char16_t c);

}  // namespace sim::rtl
