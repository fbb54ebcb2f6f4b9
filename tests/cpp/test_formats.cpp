// Value formats: conversions by hand-checked tables, refusals, and random
// values printed by an oracle in the test, whose canonical text the
// conversion must give back. Whenever a text is converted, the format's
// regular expression (through Boost and through the engine's byte automaton)
// must accept it exactly when the conversion does.
#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <cstdio>
#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dfa.h"
#include "formats.h"

namespace {

using formats::Format;
using formats::Kind;

Format number(char mark, const char* separator, const char* currency = "", bool after = false,
              bool space = false, bool percent = false) {
  return Format::number(mark, separator, currency, after, space, percent);
}

Format boolean(std::vector<std::string> yes, std::vector<std::string> no) {
  return Format::boolean(std::move(yes), std::move(no));
}

struct Compiled {
  explicit Compiled(Format s)
      : format(std::move(s)),
        source(formats::regexSource(format)),
        regex(source),
        automaton(FieldAutomaton::build(source)) {}
  Format format;
  std::string source;
  boost::regex regex;
  FieldAutomaton automaton;
};

// The canonical text, or nullopt when the text does not fit; fails the test
// when a matcher disagrees with the conversion.
std::optional<std::string> verdict(const Compiled& format, const std::string& text) {
  std::string canonical = "stale";
  const bool fits = formats::convert(format.format, text, canonical);
  if (boost::regex_match(text, format.regex) != fits)
    ADD_FAILURE() << "convert " << fits << " but regex " << !fits << " on \"" << text << "\" with "
                  << format.source;
  if (format.automaton.match(text.data(), text.size()) != fits)
    ADD_FAILURE() << "automaton disagrees on \"" << text << "\" with " << format.source;
  return fits ? std::optional<std::string>(canonical) : std::nullopt;
}

struct Case {
  Format format;
  std::string text;
  std::optional<std::string> canonical;  // nullopt: does not fit
};

void expectCases(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    const Compiled format(c.format);
    ASSERT_TRUE(format.automaton.usable()) << format.source;
    EXPECT_EQ(verdict(format, c.text), c.canonical) << c.text << " with " << format.source;
  }
}

const auto NO = std::nullopt;

TEST(FormatsTable, Dates) {
  const auto dmy = Format::temporal("%d/%m/%Y");
  const auto named = Format::temporal("%b %d, %Y");
  const auto yy = Format::temporal("%d.%m.%y", 1970);
  const auto compact = Format::temporal("%Y%m%d");
  expectCases({
      {dmy, "31/12/1999", "1999-12-31"},
      {dmy, "1/2/2024", "2024-02-01"},
      {dmy, "29/02/2024", "2024-02-29"},
      {dmy, "29/02/2000", "2000-02-29"},
      {dmy, "29/02/2023", NO},
      {dmy, "29/02/1900", NO},
      {dmy, "31/04/2024", NO},
      {dmy, "30/04/2024", "2024-04-30"},
      {dmy, "12/13/2024", NO},
      {dmy, "0/1/2024", NO},
      {dmy, "001/1/2024", NO},
      {dmy, "1/1/24", NO},
      {dmy, " 1/1/2024", NO},
      {named, "Jan 5, 2024", "2024-01-05"},
      {named, "sEP 30, 2024", "2024-09-30"},
      {named, "Sept 5, 2024", NO},
      {named, "Feb 30, 2024", NO},
      {yy, "01.02.69", "2069-02-01"},
      {yy, "01.02.70", "1970-02-01"},
      {yy, "29.02.00", "2000-02-29"},
      {compact, "20240131", "2024-01-31"},
      {compact, "2024131", NO},
      {compact, "2024011", "2024-01-01"},
      {Format::temporal("%d %B %Y"), "5 june 2024", "2024-06-05"},
      {Format::temporal("%d/%m/%y", 1801), "29/02/00", NO},
      {Format::temporal("%d/%m/%y", 1801), "29/02/04", "1804-02-29"},
      {Format::temporal("%d\t%m\t%Y"), "1\t2\t2024", "2024-02-01"},
  });
}

