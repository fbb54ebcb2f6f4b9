// A lenient, block-buffered CSV tokenizer: bytes in, rows of field texts out.
// It knows nothing of encodings or types; every byte other than the quote,
// the delimiter and the terminator is data.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ios>
#include <istream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "csv/stream_error.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace csv {

// Row terminator: CRLF stands for CR, LF or CR LF; any other value is one
// byte, stored unsigned so that no byte (0xFE included) can read as CRLF.
enum class Term : int32_t { CRLF = -2 };

// Kind of token handed out by CsvParser::next_field.
enum class FieldType : int32_t { DATA = 0, ROW_END = 1, CSV_END = 2 };

// True when c ends a row under terminator t.
inline bool operator==(char c, Term t) {
  if (t == Term::CRLF) return c == '\r' || c == '\n';
  return static_cast<int32_t>(static_cast<unsigned char>(c)) == static_cast<int32_t>(t);
}

// One token. For DATA, `data` points at the parser's field buffer and is
// valid only until the next call of next_field.
struct Field {
  FieldType type;
  const std::string* data;

  explicit Field(FieldType t) : type(t), data(nullptr) {}
  explicit Field(const std::string& s) : type(FieldType::DATA), data(&s) {}
};

class CsvParser {
 public:
  class iterator;

  // Binds the stream (not owned; it must outlive the parser). Reads nothing.
  // Throws StreamError if the stream is not in the good state.
  explicit CsvParser(std::istream& input) : m_input(input) {
    m_fieldbuf.reserve(FIELDBUF_CAP);
    if (!m_input.good()) throw StreamError("Something is wrong with input stream");
  }

  CsvParser(const CsvParser&) = delete;
  CsvParser& operator=(const CsvParser&) = delete;

  // Setters apply to bytes examined after the call; they chain.
  CsvParser& quote(char c) {
    m_quote = c;
    return *this;
  }
  CsvParser& delimiter(char c) {
    m_delimiter = c;
    m_maskpos = NO_MASK;
    return *this;
  }
  CsvParser& terminator(char c) {
    m_terminator = static_cast<Term>(static_cast<int32_t>(static_cast<unsigned char>(c)));
    m_maskpos = NO_MASK;
    return *this;
  }

  // What other CSV readers may take differently, counted only once asked
  // (the checks sit on the paths that leave the block scan, and once per
  // view): quotes inside unquoted text, fields with text after their closing
  // quote, quoted fields holding a line end, lines inside quoted fields
  // holding only `\.`, row ends by kind (under the CRLF terminator), and
  // whether the input ended inside quotes.
  struct Quirks {
    uint64_t mid_field_quotes = 0;
    uint64_t text_after_quote = 0;
    uint64_t quoted_line_ends = 0;
    uint64_t copy_end_lines = 0;
    uint64_t lf = 0;
    uint64_t crlf = 0;
    uint64_t cr = 0;
    bool unclosed_quote = false;
  };
  CsvParser& count_quirks(bool on) {
    m_count_quirks = on;
    return *this;
  }
  const Quirks& quirks() const { return m_quirks; }

  // Whether the row starting at stream offset `row_start` is a blank line
  // (its first byte ends it), or opens with a quote. Valid once its first
  // DATA token is handed out.
  bool blank_row(std::streamoff row_start) const { return m_bare_end == row_start; }
  bool quoted_row(std::streamoff row_start) const { return m_quote_open == row_start; }

  // True once the input is used up: only CSV_END tokens follow.
  bool empty() const { return m_state == State::EMPTY; }

  // Stream offset of the next byte to examine.
  std::streamoff position() const { return m_scanposition + static_cast<std::streamoff>(m_cursor); }

