// The one UTF-8 check, used by the sniffer on the input's head and by the
// pass on every field when extras are on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace utf8 {

// Bytes after `lead` in its character; 0 for a byte no character starts with.
inline size_t trailOf(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 1;
  if (lead >= 0xE0 && lead <= 0xEF) return 2;
  if (lead >= 0xF0 && lead <= 0xF4) return 3;
  return 0;
}

// The second byte's range after a lead byte, by the lead: it rules out
// overlong forms, surrogates and code points past U+10FFFF.
inline bool secondFits(unsigned char lead, unsigned char second) {
  if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF;
  if (lead == 0xED) return second >= 0x80 && second <= 0x9F;
  if (lead == 0xF0) return second >= 0x90 && second <= 0xBF;
  if (lead == 0xF4) return second >= 0x80 && second <= 0x8F;
  return second >= 0x80 && second <= 0xBF;
}

}  // namespace utf8

// The offset of the first byte of `text` that is not UTF-8; a valid start of
// a character at the end counts only when `final`. npos: none. Inline: a
// pass with extras asks it of every field.
inline size_t firstNotUtf8(std::string_view text, bool final) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t at = 0;
  while (at < text.size()) {
    if (bytes[at] < 0x80) {
      ++at;
      continue;
    }
    const size_t trail = utf8::trailOf(bytes[at]);
    if (trail == 0) return at;
    for (size_t k = 1; k <= trail; ++k) {
      if (at + k == text.size()) return final ? at : std::string::npos;
      const bool fits = k == 1 ? utf8::secondFits(bytes[at], bytes[at + 1])
                               : bytes[at + k] >= 0x80 && bytes[at + k] <= 0xBF;
      if (!fits) return at;
    }
    at += trail + 1;
  }
  return std::string::npos;
}

// Whether the whole text is well-formed UTF-8.
inline bool validUtf8(std::string_view text) {
  return firstNotUtf8(text, true) == std::string::npos;
}