TEST(FormatsTable, TimesAndDatetimes) {
  const auto hm = Format::temporal("%H:%M");
  const auto half = Format::temporal("%I:%M %p");
  const auto frac = Format::temporal("%H:%M:%S.%f");
  const auto both = Format::temporal("%d/%m/%Y %H:%M");
  expectCases({
      {hm, "7:05", "07:05:00"},
      {hm, "23:59", "23:59:00"},
      {hm, "24:00", NO},
      {hm, "7:5", NO},
      {hm, "12:60", NO},
      {half, "12:00 AM", "00:00:00"},
      {half, "12:30 pm", "12:30:00"},
      {half, "1:00 PM", "13:00:00"},
      {half, "13:00 PM", NO},
      {half, "0:00 AM", NO},
      {half, "1:00 XM", NO},
      {frac, "10:20:30.5", "10:20:30.5"},
      {frac, "10:20:30.123456", "10:20:30.123456"},
      {frac, "10:20:30.1234567", NO},
      {frac, "10:20:30", NO},
      {both, "31/12/1999 23:59", "1999-12-31 23:59:00"},
      {both, "31/11/1999 23:59", NO},
      {both, "31/12/1999", NO},
  });
}

TEST(FormatsTable, Numbers) {
  const auto german = number(',', ".");
  const auto dollars = number('.', ",", "$");
  const auto euros = number(',', "\u00a0", "\u20ac", true, true);
  const auto percent = number('.', ",", "", false, false, true);
  expectCases({
      {german, "1.234,50", "1234.50"},
      {german, "1.2345", NO},
      {german, "1234567", "1234567"},
      {german, "1.234.567", "1234567"},
      {german, ",5", "0.5"},
      {german, "5,", NO},
      {german, "007", "7"},
      {german, "-0,0", "-0.0"},
      {german, "+7", "7"},
      {german, "1.23", NO},
      {german, ".123", NO},
      {german, "1..234", NO},
      {dollars, "-$5.00", "-5.00"},
      {dollars, "$-5.00", "-5.00"},
      {dollars, "$1,234", "1234"},
      {dollars, "-$-5", NO},
      {dollars, "$ 5", NO},
      {dollars, "5$", NO},
      {dollars, "1,2345", NO},
      {euros, "1\u00a0234,5 \u20ac", "1234.5"},
      {euros, "-3\u20ac", "-3"},
      {euros, "3  \u20ac", NO},
      {euros, "\u20ac3", NO},
      {percent, "45%", "0.45"},
      {percent, "12.5%", "0.125"},
      {percent, "-3%", "-0.03"},
      {percent, "100%", "1.00"},
      {percent, "1,234.5%", "12.345"},
      {percent, ".5%", "0.005"},
      {percent, "45", NO},
      {percent, "45 %", NO},
      {number('.', "", "Fr.", false, true), "Fr. 5.50", "5.50"},
      {number('.', "", ".k", true), "5.k", "5"},
      {number('.', "", ".k", true), "5.5.k", "5.5"},
  });
}

TEST(FormatsTable, Booleans) {
  const auto words = boolean({"yes", "Y", "1"}, {"no", "n", "0"});
  expectCases({{words, "YES", "true"},
               {words, "y", "true"},
               {words, "1", "true"},
               {words, "No", "false"},
               {words, "N", "false"},
               {words, "yess", NO},
               {words, "", NO},
               {words, "ye", NO},
               {words, "true", NO}});
}