  // The next token: DATA per field, ROW_END between rows (only when a byte
  // follows the terminator), then CSV_END for ever.
  Field next_field() {
    if (m_state == State::EMPTY) return Field(FieldType::CSV_END);
    m_fieldbuf.clear();
    for (;;) {
      const char* top = top_token();
      if (top == nullptr) {
        if (m_state == State::IN_QUOTED_FIELD) m_quirks.unclosed_quote = true;
        m_state = State::EMPTY;
        // An empty field still pending at the end of input is dropped.
        return m_fieldbuf.empty() ? Field(FieldType::CSV_END) : Field(m_fieldbuf);
      }
      const char c = *top;
      switch (m_state) {
        case State::START_OF_FIELD:
          if (c == m_terminator) {
            m_bare_end = position();
            ++m_cursor;
            handle_crlf(c);
            m_state = State::END_OF_ROW;
            return Field(m_fieldbuf);
          }
          if (c == m_quote) {
            if (opens_row()) m_quote_open = position();
            ++m_cursor;
            ++m_quoted_fields;
            m_state = State::IN_QUOTED_FIELD;
            break;
          }
          if (c == m_delimiter) {
            ++m_cursor;
            return Field(m_fieldbuf);
          }
          ++m_cursor;
          m_fieldbuf.push_back(c);
          m_state = State::IN_FIELD;
          break;
        case State::IN_FIELD:
          if (c == m_terminator) {
            ++m_cursor;
            handle_crlf(c);
            m_state = State::END_OF_ROW;
            return Field(m_fieldbuf);
          }
          if (c == m_delimiter) {
            ++m_cursor;
            m_state = State::START_OF_FIELD;
            return Field(m_fieldbuf);
          }
          scan_unquoted();
          break;
        case State::IN_QUOTED_FIELD:
          if (c == m_quote) {
            ++m_cursor;
            m_state = State::IN_ESCAPED_QUOTE;
            break;
          }
          scan_quoted();
          break;
        case State::IN_ESCAPED_QUOTE:
          if (c == m_terminator) {
            ++m_cursor;
            handle_crlf(c);
            m_state = State::END_OF_ROW;
            return Field(m_fieldbuf);
          }
          if (c == m_quote) {
            ++m_cursor;
            m_fieldbuf.push_back(c);
            m_state = State::IN_QUOTED_FIELD;
            break;
          }
          if (c == m_delimiter) {
            ++m_cursor;
            m_state = State::START_OF_FIELD;
            return Field(m_fieldbuf);
          }
          if (m_count_quirks) ++m_quirks.text_after_quote;
          ++m_cursor;
          m_fieldbuf.push_back(c);
          m_state = State::IN_FIELD;
          break;
        case State::END_OF_ROW:
          m_state = State::START_OF_FIELD;
          return Field(FieldType::ROW_END);
        case State::EMPTY:
          throw std::logic_error("You goofed");
      }
    }
  }

  // The same token stream as next_field, but an unquoted field that lies
  // within the current block is handed out as a view into it, uncopied.
  // A DATA text is valid until the next call.
  FieldType next_view(std::string_view& text) {
    FieldType type;
    if (try_view(type, text)) return type;
    const Field field = next_field();
    if (field.type == FieldType::DATA) text = *field.data;
    return field.type;
  }

  // next_view for the tokens that need no read: returns false, having done
  // nothing, when the next token might need the next block. Views handed out
  // earlier then stay valid, since only a read replaces the block.
  __attribute__((always_inline)) bool try_view(FieldType& type, std::string_view& text) {
    if (m_cursor >= m_inputbuf_size) return false;
    if (m_state == State::END_OF_ROW) {
      m_state = State::START_OF_FIELD;
      type = FieldType::ROW_END;
      return true;
    }
    if (m_state != State::START_OF_FIELD) return false;
    const char* const p = m_inputbuf + m_cursor;
    const char* const end = m_inputbuf + m_inputbuf_size;
    const char c = *p;
    if (c == m_terminator || c == m_quote || c == m_delimiter) return false;
    const char* const q = find_stop_masked(p + 1);
    // A CR closing the block may pair with an LF in the next one.
    if (q == end || (m_terminator == Term::CRLF && *q == '\r' && q + 1 == end)) return false;
    size_t next = static_cast<size_t>(q - m_inputbuf) + 1;
    if (*q == m_terminator) {
      const bool crlf = m_terminator == Term::CRLF && *q == '\r' && q[1] == '\n';
      if (crlf) ++next;
      m_state = State::END_OF_ROW;
      if (m_count_quirks) count_line_end(*q, crlf);
    }
    if (m_count_quirks) count_mid_quotes(p, q);
    m_cursor = next;
    text = std::string_view(p, static_cast<size_t>(q - p));
    type = FieldType::DATA;
    return true;
  }

