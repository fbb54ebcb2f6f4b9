#include "range_pass.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "csv/parser.h"
#include "inf.h"

namespace {

// Joins every started thread of a row, also when the row is left by an
// exception: a joinable std::thread must never be destroyed.
struct RowThreads {
  std::vector<std::thread> ft;
  ~RowThreads() {
    for (auto& t : ft)
      if (t.joinable()) t.join();
  }
};

void appendEntry(std::string& line, int c, const std::string& entry) {
  if (c != 0) line.push_back(',');
  line += entry;
}

// Holds data fields of a row for a few tokens, so that the cache look-ups of
// the fields read meanwhile are started first and their memory loads
// overlap. The caller holds fields only while their views cannot go stale
// (no block read in between), and never across a row end.
class LookAhead {
 public:
  static constexpr int MAX_HELD = 16;

  bool full() const { return count == MAX_HELD; }

  void hold(std::string_view text, int c, const TextTable& cache) {
    Held& h = held[count++];
    h.c = c;
    h.field = FieldProbe(text);
    // Cached values do not change before the window empties the cache,
    // which happens only between rows.
    if (h.field.isShort) h.field.early = cache.recentValue(h.field.key);
    if (h.field.early == TextTable::EMPTY) cache.prefetch(h.field.textHash());
  }

  template <class F>
  void flush(F&& classify) {
    for (int i = 0; i < count; ++i) classify(held[i].field, held[i].c);
    count = 0;
  }

 private:
  struct Held {
    FieldProbe field;
    int c;
  };
  Held held[MAX_HELD];
  int count = 0;
};

}  // namespace

namespace {

// A decimal number as written: its sign, its significant digits without
// trailing zeros, and its value as 0.digits * 10^exponent. Reused per
// thread, so that reading a field allocates nothing once it has grown.
struct Decimal {
  bool negative = false;
  std::string mantissa;     // every digit as written, without the point
  std::string_view digits;  // within mantissa
  int64_t exponent = 0;
  size_t written = 0;  // significant digits as written, trailing zeros too
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Exponents beyond this are out of any double's range, however many digits.
constexpr int64_t EXPONENT_CAP = 100000;
// A double's exact decimal expansion has at most this many significant digits.
constexpr size_t MAX_DOUBLE_DIGITS = 767;

// Reads [+-]digits[.digits][(e|E)[+-]digits] with at least one mantissa digit.
bool readDecimal(std::string_view text, Decimal& out) {
  size_t i = 0;
  out.negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) out.negative = text[i++] == '-';
  std::string& mantissa = out.mantissa;
  mantissa.clear();
  int64_t pointAt = -1;
  for (; i < text.size(); ++i) {
    if (isDigit(text[i]))
      mantissa.push_back(text[i]);
    else if (text[i] == '.' && pointAt < 0)
      pointAt = static_cast<int64_t>(mantissa.size());
    else
      break;
  }
  if (mantissa.empty()) return false;
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    for (; i < text.size() && isDigit(text[i]); ++i)
      exponent = std::min(exponent * 10 + (text[i] - '0'), EXPONENT_CAP);
    if (negative) exponent = -exponent;
  }
  if (i != text.size()) return false;
  const size_t lead = std::min(mantissa.find_first_not_of('0'), mantissa.size());
  out.exponent = (pointAt < 0 ? static_cast<int64_t>(mantissa.size()) : pointAt) + exponent -
                 static_cast<int64_t>(lead);
  out.written = mantissa.size() - lead;
  out.digits = std::string_view(mantissa).substr(lead, mantissa.find_last_not_of('0') + 1 - lead);
  return true;
}

// A double keeps every decimal of this many significant digits. A field of
// plain digits no longer than PLAIN_LENGTH is far from a double's range limits.
constexpr size_t DOUBLE_SAFE_DIGITS = 15;
constexpr size_t PLAIN_LENGTH = 40;

