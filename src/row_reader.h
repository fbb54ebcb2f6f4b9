// The rows of a delimited file exactly as a pass reads them, header first, in
// batches: for loading them elsewhere with quorle's reading, not a database's.
// The input is decoded as the pass decodes it (decompressed, transcoded to
// UTF-8), and the reading rules skip the preamble and the rows the pass skips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "csv/parser.h"
#include "field_formats.h"
#include "formats.h"
#include "input_source.h"
#include "na_set.h"
#include "reading_rules.h"
#include "row_cursor.h"

class RowReader {
 public:
  // One row: the offset in the decoded input where it starts, and its fields.
  struct Row {
    int64_t offset;
    std::vector<std::string> fields;
  };

  // Opens the file and reads past its preamble. Throws std::runtime_error
  // naming it if it cannot be read, std::invalid_argument for an encoding
  // that cannot be used; a fault of the input later surfaces from the reads
  // as InputError. Every row is handed out whatever rules.header says: the
  // first is the header or data as the caller reads it.
  RowReader(const std::string& path, char delimiter, const InputSource::Settings& input = {},
            const ReadingRules& rules = {});
  RowReader(const RowReader&) = delete;
  RowReader& operator=(const RowReader&) = delete;

  // Replaces `out` with up to `maxRows` next rows; false once none is left.
  // With formats set, a data row's field at a position with a format is its
  // canonical text; a field that does not fit ends the batch before its row,
  // and no row follows: misfit() says where.
  bool nextBatch(size_t maxRows, std::vector<Row>& out);

  // Formats by header position for nextBatch(); a field in naValues is a
  // missing value and stays as it is written.
  void setFormats(std::vector<std::optional<formats::Format>> byPosition,
                  const std::unordered_set<std::string>& naValues = {});
  // The field that stopped nextBatch(), if one did.
  const std::optional<FieldFormats::Misfit>& misfit() const { return fieldFormats.misfit(); }

  // The next rows, up to `maxRows`, without copying their fields: onField(c,
  // text) per field (c its position; text valid only during the call) and
  // onRow(offset, width) after each row. A row is what the pass counts as one:
  // at least one field, and not skipped by the rules. Returns the rows read;
  // fewer than asked only at the end, or when onRow returns false (that row
  // is counted).
  template <class OnField, class OnRow>
  size_t scan(size_t maxRows, OnField&& onField, OnRow&& onRow) {
    struct Sink : RowSink {
      OnField& onField;
      OnRow& onRow;
      const size_t maxRows;
      const int64_t base;
      size_t rows = 0;
      Sink(OnField& onField, OnRow& onRow, size_t maxRows, int64_t base)
          : onField(onField), onRow(onRow), maxRows(maxRows), base(base) {}
      void field(size_t c, std::string_view text) { onField(c, text); }
      bool row(std::streamoff start, size_t width) {
        ++rows;
        return onRow(base + start, width) && rows < maxRows;
      }
    } sink(onField, onRow, maxRows, static_cast<int64_t>(preambleBytes));
    if (maxRows > 0) cursor.read(sink);
    return sink.rows;
  }

  // Bytes of the file read so far (of the compressed file, when it is).
  uint64_t bytesRead() const;

  // The 1-based line of the decoded input at `offset` (as rows report it):
  // the file is read again up to there.
  static uint64_t lineAt(const std::string& path, const InputSource::Settings& input,
                         uint64_t offset);

 private:
  std::istream& open(const std::string& path, const InputSource::Settings& settings);
  // The text nextBatch() hands out for a field at a position with a format.
  std::string_view formatted(size_t c, std::string_view text);

  ReadingRules rules;
  std::ifstream plain;
  std::unique_ptr<InputSource> decoded;
  std::istream& stream;
  uint64_t preambleLines = 0;
  uint64_t preambleBytes;
  csv::CsvParser parser;
  RowCursor cursor;
  FieldFormats fieldFormats;
  NaSet na;
  // The header is handed out as written.
  bool headerNext;
};
