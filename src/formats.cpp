#include "formats.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace formats {
namespace {

// ---------------------------------------------------------------------------
// Pattern elements, shared by the checks, the regex and the conversion, so
// that the three read a pattern the same way.

enum class Field {
  LITERAL,
  YEAR4,
  YEAR2,
  MONTH,
  MONTH_ABBR,
  MONTH_NAME,
  DAY,
  HOUR24,
  HOUR12,
  HALF,
  MINUTE,
  SECOND,
  FRACTION,
  UNKNOWN,
  LONE_PERCENT,
};

struct Element {
  Field field = Field::LITERAL;
  char byte = 0;  // the literal byte, or the directive's letter
};

constexpr std::array<std::string_view, 12> MONTH_NAMES = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
constexpr size_t ABBREVIATION_LENGTH = 3;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// The directive letters in the order of the fields they give, from YEAR4 on.
constexpr std::string_view DIRECTIVES = "YymbBdHIpMSf";

Field fieldOf(char directive) {
  const size_t at = DIRECTIVES.find(directive);
  if (at == std::string_view::npos) return Field::UNKNOWN;
  return static_cast<Field>(static_cast<size_t>(Field::YEAR4) + at);
}

// Reads the element at pos and moves past it; false at the pattern's end.
bool nextElement(std::string_view pattern, size_t& pos, Element& element) {
  if (pos >= pattern.size()) return false;
  const char c = pattern[pos++];
  if (c != '%') {
    element = {Field::LITERAL, c};
  } else if (pos == pattern.size()) {
    element = {Field::LONE_PERCENT, c};
  } else {
    const char directive = pattern[pos++];
    element = {directive == '%' ? Field::LITERAL : fieldOf(directive), directive};
  }
  return true;
}

bool givesDigits(const Element& element) {
  switch (element.field) {
    case Field::LITERAL:
      return isDigit(element.byte);
    case Field::YEAR4:
    case Field::YEAR2:
    case Field::MONTH:
    case Field::DAY:
    case Field::HOUR24:
    case Field::HOUR12:
    case Field::MINUTE:
    case Field::SECOND:
    case Field::FRACTION:
      return true;
    default:
      return false;
  }
}

// A field of 1-2 digits (1-6 for a fraction) takes its full width when
// digits follow it: otherwise "%m%d" could split "111" two ways.
bool fullWidth(std::string_view pattern, size_t after) {
  Element next;
  return nextElement(pattern, after, next) && givesDigits(next);
}

bool isLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : DAYS[month - 1];
}

constexpr int YEARS_PER_CENTURY = 100;

// The year a two-digit year stands for: the first at or after the pivot.
int expandYear(int twoDigits, int pivot) {
  const int year = pivot - pivot % YEARS_PER_CENTURY + twoDigits;
  return twoDigits < pivot % YEARS_PER_CENTURY ? year + YEARS_PER_CENTURY : year;
}

// ---------------------------------------------------------------------------
// Checks.

[[noreturn]] void refuse(const std::string& message) { throw std::invalid_argument(message); }

std::string directive(char letter) { return std::string("%") + letter; }

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::DATE:
      return "date";
    case Kind::TIME:
      return "time";
    case Kind::DATETIME:
      return "datetime";
    case Kind::NUMBER:
      return "number";
    case Kind::BOOLEAN:
      return "boolean";
  }
  return "?";
}

// What a pattern fills: the directive letter per part, 0 for none.
enum Part { YEAR, MONTH, DAY, HOUR, HALF, MINUTE, SECOND, FRACTION, PART_COUNT };
using Parts = std::array<char, PART_COUNT>;

Part partOf(Field field) {
  switch (field) {
    case Field::YEAR4:
    case Field::YEAR2:
      return YEAR;
    case Field::MONTH:
    case Field::MONTH_ABBR:
    case Field::MONTH_NAME:
      return MONTH;
    case Field::DAY:
      return DAY;
    case Field::HOUR24:
    case Field::HOUR12:
      return HOUR;
    case Field::HALF:
      return HALF;
    case Field::MINUTE:
      return MINUTE;
    case Field::SECOND:
      return SECOND;
    default:
      return FRACTION;
  }
}

