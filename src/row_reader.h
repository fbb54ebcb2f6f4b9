// The rows of a delimited file exactly as a pass reads them, header first, in
// batches: for loading them elsewhere with quorle's reading, not a database's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "csv/parser.h"

class RowReader {
 public:
  // One row: the byte offset in the file where it starts, and its fields.
  struct Row {
    int64_t offset;
    std::vector<std::string> fields;
  };

  // Opens the file; throws std::runtime_error naming it if it cannot be read.
  RowReader(const std::string& path, char delimiter);
  RowReader(const RowReader&) = delete;
  RowReader& operator=(const RowReader&) = delete;

  // Replaces `out` with up to `maxRows` next rows; false once none is left.
  bool nextBatch(size_t maxRows, std::vector<Row>& out);

  // The next rows, up to `maxRows`, without copying their fields: onField(c,
  // text) per field (c its position; text valid only during the call) and
  // onRow(offset, width) after each row. A row is what the pass counts as one:
  // at least one field. Returns the rows read; fewer than asked only at the end,
  // or when onRow returns false (that row is counted).
  template <class OnField, class OnRow>
  size_t scan(size_t maxRows, OnField&& onField, OnRow&& onRow) {
    size_t rows = 0;
    size_t width = 0;
    int64_t offset = parser.position();
    std::string_view text;
    while (rows < maxRows) {
      if (width == 0) offset = parser.position();
      const csv::FieldType type = parser.next_view(text);
      if (type == csv::FieldType::DATA) {
        onField(width++, text);
        continue;
      }
      if (width > 0) {
        ++rows;
        const bool more = onRow(offset, width);
        width = 0;
        if (!more) break;
      }
      if (type == csv::FieldType::CSV_END) break;
    }
    return rows;
  }

 private:
  std::ifstream input;
  csv::CsvParser parser;
};
