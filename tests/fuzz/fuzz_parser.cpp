// libFuzzer target for csv::CsvParser. The tokenizer runs over the input
// through both of its interfaces (token stream and row iterator) and two
// kinds of stream, and is checked against a byte-at-a-time model of its
// state table, so the block-wise fast paths and the refill logic must agree
// with the plain rules whatever the bytes are.
//
// The fuzz build gives the parser a block of a few dozen bytes, so that every
// input of some length crosses block edges; no padding is needed.
//
// Input layout: byte 0 is the delimiter, byte 1 a flag byte, then the
// optional bytes the flags ask for, then the CSV body.
//   flag 0x01: next byte is a single-byte terminator (instead of CR/LF/CR LF)
//   flag 0x02: next byte is the quote character
//   flag 0x38: chunk size of the dribbling stream (3 bits)
//   flag 0x40: next byte f: the dribbling stream fails with an I/O error at
//              offset f of the body
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "csv/parser.h"
#include "csv_model.h"

namespace {

constexpr int kCrlf = -2;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

struct Token {
  csv::FieldType type;
  std::string text;
  bool operator==(const Token& o) const { return type == o.type && text == o.text; }
  bool operator!=(const Token& o) const { return !(*this == o); }
};

using Rows = std::vector<std::vector<std::string>>;

// The reference tokenizer's answer, as parser tokens: the oracle.
std::vector<Token> modelTokens(const std::string& s, char delim, char quote, int term) {
  csv_model::Settings settings;
  settings.delimiter = delim;
  settings.quote = quote;
  settings.crlf = term == kCrlf;
  settings.terminator = static_cast<char>(term);
  static const csv::FieldType kinds[] = {csv::FieldType::DATA, csv::FieldType::ROW_END,
                                         csv::FieldType::CSV_END};
  std::vector<Token> out;
  for (const csv_model::Token& t : csv_model::tokenize(s, settings))
    out.push_back({kinds[static_cast<int>(t.kind)], t.text});
  return out;
}

// Rows as the iterator must yield them: DATA tokens grouped by ROW_END,
// a trailing group without fields dropped.
Rows groupRows(const std::vector<Token>& tokens) {
  Rows rows;
  std::vector<std::string> cur;
  for (const Token& t : tokens) {
    if (t.type == csv::FieldType::DATA) {
      cur.push_back(t.text);
    } else {
      // A row end always follows at least one field.
      check(t.type == csv::FieldType::CSV_END || !cur.empty());
      if (!cur.empty()) rows.push_back(cur);
      cur.clear();
    }
  }
  return rows;
}

// Hands the data out in small chunks, so one block read of the parser spans
// many underflows; can fail with an I/O error at a chosen offset.
class DribbleBuf : public std::streambuf {
 public:
  DribbleBuf(const std::string& data, size_t chunk, size_t failAt)
      : data_(data), chunk_(chunk), failAt_(failAt) {}

 protected:
  int_type underflow() override {
    if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (pos_ >= data_.size()) return traits_type::eof();
    if (pos_ >= failAt_) throw std::runtime_error("injected read error");
    size_t n = std::min(chunk_, data_.size() - pos_);
    if (failAt_ > pos_) n = std::min(n, failAt_ - pos_);
    char* base = const_cast<char*>(data_.data()) + pos_;
    setg(base, base, base + n);
    pos_ += n;
    return traits_type::to_int_type(*gptr());
  }