Parts partsOf(const std::string& pattern, const std::string& where) {
  Parts parts{};
  size_t pos = 0;
  Element element;
  while (nextElement(pattern, pos, element)) {
    if (element.field == Field::LITERAL) continue;
    if (element.field == Field::UNKNOWN)
      refuse(where + "unknown directive " + directive(element.byte) + "; write %% for a '%'");
    if (element.field == Field::LONE_PERCENT)
      refuse(where + "a lone '%' ends it; write %% for a '%'");
    char& seen = parts[partOf(element.field)];
    if (seen == element.byte) refuse(where + directive(seen) + " appears twice");
    if (seen != 0)
      refuse(where + directive(seen) + " and " + directive(element.byte) +
             " both give the same part");
    seen = element.byte;
  }
  return parts;
}

void requirePart(const Parts& parts, Part part, const std::string& where, const char* what) {
  if (parts[part] == 0) refuse(where + "lacks " + what);
}

void checkClock(const Parts& parts, const std::string& where) {
  if (parts[HOUR] == 'H' && parts[HALF] != 0)
    refuse(where + "%H counts hours 0-23 and takes no %p; use %I with %p");
  if (parts[HOUR] == 'I' && parts[HALF] == 0) refuse(where + "%I needs %p (AM or PM)");
  if (parts[HALF] != 0 && parts[HOUR] != 'I') refuse(where + "%p needs %I (hours 1-12)");
  requirePart(parts, HOUR, where, "the hour (%H, or %I with %p)");
  requirePart(parts, MINUTE, where, "the minutes (%M)");
  if (parts[FRACTION] != 0) requirePart(parts, SECOND, where, "the seconds (%S) that %f follows");
}

constexpr int LAST_PIVOT = 9999 - 99;  // the latest pivot whose years all have 4 digits

void checkPivot(const Parts& parts, std::optional<int> pivot, const std::string& where) {
  if (parts[YEAR] == 'y' && !pivot)
    refuse(where + "%y needs pivot_year, the first year two-digit years stand for (e.g. 1970)");
  if (pivot && parts[YEAR] != 'y') refuse(where + "pivot_year is set but there is no %y");
  if (pivot && (*pivot < 0 || *pivot > LAST_PIVOT))
    refuse(where + "pivot_year must lie in 0.." + std::to_string(LAST_PIVOT));
}

// The kind a pattern's directives give; throws when they give none.
Kind patternKind(const std::string& pattern, std::optional<int> pivot) {
  const std::string where = "format pattern \"" + pattern + "\": ";
  const Parts parts = partsOf(pattern, where);
  const bool date = parts[YEAR] || parts[MONTH] || parts[DAY];
  const bool time = parts[HOUR] || parts[HALF] || parts[MINUTE] || parts[SECOND] || parts[FRACTION];
  if (!date && !time) refuse(where + "has no date or time directive");
  if (date) {
    requirePart(parts, YEAR, where, "the year (%Y or %y)");
    requirePart(parts, MONTH, where, "the month (%m, %b or %B)");
    requirePart(parts, DAY, where, "the day (%d)");
  }
  if (time) checkClock(parts, where);
  checkPivot(parts, pivot, where);
  return date && time ? Kind::DATETIME : date ? Kind::DATE : Kind::TIME;
}

constexpr std::array<std::string_view, 7> GROUP_SEPARATORS = {",",      ".", " ",     "\u00a0",
                                                              "\u202f", "'", "\u2019"};

bool allowedSeparator(const std::string& separator) {
  if (separator.empty()) return true;
  for (std::string_view allowed : GROUP_SEPARATORS)
    if (separator == allowed) return true;
  return false;
}

void checkNumber(const Format& format) {
  if (format.decimalMark != '.' && format.decimalMark != ',')
    refuse("number format: decimal_mark must be '.' or ','");
  if (!allowedSeparator(format.groupSeparator))
    refuse("number format: group \"" + format.groupSeparator +
           "\" is none of ',', '.', ' ', U+00A0, U+202F, \"'\", U+2019 (or empty for none)");
  if (format.groupSeparator == std::string(1, format.decimalMark))
    refuse("number format: decimal_mark and group are both '" + format.groupSeparator + "'");
  // A digit, sign or '%' in the symbol would make where the number starts ambiguous.
  for (char c : format.currency)
    if (isDigit(c) || c == '+' || c == '-' || c == '%')
      refuse("number format: currency \"" + format.currency +
             "\" may not hold digits, signs or '%'");
  if (format.percent && !format.currency.empty())
    refuse("number format: a percentage takes no currency");
}

