#include "row_reader.h"

#include <stdexcept>

namespace {

// Opens before the parser binds the stream: the parser needs a good stream.
std::ifstream& opened(std::ifstream& input, const std::string& path) {
  if (path.find('\0') != std::string::npos)
    throw std::runtime_error("Something is wrong with input stream: " + path);
  input.open(path, std::ios::binary);
  if (!input.is_open()) throw std::runtime_error("Cannot open " + path);
  return input;
}

}  // namespace

RowReader::RowReader(const std::string& path, char delimiter) : parser(opened(input, path)) {
  parser.delimiter(delimiter);
}

bool RowReader::nextBatch(size_t maxRows, std::vector<Row>& out) {
  out.clear();
  std::vector<std::string> fields;
  scan(
      maxRows, [&](size_t, std::string_view text) { fields.emplace_back(text); },
      [&](int64_t offset, size_t) {
        out.push_back(Row{offset, std::move(fields)});
        fields.clear();
        return true;
      });
  return !out.empty();
}
