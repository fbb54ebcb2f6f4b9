#include "reading_rules.h"

#include <sstream>
#include <stdexcept>

#include "csv/parser.h"
#include "input_source.h"

ReadingRules ReadingRules::make(bool skipBlankLines, bool header, uint64_t skipLines,
                                const std::string& comment) {
  if (comment.size() > 1) throw std::invalid_argument("comment must be one byte or empty");
  if (comment == "\"" || comment == std::string(1, '\0'))
    throw std::invalid_argument("comment cannot be the quote or a NUL byte");
  ReadingRules rules;
  rules.skipBlankLines = skipBlankLines;
  rules.header = header;
  rules.skipLines = skipLines;
  rules.comment = comment.empty() ? 0 : comment[0];
  return rules;
}

ReadingRules::RowSkip ReadingRules::rowSkip(const csv::CsvParser& parser, std::string_view first,
                                            std::streamoff rowStart) const {
  if (first.empty())
    return skipBlankLines && parser.blank_row(rowStart) ? RowSkip::BLANK : RowSkip::NONE;
  if (comment != 0 && first[0] == comment && !parser.quoted_row(rowStart)) return RowSkip::COMMENT;
  return RowSkip::NONE;
}

uint64_t ReadingRules::skipPreamble(std::istream& in, uint64_t& lines) const {
  lines = 0;
  if (skipLines == 0) return 0;
  return InputSource::skipLines(in, skipLines, lines);
}

std::vector<std::string_view> physicalLines(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::vector<std::string_view> lines;
  uint64_t counted = 0;
  for (size_t at = 0; at < text.size();) {
    const auto bytes = static_cast<size_t>(InputSource::skipLines(in, 1, counted));
    lines.push_back(text.substr(at, bytes));
    at += bytes;
  }
  return lines;
}

bool passedOver(std::string_view line, std::string_view comment) {
  if (line.find_first_not_of("\r\n") == std::string_view::npos) return true;
  return !comment.empty() && line.substr(0, comment.size()) == comment;
}