TEST(FormatsTable, RefusalsNameTheirCause) {
  auto kind = [](Kind k, const char* pattern) {
    Format format;
    format.kind = k;
    format.pattern = pattern;
    return format;
  };
  auto words = [](std::vector<std::string> yes, std::vector<std::string> no) {
    Format format;
    format.kind = Kind::BOOLEAN;
    format.trueWords = std::move(yes);
    format.falseWords = std::move(no);
    return format;
  };
  auto numberWith = [](char mark, const char* separator, const char* currency, bool percent) {
    Format format;
    format.decimalMark = mark;
    format.groupSeparator = separator;
    format.currency = currency;
    format.percent = percent;
    return format;
  };
  auto pivoted = [&](const char* pattern, int pivot) {
    Format format = kind(Kind::DATE, pattern);
    format.pivotYear = pivot;
    return format;
  };
  const std::vector<std::pair<Format, std::string>> refused = {
      {kind(Kind::DATE, "%d/%m"), "year"},
      {kind(Kind::DATE, "%Y-%m-%d %d"), "%d appears twice"},
      {kind(Kind::DATE, "%Y-%m-%b"), "%m and %b"},
      {kind(Kind::DATE, "%d/%m/%y"), "pivot_year"},
      {kind(Kind::DATE, "%Y-%m-%d%Q"), "%Q"},
      {kind(Kind::DATE, "%Y-%m-%d%"), "lone"},
      {kind(Kind::DATE, "plain"), "no date or time"},
      {kind(Kind::DATE, "%H:%M"), "gives a time"},
      {kind(Kind::TIME, "%H"), "%M"},
      {kind(Kind::TIME, "%I:%M"), "%p"},
      {kind(Kind::TIME, "%H:%M %p"), "%H"},
      {kind(Kind::TIME, "%H:%M.%f"), "%S"},
      {pivoted("%d/%m/%y", 9950), "pivot_year"},
      {pivoted("%d/%m/%Y", 1970), "pivot_year"},
      {numberWith(';', "", "", false), "decimal_mark"},
      {numberWith('.', "_", "", false), "group \""},
      {numberWith(',', ",", "", false), "both"},
      {numberWith('.', "", "1$", false), "currency"},
      {numberWith('.', "", "$", true), "percentage"},
      {words({}, {"no"}), "no true words"},
      {words({"yes"}, {""}), "empty word"},
      {words({"Yes"}, {"no", "yES"}), "both"},
  };
  for (const auto& [format, cause] : refused) {
    try {
      formats::regexSource(format);
      ADD_FAILURE() << "accepted: " << format.pattern << " / " << cause;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(cause), std::string::npos) << e.what();
    }
  }
}

// ---------------------------------------------------------------------------
// The oracle: values printed as people write them, and their canonical text.

constexpr int VALUES = 1500;
constexpr int MUTATIONS = 4;
const std::string NEAR_BYTES = "0123456789/.:-+, %$'AaPpMmJjNnUuEeBbFfRrYy\xe2\x82\xac\xc2\xa0";

const char* const MONTH_NAMES[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};

std::string padded(int value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", width, value);
  return text;
}

std::string anyCase(std::string word, std::mt19937& rng) {
  for (char& c : word) c = static_cast<char>(rng() % 2 ? std::toupper(c) : std::tolower(c));
  return word;
}

std::string randomDigits(std::mt19937& rng, size_t count, bool nonZeroFirst = false) {
  std::string digits;
  for (size_t i = 0; i < count; ++i)
    digits += static_cast<char>('0' + (i == 0 && nonZeroFirst ? 1 + rng() % 9 : rng() % 10));
  return digits;
}

bool leapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int monthDays(int year, int month) {
  if (month == 2) return leapYear(year) ? 29 : 28;
  return month == 4 || month == 6 || month == 9 || month == 11 ? 30 : 31;
}

// A text near a valid one: a byte replaced, dropped, added, swapped or moved.
std::string mutate(std::string text, const std::string& bytes, std::mt19937& rng) {
  const size_t at = text.empty() ? 0 : rng() % text.size();
  const char byte = bytes[rng() % bytes.size()];
  switch (rng() % 5) {
    case 0:
      text.insert(text.begin() + at, byte);
      break;
    case 1:
      text.erase(at, 1);
      break;
    case 2:
      if (!text.empty()) text[at] = byte;
      break;
    case 3:
      if (at + 1 < text.size()) std::swap(text[at], text[at + 1]);
      break;
    default:
      if (text.empty()) break;
      const char moved = text[at];
      text.erase(at, 1);
      text.insert(rng() % (text.size() + 1), 1, moved);
  }
  return text;
}

struct Moment {
  int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  std::string fraction;
};

