// The combined automaton and the pattern index against Boost itself: which
// types accept a text, which pairs of types can share a text, and the
// search in a trial order.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "type_automaton.h"

namespace {

using Sources = std::vector<std::pair<std::string, std::vector<std::string>>>;
using Compiled = std::vector<std::vector<boost::regex>>;

Compiled compile(const Sources& table) {
  Compiled out;
  for (const auto& [name, sources] : table) {
    out.emplace_back();
    for (const auto& s : sources) out.back().emplace_back(s, boost::regex::normal);
  }
  return out;
}

// Type i of the table gets id i + 2, as a session keeps two ids for itself.
PatternIndex indexOf(const Compiled& compiled) {
  PatternIndex::Table table;
  for (size_t i = 0; i < compiled.size(); ++i)
    table.emplace_back(static_cast<int>(i + 2), &compiled[i]);
  PatternIndex index;
  index.build(table, compiled.size() + 2);
  return index;
}

bool boostMatchesType(const std::vector<boost::regex>& type, const std::string& text) {
  for (const auto& re : type)
    if (boost::regex_match(text, re)) return true;
  return false;
}

// A shortest text both automata accept, found from their tables alone.
std::optional<std::string> commonText(const FieldAutomaton& a, const FieldAutomaton& b) {
  std::map<std::pair<uint32_t, uint32_t>, std::string> seen{{{1, 1}, ""}};
  std::vector<std::pair<uint32_t, uint32_t>> frontier{{1, 1}};
  while (!frontier.empty()) {
    std::vector<std::pair<uint32_t, uint32_t>> next;
    for (const auto& s : frontier) {
      const std::string text = seen[s];
      if (a.accepts(s.first) && b.accepts(s.second)) return text;
      for (int byte = 0; byte < 256; ++byte) {
        const std::pair<uint32_t, uint32_t> t{a.next(s.first, static_cast<unsigned char>(byte)),
                                              b.next(s.second, static_cast<unsigned char>(byte))};
        if (t.first == 0 || t.second == 0 || seen.count(t)) continue;
        seen[t] = text + static_cast<char>(byte);
        next.push_back(t);
      }
    }
    frontier = std::move(next);
  }
  return std::nullopt;
}

std::vector<std::string> sampleTexts(std::mt19937& rng, int count) {
  const std::string alphabet = "0123456789-+.:eETZ abtrufxyl";
  std::vector<std::string> texts{"", "0", "007", "1.5", "true", "2024-02-29", "12:30", "xxx"};
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 12);
  for (int i = 0; i < count; ++i) {
    std::string s;
    for (int k = length(rng); k > 0; --k) s.push_back(alphabet[pick(rng)]);
    texts.push_back(s);
  }
  return texts;
}

struct TableCase {
  std::string name;
  Sources table;
  // Expected pairs of table positions; nullopt: undecidable.
  std::optional<std::set<std::pair<int, int>>> overlaps;
};

std::vector<TableCase> tableCases() {
  const std::string day = "[0-9]{4}-(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01])";
  return {
      {"disjoint",
       {{"integer", {"[+-]?(0|[1-9][0-9]*)"}},
        {"decimal", {"[+-]?(0|[1-9][0-9]*)?\\.[0-9]+([eE][+-]?[0-9]+)?"}},
        {"boolean", {"true|false", "yes|no"}},
        {"date", {day}},
        {"datetime", {day + "[T ]([01][0-9]|2[0-3]):[0-5][0-9]"}},
        {"code", {"0[0-9]+"}}},
       std::set<std::pair<int, int>>{}},
      {"number contains integer",
       {{"int", {"-?[0-9]+"}}, {"num", {"-?[0-9]+(\\.[0-9]+)?"}}, {"word", {"[a-z]+"}}},
       std::set<std::pair<int, int>>{{0, 1}}},
      {"overlap through a later expression",
       {{"a", {"x", "[0-9]{3}"}}, {"b", {"y", "1[0-9]*"}}, {"c", {"z"}}},
       std::set<std::pair<int, int>>{{0, 1}}},
      {"empty text shared",
       {{"empty", {""}}, {"star", {"q*"}}, {"plus", {"q+"}}, {"none", {}}},
       std::set<std::pair<int, int>>{{0, 1}, {1, 2}}},
      {"every pair",
       {{"p", {"[ab]+"}}, {"q", {"a+b*"}}, {"r", {".{2}"}}},
       std::set<std::pair<int, int>>{{0, 1}, {0, 2}, {1, 2}}},
      {"expression left to Boost", {{"int", {"[0-9]+"}}, {"anchored", {"^x$"}}}, std::nullopt},
  };
}

}  // namespace

TEST(TypeAutomaton, OverlapsAreDecidedFromTheAutomata) {
  for (const auto& c : tableCases()) {
    const Compiled compiled = compile(c.table);
    const PatternIndex index = indexOf(compiled);
    const auto got = index.overlaps();
    ASSERT_EQ(got.has_value(), c.overlaps.has_value()) << c.name;
    if (!got) continue;
    std::set<std::pair<int, int>> positions;
    for (const auto& [a, b] : *got) positions.emplace(a - 2, b - 2);
    EXPECT_EQ(positions, *c.overlaps) << c.name;
    EXPECT_EQ(index.typeIsTextFunction(), positions.empty()) << c.name;
  }
}