// Whether text is [+-]digits[.digits] with at least one digit; counts its
// significant digits as written (trailing zeros too).
bool plainDecimal(std::string_view text, size_t& significant) {
  size_t i = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  bool point = false;
  size_t digits = 0;
  significant = 0;
  for (; i < text.size(); ++i) {
    if (isDigit(text[i])) {
      ++digits;
      if (significant > 0 || text[i] != '0') ++significant;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits > 0;
}

// Fields whose digits fit a 64-bit integer D, with at most MAX_FRACTION
// digits after the point, so that 5^k times a double's 53-bit significand
// fits in 128 bits.
constexpr size_t MAX_INTEGER_DIGITS = 19;
constexpr int MAX_FRACTION = 22;
// Shifts past these cannot occur for a double near a field of more than
// DOUBLE_SAFE_DIGITS digits; they only guard the arithmetic.
constexpr int MAX_LEFT_SHIFT = 64, MAX_RIGHT_SHIFT = 60;

// For a plain field of more than DOUBLE_SAFE_DIGITS significant digits, read
// as D / 10^k: whether D is the integer of its length nearest x * 10^k, x
// its double, that is |x * 10^k - D| < 1/2, compared exactly in integers.
// Cheaper than printing x. nullopt where it cannot tell: D too long, k too
// large, a tie, or D a power of ten (its lower neighbour of the same length
// is nearer).
std::optional<bool> nearestOfItsLength(std::string_view text) {
  if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
  const size_t first = text.find_first_not_of("0.");
  if (text.find_first_not_of("0.", first + 1) == std::string_view::npos && text[first] == '1')
    return std::nullopt;
  uint64_t digits = 0;
  size_t count = 0;
  for (size_t i = first; i < text.size(); ++i) {
    if (text[i] == '.') continue;
    if (++count > MAX_INTEGER_DIGITS) return std::nullopt;
    digits = digits * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  const size_t point = text.find('.');
  const int k = point == std::string_view::npos ? 0 : static_cast<int>(text.size() - point - 1);
  if (k > MAX_FRACTION) return std::nullopt;
  double x = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), x);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) return std::nullopt;
  int exponent = 0;
  const double fractionPart = std::frexp(x, &exponent);
  const auto significand = static_cast<uint64_t>(std::ldexp(fractionPart, DBL_MANT_DIG));
  // 2 x 10^k = significand * 5^k * 2^shift, against 2D - 1 and 2D + 1.
  unsigned __int128 scaled = significand;
  for (int i = 0; i < k; ++i) scaled *= 5;
  const int shift = exponent - DBL_MANT_DIG + k + 1;
  unsigned __int128 low = 2 * static_cast<unsigned __int128>(digits) - 1, high = low + 2;
  if (shift >= 0) {
    if (shift > MAX_LEFT_SHIFT) return std::nullopt;
    scaled <<= shift;
  } else {
    if (-shift > MAX_RIGHT_SHIFT) return std::nullopt;
    low <<= -shift;
    high <<= -shift;
  }
  if (scaled == low || scaled == high) return std::nullopt;
  return low < scaled && scaled < high;
}

}  // namespace

bool fitsDouble(std::string_view text) {
  size_t significant = 0;
  if (text.size() <= PLAIN_LENGTH && plainDecimal(text, significant)) {
    if (significant <= DOUBLE_SAFE_DIGITS) return true;
    if (const auto nearest = nearestOfItsLength(text)) return *nearest;
  }
  thread_local Decimal field, back;
  if (!readDecimal(text, field)) return false;
  if (field.digits.empty()) return true;  // zero
  if (field.digits.size() > MAX_DOUBLE_DIGITS) return false;
  const size_t skip = text[0] == '+' ? 1 : 0;
  double value = 0;
  const auto parsed = std::from_chars(text.data() + skip, text.data() + text.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) return false;
  char printed[MAX_DOUBLE_DIGITS + 32];
  const auto done =
      std::to_chars(printed, printed + sizeof printed, value, std::chars_format::scientific,
                    static_cast<int>(field.written) - 1);
  return done.ec == std::errc() &&
         readDecimal(std::string_view(printed, size_t(done.ptr - printed)), back) &&
         back.negative == field.negative && back.digits == field.digits &&
         back.exponent == field.exponent;
}

bool fitsInt64(std::string_view text) {
  size_t skip = 0;
  if (!text.empty() && text[0] == '+') skip = 1;
  if (skip == text.size() || !(isDigit(text[skip]) || (skip == 0 && text[0] == '-'))) return false;
  int64_t value = 0;
  const auto parsed = std::from_chars(text.data() + skip, text.data() + text.size(), value);
  return parsed.ec == std::errc() && parsed.ptr == text.data() + text.size();
}

