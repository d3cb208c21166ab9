#include "sim/kernel/registry/registry_text.h"

#include <cctype>
#include <cstdio>

#include "nt/zw.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/utf16_text.h"

namespace sim {

RegistryTextError::RegistryTextError(int line, const std::string& message)
    : std::runtime_error("line " + std::to_string(line) + ": " + message), line_(line) {}

namespace {

constexpr size_t kHexBytesPerLine = 32;

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// ---- writing

std::string Quote(std::u16string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == u'\\') {
      out += "\\\\";
    } else if (c == u'"') {
      out += "\\\"";
    } else if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
      out += Utf16ToUtf8(text.substr(i, 2));
      ++i;
    } else if (c < 0x20 || c == 0x7F || IsSurrogate(c)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", unsigned(c));
      out += buf;
    } else {
      out += Utf16ToUtf8(text.substr(i, 1));
    }
  }
  return out + "\"";
}

std::u16string DecodeUtf16(const std::vector<uint8_t>& data) {
  std::u16string text;
  for (size_t i = 0; i + 1 < data.size(); i += 2)
    text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  return text;
}

// A string value is written as text only when its bytes are exactly the
// canonical encoding of that text, so that loading gives the same bytes.
bool AsString(const std::vector<uint8_t>& data, std::u16string& text) {
  std::u16string all = DecodeUtf16(data);
  text = all.substr(0, all.find(u'\0'));
  return Registry::EncodeString(text) == data;
}

bool AsMultiString(const std::vector<uint8_t>& data, std::vector<std::u16string>& strings) {
  std::u16string all = DecodeUtf16(data);
  strings.clear();
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(u'\0', start);
    if (end == std::u16string::npos || end == start) break;
    strings.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return Registry::EncodeMultiString(strings) == data;
}

std::string Hex(const std::vector<uint8_t>& data) {
  std::string out;
  for (size_t i = 0; i < data.size(); ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", data[i]);
    out += buf;
    if (i + 1 < data.size()) out += (i + 1) % kHexBytesPerLine == 0 ? ",\\\n  " : ",";
  }
  return out;
}

uint64_t LittleEndian(const std::vector<uint8_t>& data) {
  uint64_t v = 0;
  for (size_t i = 0; i < data.size(); ++i) v |= uint64_t(data[i]) << (8 * i);
  return v;
}

std::string FormatValue(const RegistryValue& value) {
  std::string out = Quote(value.name) + "=";
  std::u16string text;
  std::vector<std::u16string> strings;
  char buf[32];
  if (value.type == REG_DWORD && value.data.size() == 4) {
    std::snprintf(buf, sizeof buf, "dword:%08llx", (unsigned long long)LittleEndian(value.data));
    out += buf;
  } else if (value.type == REG_QWORD && value.data.size() == 8) {
    std::snprintf(buf, sizeof buf, "qword:%016llx", (unsigned long long)LittleEndian(value.data));
    out += buf;
  } else if (value.type == REG_SZ && AsString(value.data, text)) {
    out += "sz:" + Quote(text);
  } else if (value.type == REG_EXPAND_SZ && AsString(value.data, text)) {
    out += "expand_sz:" + Quote(text);
  } else if (value.type == REG_MULTI_SZ && AsMultiString(value.data, strings)) {
    out += "multi_sz:";
    for (size_t i = 0; i < strings.size(); ++i) out += (i ? "," : "") + Quote(strings[i]);
  } else if (value.type == REG_BINARY) {
    out += "hex:" + Hex(value.data);
  } else {
    std::snprintf(buf, sizeof buf, "hex(%x):", unsigned(value.type));
    out += buf + Hex(value.data);
  }
  return out + "\n";
}

void DumpKey(const RegistryKey& key, bool is_root, std::string& out) {
  if (!is_root || !key.values().empty()) {
    for (char16_t c : key.name())
      if (c < 0x20 || IsSurrogate(c))
        throw std::runtime_error("registry key name cannot be written as text: " +
                                 Utf16ToUtf8(key.Path()));
    if (!out.empty()) out += "\n";
    out += "[" + Utf16ToUtf8(key.Path()) + "]" + (key.is_volatile() ? " volatile" : "") + "\n";
    for (const auto& value : key.values()) out += FormatValue(value);
  }
  for (const auto& sub : key.subkeys()) DumpKey(*sub, false, out);
}

