// Formats by column position for loading: a field at a position with a format
// is handed on as its canonical text. Both row classes convert through here,
// so a value given to Python and the bytes of a bulk load are the same text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats.h"

class FieldFormats {
 public:
  // A field that does not fit its column's format: the start offset of its
  // row in the decoded input, the column's position and the field's text, cut
  // to at most SHOWN_BYTES without splitting a UTF-8 character.
  struct Misfit {
    int64_t offset = 0;
    size_t column = 0;
    std::string text;
  };
  static constexpr size_t SHOWN_BYTES = 200;

  // Formats by header position (checked alternatives); positions past the end have
  // none. Trailing positions without one are dropped, so at() stays one test
  // for them.
  void set(std::vector<std::optional<formats::Format>> byPosition) {
    while (!byPosition.empty() && !byPosition.back()) byPosition.pop_back();
    alternatives = std::move(byPosition);
  }

  // Whether the field at position c is converted; without formats the first
  // test always fails, the only cost a field pays.
  bool at(size_t c) const { return c < alternatives.size() && alternatives[c].has_value(); }

  // The canonical text of `text` at a position at() accepts, valid until the
  // next call; nullptr when the text does not fit, its misfit then kept for
  // endRow(). Missing values are the caller's to pass over.
  const std::string* convert(size_t c, std::string_view text) {
    if (formats::convert(*alternatives[c], text, canonical)) return &canonical;
    if (!pending) pending = Misfit{0, c, shown(text)};
    return nullptr;
  }

  // Whether the row being read holds a misfit.
  bool rowFaulty() const { return pending.has_value(); }

  // Ends a row starting at `offset`: false when it holds a misfit, which
  // becomes misfit().
  bool endRow(int64_t offset) {
    if (!pending) return true;
    pending->offset = offset;
    found = std::move(pending);
    pending.reset();
    return false;
  }

  // The first misfit found; none until a row held one.
  const std::optional<Misfit>& misfit() const { return found; }

 private:
  static constexpr unsigned char UTF8_CONTINUATION_MASK = 0xC0;
  static constexpr unsigned char UTF8_CONTINUATION = 0x80;
  static constexpr size_t UTF8_MAX_CONTINUATIONS = 3;

  static std::string shown(std::string_view text) {
    if (text.size() <= SHOWN_BYTES) return std::string(text);
    // Text that is not UTF-8 is cut where it is: only a character's own
    // continuation bytes are given back.
    size_t cut = SHOWN_BYTES;
    while (cut > SHOWN_BYTES - UTF8_MAX_CONTINUATIONS &&
           (static_cast<unsigned char>(text[cut]) & UTF8_CONTINUATION_MASK) == UTF8_CONTINUATION)
      --cut;
    return std::string(text.substr(0, cut));
  }

  std::vector<std::optional<formats::Format>> alternatives;
  std::string canonical;
  std::optional<Misfit> pending;
  std::optional<Misfit> found;
};