bool validUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    int more;
    unsigned min;
    if ((*p & 0xE0) == 0xC0) {
      more = 1, min = 0x80;
    } else if ((*p & 0xF0) == 0xE0) {
      more = 2, min = 0x800;
    } else if ((*p & 0xF8) == 0xF0) {
      more = 3, min = 0x10000;
    } else {
      return false;
    }
    if (end - p <= more) return false;
    unsigned code = *p & (0x3F >> more);
    for (int k = 1; k <= more; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[k] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
    p += more + 1;
  }
  return true;
}

int Inf::searchType(std::string_view text, std::vector<int>& order) const {
  const int id = patterns->search(text, order);
  return id == PatternIndex::NO_MATCH ? OTHER_ID : id;
}

void Inf::probeExpressions(std::string_view text) const {
  for (const auto& entry : colTypePatterns) patterns->matches(typeIds.at(entry.first), text);
}

// The one classification rule. Missing values come first; then, with
// byText (see inferTypes), the text alone where no cache could change the
// result; then the cache; then the search in the column's trial order, whose
// result the cache keeps. Guard is the lock policy: a parallel pass guards
// the shared cache and a shared column's order, a sequential one takes none.
static_assert(FieldAutomaton::MAX_FIELD <= TextLog::MAX_TEXT, "the log takes every short field");
// Entries a log may hold and still be searched for a text; a larger log
// becomes cache entries instead.
constexpr size_t LOG_SEARCH_LIMIT = 256;

template <class Guard>
int Inf::classify(FieldProbe& field, std::vector<int>& order, const Locks& locks, ByText* byText,
                  ValueCache& cache, bool probeLong) const {
  // A text logged lately in this pass is no missing value and keeps the
  // match it was logged with.
  int32_t sole = PatternIndex::NO_MATCH;
  const bool logged = byText && field.isShort && cache.log.recentTag(field.key, sole);
  if (!logged && naSet.contains(field.text, field.key, field.isShort)) return NA_ID;
  if (byText && field.text.size() <= FieldAutomaton::MAX_FIELD) {
    if (!logged) sole = patterns->soleMatch(field.text);
    if (sole == PatternIndex::NO_MATCH || !byText->viaCache[static_cast<size_t>(sole)]) {
      // A match at the front stays there, whether the cache knew the text or not.
      if (sole == PatternIndex::NO_MATCH || order[0] == sole) {
        const int id = sole == PatternIndex::NO_MATCH ? OTHER_ID : sole;
        if (!logged && !typeNames[id].empty())
          cache.log.append(field.text, field.key, field.isShort, id, sole);
        return id;
      }
      // Whether this type moves to the front depends on whether the cache
      // knows the text. A short log is searched for it; past that, the
      // cache must know every text of this type from here on (a type never
      // cached has none).
      if (!typeNames[sole].empty()) {
        if (cache.log.size() <= LOG_SEARCH_LIMIT) {
          const bool known = cache.log.contains(field.text) ||
                             cache.table.find(field.text, field.textHash()) != TextTable::EMPTY;
          if (!known) {
            searchType(field.text, order);
            cache.log.append(field.text, field.key, field.isShort, sole, sole);
          }
          return sole;
        }
        cache.materialise();
        byText->viaCache[static_cast<size_t>(sole)] = 1;
      }
    }
  }
  int32_t id = field.early;
  if (id == TextTable::EMPTY) {
    Guard guard(locks.cache);
    id = cache.table.findAndRemember(field.text, field.key, field.isShort, field.textHash());
  }
  if (id != TextTable::EMPTY) return id;
  if (probeLong && field.text.size() > FieldAutomaton::MAX_FIELD) probeExpressions(field.text);
  {
    Guard guard(locks.column);
    id = searchType(field.text, order);
  }
  // A type with an empty name leaves the entry empty: the text is searched again.
  if (!typeNames[id].empty()) {
    Guard guard(locks.cache);
    cache.table.set(field.text, field.textHash(), id);
  }
  return id;
}

template int Inf::classify<MaybeLock>(FieldProbe&, std::vector<int>&, const Locks&, ByText*,
                                      ValueCache&, bool) const;

#define QUORLE_MERGE(member, key, group, merge) member = merge(member, other.member);
#define QUORLE_SAME(member, ...) &&member == other.member

void Quirks::add(const Quirks& other) { QUORLE_QUIRK_FIELDS(QUORLE_MERGE) }

bool Quirks::operator==(const Quirks& other) const { return true QUORLE_QUIRK_FIELDS(QUORLE_SAME); }