struct TemporalCase {
  const char* pattern;
  std::optional<int> pivot;
  bool unpadded;  // numbers of 1-2 digits may drop their leading zero
  Kind kind;
};

std::string printField(char directive, const Moment& m, bool pad, std::mt19937& rng) {
  const auto number = [pad](int value) { return pad ? padded(value, 2) : std::to_string(value); };
  switch (directive) {
    case 'Y':
      return padded(m.year, 4);
    case 'y':
      return padded(m.year % 100, 2);
    case 'm':
      return number(m.month);
    case 'b':
      return anyCase(std::string(MONTH_NAMES[m.month - 1]).substr(0, 3), rng);
    case 'B':
      return anyCase(MONTH_NAMES[m.month - 1], rng);
    case 'd':
      return number(m.day);
    case 'H':
      return number(m.hour);
    case 'I':
      return number((m.hour + 11) % 12 + 1);
    case 'p':
      return anyCase(m.hour < 12 ? "am" : "pm", rng);
    case 'M':
      return padded(m.minute, 2);
    case 'S':
      return padded(m.second, 2);
    case 'f':
      return m.fraction;
    default:
      return "%";
  }
}

std::string printMoment(const TemporalCase& c, const Moment& m, std::mt19937& rng) {
  std::string out;
  for (const char* p = c.pattern; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    out += printField(*++p, m, !c.unpadded || rng() % 2, rng);
  }
  return out;
}

std::string canonicalMoment(Kind kind, const Moment& m) {
  const std::string date = padded(m.year, 4) + "-" + padded(m.month, 2) + "-" + padded(m.day, 2);
  const std::string time = padded(m.hour, 2) + ":" + padded(m.minute, 2) + ":" +
                           padded(m.second, 2) + (m.fraction.empty() ? "" : "." + m.fraction);
  return kind == Kind::DATE ? date : kind == Kind::TIME ? time : date + " " + time;
}

bool has(const TemporalCase& c, const char* directive) {
  return std::string(c.pattern).find(directive) != std::string::npos;
}

int randomYear(const TemporalCase& c, std::mt19937& rng) {
  constexpr int FIRST = 1600, LAST = 2400, CENTURY = 100;
  const int first = c.pivot ? *c.pivot : FIRST;
  const int count = c.pivot ? CENTURY : LAST - FIRST + 1;
  return first + static_cast<int>(rng() % count);
}

Moment randomMoment(const TemporalCase& c, std::mt19937& rng) {
  Moment m;
  m.year = randomYear(c, rng);
  m.month = 1 + rng() % 12;
  m.day = 1 + rng() % monthDays(m.year, m.month);
  if (rng() % 8 == 0) {  // leap days often, not once in 1,461 draws
    while (!leapYear(m.year)) m.year = randomYear(c, rng);
    m.month = 2;
    m.day = 29;
  }
  m.hour = rng() % 24;
  m.minute = rng() % 60;
  if (has(c, "%S")) m.second = rng() % 60;
  if (has(c, "%f")) m.fraction = randomDigits(rng, 1 + rng() % 6);
  return m;
}

// Moments no format takes: days past their month's end, month 13, hour 24,
// minute or second 60, each printed as the pattern would print it.
std::vector<Moment> impossibleMoments(const TemporalCase& c, std::mt19937& rng) {
  std::vector<Moment> bad;
  Moment m = randomMoment(c, rng);
  if (c.kind != Kind::TIME) {
    const int shortMonths[] = {4, 6, 9, 11};
    bad.push_back(m), bad.back().month = shortMonths[rng() % 4], bad.back().day = 31;
    bad.push_back(m), bad.back().month = 2, bad.back().day = 30;
    while (leapYear(m.year)) m.year = randomYear(c, rng);
    bad.push_back(m), bad.back().month = 2, bad.back().day = 29;
    if (has(c, "%m")) bad.push_back(m), bad.back().month = 13;
  }
  if (c.kind != Kind::DATE) {
    if (has(c, "%H")) bad.push_back(m), bad.back().hour = 24;
    bad.push_back(m), bad.back().minute = 60;
    if (has(c, "%S")) bad.push_back(m), bad.back().second = 60;
  }
  return bad;
}

