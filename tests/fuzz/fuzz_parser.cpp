// libFuzzer target for csv::CsvParser. The tokenizer runs over the input
// through one of its three interfaces (token stream, token views, row
// iterator) and is checked against a byte-at-a-time model of its state
// table, so the block-wise fast paths and the refill logic must agree with
// the plain rules whatever the bytes are.
//
// The fuzz build gives the parser a block of a few dozen bytes and a small
// field buffer, so that every input of some length crosses block edges and
// long-field paths; no padding is needed.
//
// Input layout: byte 0 is the delimiter, byte 1 a flag byte, then the
// optional bytes the flags ask for, then the CSV body.
//   flag 0x01: next byte is a single-byte terminator (instead of CR/LF/CR LF)
//   flag 0x02: next byte is the quote character
//   flag 0x18: the interface (2 bits; views, the pass's path, on two values)
//   flag 0x40: next byte f: the stream fails with an I/O error at offset f
//              of the body
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <istream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "csv/parser.h"
#include "csv_model.h"

// Named, not anonymous, so that the coverage ignore list can leave the
// harness out by name: its branches are not what the fuzzer should chase.
namespace harness {

constexpr int kCrlf = -2;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

using Model = std::vector<csv_model::Token>;

// The reference tokenizer's answer: the oracle.
Model modelTokens(const std::string& s, char delim, char quote, int term) {
  csv_model::Settings settings;
  settings.delimiter = delim;
  settings.quote = quote;
  settings.crlf = term == kCrlf;
  settings.terminator = static_cast<char>(term);
  return csv_model::tokenize(s, settings);
}

// True when a parser token is the model's token t.
bool same(const csv_model::Token& t, csv::FieldType type, std::string_view text) {
  static const csv::FieldType kinds[] = {csv::FieldType::DATA, csv::FieldType::ROW_END,
                                         csv::FieldType::CSV_END};
  return kinds[static_cast<int>(t.kind)] == type && t.text == text;
}

// The model's next row from token `at` on, as the iterator must yield it:
// the DATA tokens up to a ROW_END or CSV_END, a trailing group without fields
// dropped. Returns false when no row is left.
bool nextModelRow(const Model& model, size_t& at, size_t& begin, size_t& end) {
  begin = at;
  while (at < model.size() && model[at].kind == csv_model::Kind::DATA) ++at;
  end = at;
  // A row end always follows at least one field.
  check(end > begin || at == model.size() || model[at].kind == csv_model::Kind::CSV_END);
  if (at < model.size()) ++at;
  return end > begin;
}

// Hands out the data, failing with an I/O error at a chosen offset. The
// parser takes whole blocks through istream::read, so how a stream parcels
// out its bytes cannot reach it; only where the stream fails can.
class FailingBuf : public std::streambuf {
 public:
  FailingBuf(const std::string& data, size_t failAt) : data_(data), failAt_(failAt) {}

 protected:
  int_type underflow() override {
    if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (pos_ >= data_.size()) return traits_type::eof();
    if (pos_ >= failAt_) throw std::runtime_error("injected read error");
    const size_t n = std::min(data_.size(), failAt_) - pos_;
    char* base = const_cast<char*>(data_.data()) + pos_;
    setg(base, base, base + n);
    pos_ += n;
    return traits_type::to_int_type(*gptr());
  }

