// A deliberately plain reference tokenizer for differential tests: it walks a
// whole in-memory string one byte at a time, with no blocks and no fast paths,
// so that its answers can be trusted where the real parser is clever.
#pragma once

#include <cstddef>
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

  auto finish_field = [&]() {
    out.push_back({Kind::DATA, field});
    field.clear();
  };

  size_t i = 0;
  while (i < in.size()) {
    if (row_end_owed) {
      out.push_back({Kind::ROW_END, ""});
      row_end_owed = false;
    }
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
  if (!field.empty()) out.push_back({Kind::DATA, field});
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

}  // namespace csv_model