  // The text of the DATA token just handed out as `text`, as a string of
  // its own. A long text assembled in the field buffer is moved out, not
  // copied: a huge field is then held once.
  std::string take_text(std::string_view text) {
    if (text.data() != m_fieldbuf.data() || text.size() <= FIELDBUF_CAP) return std::string(text);
    std::string taken;
    taken.swap(m_fieldbuf);
    m_fieldbuf.reserve(FIELDBUF_CAP);
    return taken;
  }

  iterator begin();
  iterator end();

  // Bytes read per block. The fuzz build makes it small, so that short
  // inputs cross many block edges.
#ifdef QUORLE_INPUT_BLOCK
  static constexpr size_t INPUTBUF_CAP = QUORLE_INPUT_BLOCK;
#else
  static constexpr size_t INPUTBUF_CAP = 131072;
#endif

 private:
  enum class State : int32_t {
    START_OF_FIELD = 0,
    IN_FIELD = 1,
    IN_QUOTED_FIELD = 2,
    IN_ESCAPED_QUOTE = 3,
    END_OF_ROW = 4,
    EMPTY = 5
  };

  State m_state = State::START_OF_FIELD;
  char m_quote = '"';
  char m_delimiter = ',';
  Term m_terminator = Term::CRLF;
  std::istream& m_input;
  // Field bytes held without reallocating; a longer field is moved out, not
  // copied. The fuzz build makes it small, so that short inputs reach that.
#ifdef QUORLE_FIELD_BUFFER
  static constexpr size_t FIELDBUF_CAP = QUORLE_FIELD_BUFFER;
#else
  static constexpr size_t FIELDBUF_CAP = 1024;
#endif
  std::string m_fieldbuf;
  // Left uninitialised: only the bytes a read delivered are ever examined.
  char m_inputbuf[INPUTBUF_CAP];
  bool m_eof = false;
  size_t m_cursor = INPUTBUF_CAP;
  size_t m_inputbuf_size = INPUTBUF_CAP;
  std::streamoff m_scanposition = -static_cast<std::streamoff>(INPUTBUF_CAP);
  // Bit i set when byte m_maskpos + i of the block is the delimiter or a
  // terminator byte: one scan per 64 bytes serves every short field in them.
  static const size_t NO_MASK = ~size_t{0};
  size_t m_maskpos = NO_MASK;
  uint64_t m_stopmask = 0;
  // Offsets of the last terminator read where a field starts, and of the
  // last quote that opened a row's first field (-1: none yet).
  std::streamoff m_bare_end = -1;
  std::streamoff m_quote_open = -1;
  bool m_count_quirks = false;
  char m_last_byte = 0;  // the previous block's last byte
  Quirks m_quirks;
  uint64_t m_quoted_fields = 0;         // quote-opened fields so far
  uint64_t m_qle_field = ~uint64_t{0};  // the last one counted as holding a line end
  // How much of "line end, `\`, `.`, line end" the quoted bytes just read
  // match: a line holding only `\.` that a run or a block may cut.
  enum DotLine : uint8_t { NO_DOT_LINE = 0, AFTER_LINE_END, AFTER_BACKSLASH, AFTER_DOT };
  DotLine m_dot_line = NO_DOT_LINE;

