// Kernel printf formats on UTF-16 and on narrow text.
//
// Conversions: d i u o x X c C s S Z p %, with the flags - + space # 0,
// width and precision (digits or *), and the sizes h hh l ll w I I32 I64 z j t.
// As in Windows' C runtime, l is 32 bits and I is pointer-sized; in the wide
// functions %s/%c take wide arguments and %S/%C narrow ones (the narrow
// functions the other way round); h forces narrow, l and w force wide.
// %Z takes an ANSI_STRING, %wZ (or %lZ) a UNICODE_STRING. Null strings print
// as "(null)". %p prints 16 upper-case hexadecimal digits.
#include "sim/kernel/rtl/kernel_format.h"

#include <cstdint>
#include <type_traits>

#include "nt/basetypes.h"

namespace sim::rtl {
namespace {

// Collects output, counting everything that would have been written.
template <typename Out>
class Sink {
 public:
  Sink(Out* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  void Put(uint32_t ch) {
    if (buffer_ != nullptr && length_ < capacity_) buffer_[length_] = Narrowed(ch);
    ++length_;
  }
  void Repeat(uint32_t ch, long count) {
    for (long i = 0; i < count; ++i) Put(ch);
  }
  size_t Length() const { return length_; }

  int Finish() {
    if (length_ < capacity_) {
      if (buffer_ != nullptr) buffer_[length_] = 0;
      return static_cast<int>(length_);
    }
    return length_ == capacity_ ? static_cast<int>(length_) : -1;
  }

 private:
  static Out Narrowed(uint32_t ch) {
    if constexpr (sizeof(Out) == 1) {
      return static_cast<Out>(ch <= 0xFF ? ch : '?');
    } else {
      return static_cast<Out>(ch);
    }
  }

  Out* buffer_;
  size_t capacity_;
  size_t length_ = 0;
};

enum class Size { Default, Char, Short, Long32, Long64, Wide };

struct FormatField {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool zero = false;
  long width = 0;
  long precision = -1;
  Size size = Size::Default;
  bool explicitNarrow = false;
  bool explicitWide = false;
};

// A text argument: narrow bytes or UTF-16 units, with a known length.
struct Text {
  const unsigned char* narrow = nullptr;
  const char16_t* wide = nullptr;
  size_t length = 0;

