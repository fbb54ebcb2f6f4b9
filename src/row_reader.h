// The rows of a delimited file exactly as a pass reads them, header first, in
// batches: for loading them elsewhere with quorle's reading, not a database's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace csv {
class CsvParser;
}

class RowReader {
 public:
  // One row: the byte offset in the file where it starts, and its fields.
  struct Row {
    int64_t offset;
    std::vector<std::string> fields;
  };

  // Opens the file; throws std::runtime_error naming it if it cannot be read.
  RowReader(const std::string& path, char delimiter);
  ~RowReader();
  RowReader(const RowReader&) = delete;
  RowReader& operator=(const RowReader&) = delete;

  // Replaces `out` with up to `maxRows` next rows; false once none is left.
  // A row is what the pass counts as one: at least one field.
  bool nextBatch(size_t maxRows, std::vector<Row>& out);

 private:
  std::ifstream input;
  std::unique_ptr<csv::CsvParser> parser;
};