  // Address of the next byte, refilling the buffer when it is used up;
  // nullptr at the end of input. Does not consume the byte.
  const char* top_token() {
    if (m_cursor == m_inputbuf_size) {
      if (m_eof) return nullptr;
      if (m_cursor != 0 && m_scanposition >= 0) m_last_byte = m_inputbuf[m_cursor - 1];
      m_scanposition += static_cast<std::streamoff>(m_cursor);
      m_cursor = 0;
      m_maskpos = NO_MASK;
      m_input.read(m_inputbuf, static_cast<std::streamsize>(INPUTBUF_CAP));
      const auto got = static_cast<size_t>(m_input.gcount());
      // A failed read that is not end-of-file would otherwise pass for a
      // full block and rescan stale bytes, or a truncated file for a whole one.
      if (m_input.bad() || (m_input.fail() && !m_input.eof())) {
        m_inputbuf_size = 0;
        m_eof = true;
        throw StreamError("Something is wrong with input stream");
      }
      if (m_input.eof()) {
        m_eof = true;
        m_inputbuf_size = got;
        if (got == 0) return nullptr;
      }
    }
    return m_inputbuf + m_cursor;
  }

  // Whether the field starting at the cursor is a row's first: the byte
  // before a field start is the delimiter or a row's end.
  bool opens_row() const {
    if (position() == 0) return true;
    const char before = m_cursor != 0 ? m_inputbuf[m_cursor - 1] : m_last_byte;
    return before != m_delimiter && before == m_terminator;
  }

  // After a consumed CR under CRLF, swallow a directly following LF, even
  // when it starts the next block.
  void handle_crlf(char c) {
    bool crlf = false;
    if (m_terminator == Term::CRLF && c == '\r') {
      const char* next = top_token();
      crlf = next != nullptr && *next == '\n';
      if (crlf) ++m_cursor;
    }
    if (m_count_quirks) count_line_end(c, crlf);
  }

  void count_line_end(char c, bool crlf) {
    if (m_terminator != Term::CRLF) return;
    if (crlf)
      ++m_quirks.crlf;
    else if (c == '\n')
      ++m_quirks.lf;
    else
      ++m_quirks.cr;
  }

  void count_mid_quotes(const char* p, const char* end) {
    for (;;) {
      const void* q = std::memchr(p, static_cast<unsigned char>(m_quote), size_t(end - p));
      if (q == nullptr) return;
      ++m_quirks.mid_field_quotes;
      p = static_cast<const char*>(q) + 1;
    }
  }

  // Counts the quoted field being read once, however many runs it takes.
  void count_quoted_line_end(const char* p, size_t run) {
    if (m_qle_field == m_quoted_fields) return;
    for (size_t i = 0; i < run; ++i) {
      if (p[i] == '\n' || p[i] == '\r') {
        ++m_quirks.quoted_line_ends;
        m_qle_field = m_quoted_fields;
        return;
      }
    }
  }

  static bool line_end(char c) { return c == '\n' || c == '\r'; }

  // The match of a `\.` line after one more quoted byte; counts a line
  // completed.
  DotLine dot_line_step(char c) {
    if (line_end(c)) {
      if (m_dot_line == AFTER_DOT) ++m_quirks.copy_end_lines;
      return AFTER_LINE_END;
    }
    if (c == '\\') return m_dot_line == AFTER_LINE_END ? AFTER_BACKSLASH : NO_DOT_LINE;
    if (c == '.') return m_dot_line == AFTER_BACKSLASH ? AFTER_DOT : NO_DOT_LINE;
    return NO_DOT_LINE;
  }

