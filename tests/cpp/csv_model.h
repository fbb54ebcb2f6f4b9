// A deliberately plain reference tokenizer for differential tests: it walks a
// whole in-memory string one byte at a time, with no blocks and no fast paths,
// so that its answers can be trusted where the real parser is clever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace csv_model {

struct Settings {
  char quote = '"';
  char delimiter = ',';
  // With crlf set, CR, LF and CR LF end rows; otherwise only `terminator` does.
  bool crlf = true;
  char terminator = '\n';
};

enum class Kind { DATA, ROW_END, CSV_END };

struct Token {
  Kind kind;
  std::string text;
  size_t start = 0;  // DATA: offset of the field's first byte (its quote, if quoted)
  bool operator==(const Token& o) const { return kind == o.kind && text == o.text; }
  bool operator!=(const Token& o) const { return !(*this == o); }
};

using Row = std::vector<std::string>;

inline std::vector<Token> tokenize(const std::string& in, const Settings& s = Settings()) {
  enum Mode { FIELD_START, PLAIN, QUOTED, QUOTE_SEEN };
  auto ends_row = [&](char c) { return s.crlf ? (c == '\r' || c == '\n') : c == s.terminator; };

  std::vector<Token> out;
  std::string field;
  Mode mode = FIELD_START;
  // A row end is only announced once a byte is known to follow it.
  bool row_end_owed = false;

  size_t field_start = 0;
  auto finish_field = [&]() {
    out.push_back({Kind::DATA, field, field_start});
    field.clear();
  };

  size_t i = 0;
  while (i < in.size()) {
    if (row_end_owed) {
      out.push_back({Kind::ROW_END, ""});
      row_end_owed = false;
    }
    if (mode == FIELD_START) field_start = i;
    const char c = in[i++];
    bool line_end = false;

    if (mode == FIELD_START) {
      if (ends_row(c)) {
        line_end = true;
      } else if (c == s.quote) {
        mode = QUOTED;
      } else if (c == s.delimiter) {
        finish_field();
      } else {
        field += c;
        mode = PLAIN;
      }
    } else if (mode == PLAIN) {
      if (ends_row(c)) {
        line_end = true;
      } else if (c == s.delimiter) {
        finish_field();
        mode = FIELD_START;
      } else {
        field += c;
      }
    } else if (mode == QUOTED) {
      if (c == s.quote) {
        mode = QUOTE_SEEN;
      } else {
        field += c;
      }
    } else {
      if (ends_row(c)) {
        line_end = true;
      } else if (c == s.quote) {
        field += c;
        mode = QUOTED;
      } else if (c == s.delimiter) {
        finish_field();
        mode = FIELD_START;
      } else {
        field += c;
        mode = PLAIN;
      }
    }

    if (line_end) {
      if (s.crlf && c == '\r' && i < in.size() && in[i] == '\n') ++i;
      finish_field();
      mode = FIELD_START;
      row_end_owed = true;
    }
  }
  // Whatever is half-built at the end counts only if it holds a byte.
  if (!field.empty()) out.push_back({Kind::DATA, field, field_start});
  out.push_back({Kind::CSV_END, ""});
  return out;
}

inline std::vector<Row> rows(const std::string& in, const Settings& s = Settings()) {
  std::vector<Row> out;
  Row current;
  for (Token& t : tokenize(in, s)) {
    if (t.kind == Kind::DATA) {
      current.push_back(std::move(t.text));
    } else {
      if (!current.empty()) out.push_back(std::move(current));
      current.clear();
    }
  }
  return out;
}

// A row with the bytes that began it: blank when it is a line end alone.
struct SourceRow {
  Row fields;
  char first = 0;  // the row's first byte
  bool blank = false;
};

inline std::vector<SourceRow> source_rows(const std::string& in, const Settings& s = Settings()) {
  std::vector<SourceRow> out;
  SourceRow current;
  for (Token& t : tokenize(in, s)) {
    if (t.kind == Kind::DATA) {
      if (current.fields.empty()) current.first = in[t.start];
      current.fields.push_back(std::move(t.text));
      continue;
    }
    if (current.fields.empty()) continue;
    const char c = current.first;
    current.blank = current.fields.size() == 1 && current.fields[0].empty() &&
                    (s.crlf ? (c == '\r' || c == '\n') : c == s.terminator);
    out.push_back(std::move(current));
    current = SourceRow{};
  }
  return out;
}

// The text after its first `lines` physical lines (LF, CR LF or a lone CR).
inline std::string after_lines(const std::string& in, uint64_t lines) {
  size_t i = 0;
  for (uint64_t skipped = 0; skipped < lines && i < in.size(); ++skipped) {
    while (i < in.size() && in[i] != '\n' && in[i] != '\r') ++i;
    if (i < in.size() && in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') ++i;
    if (i < in.size()) ++i;
  }
  return in.substr(i);
}

// How rows are read; the defaults read every row, the first as the header.
struct Reading {
  bool skipBlankLines = false;
  bool header = true;
  uint64_t skipLines = 0;
  char comment = 0;
};

// The rows the reading settings keep, the first (header or data) first;
// counts the rows skipped as blank lines and as comments, and in `blankRows`
// (when given) the blank lines kept as rows.
inline std::vector<Row> keptRows(const std::string& text, const Settings& settings,
                                 const Reading& reading, uint64_t& blankLines,
                                 uint64_t& commentLines, uint64_t* blankRows = nullptr) {
  std::vector<Row> kept;
  blankLines = commentLines = 0;
  if (blankRows) *blankRows = 0;
  for (auto& source : source_rows(after_lines(text, reading.skipLines), settings)) {
    if (reading.skipBlankLines && source.blank) {
      ++blankLines;
      continue;
    }
    if (reading.comment != 0 && source.first == reading.comment) {
      ++commentLines;
      continue;
    }
    if (blankRows && source.blank) ++*blankRows;
    kept.push_back(std::move(source.fields));
  }
  return kept;
}

}  // namespace csv_model