void PassTallies::add(const PassTallies& other) {
  quirks.add(other.quirks);
  QUORLE_LINE_FIELDS(QUORLE_MERGE)
}

#undef QUORLE_MERGE
#undef QUORLE_SAME

void Quirks::addTokenizer(const csv::CsvParser& parser) {
  const csv::CsvParser::Quirks& q = parser.quirks();
  midFieldQuotes += q.mid_field_quotes;
  textAfterQuote += q.text_after_quote;
  copyEndLines += q.copy_end_lines;
  quotedLineEnds += q.quoted_line_ends;
  lf += q.lf;
  crlf += q.crlf;
  cr += q.cr;
  if (q.unclosed_quote) unclosedQuote = 1;
}

void PassExtras::start(int headerWidth, size_t numTypes) {
  const size_t width = static_cast<size_t>(headerWidth);
  rowWidths.assign(width + 2, 0);
  maxLengths.assign(width, 0);
  examples.assign(width, std::vector<std::vector<std::string>>(numTypes));
  naSpellings.assign(width, {});
  invalidUtf8.assign(width, 0);
  fitsDouble.assign(width, 1);
  fitsInt64.assign(width, 1);
  checks.resize(numTypes, 0);
}

void PassExtras::countRow(size_t width) {
  ++rowWidths[std::min(width, rowWidths.size() - 1)];
  if (width == 1 && copyEndFirst) ++quirks.copyEndLines;
}

void PassExtras::noteNa(size_t c, std::string_view text, uint64_t k) {
  for (auto& [spelling, count] : naSpellings[c]) {
    if (spelling == text) {
      count += k;
      return;
    }
  }
  naSpellings[c].emplace_back(text, k);
}

void PassExtras::noteField(int c, int id, std::string_view text) {
  const size_t at = static_cast<size_t>(c);
  uint64_t& longest = maxLengths[at];
  if (text.size() > longest) longest = text.size();
  if (c == 0) copyEndFirst = text == "\\.";
  if (!validUtf8(text)) ++invalidUtf8[at];
  if (std::memchr(text.data(), 0, text.size()) != nullptr) ++quirks.nulBytes;
  const uint8_t check = checks[static_cast<size_t>(id)];
  if (check & IS_NA) noteNa(at, text, 1);
  if ((check & CHECK_DOUBLE) && fitsDouble[at]) fitsDouble[at] = ::fitsDouble(text);
  if ((check & CHECK_INT64) && fitsInt64[at]) fitsInt64[at] = ::fitsInt64(text);
  if (examplesPerType <= 0) return;
  std::vector<std::string>& texts = examples[at][static_cast<size_t>(id)];
  if (texts.size() >= static_cast<size_t>(examplesPerType)) return;
  for (const auto& seen : texts)
    if (seen == text) return;
  texts.emplace_back(text);
}

void PassExtras::merge(const PassExtras& later) {
  for (size_t w = 0; w < rowWidths.size() && w < later.rowWidths.size(); ++w)
    rowWidths[w] += later.rowWidths[w];
  for (size_t c = 0; c < maxLengths.size() && c < later.maxLengths.size(); ++c) {
    maxLengths[c] = std::max(maxLengths[c], later.maxLengths[c]);
    invalidUtf8[c] += later.invalidUtf8[c];
    fitsDouble[c] &= later.fitsDouble[c];
    fitsInt64[c] &= later.fitsInt64[c];
    for (const auto& [spelling, count] : later.naSpellings[c]) noteNa(c, spelling, count);
  }
  for (size_t c = 0; c < examples.size() && c < later.examples.size(); ++c)
    for (size_t id = 0; id < examples[c].size() && id < later.examples[c].size(); ++id)
      for (const auto& text : later.examples[c][id]) {
        std::vector<std::string>& texts = examples[c][id];
        if (texts.size() < static_cast<size_t>(std::max(examplesPerType, 0)) &&
            std::find(texts.begin(), texts.end(), text) == texts.end())
          texts.push_back(text);
      }
  PassTallies::add(later);
}

void RowStarts::reserve(size_t capacity) {
  this->capacity = capacity;
  ring.clear();
  seen = 0;
}

void RowStarts::add(uint64_t offset) {
  if (capacity == 0) return;
  if (ring.size() < capacity)
    ring.push_back(offset);
  else
    ring[seen % capacity] = offset;
  ++seen;
}

