// Formats: how the texts people write for a type map to its value. A format
// gives the regular expression the pattern table matches with, and the
// conversion of a matching field to the canonical text a database loads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

enum class Kind { DATE, TIME, DATETIME, NUMBER, BOOLEAN };

// What a pattern file states about one format.
struct Format {
  Kind kind = Kind::NUMBER;

  // Dates and times: strftime-style directives (%Y %y %m %b %B %d %H %I %p
  // %M %S %f %%); every other byte stands for itself.
  std::string pattern;
  // The first year %y stands for: 1970 reads 70..99 as 1970..1999 and
  // 00..69 as 2000..2069.
  std::optional<int> pivotYear;

  // Numbers.
  char decimalMark = '.';
  std::string groupSeparator;  // empty: digits are not grouped
  std::string currency;        // UTF-8; empty: no symbol
  bool currencyAfter = false;  // false: the symbol comes before the number
  bool currencySpace = false;  // one space may stand between symbol and number
  bool percent = false;        // a trailing '%'; the value is a hundredth

  // Booleans, matched ignoring ASCII case.
  std::vector<std::string> trueWords;
  std::vector<std::string> falseWords;

  // Throws std::invalid_argument naming the directive or setting at fault.
  void check() const;

  // A date, time or datetime format, its kind following from the
  // directives; checked.
  static Format temporal(std::string pattern, std::optional<int> pivotYear = std::nullopt);
  // A number format; checked.
  static Format number(char decimalMark, std::string groupSeparator, std::string currency = "",
                       bool currencyAfter = false, bool currencySpace = false,
                       bool percent = false);
  // A boolean format; checked.
  static Format boolean(std::vector<std::string> trueWords, std::vector<std::string> falseWords);
};

// A Boost.Regex source (Perl syntax, matched against the whole field) that
// accepts exactly the texts convert() accepts. Checks the format first.
std::string regexSource(const Format& format);

// True, with the canonical text in `canonical`, when `text` fits the checked
// format: dates YYYY-MM-DD, times HH:MM:SS[.f], datetimes both joined by a
// space, numbers a plain decimal keeping the scale written (a percentage
// its exact fraction), booleans true or false. Reuses canonical's storage.
bool convert(const Format& format, std::string_view text, std::string& canonical);

}  // namespace formats
