// The tallies of a pass that add up across ranges, each listed once: the
// structs, their merge and comparison, and the Python names all come from
// these lists.
#pragma once

#include <algorithm>
#include <cstdint>

// How two ranges' values of one tally combine.
inline uint64_t tallySum(uint64_t a, uint64_t b) { return a + b; }
inline uint64_t tallyMax(uint64_t a, uint64_t b) { return std::max(a, b); }

// What other readers of the file may read differently, summed over a pass.
// X(member, Python key, Python group, merge); a group of nullptr puts the key
// in the quirks dict itself. textAfterQuote: fields with text after their
// closing quote. copyEndLines: rows of the one field `\.`, and lines holding
// only `\.` in quoted fields. nulBytes: fields holding a NUL byte.
// unclosedQuote: 0 or 1.
#define QUORLE_QUIRK_FIELDS(X)                             \
  X(midFieldQuotes, "mid_field_quotes", nullptr, tallySum) \
  X(textAfterQuote, "text_after_quote", nullptr, tallySum) \
  X(copyEndLines, "copy_end_lines", nullptr, tallySum)     \
  X(quotedLineEnds, "quoted_line_ends", nullptr, tallySum) \
  X(lf, "lf", "line_ends", tallySum)                       \
  X(crlf, "crlf", "line_ends", tallySum)                   \
  X(cr, "cr", "line_ends", tallySum)                       \
  X(nulBytes, "nul_bytes", nullptr, tallySum)              \
  X(unclosedQuote, "unclosed_quote", nullptr, tallyMax)

// Rows the reading settings skipped (blank lines, comments) and preamble
// lines skipped, then blank lines read as rows, the header included (DuckDB
// skips them); counted whether the extras are on or not. The same shape, the
// keys at the top of the extras dict.
#define QUORLE_LINE_FIELDS(X)                         \
  X(blankLines, "blank_lines", nullptr, tallySum)     \
  X(commentLines, "comment_lines", nullptr, tallySum) \
  X(skippedLines, "skipped_lines", nullptr, tallySum) \
  X(blankRows, "blank_rows", nullptr, tallySum)

#define QUORLE_TALLY_MEMBER(member, ...) uint64_t member = 0;

namespace csv {
class CsvParser;
}

struct Quirks {
  QUORLE_QUIRK_FIELDS(QUORLE_TALLY_MEMBER)

  void add(const Quirks& other);
  bool operator==(const Quirks& other) const;
  // Adds what a tokenizer counted.
  void addTokenizer(const csv::CsvParser& parser);
};

// The tallies a pass keeps beside its per-position extras, shared by the
// pass (PassExtras) and its results (Inf::Extras). The quirks are counted
// only when the extras are on.
struct PassTallies {
  Quirks quirks;
  QUORLE_LINE_FIELDS(QUORLE_TALLY_MEMBER)

  void add(const PassTallies& other);
};

#undef QUORLE_TALLY_MEMBER