const TemporalCase TEMPORAL[] = {
    {"%d/%m/%Y", {}, true, Kind::DATE},
    {"%m/%d/%Y", {}, true, Kind::DATE},
    {"%d.%m.%y", 1950, true, Kind::DATE},
    {"%b %d, %Y", {}, true, Kind::DATE},
    {"%d %B %Y", {}, true, Kind::DATE},
    {"%Y%m%d", {}, false, Kind::DATE},
    {"%y-%m-%d", 2000, true, Kind::DATE},
    {"%d-%b-%y", 1901, true, Kind::DATE},
    {"%d/%m/%y", 1801, true, Kind::DATE},
    {"%Y\xe5\xb9\xb4%m\xe6\x9c\x88%d\xe6\x97\xa5", {}, true, Kind::DATE},
    {"%H:%M", {}, true, Kind::TIME},
    {"%I:%M %p", {}, true, Kind::TIME},
    {"%I:%M:%S.%f%p", {}, true, Kind::TIME},
    {"%H%M%S", {}, false, Kind::TIME},
    {"%H.%M.%S,%f", {}, true, Kind::TIME},
    {"%d/%m/%Y %H:%M", {}, true, Kind::DATETIME},
    {"%m/%d/%y %I:%M:%S %p", 1970, true, Kind::DATETIME},
    {"%Y-%m-%dT%H:%M:%S.%f", {}, true, Kind::DATETIME},
    {"%H:%M %d.%m.%Y (%%)", {}, true, Kind::DATETIME},
};

void PrintTo(const TemporalCase& c, std::ostream* os) { *os << c.pattern; }

class TemporalProperty : public testing::TestWithParam<TemporalCase> {};

TEST_P(TemporalProperty, PrintedMomentsConvertBackAndNearMissesAgree) {
  const TemporalCase& c = GetParam();
  const Compiled format(Format::temporal(c.pattern, c.pivot));
  ASSERT_EQ(format.format.kind, c.kind);
  ASSERT_TRUE(format.automaton.usable()) << format.source;
  std::mt19937 rng(11);
  const std::string bytes = NEAR_BYTES + c.pattern;
  for (int i = 0; i < VALUES && !HasFailure(); ++i) {
    const Moment m = randomMoment(c, rng);
    const std::string text = printMoment(c, m, rng);
    EXPECT_EQ(verdict(format, text), canonicalMoment(c.kind, m)) << text;
    for (int j = 0; j < MUTATIONS; ++j) verdict(format, mutate(text, bytes, rng));
    for (const Moment& bad : impossibleMoments(c, rng))
      EXPECT_EQ(verdict(format, printMoment(c, bad, rng)), std::nullopt);
  }
}

INSTANTIATE_TEST_SUITE_P(Patterns, TemporalProperty, testing::ValuesIn(TEMPORAL));

struct NumberCase {
  char mark;
  const char* separator;
  const char* currency;
  bool after, space, percent;
};

struct Printed {
  std::string text, canonical;
};

std::string grouped(const std::string& digits, const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += separator;
    out += digits[i];
  }
  return out;
}

// A percentage is written as 100 times its value: the point moves two places.
void scaleUp(std::string& integer, std::string& fraction) {
  integer += fraction.substr(0, 2);
  fraction.erase(0, 2);
  integer.erase(0, std::min(integer.find_first_not_of('0'), integer.size() - 1));
}

std::string spelledInteger(const NumberCase& c, const std::string& integer, bool fraction,
                           std::mt19937& rng) {
  if (*c.separator && rng() % 2) return grouped(integer, c.separator);
  if (integer == "0" && fraction && rng() % 4 == 0) return "";
  return (rng() % 4 == 0 ? "00" : "") + integer;
}

std::string withSignAndSymbol(const NumberCase& c, const std::string& body, bool negative,
                              std::mt19937& rng) {
  const std::string sign = negative ? "-" : rng() % 4 == 0 ? "+" : "";
  const std::string space = c.space && rng() % 2 ? " " : "";
  if (!*c.currency) return sign + body + (c.percent ? "%" : "");
  if (c.after) return sign + body + space + c.currency;
  return rng() % 2 ? sign + c.currency + space + body : c.currency + space + sign + body;
}