void checkWords(const std::vector<std::string>& words, const char* name) {
  if (words.empty()) refuse(std::string("boolean format: no ") + name + " words");
  for (const auto& word : words)
    if (word.empty())
      refuse(std::string("boolean format: the ") + name + " words hold an empty word");
}

void checkBoolean(const Format& format) {
  checkWords(format.trueWords, "true");
  checkWords(format.falseWords, "false");
  for (const auto& yes : format.trueWords)
    for (const auto& no : format.falseWords)
      if (equalFolded(yes, no))
        refuse("boolean format: \"" + yes + "\" is both a true and a false word");
}

}  // namespace

void Format::check() const {
  switch (kind) {
    case Kind::NUMBER:
      return checkNumber(*this);
    case Kind::BOOLEAN:
      return checkBoolean(*this);
    default:
      break;
  }
  const Kind given = patternKind(pattern, pivotYear);
  if (given != kind)
    refuse("format pattern \"" + pattern + "\" gives a " + kindName(given) + ", not a " +
           kindName(kind));
}

Format Format::temporal(std::string pattern, std::optional<int> pivotYear) {
  Format format;
  format.kind = patternKind(pattern, pivotYear);
  format.pattern = std::move(pattern);
  format.pivotYear = pivotYear;
  return format;
}

Format Format::number(char decimalMark, std::string groupSeparator, std::string currency,
                      bool currencyAfter, bool currencySpace, bool percent) {
  Format format;
  format.decimalMark = decimalMark;
  format.groupSeparator = std::move(groupSeparator);
  format.currency = std::move(currency);
  format.currencyAfter = currencyAfter;
  format.currencySpace = currencySpace;
  format.percent = percent;
  format.check();
  return format;
}

Format Format::boolean(std::vector<std::string> trueWords, std::vector<std::string> falseWords) {
  Format format;
  format.kind = Kind::BOOLEAN;
  format.trueWords = std::move(trueWords);
  format.falseWords = std::move(falseWords);
  format.check();
  return format;
}

}  // namespace formats

// ---------------------------------------------------------------------------
// Regular expressions. Only literals, bracket expressions, groups,
// alternation and counted repeats: the engine's byte automaton takes those.

