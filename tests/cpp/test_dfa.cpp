#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <random>
#include <string>
#include <vector>

#include "dfa.h"
#include "engine_builders.h"

namespace {

// Boost's verdict, or nullopt-like -1 when Boost gives up with an error.
int boostVerdict(const boost::regex& re, const std::string& text) {
  try {
    return boost::regex_match(text, re) ? 1 : 0;
  } catch (const std::runtime_error&) {
    return -1;
  }
}

std::string escaped(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

// Random texts biased towards the bytes the pattern itself mentions.
std::vector<std::string> sampleTexts(const std::string& pattern, std::mt19937& rng, int count) {
  std::string alphabet = "0123456789-+.:eETZ ,aAbtrufl\n\xe9";
  for (char c : pattern)
    if (c != '\\') alphabet.push_back(c);
  std::vector<std::string> texts{""};
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 30);
  for (int i = 0; i < count; ++i) {
    std::string s;
    const int n = length(rng);
    for (int k = 0; k < n; ++k) s.push_back(alphabet[pick(rng)]);
    texts.push_back(s);
  }
  return texts;
}

void expectAgreesWithBoost(const std::string& pattern, const std::vector<std::string>& extra,
                           std::mt19937& rng, int samples) {
  const boost::regex re(pattern, boost::regex::normal);
  const FieldAutomaton automaton = FieldAutomaton::build(pattern);
  if (!automaton.usable()) return;
  std::vector<std::string> texts = sampleTexts(pattern, rng, samples);
  texts.insert(texts.end(), extra.begin(), extra.end());
  for (const auto& text : texts) {
    if (text.size() > FieldAutomaton::MAX_FIELD) continue;
    const int verdict = boostVerdict(re, text);
    ASSERT_NE(verdict, -1) << "Boost failed on a supported pattern " << pattern << " with "
                           << escaped(text);
    ASSERT_EQ(automaton.match(text.data(), text.size()), verdict == 1)
        << "pattern " << escaped(pattern) << " text '" << escaped(text) << "'";
  }
}

struct Case {
  std::string pattern;
  bool usable;
  std::vector<std::string> texts;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      {"[+-]?(0|[1-9][0-9]*)", true, {"0", "-0", "+12", "012", "1a", "", "-"}},
      {"[+-]?(0|[1-9][0-9]*)?\\.[0-9]+([eE][+-]?[0-9]+)?", true, {".5", "1.5e3", "5.", "1.e3"}},
      {"true|false|True|False|TRUE|FALSE", true, {"True", "TRUE", "TRue", "true "}},
      {"[0-9]{4}-[0-9]{2}-[0-9]{2}", true, {"2024-01-02", "2024-1-02", "20240-01-02"}},
      {"\\d+(\\.\\d*)?", true, {"12.", "12.5", ".5", "١٢"}},
      {"\\w+@\\w+\\.(com|org)", true, {"a@b.com", "a_b@c.org", "@b.com", "a@b.net"}},
      {"[[:alpha:]_][[:alnum:]_]*", true, {"_x1", "1x", "x-y", "\xe9t\xe9"}},
      {"[^,\"]*", true, {"", "abc", "a,b", "\"", "\n"}},
      {".*", true, {"", "anything\n", "\xff\x00"}},
      {"a.c", true, {"abc", "a\nc", "ac", std::string("a\0c", 3)}},
      {"(?:ab|cd){2,3}", true, {"abab", "abcdab", "ab", "abababab"}},
      {"x{0,3}y?", true, {"", "xxx", "xxxx", "xy", "y"}},
      {"(a|ab)(c|bcd)", true, {"abcd", "ac", "abc", "abbcd"}},
      {"a+?b*?", true, {"a", "aab", "b"}},
      {"", true, {"", "a"}},
      {"\\.\\-\\[\\]\\(\\)", true, {".-[]()", ".-[]"}},
      // UTF-8 literals are their bytes.
      {"[0-9]+ ?\u20ac|caf\u00e9",
       true,
       {"12 \u20ac", "12\u20ac", "12 \xe2\x82", "caf\u00e9", "cafe"}},
      // Ambiguity that makes Boost backtrack heavily stays with Boost.
      {"(a*)*b", false, {}},
      {"(x+x+)+y", false, {}},
      {"a*a*a*b", false, {}},
      {"(a|a)*", false, {}},
      // Bounded, but with 27 parses of "xxx": more than Boost should retry.
      {"(x|x|x)(x|x|x)(x|x|x)", false, {}},
      // Constructs outside the subset stay with Boost.
      {"^abc$", false, {}},
      {"(a)\\1", false, {}},
      {"(?i)abc", false, {}},
      {"a(?=b)b", false, {}},
      {"\\bword\\b", false, {}},
      {"a++", false, {}},
      {"\\<a", false, {}},
      {"[[.hyphen.]]", false, {}},
      {"\\x41", false, {}},
      {"(a?)*", false, {}},
  };
  return table;
}

}  // namespace

