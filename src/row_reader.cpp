#include "row_reader.h"

#include <stdexcept>
#include <string_view>

#include "csv/parser.h"

RowReader::RowReader(const std::string& path, char delimiter) {
  if (path.find('\0') != std::string::npos)
    throw std::runtime_error("Something is wrong with input stream: " + path);
  input.open(path, std::ios::binary);
  if (!input.is_open()) throw std::runtime_error("Cannot open " + path);
  parser = std::make_unique<csv::CsvParser>(input);
  parser->delimiter(delimiter);
}

RowReader::~RowReader() = default;

bool RowReader::nextBatch(size_t maxRows, std::vector<Row>& out) {
  out.clear();
  std::string_view text;
  Row row{parser->position(), {}};
  while (out.size() < maxRows) {
    if (row.fields.empty()) row.offset = parser->position();
    const csv::FieldType type = parser->next_view(text);
    if (type == csv::FieldType::DATA) {
      row.fields.push_back(parser->take_text(text));
      continue;
    }
    // As in the pass: a row ends at ROW_END or at the end, if it has a field.
    if (!row.fields.empty()) {
      out.push_back(std::move(row));
      row = Row{0, {}};
    }
    if (type == csv::FieldType::CSV_END) break;
  }
  return !out.empty();
}
