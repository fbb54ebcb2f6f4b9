// How rows are read around the tokenizer: the physical lines before them,
// and the rows that are skipped. The pass and the row reader both ask here,
// so that a load reads exactly the rows a pass counted.
#pragma once

#include <cstdint>
#include <ios>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace csv {
class CsvParser;
}

struct ReadingRules {
  // The defaults read as a public Inf does.
  bool skipBlankLines = false;  // a line of no bytes (not `""`) is skipped
  bool header = true;           // false: the first row is data
  uint64_t skipLines = 0;       // physical lines skipped below the tokenizer
  char comment = 0;             // a row starting with it is skipped; 0: none

  // The rules, checked: throws std::invalid_argument for a comment of more
  // than one byte, the quote or a NUL byte.
  static ReadingRules make(bool skipBlankLines, bool header, uint64_t skipLines,
                           const std::string& comment);

  enum class RowSkip { NONE, BLANK, COMMENT };
  // Whether any row can be skipped: rowSkip() need not be asked otherwise.
  bool skipsRows() const { return skipBlankLines || comment != 0; }
  // What the rules make of the row starting at rowStart (of the parser's
  // stream), whose first field `first` was just read.
  RowSkip rowSkip(const csv::CsvParser& parser, std::string_view first,
                  std::streamoff rowStart) const;
  // Reads past the preamble of `in`; returns its bytes, and in `lines` the
  // lines there were.
  uint64_t skipPreamble(std::istream& in, uint64_t& lines) const;
};

// The physical lines of `text`, line ends included, as skipPreamble counts
// them: a line ends at LF, CRLF or CR.
std::vector<std::string_view> physicalLines(std::string_view text);

// Whether a reader passes over the physical `line` before the header, and a
// sniffer anywhere: a line of nothing but its end, or one that starts with
// `comment` ("": none). Rows past the header are told by rowSkip instead.
bool passedOver(std::string_view line, std::string_view comment);
