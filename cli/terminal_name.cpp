// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal_name.h"

#include <locale.h>
#include <wctype.h>

#include <cstdint>

namespace {

// One character of the name: `length` bytes from its start, and whether it may be written as
// it stands (valid UTF-8 and printable).
struct Unit {
  size_t length;
  bool printable;
};

// Printable as GNU's tools judge it in a UTF-8 locale; where no such locale can be had, every
// character but the C0 and C1 controls and DEL.
bool Printable(char32_t c) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (utf8 != locale_t{}) return iswprint_l(static_cast<wint_t>(c), utf8) != 0;
  return c >= 0x20 && c != 0x7F && (c < 0x80 || c > 0x9F);
}

// The character at `at`: a valid UTF-8 sequence (no overlong form, no surrogate, nothing past
// U+10FFFF), or else one byte that cannot be printed.
Unit Next(const std::string& name, size_t at) {
  const auto lead = static_cast<uint8_t>(name[at]);
  if (lead < 0x80) return {1, Printable(lead)};
  const size_t length = lead >= 0xF8   ? 0
                        : lead >= 0xF0 ? 4
                        : lead >= 0xE0 ? 3
                        : lead >= 0xC0 ? 2
                                       : 0;
  if (length == 0 || at + length > name.size()) return {1, false};
  char32_t c = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<uint8_t>(name[at + i]);
    if ((next & 0xC0) != 0x80) return {1, false};
    c = c << 6 | (next & 0x3F);
  }
  constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kShortest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {1, false};
  return {length, Printable(c)};
}

// A byte inside $'...': a C escape where there is one, else three octal digits.
void AppendEscaped(std::string& out, uint8_t byte) {
  constexpr char kLetters[] = "abtnvfr";  // \a (7) to \r (13)
  out += '\\';
  if (byte >= 7 && byte <= 13) {
    out += kLetters[byte - 7];
    return;
  }
  out += static_cast<char>('0' + (byte >> 6));
  out += static_cast<char>('0' + (byte >> 3 & 7));
  out += static_cast<char>('0' + (byte & 7));
}

}  // namespace

std::string TerminalName(const std::string& name) {
  bool plain = true;
  for (size_t at = 0; at < name.size() && plain;) {
    const Unit unit = Next(name, at);
    plain = unit.printable;
    at += unit.length;
  }
  if (plain) return name;

  // As GNU's quotearg does it: the name in single quotes; each run of what cannot be printed
  // in $'...' (which the next printable character closes with ''), and a quote as '\''.
  std::string out = "'";
  bool inEscapes = false;
  for (size_t at = 0; at < name.size();) {
    const Unit unit = Next(name, at);
    if (!unit.printable) {
      if (!inEscapes) out += "'$'";
      inEscapes = true;
      for (size_t i = 0; i < unit.length; ++i) {
        AppendEscaped(out, static_cast<uint8_t>(name[at + i]));
      }
    } else if (name[at] == '\'') {
      out += "'\\''";
      inEscapes = false;
    } else {
      if (inEscapes) out += "''";
      inEscapes = false;
      out.append(name, at, unit.length);
    }
    at += unit.length;
  }
  return out + "'";
}
