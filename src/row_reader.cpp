#include "row_reader.h"

#include <stdexcept>
#include <utility>

#include "csv/stream_error.h"

RowReader::RowReader(const std::string& path, char delimiter, const InputSource::Settings& input,
                     const ReadingRules& readingRules)
    : rules(readingRules),
      stream(open(path, input)),
      preambleBytes(rules.skipPreamble(stream, preambleLines)),
      parser(stream),
      cursor(parser, rules),
      headerNext(rules.header) {
  parser.delimiter(delimiter);
}

// Before the parser binds the stream: the parser needs a good stream.
std::istream& RowReader::open(const std::string& path, const InputSource::Settings& settings) {
  if (path.find('\0') != std::string::npos)
    throw csv::StreamError("Something is wrong with input stream: " + path);
  std::istream& in = InputSource::open(path, settings, plain, decoded);
  if (!decoded && !plain.is_open()) throw csv::StreamError("Cannot open " + path);
  return in;
}

bool RowReader::nextBatch(size_t maxRows, std::vector<Row>& out) {
  out.clear();
  if (fieldFormats.misfit()) return false;
  std::vector<std::string> fields;
  scan(
      maxRows,
      [&](size_t c, std::string_view text) {
        if (fieldFormats.at(c) && !headerNext) text = formatted(c, text);
        fields.emplace_back(text);
      },
      [&](int64_t offset, size_t) {
        headerNext = false;
        if (!fieldFormats.endRow(offset)) return false;
        out.push_back(Row{offset, std::move(fields)});
        fields.clear();
        return true;
      });
  return !out.empty();
}

void RowReader::setFormats(std::vector<std::optional<formats::Format>> byPosition,
                           const std::unordered_set<std::string>& naValues) {
  fieldFormats.set(std::move(byPosition));
  na = NaSet(naValues);
}

std::string_view RowReader::formatted(size_t c, std::string_view text) {
  if (na.contains(text)) return text;
  const std::string* canonical = fieldFormats.convert(c, text);
  return canonical ? std::string_view(*canonical) : text;
}

uint64_t RowReader::bytesRead() const {
  if (decoded) return decoded->bytesRead();
  return preambleBytes + static_cast<uint64_t>(parser.position());
}

uint64_t RowReader::lineAt(const std::string& path, const InputSource::Settings& input,
                           uint64_t offset) {
  std::ifstream plain;
  std::unique_ptr<InputSource> decoded;
  std::istream& in = InputSource::open(path, input, plain, decoded);
  return 1 + InputSource::countLines(in, offset);
}
