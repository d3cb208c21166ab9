// Case mapping covers the alphabets a device or registry name can carry here:
// ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic.
#include "sim/kernel/rtl/character_tables.h"

namespace sim::rtl {
namespace {

// Bytes 0x80..0x9F of Windows-1252; unassigned bytes keep their C1 code.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

char16_t UpcaseChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return c - 0x20;
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137)) && (c & 1)) return c - 1;
  if (c >= 0x139 && c <= 0x148 && !(c & 1)) return c - 1;
  if (c >= 0x14A && c <= 0x177 && (c & 1)) return c - 1;
  if ((c == 0x17A || c == 0x17C || c == 0x17E)) return c - 1;
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

char16_t DowncaseChar(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c + 0x20;
  if (c < 0x80) return c;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
  if (c == 0x178) return 0xFF;
  if (((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137)) && !(c & 1)) return c + 1;
  if (c >= 0x139 && c <= 0x148 && (c & 1)) return c + 1;
  if (c >= 0x14A && c <= 0x177 && !(c & 1)) return c + 1;
  if ((c == 0x179 || c == 0x17B || c == 0x17D)) return c + 1;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

char16_t AnsiToUnicodeChar(unsigned char c) {
  return c >= 0x80 && c <= 0x9F ? kCp1252High[c - 0x80] : static_cast<char16_t>(c);
}

unsigned char UnicodeToAnsiChar(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
  for (unsigned i = 0; i < 32; ++i) {
    if (kCp1252High[i] == c) return static_cast<unsigned char>(0x80 + i);
  }
  return '?';
}

}  // namespace sim::rtl
