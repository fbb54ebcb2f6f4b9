// Checks of a field's text that a database load depends on: whether a
// number survives the column type it would be loaded as, and whether the
// text is UTF-8.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>

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

// Whether text is well-formed UTF-8. Inline: a pass with extras asks it of
// every field.
inline bool validUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    int more;
    unsigned min;
    if ((*p & 0xE0) == 0xC0) {
      more = 1, min = 0x80;
    } else if ((*p & 0xF0) == 0xE0) {
      more = 2, min = 0x800;
    } else if ((*p & 0xF8) == 0xF0) {
      more = 3, min = 0x10000;
    } else {
      return false;
    }
    if (end - p <= more) return false;
    unsigned code = *p & (0x3F >> more);
    for (int k = 1; k <= more; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[k] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
    p += more + 1;
  }
  return true;
}