bool RowStarts::find(uint64_t row, uint64_t& offset) const {
  if (row >= seen || seen - row > ring.size()) return false;
  offset = ring[row % capacity];
  return true;
}

RangePass::RangePass(const Inf& inf, ValueCache& cache) : inf(inf), cache(cache) {
  window = static_cast<uint64_t>(static_cast<int64_t>(inf.rollingCacheWindow));
  shortcut = inf.shortcutUsable();
  byText.viaCache.assign(inf.typeNames.size(), 0);
  // The missing values may have changed since texts were logged.
  cache.log.forgetRecent();
  if (shortcut && !cache.foreign) active = &byText;
  if (!shortcut) cache.materialise();
}

void RangePass::classifyRow(const std::vector<std::string>& fields) {
  const Inf::Locks none;
  const size_t width = std::min(fields.size(), static_cast<size_t>(numCols));
  for (size_t c = 0; c < width; ++c) {
    FieldProbe field(fields[c]);
    const int id = inf.classify<NoLock>(field, *positionOrders[c], none, active, cache, probeLong);
    ++positionCounts[c][id];
    if (extras) extras->noteField(static_cast<int>(c), id, field.text);
    if (typesFile) appendEntry(currLine, static_cast<int>(c), inf.typeNames[id]);
  }
  if (extras) extras->countRow(fields.size());
  endRow();
}

void RangePass::bindColumns(const std::vector<std::string>& names, const std::vector<int>& order) {
  numCols = static_cast<int>(names.size());
  const size_t width = names.size();
  std::unordered_map<std::string_view, size_t> nameIndex;
  nameOf.resize(width);
  for (size_t c = 0; c < width; ++c) {
    auto found = nameIndex.emplace(names[c], distinct.size());
    if (found.second) distinct.push_back(names[c]);
    nameOf[c] = found.first->second;
  }
  nameCounts.assign(distinct.size(), std::vector<uint64_t>(inf.typeNames.size(), 0));
  nameOrders.assign(distinct.size(), order);
  positionOrders.resize(width);
  positionCounts.resize(width);
  byColumn.assign(width, nullptr);
  std::vector<int> uses(distinct.size(), 0);
  for (size_t c = 0; c < width; ++c) ++uses[nameOf[c]];
  for (size_t c = 0; c < width; ++c) {
    positionOrders[c] = &nameOrders[nameOf[c]];
    positionCounts[c] = nameCounts[nameOf[c]].data();
    if (uses[nameOf[c]] > 1) byColumn[c] = &nameLocks[distinct[nameOf[c]]];
  }
  if (extras) extras->start(numCols, inf.typeNames.size());
}

void RangePass::noteHeaderCell(int c, const std::string& name) {
  if (typesFile) appendEntry(currLine, c, name);
}

void RangePass::writeTypes() {
  if (typesFile && !typesBuffer.empty()) {
    typesFile->write(typesBuffer.data(), static_cast<std::streamsize>(typesBuffer.size()));
    typesBuffer.clear();
  }
}

void RangePass::endLine() {
  if (typesFile) {
    typesBuffer += currLine;
    typesBuffer.push_back('\n');
    if (typesBuffer.size() >= (1u << 20)) writeTypes();
  }
  currLine.clear();
}

void RangePass::endRow() {
  endLine();
  countRow();
}

void RangePass::countHeader() {
  rowBase = 1;
  countRow();
}

void RangePass::countRow() {
  ++rowCount;
  // A window of 0 would divide by zero: it means the cache is never emptied.
  if (window != 0 && rowCount % window == 0) {
    cache.clear();
    if (shortcut) {
      std::fill(byText.viaCache.begin(), byText.viaCache.end(), 0);
      active = &byText;
    }
  }
}

void RangePass::finish() { writeTypes(); }

// A sequential pass's fields: classified as they come while the shortcut is
// active, else held a few tokens so that their cache look-ups overlap.
class RangePass::SequentialSink : public RowSink {
 public:
  SequentialSink(RangePass& pass, uint64_t base) : pass(pass), base(base) {}

  __attribute__((always_inline)) void field(size_t at, std::string_view text) {
    const int c = static_cast<int>(at);
    if (at >= static_cast<size_t>(pass.numCols)) return;
    if (pass.active) {
      FieldProbe field(text);
      classify(field, c);
    } else {
      if (ahead.full()) flush();
      ahead.hold(text, c, pass.cache.table);
    }
  }
  void beforeRead() { flush(); }
  bool row(std::streamoff start, size_t width) {
    flush();
    if (pass.extras) pass.extras->countRow(width);
    pass.endRow();
    pass.starts.add(base + static_cast<uint64_t>(start));
    return true;
  }

