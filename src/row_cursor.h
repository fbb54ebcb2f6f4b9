// Rows out of the tokenizer's tokens, with the reading rules' row skips
// applied here alone: passes, the header, ranges and the loaders all read
// rows through a cursor, so they agree on which rows there are and where
// each starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ios>
#include <string>
#include <string_view>

#include "csv/parser.h"
#include "pass_tallies.h"
#include "reading_rules.h"

// The hooks RowCursor::read calls. A sink derives from this and hides the
// ones it needs: they are resolved at compile time, so an unused hook costs
// nothing and a used one is inlined.
struct RowSink {
  // Each field of a kept row, c its position; the text is valid until the
  // next token is read.
  void field(size_t /*c*/, std::string_view /*text*/) {}
  // After each kept row (one of at least one field), `start` its stream
  // offset and `width` its fields; false stops the read after it.
  bool row(std::streamoff /*start*/, size_t /*width*/) { return true; }
  // Before a token that may need the next block, which ends every view
  // handed out so far.
  void beforeRead() {}
  // After a row the rules skip.
  void skipped() {}
};

class RowCursor {
 public:
  static constexpr uint64_t NO_LIMIT = ~uint64_t{0};

  // Reads rows from `parser` as `rules` say; neither is owned, and both
  // outlive the cursor.
  RowCursor(csv::CsvParser& parser, const ReadingRules& rules)
      : parser(parser), rules(rules), skipping(rules.skipsRows()) {}

  // Hands the next rows to `sink` until it stops, the input ends, or a row
  // (kept or skipped) ends at or past stream offset `limit`. Returns false
  // once the input is used up. Stops only at row ends, so a later read
  // goes on with the next row.
  template <class Sink>
  bool read(Sink& sink, uint64_t limit = NO_LIMIT);

  // Reads to the end of the row under way, whatever the rules say of it.
  void finishRow();

  // Stream offset of the next byte the tokenizer examines.
  std::streamoff position() const { return parser.position(); }
  // The text of the field just handed out, as a string of its own: a long
  // field is moved out of the tokenizer, not copied.
  std::string take(std::string_view text) { return parser.take_text(text); }
  csv::CsvParser& tokenizer() { return parser; }
  // Rows skipped as blank lines and as comments, and blank lines kept as rows.
  const PassTallies& tallies() const { return counts; }

 private:
  csv::CsvParser& parser;
  const ReadingRules& rules;
  const bool skipping;  // some rule skips rows
  PassTallies counts;

  // Whether the rules skip the row starting at `start` whose first field is
  // `first`; counts it if so.
  bool skipRow(std::string_view first, std::streamoff start);
};

template <class Sink>
bool RowCursor::read(Sink& sink, uint64_t limit) {
  size_t width = 0;
  bool skipped = false;
  std::streamoff start = parser.position();
  std::string_view text;
  for (;;) {
    csv::FieldType type;
    if (!parser.try_view(type, text)) {
      sink.beforeRead();
      type = parser.next_view(text);
    }
    if (type == csv::FieldType::DATA) {
      if (width == 0 && skipping) skipped = skipRow(text, start);
      if (!skipped) sink.field(width, text);
      ++width;
      continue;
    }
    bool more = true;
    if (skipped) {
      sink.skipped();
    } else if (width > 0) {
      if (parser.blank_row(start)) ++counts.blankRows;
      more = sink.row(start, width);
    }
    start = parser.position();
    if (type == csv::FieldType::CSV_END) return false;
    if (!more || static_cast<uint64_t>(start) >= limit) return true;
    width = 0;
    skipped = false;
  }
}