  uint32_t At(size_t i) const { return narrow != nullptr ? narrow[i] : wide[i]; }
};

Text NullText() {
  static const unsigned char kNull[] = "(null)";
  return Text{kNull, nullptr, 6};
}

template <typename Out>
void EmitPadded(Sink<Out>& sink, const FormatField& field, const Text& text) {
  size_t length = text.length;
  if (field.precision >= 0 && static_cast<size_t>(field.precision) < length) length = static_cast<size_t>(field.precision);
  long pad = field.width - static_cast<long>(length);
  if (!field.left) sink.Repeat(' ', pad);
  for (size_t i = 0; i < length; ++i) sink.Put(text.At(i));
  if (field.left) sink.Repeat(' ', pad);
}

template <typename Out>
void EmitInteger(Sink<Out>& sink, const FormatField& field, uint64_t magnitude, bool negative, bool isSigned,
                 unsigned base, bool upper, bool pointer) {
  char digits[80];
  int digitCount = 0;
  const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (uint64_t v = magnitude; v != 0; v /= base) digits[digitCount++] = alphabet[v % base];

  long precision = field.precision;
  if (pointer) precision = 16;
  long zeros = 0;
  if (precision < 0) {
    if (digitCount == 0) zeros = 1;  // the value 0 prints one digit
  } else if (precision > digitCount) {
    zeros = precision - digitCount;
  }

  char prefix[3] = {};
  int prefixLength = 0;
  if (isSigned) {
    if (negative) prefix[prefixLength++] = '-';
    else if (field.plus) prefix[prefixLength++] = '+';
    else if (field.space) prefix[prefixLength++] = ' ';
  }
  if (field.alternate && !pointer) {
    if (base == 16 && magnitude != 0) {
      prefix[prefixLength++] = '0';
      prefix[prefixLength++] = upper ? 'X' : 'x';
    } else if (base == 8 && zeros == 0 && (digitCount == 0 || digits[digitCount - 1] != '0')) {
      zeros = 1;
    }
  }

  long body = prefixLength + zeros + digitCount;
  long pad = field.width > body ? field.width - body : 0;
  bool zeroPad = field.zero && !field.left && field.precision < 0;
  if (!field.left && !zeroPad) sink.Repeat(' ', pad);
  for (int i = 0; i < prefixLength; ++i) sink.Put(static_cast<unsigned char>(prefix[i]));
  if (zeroPad) sink.Repeat('0', pad);
  sink.Repeat('0', zeros);
  for (int i = digitCount - 1; i >= 0; --i) sink.Put(static_cast<unsigned char>(digits[i]));
  if (field.left) sink.Repeat(' ', pad);
}

// A character of the format as an unsigned code unit.
template <typename In>
uint32_t Unit(In c) {
  return static_cast<typename std::make_unsigned<In>::type>(c);
}

template <typename In>
size_t BoundedLength(const In* s, long precision) {
  size_t n = 0;
  while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n] != 0) ++n;
  return n;
}

template <typename In, typename Out>
int Format(Out* buffer, size_t count, const In* format, __builtin_ms_va_list args) {
  constexpr bool kWideFunction = sizeof(In) == 2;
  Sink<Out> sink(buffer, count);
  // A Windows va_list is a plain pointer into the caller's argument area, so
  // a copy is an assignment. (GCC's __builtin_ms_va_copy is only right
  // inside ms_abi functions.)
  __builtin_ms_va_list ap = args;

  const In* p = format;
  while (*p != 0) {
    if (*p != '%') {
      sink.Put(Unit(*p));
      ++p;
      continue;
    }
    const In* start = p++;
    FormatField field;
    for (;; ++p) {
      if (*p == '-') field.left = true;
      else if (*p == '+') field.plus = true;
      else if (*p == ' ') field.space = true;
      else if (*p == '#') field.alternate = true;
      else if (*p == '0') field.zero = true;
      else break;
    }
    if (*p == '*') {
      int w = va_arg(ap, int);
      if (w < 0) {
        field.left = true;
        field.width = -static_cast<long>(w);
      } else {
        field.width = w;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') field.width = field.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      field.precision = 0;
      if (*p == '*') {
        int prec = va_arg(ap, int);
        field.precision = prec < 0 ? -1 : prec;
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') field.precision = field.precision * 10 + (*p++ - '0');
      }
    }
    // Size.
    if (*p == 'h') {
      ++p;
      field.explicitNarrow = true;
      field.size = Size::Short;
      if (*p == 'h') {
        ++p;
        field.size = Size::Char;
      }
    } else if (*p == 'l') {
      ++p;
      field.explicitWide = true;
      field.size = Size::Long32;
      if (*p == 'l') {
        ++p;
        field.explicitWide = false;
        field.size = Size::Long64;
      }
    } else if (*p == 'w') {
      ++p;
      field.explicitWide = true;
      field.size = Size::Wide;
    } else if (*p == 'I') {
      ++p;
      if (p[0] == '6' && p[1] == '4') {
        p += 2;
        field.size = Size::Long64;
      } else if (p[0] == '3' && p[1] == '2') {
        p += 2;
        field.size = Size::Long32;
      } else {
        field.size = Size::Long64;  // pointer-sized on x64
      }
    } else if (*p == 'z' || *p == 'j' || *p == 't') {
      ++p;
      field.size = Size::Long64;
    } else if (*p == 'L') {
      ++p;
    }

    In conversion = *p;
    if (conversion == 0) {
      // A lone '%' at the end: print what was there.
      for (const In* q = start; q < p; ++q) sink.Put(Unit(*q));
      break;
    }
    ++p;
    switch (conversion) {
      case 'd':
      case 'i': {
        int64_t v;
        if (field.size == Size::Long64) v = va_arg(ap, long long);
        else if (field.size == Size::Short) v = static_cast<short>(va_arg(ap, int));
        else if (field.size == Size::Char) v = static_cast<signed char>(va_arg(ap, int));
        else v = va_arg(ap, int);
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        EmitInteger(sink, field, magnitude, v < 0, true, 10, false, false);
        break;
      }
      case 'u':
      case 'o':
      case 'x':
      case 'X': {
        uint64_t v;
        if (field.size == Size::Long64) v = va_arg(ap, unsigned long long);
        else if (field.size == Size::Short) v = static_cast<unsigned short>(va_arg(ap, unsigned));
        else if (field.size == Size::Char) v = static_cast<unsigned char>(va_arg(ap, unsigned));
        else v = va_arg(ap, unsigned);
        unsigned base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
        EmitInteger(sink, field, v, false, false, base, conversion == 'X', false);
        break;
      }
      case 'p': {
        auto v = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
        EmitInteger(sink, field, v, false, false, 16, true, true);
        break;
      }
      case 'c':
      case 'C': {
        bool wideArg = field.explicitWide || (!field.explicitNarrow && ((conversion == 'c') == kWideFunction));
        int raw = va_arg(ap, int);
        uint32_t ch = wideArg ? static_cast<uint16_t>(raw) : static_cast<unsigned char>(raw);
        unsigned char narrow[1] = {static_cast<unsigned char>(ch)};
        char16_t wide[1] = {static_cast<char16_t>(ch)};
        Text text = wideArg ? Text{nullptr, wide, 1} : Text{narrow, nullptr, 1};
        FormatField charSpec = field;
        charSpec.precision = -1;
        EmitPadded(sink, charSpec, text);
        break;
      }
      case 's':
      case 'S': {
        bool wideArg = field.explicitWide || (!field.explicitNarrow && ((conversion == 's') == kWideFunction));
        Text text;
        if (wideArg) {
          const auto* s = va_arg(ap, const char16_t*);
          text = s == nullptr ? NullText() : Text{nullptr, s, BoundedLength(s, field.precision)};
        } else {
          const auto* s = va_arg(ap, const unsigned char*);
          text = s == nullptr ? NullText() : Text{s, nullptr, BoundedLength(s, field.precision)};
        }
        EmitPadded(sink, field, text);
        break;
      }
      case 'Z': {
        Text text = NullText();
        if (field.explicitWide) {
          const auto* s = va_arg(ap, const UNICODE_STRING*);
          if (s != nullptr && s->Buffer != nullptr)
            text = Text{nullptr, reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR)};
        } else {
          const auto* s = va_arg(ap, const ANSI_STRING*);
          if (s != nullptr && s->Buffer != nullptr)
            text = Text{reinterpret_cast<const unsigned char*>(s->Buffer), nullptr, s->Length};
        }
        EmitPadded(sink, field, text);
        break;
      }
      case '%':
        sink.Put('%');
        break;
      default:
        // Unsupported conversions (floating point, %n) print as written.
        for (const In* q = start; q < p; ++q) sink.Put(Unit(*q));
        break;
    }
  }
  return sink.Finish();
}

}  // namespace

int FormatWide(char16_t* buffer, size_t count, const char16_t* format, __builtin_ms_va_list args) {
  return Format<char16_t, char16_t>(buffer, count, format, args);
}

int FormatNarrow(char* buffer, size_t count, const char* format, __builtin_ms_va_list args) {
  return Format<char, char>(buffer, count, format, args);
}

}  // namespace sim::rtl