// ---- reading

class LineParser {
 public:
  LineParser(std::string_view text, int line) : text_(text), line_(line) {}

  [[noreturn]] void Fail(const std::string& message) const {
    throw RegistryTextError(line_, message);
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  bool Accept(std::string_view token) {
    if (text_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }
  void Expect(std::string_view token, const char* what) {
    if (!Accept(token)) Fail(std::string("expected ") + what);
  }
  void SkipSpaces() {
    while (!AtEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  std::string_view Rest() const { return text_.substr(pos_); }

  std::u16string Quoted() {
    Expect("\"", "'\"'");
    std::u16string out;
    std::string run;  // raw UTF-8 between escapes
    auto flush = [&] {
      try {
        out += Utf8ToUtf16(run);
      } catch (const std::invalid_argument& e) {
        Fail(e.what());
      }
      run.clear();
    };
    while (true) {
      if (AtEnd()) Fail("unterminated string");
      char c = text_[pos_++];
      if (c == '"') break;
      if (c != '\\') {
        run += c;
        continue;
      }
      flush();
      if (AtEnd()) Fail("unterminated string");
      char e = text_[pos_++];
      if (e == '\\' || e == '"') {
        out += static_cast<char16_t>(e);
      } else if (e == 'u') {
        out += static_cast<char16_t>(HexNumber(4, 4, "four hex digits after \\u"));
      } else {
        Fail(std::string("unknown escape \\") + e);
      }
    }
    flush();
    return out;
  }

  uint64_t HexNumber(size_t min_digits, size_t max_digits, const char* what) {
    uint64_t v = 0;
    size_t n = 0;
    while (!AtEnd() && n < max_digits && std::isxdigit(static_cast<unsigned char>(Peek()))) {
      char c = text_[pos_++];
      v = v * 16 + (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10);
      ++n;
    }
    if (n < min_digits) Fail(std::string("expected ") + what);
    return v;
  }

  std::vector<uint8_t> HexBytes() {
    std::vector<uint8_t> data;
    SkipSpaces();
    if (AtEnd()) return data;
    while (true) {
      SkipSpaces();
      if (!(std::isxdigit(static_cast<unsigned char>(Peek())) && pos_ + 1 < text_.size() &&
            std::isxdigit(static_cast<unsigned char>(text_[pos_ + 1]))))
        Fail("expected a byte of two hex digits");
      data.push_back(static_cast<uint8_t>(HexNumber(2, 2, "a byte")));
      SkipSpaces();
      if (AtEnd()) return data;
      Expect(",", "',' between bytes");
    }
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  int line_;
};

std::vector<uint8_t> Number(uint64_t v, size_t bytes) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(v >> (8 * i));
  return data;
}

RegistryValue ParseValue(LineParser& p) {
  RegistryValue value;
  value.name = p.Quoted();
  p.Expect("=", "'=' after the value name");
  if (p.Accept("dword:")) {
    value.type = REG_DWORD;
    value.data = Number(p.HexNumber(1, 8, "up to eight hex digits"), 4);
  } else if (p.Accept("qword:")) {
    value.type = REG_QWORD;
    value.data = Number(p.HexNumber(1, 16, "up to sixteen hex digits"), 8);
  } else if (p.Accept("sz:")) {
    value.type = REG_SZ;
    value.data = Registry::EncodeString(p.Quoted());
  } else if (p.Accept("expand_sz:")) {
    value.type = REG_EXPAND_SZ;
    value.data = Registry::EncodeString(p.Quoted());
  } else if (p.Accept("multi_sz:")) {
    value.type = REG_MULTI_SZ;
    std::vector<std::u16string> strings;
    p.SkipSpaces();
    while (!p.AtEnd()) {
      strings.push_back(p.Quoted());
      if (strings.back().empty()) p.Fail("an empty string cannot be part of a multi_sz list");
      p.SkipSpaces();
      if (p.AtEnd()) break;
      p.Expect(",", "',' between strings");
      p.SkipSpaces();
    }
    value.data = Registry::EncodeMultiString(strings);
  } else if (p.Accept("hex:")) {
    value.type = REG_BINARY;
    value.data = p.HexBytes();
  } else if (p.Accept("hex(")) {
    value.type = static_cast<ULONG>(p.HexNumber(1, 8, "a type number in hex"));
    p.Expect("):", "'):' after the type number");
    value.data = p.HexBytes();
  } else {
    p.Fail("unknown value type (expected dword:, qword:, sz:, expand_sz:, multi_sz:, hex: or "
           "hex(N):)");
  }
  p.SkipSpaces();
  if (!p.AtEnd()) p.Fail("unexpected text after the value: " + std::string(p.Rest()));
  return value;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

}  // namespace

std::string DumpRegistry(const Registry& registry) {
  std::string out;
  DumpKey(*registry.root(), true, out);
  return out;
}

void LoadRegistryText(Registry& registry, std::string_view text) {
  std::shared_ptr<RegistryKey> key;
  int line_number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    // One logical line: a trailing backslash continues it on the next line.
    int first_line = ++line_number;
    std::string line;
    for (bool first = true;; first = false) {
      size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view piece = TrimRight(text.substr(pos, end - pos));
      pos = end + 1;
      if (!first) piece = TrimLeft(piece);
      std::string_view head = TrimLeft(piece);
      bool comment = first && !head.empty() && (head.front() == ';' || head.front() == '#');
      if (!comment && !piece.empty() && piece.back() == '\\') {
        if (pos >= text.size()) throw RegistryTextError(first_line, "continuation at end of text");
        line += piece.substr(0, piece.size() - 1);
        ++line_number;
        continue;
      }
      line += piece;
      break;
    }
    std::string_view content = TrimLeft(line);
    if (content.empty() || content.front() == ';' || content.front() == '#') continue;

    if (content.front() == '[') {
      bool is_volatile = false;
      std::string_view path;
      if (content.back() == ']') {
        path = content.substr(1, content.size() - 2);
      } else if (content.size() > 10 && content.substr(content.size() - 10) == "] volatile") {
        path = content.substr(1, content.size() - 11);
        is_volatile = true;
      } else {
        throw RegistryTextError(first_line, "a key line must end with ']' or '] volatile'");
      }
      std::vector<std::u16string> parts;
      try {
        parts = Registry::ParsePath(path);
      } catch (const RegistryError& e) {
        throw RegistryTextError(first_line, e.what());
      }
      // What the dump cannot write, the text cannot hold either.
      for (const auto& part : parts)
        for (char16_t c : part)
          if (c < 0x20 || IsSurrogate(c))
            throw RegistryTextError(first_line, "a key name cannot hold control characters");
      key = registry.root();
      for (const auto& part : parts) {
        auto next = key->FindSubkey(part);
        if (!next) {
          bool last = &part == &parts.back();
          if (key->is_volatile() && !(last && is_volatile))
            throw RegistryTextError(first_line, "a key under a volatile key must be volatile");
          next = registry.AddSubkey(*key, part, last ? is_volatile : key->is_volatile());
        }
        key = next;
      }
      if (key->is_volatile() != is_volatile && key != registry.root())
        throw RegistryTextError(first_line, "key exists with the other volatility: " +
                                                std::string(path));
      continue;
    }
    if (content.front() != '"')
      throw RegistryTextError(first_line,
                              "expected a key line ([\\Registry\\...]) or a value line (\"Name\"=...)");
    if (!key) throw RegistryTextError(first_line, "a value line before the first key line");
    LineParser parser(content, first_line);
    RegistryValue value = ParseValue(parser);
    registry.Set(*key, value.name, value.type, std::move(value.data));
  }
}

}  // namespace sim