namespace formats {
namespace {

// Punctuation that stands for itself unescaped, and punctuation that needs a
// backslash; every other ASCII byte goes in brackets, which take any byte as
// is. Bytes past ASCII stand for themselves, so that the source stays the
// UTF-8 a pattern table holds.
constexpr std::string_view PLAIN_PUNCTUATION = " _,:;'\"!%&=<>@~`#";
constexpr std::string_view ESCAPED_PUNCTUATION = ".-\\[](){}*+?|^$/";
constexpr unsigned char ASCII_END = 0x80;

void appendLiteral(std::string& out, char c) {
  if (isDigit(c) || isLetter(c) || PLAIN_PUNCTUATION.find(c) != std::string_view::npos ||
      static_cast<unsigned char>(c) >= ASCII_END) {
    out += c;
  } else if (ESCAPED_PUNCTUATION.find(c) != std::string_view::npos) {
    out += '\\';
    out += c;
  } else {
    out += '[';
    out += c;
    out += ']';
  }
}

void appendLiteral(std::string& out, std::string_view text) {
  for (char c : text) appendLiteral(out, c);
}

// Letters of either case through a class: the engine compiles without flags.
void appendFolded(std::string& out, std::string_view text) {
  for (char c : text) {
    if (!isLetter(c)) {
      appendLiteral(out, c);
      continue;
    }
    out += '[';
    out += upper(c);
    out += lower(c);
    out += ']';
  }
}

// Calendar validity as four alternatives, each fixing which days go with
// which months and years.
enum class DayCase { ORDINARY, NOT_FEBRUARY, LONG_MONTH, LEAP_DAY };
constexpr DayCase DAY_CASES[] = {DayCase::ORDINARY, DayCase::NOT_FEBRUARY, DayCase::LONG_MONTH,
                                 DayCase::LEAP_DAY};

// A bit per month, bit m for month m.
using MonthSet = uint16_t;
constexpr MonthSet ALL_MONTHS = 0x1ffe;
constexpr MonthSet FEBRUARY = 1 << 2;
constexpr MonthSet LONG_MONTHS = 1 << 1 | 1 << 3 | 1 << 5 | 1 << 7 | 1 << 8 | 1 << 10 | 1 << 12;

MonthSet monthsOf(DayCase dayCase) {
  switch (dayCase) {
    case DayCase::ORDINARY:
      return ALL_MONTHS;
    case DayCase::NOT_FEBRUARY:
      return ALL_MONTHS & ~FEBRUARY;
    case DayCase::LONG_MONTH:
      return LONG_MONTHS;
    case DayCase::LEAP_DAY:
      return FEBRUARY;
  }
  return ALL_MONTHS;
}

void appendDigitClass(std::string& out, const std::string& digits) {
  if (digits.size() == 1) {
    out += digits;
  } else {
    out += '[' + digits + ']';
  }
}

// Months 1-9 with an optional (or, at full width, required) leading zero,
// then months 10-12.
void appendMonthNumber(std::string& out, MonthSet months, bool full) {
  std::string units, teens;
  for (int month = 1; month <= 12; ++month) {
    if (!(months >> month & 1)) continue;
    (month < 10 ? units : teens) += static_cast<char>('0' + month % 10);
  }
  out += "(?:";
  if (!units.empty()) {
    out += full ? "0" : "0?";
    appendDigitClass(out, units);
  }
  if (!teens.empty()) {
    if (!units.empty()) out += '|';
    out += '1';
    appendDigitClass(out, teens);
  }
  out += ')';
}

void appendMonthName(std::string& out, MonthSet months, bool abbreviated) {
  out += "(?:";
  bool first = true;
  for (int month = 1; month <= 12; ++month) {
    if (!(months >> month & 1)) continue;
    if (!first) out += '|';
    first = false;
    const std::string_view name = MONTH_NAMES[month - 1];
    appendFolded(out, abbreviated ? name.substr(0, ABBREVIATION_LENGTH) : name);
  }
  out += ')';
}

void appendDay(std::string& out, DayCase dayCase, bool full) {
  switch (dayCase) {
    case DayCase::ORDINARY:
      out += full ? "(?:0[1-9]|1[0-9]|2[0-8])" : "(?:0?[1-9]|1[0-9]|2[0-8])";
      break;
    case DayCase::NOT_FEBRUARY:
      out += "(?:29|30)";
      break;
    case DayCase::LONG_MONTH:
      out += "31";
      break;
    case DayCase::LEAP_DAY:
      out += "29";
      break;
  }
}

// Years divisible by 4 but not 100, or by 400.
constexpr const char* LEAP_YEAR =
    "(?:[0-9]{2}(?:0[48]|[2468][048]|[13579][26])|(?:0[048]|[2468][048]|[13579][26])00)";
// Two-digit years divisible by 4 other than 00, whose century decides.
constexpr const char* LEAP_TWO_DIGITS = "0[48]|[2468][048]|[13579][26]";

void appendYear(std::string& out, const Format& format, Field field, DayCase dayCase) {
  if (dayCase != DayCase::LEAP_DAY) {
    out += field == Field::YEAR4 ? "[0-9]{4}" : "[0-9]{2}";
  } else if (field == Field::YEAR4) {
    out += LEAP_YEAR;
  } else {
    out += "(?:";
    out += LEAP_TWO_DIGITS;
    if (isLeap(expandYear(0, format.pivotYear.value_or(0)))) out += "|00";
    out += ')';
  }
}

void appendClockField(std::string& out, Field field, bool full) {
  switch (field) {
    case Field::HOUR24:
      out += full ? "(?:[01][0-9]|2[0-3])" : "(?:[01]?[0-9]|2[0-3])";
      break;
    case Field::HOUR12:
      out += full ? "(?:0[1-9]|1[0-2])" : "(?:0?[1-9]|1[0-2])";
      break;
    case Field::HALF:
      out += "[AaPp][Mm]";
      break;
    case Field::MINUTE:
    case Field::SECOND:
      out += "[0-5][0-9]";
      break;
    default:
      out += full ? "[0-9]{6}" : "[0-9]{1,6}";
      break;
  }
}

void appendElement(std::string& out, const Format& format, const Element& element, bool full,
                   DayCase dayCase) {
  switch (element.field) {
    case Field::LITERAL:
      return appendLiteral(out, element.byte);
    case Field::YEAR4:
    case Field::YEAR2:
      return appendYear(out, format, element.field, dayCase);
    case Field::MONTH:
      return appendMonthNumber(out, monthsOf(dayCase), full);
    case Field::MONTH_ABBR:
      return appendMonthName(out, monthsOf(dayCase), true);
    case Field::MONTH_NAME:
      return appendMonthName(out, monthsOf(dayCase), false);
    case Field::DAY:
      return appendDay(out, dayCase, full);
    default:
      return appendClockField(out, element.field, full);
  }
}

constexpr size_t NO_ELEMENT = static_cast<size_t>(-1);

// Elements [from, to) of the pattern, by index.
void appendElements(std::string& out, const Format& format, size_t from, size_t to,
                    DayCase dayCase) {
  size_t pos = 0;
  Element element;
  for (size_t index = 0; index < to && nextElement(format.pattern, pos, element); ++index)
    if (index >= from) appendElement(out, format, element, fullWidth(format.pattern, pos), dayCase);
}

bool isDatePart(Field field) {
  return field == Field::YEAR4 || field == Field::YEAR2 || field == Field::MONTH ||
         field == Field::MONTH_ABBR || field == Field::MONTH_NAME || field == Field::DAY;
}

// Only the span from the first date element to the last differs between
// the day cases; what lies around it is written once.
std::string temporalRegex(const Format& format) {
  size_t first = NO_ELEMENT, last = NO_ELEMENT, pos = 0;
  Element element;
  for (size_t index = 0; nextElement(format.pattern, pos, element); ++index) {
    if (!isDatePart(element.field)) continue;
    if (first == NO_ELEMENT) first = index;
    last = index;
  }
  std::string out;
  if (first == NO_ELEMENT) {
    appendElements(out, format, 0, NO_ELEMENT, DayCase::ORDINARY);
    return out;
  }
  appendElements(out, format, 0, first, DayCase::ORDINARY);
  out += "(?:";
  for (DayCase dayCase : DAY_CASES) {
    if (dayCase != DAY_CASES[0]) out += '|';
    appendElements(out, format, first, last + 1, dayCase);
  }
  out += ')';
  appendElements(out, format, last + 1, NO_ELEMENT, DayCase::ORDINARY);
  return out;
}

// Digits grouped in threes after a leading group of 1-3, or not grouped.
std::string numberBody(const Format& format) {
  std::string integer = "[0-9]+";
  if (!format.groupSeparator.empty()) {
    integer = "(?:[0-9]{1,3}(?:";
    appendLiteral(integer, format.groupSeparator);
    integer += "[0-9]{3})+|[0-9]+)";
  }
  std::string fraction;
  appendLiteral(fraction, format.decimalMark);
  fraction += "[0-9]+";
  return "(?:" + integer + "(?:" + fraction + ")?|" + fraction + ")";
}

std::string numberRegex(const Format& format) {
  const std::string body = numberBody(format);
  const std::string sign = "[+-]";
  if (format.percent) return sign + "?" + body + "%";
  if (format.currency.empty()) return sign + "?" + body;
  std::string symbol;
  appendLiteral(symbol, format.currency);
  const std::string space = format.currencySpace ? "(?: )?" : "";
  if (format.currencyAfter) return sign + "?" + body + space + symbol;
  // The sign before the symbol or between symbol and number.
  return "(?:" + sign + "?" + symbol + space + body + "|" + symbol + space + sign + body + ")";
}

std::string booleanRegex(const Format& format) {
  std::string out = "(?:";
  bool first = true;
  for (const auto* words : {&format.trueWords, &format.falseWords}) {
    for (const auto& word : *words) {
      if (!first) out += '|';
      first = false;
      appendFolded(out, word);
    }
  }
  return out + ")";
}

}  // namespace

std::string regexSource(const Format& format) {
  format.check();
  switch (format.kind) {
    case Kind::NUMBER:
      return numberRegex(format);
    case Kind::BOOLEAN:
      return booleanRegex(format);
    default:
      return temporalRegex(format);
  }
}

}  // namespace formats