 private:
  RangePass& pass;
  const uint64_t base;
  LookAhead ahead;

  __attribute__((always_inline)) void classify(FieldProbe& field, int c) {
    const int id = pass.inf.classify<NoLock>(field, *pass.positionOrders[c], Inf::Locks{},
                                             pass.active, pass.cache, pass.probeLong);
    ++pass.positionCounts[c][id];
    if (pass.extras) pass.extras->noteField(c, id, field.text);
    if (pass.typesFile) appendEntry(pass.currLine, c, pass.inf.typeNames[id]);
  }
  void flush() {
    ahead.flush([this](FieldProbe& field, int c) { classify(field, c); });
  }
};

// A multithreaded pass's rows, collected whole: the threads read them in place.
class RangePass::ParallelSink : public RowSink {
 public:
  ParallelSink(RangePass& pass, RowCursor& cursor) : pass(pass), cursor(cursor) {}

  void field(size_t c, std::string_view text) {
    if (c == cells.size()) cells.emplace_back();
    cells[c] = cursor.take(text);
  }
  bool row(std::streamoff, size_t width) {
    pass.classifyInThreads(cells, width);
    return true;
  }

 private:
  RangePass& pass;
  RowCursor& cursor;
  std::vector<std::string> cells;
};

void RangePass::run(RowCursor& cursor, uint64_t base, uint64_t end) {
  nextRow = base;
  if (base >= end) return;
  if (inf.multithreading) {
    ParallelSink sink(*this, cursor);
    cursor.read(sink);
  } else {
    SequentialSink sink(*this, base);
    cursor.read(sink, end - base);
  }
  nextRow = base + static_cast<uint64_t>(cursor.position());
}

void RangePass::classifyInThreads(const std::vector<std::string>& row, size_t rowWidth) {
  std::vector<int> ids(static_cast<size_t>(numCols));
  const int width = static_cast<int>(std::min(rowWidth, static_cast<size_t>(numCols)));
  // The threads read the row in place: it is not touched until the next row.
  std::vector<std::exception_ptr> errors(static_cast<size_t>(width));
  auto classifyColumn = [this, &row, &ids, &errors](int c) {
    try {
      const Inf::Locks locks{&cacheLock, byColumn[c]};
      FieldProbe field(row[c]);
      const int id =
          inf.classify<MaybeLock>(field, *positionOrders[c], locks, nullptr, cache, false);
      MaybeLock guard(byColumn[c]);
      ++positionCounts[c][id];
      ids[c] = id;
    } catch (...) {
      errors[c] = std::current_exception();
    }
  };
  {
    RowThreads threads;
    threads.ft.resize(static_cast<size_t>(numCols));
    for (int c = 0; c < width; ++c) {
      try {
        threads.ft[c] = std::thread(classifyColumn, c);
      } catch (const std::system_error&) {
        // Out of threads: classify this field here, the result is the same.
        classifyColumn(c);
      }
    }
  }
  for (int c = 0; c < width; ++c)
    if (errors[c]) std::rethrow_exception(errors[c]);
  if (extras) {
    for (int c = 0; c < width; ++c) extras->noteField(c, ids[c], row[c]);
    extras->countRow(rowWidth);
  }
  if (typesFile)
    for (int c = 0; c < width; ++c) appendEntry(currLine, c, inf.typeNames[ids[c]]);
  endRow();
}

uint64_t RangePass::guessRowStart(const std::string& path, uint64_t cut, char delimiter) {
  std::ifstream input(path, std::ios::binary);
  if (cut > 0) {
    // A row end just before the cut makes the cut itself a row start; a CR
    // there may still pair with an LF at the cut.
    input.seekg(static_cast<std::streamoff>(cut - 1));
    char before = 0;
    if (input.get(before) && (before == '\n' || before == '\r')) {
      if (before == '\r' && input.peek() == '\n') return cut + 1;
      return cut;
    }
    input.clear();
  }
  input.seekg(static_cast<std::streamoff>(cut));
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);
  const ReadingRules asWritten;
  RowCursor cursor(parser, asWritten);
  cursor.finishRow();
  return cut + static_cast<uint64_t>(cursor.position());
}