TEST(Dfa, SupportedSubsetIsRecognised) {
  for (const auto& c : cases())
    EXPECT_EQ(FieldAutomaton::build(c.pattern).usable(), c.usable) << c.pattern;
}

TEST(Dfa, AgreesWithBoostOnTableCases) {
  std::mt19937 rng(7);
  for (const auto& c : cases()) expectAgreesWithBoost(c.pattern, c.texts, rng, 400);
}

// Random patterns from a small grammar, each checked on random texts.
TEST(Dfa, AgreesWithBoostOnRandomPatterns) {
  std::mt19937 rng(20261207);
  const std::vector<std::string> atoms = {"a", "b",    "0",   "[ab]", "[0-9]", "\\d",
                                          ".", "[^a]", "\\w", "-",    "\\.",   "[a-c]"};
  const std::vector<std::string> quantifiers = {"",    "",      "",      "*",    "+", "?",
                                                "{2}", "{1,3}", "{0,2}", "{2,}", "*?"};
  std::function<std::string(int)> gen = [&](int depth) {
    std::string out;
    const int items = std::uniform_int_distribution<int>(1, 4)(rng);
    for (int i = 0; i < items; ++i) {
      std::string piece;
      if (depth < 2 && std::uniform_int_distribution<int>(0, 4)(rng) == 0) {
        piece = "(" + gen(depth + 1);
        if (std::uniform_int_distribution<int>(0, 1)(rng)) piece += "|" + gen(depth + 1);
        piece += ")";
      } else {
        piece = atoms[std::uniform_int_distribution<size_t>(0, atoms.size() - 1)(rng)];
      }
      out += piece +
             quantifiers[std::uniform_int_distribution<size_t>(0, quantifiers.size() - 1)(rng)];
    }
    return out;
  };
  int usable = 0;
  for (int i = 0; i < 600; ++i) {
    const std::string pattern = gen(0);
    if (FieldAutomaton::build(pattern).usable()) ++usable;
    expectAgreesWithBoost(pattern, {}, rng, 150);
  }
  // The generator must exercise the automaton, not only the fallback.
  EXPECT_GT(usable, 200);
}

// Boost runs out of stack on this text while the automaton would accept
// it, so an error shows that a long field reached Boost, in every route a
// pass can take.
TEST(Dfa, LongFieldsAreLeftToBoost) {
  const std::string pattern = "(ab)*";
  const FieldAutomaton automaton = FieldAutomaton::build(pattern);
  ASSERT_TRUE(automaton.usable());
  std::string pairs;
  while (pairs.size() < 100000) pairs += "ab";
  ASSERT_TRUE(automaton.match(pairs.data(), pairs.size()));
  ASSERT_TRUE(
      engine_test::catchError([&] { boost::regex_match(pairs, boost::regex(pattern)); }).thrown);
  EXPECT_GE(FieldAutomaton::MAX_FIELD, 64u);

  engine_test::TempDir dir;
  const std::string path =
      engine_test::writeCsv(dir.file("long.csv"), {{"a", "b"}, {"ab", "1"}, {pairs, "2"}});
  const std::vector<Inf::PatternSources> tables = {
      {{"pairs", {pattern}}, {"int", {"[0-9]+"}}},
      {{"pairs", {pattern}}, {"int", {"[0-9]+"}}, {"small", {"[0-9]{1,3}"}}}};
  for (const auto& table : tables)
    for (int window : {1, 1000, 0})
      for (bool parallel : {false, true}) {
        Inf inf = engine_test::InfBuilder()
                      .file(path)
                      .patterns(table)
                      .window(window)
                      .parallel(parallel)
                      .build();
        EXPECT_TRUE(engine_test::catchError([&] { inf.inferTypes(); }).thrown)
            << "window " << window << (parallel ? " parallel" : "") << " types " << table.size();
        // The row before the long field is counted.
        EXPECT_EQ(engine_test::countsFor(inf, "a")["pairs"], 1u);
      }
}

