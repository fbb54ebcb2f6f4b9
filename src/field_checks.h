// Checks of a field's text that a database load depends on: whether a
// number survives the column type it would be loaded as, and whether the
// text is UTF-8.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>

#include "utf8.h"

// Whether a decimal text is exactly a double: the nearest double, printed
// with the text's own number of significant digits, gives back its value.
bool fitsDouble(std::string_view text);

// Whether an integer text (sign and leading zeros allowed) fits int64.
// Inline, as validUtf8: a pass with extras asks it of every integer field.
inline bool fitsInt64(std::string_view text) {
  size_t skip = 0;
  if (!text.empty() && text[0] == '+') skip = 1;
  if (skip == text.size() ||
      !((text[skip] >= '0' && text[skip] <= '9') || (skip == 0 && text[0] == '-')))
    return false;
  int64_t value = 0;
  const auto parsed = std::from_chars(text.data() + skip, text.data() + text.size(), value);
  return parsed.ec == std::errc() && parsed.ptr == text.data() + text.size();
}

// A number's digits as written, for the exact type that holds it: before the
// point without leading zeros, and after it up to an exponent. Signs, group
// separators and other marks are skipped; an 'e' before any digit is taken
// for such a mark. Inline: a pass with extras counts every numeric field.
struct NumberDigits {
  uint64_t integer = 0;
  uint64_t fraction = 0;
};

inline NumberDigits numberDigits(std::string_view text) {
  NumberDigits out;
  bool point = false, significant = false, seen = false;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      seen = true;
      if (point) {
        ++out.fraction;
        continue;
      }
      significant = significant || c != '0';
      if (significant) ++out.integer;
    } else if (c == '.') {
      point = true;
    } else if ((c == 'e' || c == 'E') && seen) {
      break;
    }
  }
  return out;
}