// Every reported pair has a witness that Boost matches with both types,
// and no sampled text matches two types of a pair that is not reported.
TEST(TypeAutomaton, OverlapsAgreeWithBoost) {
  std::mt19937 rng(11);
  const auto texts = sampleTexts(rng, 3000);
  for (const auto& c : tableCases()) {
    if (!c.overlaps) continue;
    const Compiled compiled = compile(c.table);
    for (const auto& [a, b] : *c.overlaps) {
      std::optional<std::string> witness;
      for (const auto& ra : compiled[a])
        for (const auto& rb : compiled[b])
          if (!witness)
            witness = commonText(FieldAutomaton::build(ra.str()), FieldAutomaton::build(rb.str()));
      ASSERT_TRUE(witness) << c.name;
      EXPECT_TRUE(boostMatchesType(compiled[a], *witness) &&
                  boostMatchesType(compiled[b], *witness))
          << c.name << " witness '" << *witness << "'";
    }
    for (const auto& text : texts)
      for (size_t a = 0; a < compiled.size(); ++a)
        for (size_t b = a + 1; b < compiled.size(); ++b)
          if (boostMatchesType(compiled[a], text) && boostMatchesType(compiled[b], text)) {
            EXPECT_TRUE(c.overlaps->count({static_cast<int>(a), static_cast<int>(b)}))
                << c.name << ": '" << text << "' matches two types";
          }
  }
}

// With more types than the combined automaton takes, overlaps come from
// pairs of automata, and the search from the types' own automata.
TEST(TypeAutomaton, TooManyTypesFallBackToPairs) {
  Sources table;
  for (size_t k = 1; k <= TypeAutomaton::MAX_GROUPS + 1; ++k)
    table.push_back({"a" + std::to_string(k), {"a{" + std::to_string(k) + "}"}});
  table.push_back({"many", {"a{60,}"}});
  const Compiled compiled = compile(table);
  const PatternIndex index = indexOf(compiled);
  const auto got = index.overlaps();
  ASSERT_TRUE(got);
  std::set<std::pair<int, int>> expected;
  const int many = static_cast<int>(table.size()) - 1;
  for (int k = 60; k <= static_cast<int>(TypeAutomaton::MAX_GROUPS) + 1; ++k)
    expected.emplace(k - 1, many);
  std::set<std::pair<int, int>> positions;
  for (const auto& [a, b] : *got) positions.emplace(a - 2, b - 2);
  EXPECT_EQ(positions, expected);
  EXPECT_FALSE(index.typeIsTextFunction());
  std::vector<int> order;
  for (int i = many; i >= 0; --i) order.push_back(i + 2);
  EXPECT_EQ(index.search(std::string(61, 'a'), order), many + 2);
  EXPECT_EQ(index.search(std::string(3, 'a'), order), 2 + 2);
}

// The search returns what trying every expression with Boost in the trial
// order returns, leaves the same order, and raises the same errors.
TEST(TypeAutomaton, SearchAgreesWithBoostInAnyOrder) {
  std::mt19937 rng(5);
  auto texts = sampleTexts(rng, 600);
  std::string longDigits(FieldAutomaton::MAX_FIELD + 1, '7');
  texts.push_back(longDigits);
  texts.push_back(longDigits.substr(1));
  for (auto c : tableCases()) {
    // A type that makes Boost fail on a long text, and one left to Boost.
    c.table.push_back({"pairs", {"(ab)*"}});
    c.table.push_back({"boosted", {"(?=1)[0-9]+", "\\d\\d"}});
    const Compiled compiled = compile(c.table);
    const PatternIndex index = indexOf(compiled);
    std::string longPairs;
    while (longPairs.size() < 100000) longPairs += "ab";
    auto all = texts;
    all.push_back(longPairs);
    for (const auto& text : all) {
      std::vector<int> order;
      for (size_t i = 0; i < compiled.size(); ++i) order.push_back(static_cast<int>(i + 2));
      std::shuffle(order.begin(), order.end(), rng);
      std::vector<int> expectedOrder = order;
      int expected = PatternIndex::NO_MATCH;
      bool expectedError = false;
      try {
        for (size_t ti = 0; ti < expectedOrder.size() && expected == PatternIndex::NO_MATCH; ++ti)
          if (boostMatchesType(compiled[static_cast<size_t>(expectedOrder[ti] - 2)], text)) {
            expected = expectedOrder[ti];
            std::swap(expectedOrder[0], expectedOrder[ti]);
          }
      } catch (const std::runtime_error&) {
        expectedError = true;
      }
      int got = PatternIndex::NO_MATCH;
      bool gotError = false;
      try {
        got = index.search(text, order);
      } catch (const std::runtime_error&) {
        gotError = true;
      }
      ASSERT_EQ(gotError, expectedError) << c.name << " text of " << text.size() << " bytes";
      if (expectedError) continue;
      EXPECT_EQ(got, expected) << c.name << " '" << text << "'";
      EXPECT_EQ(order, expectedOrder) << c.name << " '" << text << "'";
    }
  }
}