  // Counts the lines holding only `\.` in a run of quoted bytes. Only the
  // bytes after a backslash that follows a line end are stepped through one
  // by one; the match carries to the next run, and a quote ends it.
  void count_copy_end_lines(const char* p, const char* const end) {
    for (;;) {
      for (; p != end && m_dot_line != NO_DOT_LINE; ++p) m_dot_line = dot_line_step(*p);
      if (p == end) return;
      // Here the byte before p is no line end.
      const void* hit = std::memchr(p, '\\', static_cast<size_t>(end - p));
      if (hit == nullptr) {
        m_dot_line = line_end(end[-1]) ? AFTER_LINE_END : NO_DOT_LINE;
        return;
      }
      const char* const slash = static_cast<const char*>(hit);
      if (slash != p && line_end(slash[-1])) m_dot_line = AFTER_BACKSLASH;
      p = slash + 1;
    }
  }

  // The bytes that end an unquoted field: the delimiter and the terminator
  // bytes (t1 == t2 unless the terminator is CRLF).
  void stop_bytes(char& d, char& t1, char& t2) const {
    const bool crlf = m_terminator == Term::CRLF;
    d = m_delimiter;
    t1 = crlf ? '\n' : static_cast<char>(static_cast<int32_t>(m_terminator));
    t2 = crlf ? '\r' : t1;
  }

#ifdef __SSE2__
  // Bit i set when byte i of the 16 at p equals one of the broadcast bytes.
  static unsigned stop_bits16(const char* p, __m128i vd, __m128i v1, __m128i v2) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits =
        _mm_or_si128(_mm_cmpeq_epi8(chunk, vd),
                     _mm_or_si128(_mm_cmpeq_epi8(chunk, v1), _mm_cmpeq_epi8(chunk, v2)));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
  }

  // Broadcast through a 64-bit pattern: far cheaper than _mm_set1_epi8 on plain SSE2.
  static __m128i broadcast(char c) {
    return _mm_set1_epi64x(static_cast<long long>(
        static_cast<uint64_t>(static_cast<unsigned char>(c)) * 0x0101010101010101ULL));
  }
#endif

  // First byte in [p, end) that is the delimiter or a terminator byte, or end.
  const char* find_stop(const char* p, const char* const end) const {
    char d, t1, t2;
    stop_bytes(d, t1, t2);
#ifdef __SSE2__
    const __m128i vd = broadcast(d), v1 = broadcast(t1), v2 = broadcast(t2);
    for (; end - p >= 16; p += 16) {
      const unsigned bits = stop_bits16(p, vd, v1, v2);
      if (bits != 0) return p + __builtin_ctz(bits);
    }
#endif
    while (p != end && *p != d && *p != t1 && *p != t2) ++p;
    return p;
  }

  // find_stop over the current block, through the 64-byte stop masks.
  const char* find_stop_masked(const char* p) {
    const size_t end = m_inputbuf_size;
    size_t at = static_cast<size_t>(p - m_inputbuf);
    for (;;) {
      if (m_maskpos == NO_MASK || at < m_maskpos || at >= m_maskpos + 64) {
        if (at + 64 > end) return find_stop(m_inputbuf + at, m_inputbuf + end);
        m_maskpos = at;
        m_stopmask = stop_mask(m_inputbuf + at);
      }
      const uint64_t bits = m_stopmask & (~uint64_t{0} << (at - m_maskpos));
      if (bits != 0) return m_inputbuf + m_maskpos + static_cast<size_t>(__builtin_ctzll(bits));
      at = m_maskpos + 64;
      if (at + 64 > end) {
        m_maskpos = NO_MASK;
        return find_stop(m_inputbuf + at, m_inputbuf + end);
      }
      m_maskpos = at;
      m_stopmask = stop_mask(m_inputbuf + at);
    }
  }

  // The stop bits of the 64 bytes at p. Kept out of line so that its setup
  // runs once per 64 bytes, not hoisted into every field's path.
  __attribute__((noinline)) uint64_t stop_mask(const char* p) const {
    char d, t1, t2;
    stop_bytes(d, t1, t2);
    uint64_t mask = 0;
#ifdef __SSE2__
    const __m128i vd = broadcast(d), v1 = broadcast(t1), v2 = broadcast(t2);
    for (int k = 0; k < 4; ++k)
      mask |= static_cast<uint64_t>(stop_bits16(p + 16 * k, vd, v1, v2)) << (16 * k);
#else
    for (int i = 0; i < 64; ++i)
      if (p[i] == d || p[i] == t1 || p[i] == t2) mask |= uint64_t{1} << i;
#endif
    return mask;
  }

  // IN_FIELD fast path: append the run of ordinary bytes up to the next
  // delimiter or terminator (or the end of the block) in one go.
  void scan_unquoted() {
    const char* const start = m_inputbuf + m_cursor;
    const char* const stop = find_stop(start, m_inputbuf + m_inputbuf_size);
    if (m_count_quirks) count_mid_quotes(start, stop);
    m_fieldbuf.append(start, static_cast<size_t>(stop - start));
    m_cursor += static_cast<size_t>(stop - start);
  }

  // IN_QUOTED_FIELD fast path: everything up to the next quote is data.
  void scan_quoted() {
    const char* p = m_inputbuf + m_cursor;
    const size_t avail = m_inputbuf_size - m_cursor;
    const void* q = std::memchr(p, static_cast<unsigned char>(m_quote), avail);
    const size_t run = q ? static_cast<size_t>(static_cast<const char*>(q) - p) : avail;
    if (m_count_quirks) {
      count_quoted_line_end(p, run);
      count_copy_end_lines(p, p + run);
      // A quote, escaped or closing, is on no `\.` line.
      if (q != nullptr) m_dot_line = NO_DOT_LINE;
    }
    m_fieldbuf.append(p, run);
    m_cursor += run;
  }
};

