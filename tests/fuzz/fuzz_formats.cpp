// libFuzzer target for the value formats. Byte 0 picks one of a few fixed
// formats, the rest is the field. The format's regular expression, through
// Boost and through the engine's byte automaton, must accept the field exactly
// when the conversion does; and an accepted field's canonical text must be
// one the loaders read: a calendar-valid ISO date, a valid time, a plain
// decimal, true or false.
#include <boost/regex.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dfa.h"
#include "formats.h"

// Named, not anonymous, so that the coverage ignore list can leave the
// harness out by name.
namespace harness {

using formats::Format;
using formats::Kind;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

const char* const ISO_DATE =
    "([0-9]{4}-((0[1-9]|1[0-2])-(0[1-9]|1[0-9]|2[0-8])|(0[13-9]|1[0-2])-(29|30)|"
    "(0[13578]|1[02])-31)|([0-9]{2}(0[48]|[2468][048]|[13579][26])|"
    "(0[048]|[2468][048]|[13579][26])00)-02-29)";
const char* const ISO_TIME = "([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9](\\.[0-9]{1,6})?";

std::string canonicalSource(Kind kind) {
  switch (kind) {
    case Kind::DATE:
      return ISO_DATE;
    case Kind::TIME:
      return ISO_TIME;
    case Kind::DATETIME:
      return std::string(ISO_DATE) + " " + ISO_TIME;
    case Kind::NUMBER:
      return "-?(0|[1-9][0-9]*)(\\.[0-9]+)?";
    case Kind::BOOLEAN:
      return "true|false";
  }
  return "";
}

struct Checked {
  explicit Checked(Format s)
      : format(std::move(s)),
        regex(formats::regexSource(format)),
        automaton(FieldAutomaton::build(regex.str())),
        canonical(canonicalSource(format.kind)) {
    check(automaton.usable());
  }
  Format format;
  boost::regex regex;
  FieldAutomaton automaton;
  boost::regex canonical;
};

std::vector<Checked> makeFormats() {
  Format words;
  words.kind = Kind::BOOLEAN;
  words.trueWords = {"yes", "Y", "1"};
  words.falseWords = {"no", "N", "0"};
  std::vector<Checked> all;
  for (const char* pattern : {"%d/%m/%Y", "%b %d, %Y", "%d %B %Y %H:%M", "%Y%m%d", "%I:%M:%S.%f %p",
                              "%H%M%S", "%d.%m.%Y%H.%M"})
    all.emplace_back(Format::temporal(pattern));
  all.emplace_back(Format::temporal("%m/%d/%y %I:%M %p", 1970));
  all.emplace_back(Format::temporal("%d-%b-%y", 1801));
  all.emplace_back(Format::number(',', ".", "", false, false, false));
  all.emplace_back(Format::number('.', ",", "$", false, true, false));
  all.emplace_back(Format::number(',', "\u00a0", "\u20ac", true, true, false));
  all.emplace_back(Format::number('.', "'", "Fr.", false, true, false));
  all.emplace_back(Format::number(',', "\u202f", "", false, false, true));
  all.emplace_back(Format::number('.', "", ".k", true, false, false));
  all.emplace_back(words);
  return all;
}

}  // namespace harness

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<harness::Checked> all = harness::makeFormats();
  if (size == 0) return 0;
  const harness::Checked& format = all[data[0] % all.size()];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string canonical;
  const bool fits = formats::convert(format.format, text, canonical);
  harness::check(boost::regex_match(text, format.regex) == fits);
  if (text.size() <= FieldAutomaton::MAX_FIELD)
    harness::check(format.automaton.match(text.data(), text.size()) == fits);
  if (fits) harness::check(boost::regex_match(canonical, format.canonical));
  return 0;
}