 private:
  const std::string& data_;
  size_t chunk_;
  size_t failAt_;
  size_t pos_ = 0;
};

struct Setup {
  char delim = ',';
  bool customQuote = false;
  char quote = '"';
  bool customTerm = false;
  int term = kCrlf;
  size_t chunk = 1;
  size_t failAt = SIZE_MAX;
};

void configure(csv::CsvParser& p, const Setup& s) {
  p.delimiter(s.delim);
  if (s.customQuote) p.quote(s.quote);
  if (s.customTerm) p.terminator(static_cast<char>(s.term));
}

// Drains the token stream; returns false if the stream failed part way.
bool readTokens(std::istream& in, const Setup& s, size_t inputLen, std::vector<Token>& out) {
  csv::CsvParser p(in);
  configure(p, s);
  size_t fieldBytes = 0;
  std::streamoff last = 0;
  bool failed = false;
  // Each token consumes at least one byte or ends the stream, so this bounds
  // the loop even if the parser never reported CSV_END.
  for (size_t guard = 0; guard <= 2 * inputLen + 4; ++guard) {
    csv::Field f(csv::FieldType::CSV_END);
    try {
      f = p.next_field();
    } catch (const std::runtime_error& e) {
      check(std::strcmp(e.what(), "Something is wrong with input stream") == 0);
      check(!failed);
      failed = true;
      continue;
    }
    const std::streamoff pos = p.position();
    check(pos >= last && pos <= static_cast<std::streamoff>(inputLen));
    last = pos;
    if (f.type == csv::FieldType::DATA) {
      check(f.data != nullptr);
      fieldBytes += f.data->size();
      check(fieldBytes <= inputLen);
      out.push_back({f.type, *f.data});
    } else {
      check(f.data == nullptr);
      out.push_back({f.type, {}});
    }
    if (f.type == csv::FieldType::CSV_END) {
      check(p.empty());
      if (!failed) check(p.position() == static_cast<std::streamoff>(inputLen));
      for (int k = 0; k < 3; ++k) check(p.next_field().type == csv::FieldType::CSV_END);
      check(p.empty());
      return !failed;
    }
  }
  check(false);
  return false;
}

bool readRows(std::istream& in, const Setup& s, Rows& out) {
  csv::CsvParser p(in);
  configure(p, s);
  try {
    for (auto it = p.begin(); it != p.end(); ++it) {
      check(!it->empty());
      out.push_back(*it);
    }
  } catch (const std::runtime_error& e) {
    check(std::strcmp(e.what(), "Something is wrong with input stream") == 0);
    return false;
  }
  check(p.empty());
  // The parser reads its stream once: a new iteration starts at the end.
  check(p.begin() == p.end());
  return true;
}

template <typename T>
bool isPrefix(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() > b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Setup s;
  s.delim = static_cast<char>(data[0]);
  const uint8_t flags = data[1];
  size_t at = 2;
  auto take = [&](uint8_t& v) {
    if (at >= size) return false;
    v = data[at++];
    return true;
  };
  uint8_t b = 0;
  // 0xFE is -2 as a char, the value that encodes CR/LF/CR LF in the
  // terminator setting, so it cannot select a single-byte terminator.
  if ((flags & 0x01) && take(b) && b != 0xFE) {
    s.customTerm = true;
    s.term = static_cast<signed char>(b);
  }
  if ((flags & 0x02) && take(b)) {
    s.customQuote = true;
    s.quote = static_cast<char>(b);
  }
  static const size_t kChunks[8] = {1, 2, 3, 5, 7, 13, 64, 4093};
  s.chunk = kChunks[(flags >> 3) & 7];
  size_t failOffset = SIZE_MAX;
  if ((flags & 0x40) && take(b)) failOffset = b;

  const std::string input(reinterpret_cast<const char*>(data) + at, size - at);
  if (failOffset != SIZE_MAX) s.failAt = failOffset;
  const bool injected = s.failAt < input.size();

  const std::vector<Token> model = modelTokens(input, s.delim, s.quote, s.term);
  const Rows modelRows = groupRows(model);

  {
    std::istringstream in(input);
    std::vector<Token> tokens;
    check(readTokens(in, s, input.size(), tokens));
    check(tokens == model);
    groupRows(tokens);
  }
  {
    std::istringstream in(input);
    Rows rows;
    check(readRows(in, s, rows));
    check(rows == modelRows);
  }
  {
    DribbleBuf buf(input, s.chunk, s.failAt);
    std::istream in(&buf);
    std::vector<Token> tokens;
    const bool complete = readTokens(in, s, input.size(), tokens);
    check(complete == !injected);
    if (complete) {
      check(tokens == model);
    } else {
      // Nothing after the error is made up: what came out is a prefix of
      // the true tokens (bar the CSV_END that closed the failed stream).
      check(!tokens.empty() && tokens.back().type == csv::FieldType::CSV_END);
      tokens.pop_back();
      check(isPrefix(tokens, model));
    }
  }
  {
    DribbleBuf buf(input, s.chunk, s.failAt);
    std::istream in(&buf);
    Rows rows;
    const bool complete = readRows(in, s, rows);
    check(complete == !injected);
    if (complete)
      check(rows == modelRows);
    else
      check(isPrefix(rows, modelRows));
  }
  return 0;
}