// ---------------------------------------------------------------------------
// Conversion, once per field at load time: no allocation beyond what
// `canonical` already holds.

namespace formats {
namespace {

struct Reading {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int half = -1;  // 0 for AM, 1 for PM, -1 when not written
  std::string_view fraction;
};

// Reads least..most digits, as many as there are.
bool readDigits(std::string_view text, size_t& pos, size_t least, size_t most, int& value) {
  size_t count = 0;
  value = 0;
  for (; count < most && pos + count < text.size() && isDigit(text[pos + count]); ++count)
    value = value * 10 + (text[pos + count] - '0');
  if (count < least) return false;
  pos += count;
  return true;
}

bool readRanged(std::string_view text, size_t& pos, size_t least, int low, int high, int& value) {
  constexpr size_t MOST = 2;
  return readDigits(text, pos, least, MOST, value) && value >= low && value <= high;
}

bool readMonthName(std::string_view text, size_t& pos, bool abbreviated, int& month) {
  for (size_t i = 0; i < MONTH_NAMES.size(); ++i) {
    const std::string_view name =
        abbreviated ? MONTH_NAMES[i].substr(0, ABBREVIATION_LENGTH) : MONTH_NAMES[i];
    if (!equalFolded(text.substr(pos, name.size()), name)) continue;
    pos += name.size();
    month = static_cast<int>(i) + 1;
    return true;
  }
  return false;
}

bool readHalf(std::string_view text, size_t& pos, int& half) {
  if (pos + 2 > text.size() || lower(text[pos + 1]) != 'm') return false;
  const char first = lower(text[pos]);
  if (first != 'a' && first != 'p') return false;
  half = first == 'p';
  pos += 2;
  return true;
}

bool readFraction(std::string_view text, size_t& pos, bool full, std::string_view& fraction) {
  constexpr size_t MOST = 6;
  const size_t start = pos;
  int ignored = 0;
  if (!readDigits(text, pos, full ? MOST : 1, MOST, ignored)) return false;
  fraction = text.substr(start, pos - start);
  return true;
}

bool readElement(const Format& format, const Element& element, bool full, std::string_view text,
                 size_t& pos, Reading& r) {
  const size_t least = full ? 2 : 1;
  switch (element.field) {
    case Field::LITERAL:
      if (pos >= text.size() || text[pos] != element.byte) return false;
      ++pos;
      return true;
    case Field::YEAR4:
      return readDigits(text, pos, 4, 4, r.year);
    case Field::YEAR2:
      if (!format.pivotYear || !readDigits(text, pos, 2, 2, r.year)) return false;
      r.year = expandYear(r.year, *format.pivotYear);
      return true;
    case Field::MONTH:
      return readRanged(text, pos, least, 1, 12, r.month);
    case Field::MONTH_ABBR:
      return readMonthName(text, pos, true, r.month);
    case Field::MONTH_NAME:
      return readMonthName(text, pos, false, r.month);
    case Field::DAY:
      return readRanged(text, pos, least, 1, 31, r.day);
    case Field::HOUR24:
      return readRanged(text, pos, least, 0, 23, r.hour);
    case Field::HOUR12:
      return readRanged(text, pos, least, 1, 12, r.hour);
    case Field::HALF:
      return readHalf(text, pos, r.half);
    case Field::MINUTE:
      return readRanged(text, pos, 2, 0, 59, r.minute);
    case Field::SECOND:
      return readRanged(text, pos, 2, 0, 59, r.second);
    case Field::FRACTION:
      return readFraction(text, pos, full, r.fraction);
    default:
      return false;
  }
}

void appendPadded(std::string& out, int value, int width) {
  char digits[4];
  for (int i = width - 1; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
  out.append(digits, static_cast<size_t>(width));
}

void writeTemporal(Kind kind, const Reading& r, std::string& out) {
  out.clear();
  if (kind != Kind::TIME) {
    appendPadded(out, r.year, 4);
    out += '-';
    appendPadded(out, r.month, 2);
    out += '-';
    appendPadded(out, r.day, 2);
    if (kind == Kind::DATE) return;
    out += ' ';
  }
  appendPadded(out, r.hour, 2);
  out += ':';
  appendPadded(out, r.minute, 2);
  out += ':';
  appendPadded(out, r.second, 2);
  if (r.fraction.empty()) return;
  out += '.';
  out += r.fraction;
}

constexpr int HOURS_PER_HALF = 12;

bool convertTemporal(const Format& format, std::string_view text, std::string& canonical) {
  Reading r;
  size_t pos = 0, at = 0;
  Element element;
  while (nextElement(format.pattern, at, element))
    if (!readElement(format, element, fullWidth(format.pattern, at), text, pos, r)) return false;
  if (pos != text.size()) return false;
  if (format.kind != Kind::TIME &&
      (r.month < 1 || r.day < 1 || r.day > daysInMonth(r.year, r.month)))
    return false;
  if (r.half >= 0) r.hour = r.hour % HOURS_PER_HALF + HOURS_PER_HALF * r.half;
  writeTemporal(format.kind, r, canonical);
  return true;
}

bool take(std::string_view text, size_t& pos, std::string_view expected) {
  if (text.substr(pos, expected.size()) != expected) return false;
  pos += expected.size();
  return true;
}

// A '+' or '-'; only the minus reaches the canonical text.
bool takeSign(std::string_view text, size_t& pos, std::string& out) {
  if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) return false;
  if (text[pos] == '-') out += '-';
  ++pos;
  return true;
}

bool digitAt(std::string_view text, size_t pos) { return pos < text.size() && isDigit(text[pos]); }

// The integer digits, without separators, onto out. A separator counts only
// before a digit, so a symbol or space after the number is never taken for one.
bool readInteger(const Format& format, std::string_view text, size_t& pos, std::string& out) {
  constexpr size_t GROUP = 3;
  const std::string_view separator = format.groupSeparator;
  size_t run = 0;
  bool grouped = false;
  while (pos < text.size()) {
    if (isDigit(text[pos])) {
      out += text[pos++];
      ++run;
    } else if (!separator.empty() && text.substr(pos, separator.size()) == separator &&
               digitAt(text, pos + separator.size())) {
      if (run == 0 || run > GROUP || (grouped && run != GROUP)) return false;
      grouped = true;
      run = 0;
      pos += separator.size();
    } else {
      break;
    }
  }
  return !grouped || run == GROUP;
}

// Integer and fraction digits onto out; the fraction's length is the scale.
bool readNumberBody(const Format& format, std::string_view text, size_t& pos, std::string& out,
                    size_t& scale) {
  const size_t first = out.size();
  if (!readInteger(format, text, pos, out)) return false;
  scale = 0;
  if (pos < text.size() && text[pos] == format.decimalMark && digitAt(text, pos + 1)) {
    for (++pos; digitAt(text, pos); ++pos, ++scale) out += text[pos];
  }
  return out.size() > first;
}

// Digits from `first` on, the last `scale` of them the fraction, become a
// plain decimal: one integer digit at least, no leading zeros.
void placePoint(std::string& out, size_t first, size_t scale) {
  const size_t digits = out.size() - first;
  if (digits <= scale) out.insert(first, scale + 1 - digits, '0');
  const size_t integer = out.size() - first - scale;
  size_t zeros = 0;
  while (zeros + 1 < integer && out[first + zeros] == '0') ++zeros;
  out.erase(first, zeros);
  if (scale > 0) out.insert(out.size() - scale, 1, '.');
}

bool restFits(const Format& format, std::string_view rest) {
  if (format.percent) return rest == "%";
  if (format.currency.empty() || !format.currencyAfter) return rest.empty();
  if (rest == format.currency) return true;
  return format.currencySpace && !rest.empty() && rest[0] == ' ' &&
         rest.substr(1) == format.currency;
}

constexpr size_t PERCENT_SCALE = 2;

bool convertNumber(const Format& format, std::string_view text, std::string& canonical) {
  canonical.clear();
  size_t pos = 0;
  const bool signFirst = takeSign(text, pos, canonical);
  if (!format.currency.empty() && !format.currencyAfter) {
    if (!take(text, pos, format.currency)) return false;
    if (format.currencySpace) take(text, pos, " ");
    if (!signFirst) takeSign(text, pos, canonical);
  }
  const size_t first = canonical.size();
  size_t scale = 0;
  if (!readNumberBody(format, text, pos, canonical, scale)) return false;
  if (!restFits(format, text.substr(pos))) return false;
  placePoint(canonical, first, format.percent ? scale + PERCENT_SCALE : scale);
  return true;
}

bool convertBoolean(const Format& format, std::string_view text, std::string& canonical) {
  for (const auto& word : format.trueWords) {
    if (!equalFolded(text, word)) continue;
    canonical = "true";
    return true;
  }
  for (const auto& word : format.falseWords) {
    if (!equalFolded(text, word)) continue;
    canonical = "false";
    return true;
  }
  return false;
}

}  // namespace

bool convert(const Format& format, std::string_view text, std::string& canonical) {
  switch (format.kind) {
    case Kind::NUMBER:
      return convertNumber(format, text, canonical);
    case Kind::BOOLEAN:
      return convertBoolean(format, text, canonical);
    default:
      return convertTemporal(format, text, canonical);
  }
}

}  // namespace formats
