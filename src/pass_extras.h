// What a pass gathers beyond the counts, by type id.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "field_checks.h"
#include "format_verdicts.h"
#include "pass_tallies.h"

// Extras gathered during a pass, by type id. Merged across ranges: counts
// add up, longest fields and numbers' digits take the maximum, the numeric
// checks AND, and
// examples keep each type's first distinct texts in range order.
struct PassExtras : PassTallies {
  // Per type id: the checks its fields go through (see Inf::setNumericChecks).
  static constexpr uint8_t IS_NA = 1, CHECK_DOUBLE = 2, CHECK_INT64 = 4;

  int examplesPerType = -1;
  // [w] for w <= header width: data rows of exactly w fields; last: longer rows.
  std::vector<uint64_t> rowWidths;
  std::vector<uint64_t> maxLengths;
  std::vector<std::vector<std::vector<std::string>>> examples;  // [position][type id]
  // Per position: missing-value spellings and their counts, in order seen.
  std::vector<std::vector<std::pair<std::string, uint64_t>>> naSpellings;
  std::vector<uint64_t> invalidUtf8;
  std::vector<uint8_t> fitsDouble, fitsInt64;
  // Per position: the most integer and fraction digits of a checked field.
  std::vector<uint64_t> intDigits, fracDigits;
  // Header positions whose cell was empty; set where the header is read.
  std::vector<uint64_t> untitledCells;
  // Gathered whenever formats are set, whether the other extras are on or not.
  FormatVerdicts formats;

  std::vector<uint8_t> checks;  // by type id; set before start
  bool copyEndFirst = false;    // the row's first field is `\.`

  void start(int headerWidth, size_t numTypes);
  void countRow(size_t width);
  void noteField(int c, int id, std::string_view text);
  // Adds a later range's extras to these.
  void merge(const PassExtras& later);

 private:
  void noteNa(size_t c, std::string_view text, uint64_t k);
};

// Inline: called for every row and every field of a pass with extras.
inline void PassExtras::countRow(size_t width) {
  ++rowWidths[std::min(width, rowWidths.size() - 1)];
  if (width == 1 && copyEndFirst) ++quirks.copyEndLines;
}

inline void PassExtras::noteField(int c, int id, std::string_view text) {
  const size_t at = static_cast<size_t>(c);
  uint64_t& longest = maxLengths[at];
  if (text.size() > longest) longest = text.size();
  if (c == 0) copyEndFirst = text == "\\.";
  if (!validUtf8(text)) ++invalidUtf8[at];
  if (std::memchr(text.data(), 0, text.size()) != nullptr) ++quirks.nulBytes;
  const uint8_t check = checks[static_cast<size_t>(id)];
  if (check & IS_NA) noteNa(at, text, 1);
  if ((check & CHECK_DOUBLE) && fitsDouble[at]) fitsDouble[at] = ::fitsDouble(text);
  if ((check & CHECK_INT64) && fitsInt64[at]) fitsInt64[at] = ::fitsInt64(text);
  // A field without a point has no fraction digits, and no more digits than bytes: one no
  // longer than the most digits seen cannot raise them.
  if ((check & (CHECK_DOUBLE | CHECK_INT64)) &&
      (text.size() > intDigits[at] || std::memchr(text.data(), '.', text.size()) != nullptr)) {
    const NumberDigits digits = numberDigits(text);
    intDigits[at] = std::max(intDigits[at], digits.integer);
    fracDigits[at] = std::max(fracDigits[at], digits.fraction);
  }
  if (examplesPerType <= 0) return;
  std::vector<std::string>& texts = examples[at][static_cast<size_t>(id)];
  if (texts.size() >= static_cast<size_t>(examplesPerType)) return;
  for (const auto& seen : texts)
    if (seen == text) return;
  texts.emplace_back(text);
}