 private:
  const std::string& data_;
  size_t failAt_;
  size_t pos_ = 0;
};

enum class Reader { FIELDS, VIEWS, ROWS };

struct Setup {
  char delim = ',';
  bool customQuote = false;
  char quote = '"';
  bool customTerm = false;
  int term = kCrlf;
  Reader reader = Reader::FIELDS;
  size_t failAt = SIZE_MAX;
};

void configure(csv::CsvParser& p, const Setup& s) {
  p.delimiter(s.delim);
  if (s.customQuote) p.quote(s.quote);
  if (s.customTerm) p.terminator(static_cast<char>(s.term));
}

bool isStreamError(const std::runtime_error& e) {
  return std::strcmp(e.what(), "Something is wrong with input stream") == 0;
}

// The next token through next_field or next_view.
csv::FieldType nextToken(csv::CsvParser& p, Reader reader, std::string_view& text) {
  if (reader == Reader::VIEWS) return p.next_view(text);
  const csv::Field f = p.next_field();
  check((f.data != nullptr) == (f.type == csv::FieldType::DATA));
  if (f.data != nullptr) text = *f.data;
  return f.type;
}

// Drains the token stream, checking each token against the model as it
// comes: on a sound stream all of it, on a failing one a true prefix (bar
// the CSV_END that closes the failed stream). Returns false if the stream
// failed part way.
bool checkTokens(std::istream& in, const Setup& s, size_t inputLen, const Model& model) {
  csv::CsvParser p(in);
  configure(p, s);
  size_t fieldBytes = 0;
  std::streamoff last = 0;
  bool failed = false;
  size_t i = 0;
  // Each token consumes at least one byte or ends the stream, so this bounds
  // the loop even if the parser never reported CSV_END.
  for (size_t guard = 0; guard <= 2 * inputLen + 4; ++guard) {
    std::string_view text;
    std::string taken;
    csv::FieldType type;
    try {
      type = nextToken(p, s.reader, text);
      // As the pass does: a long text is moved out of the field buffer.
      if (s.reader == Reader::VIEWS && type == csv::FieldType::DATA) {
        taken = p.take_text(text);
        text = taken;
      }
    } catch (const std::runtime_error& e) {
      check(isStreamError(e));
      check(!failed);
      failed = true;
      continue;
    }
    const std::streamoff pos = p.position();
    check(pos >= last && pos <= static_cast<std::streamoff>(inputLen));
    last = pos;
    fieldBytes += text.size();
    check(fieldBytes <= inputLen);
    if (type == csv::FieldType::CSV_END) {
      check(p.empty());
      for (int k = 0; k < 3; ++k) check(p.next_field().type == csv::FieldType::CSV_END);
      check(p.empty());
      if (failed) return false;
      check(p.position() == static_cast<std::streamoff>(inputLen));
    }
    check(i < model.size() && same(model[i], type, text));
    if (++i == model.size()) return true;
  }
  check(false);
  return false;
}

// Drains the row iterator, checking each row against the model's as it
// comes. Returns false if the stream failed part way.
bool checkRows(std::istream& in, const Setup& s, const Model& model) {
  csv::CsvParser p(in);
  configure(p, s);
  size_t at = 0, begin = 0, end = 0;
  try {
    for (auto it = p.begin(); it != p.end(); ++it) {
      check(nextModelRow(model, at, begin, end));
      check(it->size() == end - begin);
      for (size_t k = begin; k < end; ++k) check(model[k].text == (*it)[k - begin]);
    }
  } catch (const std::runtime_error& e) {
    check(isStreamError(e));
    return false;
  }
  check(!nextModelRow(model, at, begin, end));
  check(p.empty());
  // The parser reads its stream once: a new iteration starts at the end.
  check(p.begin() == p.end());
  return true;
}

// Reads the input through the chosen interface and checks it against the model.
void checkAgainstModel(const std::string& input, const Setup& s) {
  FailingBuf buf(input, s.failAt);
  std::istream in(&buf);
  const Model model = modelTokens(input, s.delim, s.quote, s.term);
  const bool complete =
      s.reader == Reader::ROWS ? checkRows(in, s, model) : checkTokens(in, s, input.size(), model);
  check(complete == (s.failAt >= input.size()));
}

}  // namespace harness

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace harness;
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
  static const Reader kReaders[4] = {Reader::FIELDS, Reader::VIEWS, Reader::ROWS, Reader::VIEWS};
  s.reader = kReaders[(flags >> 3) & 3];
  if ((flags & 0x40) && take(b)) s.failAt = b;

  checkAgainstModel(std::string(reinterpret_cast<const char*>(data) + at, size - at), s);
  return 0;
}