namespace {

// What a table rewritten for priority hands the builder: Y minus X.
std::string differenceOf(const std::string& removed, const std::string& kept) {
  return "(?!(?:" + removed + ")\\z)(?:" + kept + ")\\z";
}

// Every text of up to `length` bytes over the alphabet.
std::vector<std::string> allTexts(const std::string& alphabet, size_t length) {
  std::vector<std::string> texts{""};
  for (size_t begin = 0, n = 0; n < length; ++n) {
    const size_t end = texts.size();
    for (size_t i = begin; i < end; ++i)
      for (char c : alphabet) texts.push_back(texts[i] + c);
    begin = end;
  }
  return texts;
}

// Texts near the longest field the automaton answers, with and without a
// final newline, so that Boost's work on the lookahead is exercised too.
std::vector<std::string> longTexts() {
  std::vector<std::string> texts;
  for (size_t n : {FieldAutomaton::MAX_FIELD - 1, FieldAutomaton::MAX_FIELD}) {
    texts.push_back(std::string(n, '7'));
    texts.push_back(std::string(n - 1, '7') + "\n");
    texts.push_back("-" + std::string(n - 3, '1') + ".5");
    texts.push_back(std::string(n, 'a'));
  }
  return texts;
}

struct DifferenceCase {
  std::string removed, kept;
  bool usable;
};

const std::vector<DifferenceCase>& differenceCases() {
  static const std::vector<DifferenceCase> table = {
      // The nested table integer < number < text, guarded as priority writes it.
      {"(?:-?[0-9]+)", "-?[0-9]+(\\.[0-9]+)?", true},
      {"(?:-?[0-9]+)|(?:-?[0-9]+(\\.[0-9]+)?)", ".+", true},
      {"(?:[+-]?(0|[1-9][0-9]*))", "[+-]?(0|[1-9][0-9]*)?\\.[0-9]+([eE][+-]?[0-9]+)?", true},
      {"(?:true|false)|(?:[0-9]+)", "[a-z0-9]*", true},
      {"a|ab", "(a|ab)(c|bcd)", true},
      {"", ".*", true},
      {".*", "[0-9]+", true},
      // Either part outside the subset leaves the whole to Boost.
      {"(a*)*b", ".+", false},
      {"[0-9]+", "(x+x+)+y", false},
      {"(a)\\1", ".+", false},
  };
  return table;
}

}  // namespace

TEST(DfaDifference, SupportedFormIsRecognised) {
  for (const auto& c : differenceCases())
    EXPECT_EQ(FieldAutomaton::build(differenceOf(c.removed, c.kept)).usable(), c.usable)
        << c.removed << " / " << c.kept;
  // Near misses of the form: `$` (matches before a final newline), a
  // lookahead without the body's anchor, a positive lookahead, trailing text.
  for (const std::string& near :
       {std::string("(?!(?:[0-9]+)$)(?:.+)$"), std::string("(?!(?:[0-9]+)\\z)(?:.+)"),
        std::string("(?=(?:[0-9]+)\\z)(?:.+)\\z"), std::string("(?!(?:[0-9]+)\\z)(?:.+)\\za"),
        std::string("(?!(?:[0-9]+))(?:.+)\\z")})
    EXPECT_FALSE(FieldAutomaton::build(near).usable()) << near;
}

TEST(DfaDifference, AgreesWithBoostOnEveryShortText) {
  const std::vector<std::string> texts = allTexts("1-.a\n", 5);
  std::vector<std::string> extra = longTexts();
  extra.insert(extra.end(), texts.begin(), texts.end());
  std::mt19937 rng(11);
  for (const auto& c : differenceCases())
    expectAgreesWithBoost(differenceOf(c.removed, c.kept), extra, rng, 300);
}

TEST(DfaDifference, AgreesWithBoostOnRandomPairs) {
  std::mt19937 rng(20261208);
  const std::vector<std::string> parts = {"[0-9]+",  "-?[0-9]+", "-?[0-9]+(\\.[0-9]+)?",
                                          ".+",      ".*",       "[a-z]+",
                                          "a|ab|b+", "\\d{2,3}", "[^a]*",
                                          "(ab)*c?", "x{0,2}y?", "",
                                          "\\w+",    "[ -~]*"};
  std::uniform_int_distribution<size_t> pick(0, parts.size() - 1);
  const std::vector<std::string> extra = longTexts();
  int usable = 0;
  for (int i = 0; i < 300; ++i) {
    std::string removed = "(?:" + parts[pick(rng)] + ")";
    if (i % 2) removed += "|(?:" + parts[pick(rng)] + ")";
    const std::string pattern = differenceOf(removed, parts[pick(rng)]);
    std::vector<std::string> texts = extra;
    // The same texts with a final newline: where `$` would have gone wrong.
    for (const auto& t : sampleTexts(pattern, rng, 50)) texts.push_back(t + "\n");
    if (FieldAutomaton::build(pattern).usable()) ++usable;
    expectAgreesWithBoost(pattern, texts, rng, 100);
  }
  EXPECT_GT(usable, 250);
}