// Forward iterator over rows. The row is reused between increments: copy it
// if it must outlive the next one.
class CsvParser::iterator {
 public:
  using value_type = std::vector<std::string>;
  using reference = const value_type&;
  using pointer = const value_type*;
  using difference_type = std::ptrdiff_t;
  using iterator_category = std::forward_iterator_tag;

  // Reads the first row unless `end` is set.
  iterator(CsvParser* p, bool end = false) : m_parser(p) {
    if (!end) {
      m_row.reserve(50);
      m_current_row = 0;
      next();
    }
  }

  reference operator*() const { return m_row; }
  pointer operator->() const { return &m_row; }

  iterator& operator++() {
    next();
    return *this;
  }
  iterator operator++(int) {
    iterator before = *this;
    next();
    return before;
  }

  bool operator==(const iterator& other) const {
    return m_current_row == other.m_current_row && m_row.size() == other.m_row.size();
  }
  bool operator!=(const iterator& other) const { return !(*this == other); }

 private:
  value_type m_row;
  CsvParser* m_parser;
  int m_current_row = -1;

  // Collects the fields of the next row into m_row, reusing its strings.
  void next() {
    size_t num_fields = 0;
    for (;;) {
      const Field field = m_parser->next_field();
      switch (field.type) {
        case FieldType::DATA: {
          if (num_fields == m_row.size()) m_row.emplace_back();
          std::string& slot = m_row[num_fields++];
          // A long field is moved in, so that it is never held twice.
          if (field.data->size() > FIELDBUF_CAP)
            slot = m_parser->take_text(*field.data);
          else
            slot.assign(*field.data);
          break;
        }
        case FieldType::ROW_END:
          if (num_fields < m_row.size()) m_row.resize(num_fields);
          // Wrap past INT_MAX to 0 so that -1 stays the only sentinel.
          m_current_row = m_current_row == INT_MAX ? 0 : m_current_row + 1;
          return;
        case FieldType::CSV_END:
          if (num_fields < m_row.size()) m_row.resize(num_fields);
          m_current_row = -1;
          return;
      }
    }
  }
};

inline CsvParser::iterator CsvParser::begin() { return iterator(this); }
inline CsvParser::iterator CsvParser::end() { return iterator(this, true); }

}  // namespace csv