Printed printNumber(const NumberCase& c, std::mt19937& rng) {
  constexpr size_t MOST_DIGITS = 12, MOST_SCALE = 6;
  const bool negative = rng() % 3 == 0;
  std::string integer = rng() % 4 == 0 ? "0" : randomDigits(rng, 1 + rng() % MOST_DIGITS, true);
  std::string fraction = randomDigits(rng, (c.percent ? 2 : 0) + rng() % (MOST_SCALE + 1));
  Printed p;
  p.canonical = (negative ? "-" : "") + integer + (fraction.empty() ? "" : "." + fraction);
  if (c.percent) scaleUp(integer, fraction);
  std::string body = spelledInteger(c, integer, !fraction.empty(), rng);
  if (!fraction.empty()) body += c.mark + fraction;
  p.text = withSignAndSymbol(c, body, negative, rng);
  return p;
}

// One separator where no group of three follows it, as in "1,2345".
std::string misgrouped(const NumberCase& c, std::mt19937& rng) {
  const std::string digits = randomDigits(rng, 4 + rng() % 6, true);
  size_t cut = 1 + rng() % (digits.size() - 1);
  if (digits.size() - cut == 3) --cut;
  return digits.substr(0, cut) + c.separator + digits.substr(cut);
}

const NumberCase NUMBERS[] = {
    {'.', "", "", false, false, false},      {',', ".", "", false, false, false},
    {'.', ",", "$", false, false, false},    {'.', ",", "$", false, true, false},
    {',', " ", "\u20ac", true, true, false}, {',', "\u00a0", "\u20ac", true, true, false},
    {'.', "'", "CHF", false, true, false},   {'.', "\u2019", "Fr.", false, true, false},
    {',', "", "kr", true, false, false},     {',', "\u202f", "", false, false, true},
    {'.', ",", "", false, false, true},
};

void PrintTo(const NumberCase& c, std::ostream* os) {
  *os << "mark " << c.mark << " separator \"" << c.separator << "\" currency \"" << c.currency
      << "\"" << (c.after ? " after" : "") << (c.space ? " spaced" : "")
      << (c.percent ? " percent" : "");
}

class NumberProperty : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberProperty, PrintedValuesConvertBackAndNearMissesAgree) {
  const NumberCase& c = GetParam();
  const Compiled format(number(c.mark, c.separator, c.currency, c.after, c.space, c.percent));
  ASSERT_TRUE(format.automaton.usable()) << format.source;
  std::mt19937 rng(13);
  const std::string bytes = NEAR_BYTES + c.separator + c.currency;
  for (int i = 0; i < VALUES && !HasFailure(); ++i) {
    const Printed p = printNumber(c, rng);
    EXPECT_EQ(verdict(format, p.text), p.canonical) << p.text;
    for (int j = 0; j < MUTATIONS; ++j) verdict(format, mutate(p.text, bytes, rng));
    if (*c.separator) {
      EXPECT_EQ(verdict(format, misgrouped(c, rng)), std::nullopt);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, NumberProperty, testing::ValuesIn(NUMBERS));

TEST(BooleanProperty, WordsInAnyCaseConvertAndNearMissesAgree) {
  const Compiled format(boolean({"yes", "true", "oui", "1"}, {"no", "false", "non", "0"}));
  ASSERT_TRUE(format.automaton.usable()) << format.source;
  std::mt19937 rng(17);
  for (int i = 0; i < VALUES && !HasFailure(); ++i) {
    const bool value = rng() % 2;
    const auto& words = value ? format.format.trueWords : format.format.falseWords;
    const std::string text = anyCase(words[rng() % words.size()], rng);
    EXPECT_EQ(verdict(format, text), value ? "true" : "false") << text;
    for (int j = 0; j < MUTATIONS; ++j) verdict(format, mutate(text, NEAR_BYTES, rng));
  }
}

}  // namespace
