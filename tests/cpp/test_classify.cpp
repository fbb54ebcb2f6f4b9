#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine_builders.h"
#include "inf.h"

using namespace engine_test;

namespace {

// Two types that both take digit runs; "p…" is only P and "q…" only Q, so
// a column's front type shows in which of the two a fresh digit run gets.
const Inf::PatternSources kOverlap = {{"P", {"p[0-9]*", "[0-9]+"}}, {"Q", {"q[0-9]*", "[0-9]+"}}};

class ClassifyTest : public EngineTest {
 protected:
  Inf session(const Inf::PatternSources& patterns, std::unordered_set<std::string> na = {"NA"}) {
    return InfBuilder().patterns(patterns).na(std::move(na)).build();
  }
};

TEST_F(ClassifyTest, WritesTheTypeAtItsPositionAndCountsIt) {
  Inf inf = session({{"int", {"[0-9]+"}}});
  seedHeader(inf, dir, {"a", "b", "c"});
  std::vector<std::string> types = {"keep0", "keep1", "keep2"};
  inf.getColType({"x", "7", "y"}, 1, inf.colTypePatterns, types);
  EXPECT_EQ(types, (std::vector<std::string>{"keep0", "int", "keep2"}));
  EXPECT_EQ(countsFor(inf, "b"), (Inf::TypeCounts{{"int", 1}, {"other", 0}, {"NA", 0}}));
  EXPECT_EQ(countsFor(inf, "a"), seededCounts(inf));
  EXPECT_EQ(countsFor(inf, "c"), seededCounts(inf));
}

// The whole field has to match: no substring search, no trimming, no case
// folding.
TEST_F(ClassifyTest, PatternsMatchTheWholeText) {
  Inf inf = session({{"int", {"[0-9]+"}}, {"word", {"[a-z]+"}}});
  seedHeader(inf, dir, {"a"});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"12", "int"},    {"12a", "other"},
      {" 12", "other"}, {"12 ", "other"},
      {"abc", "word"},  {"Abc", "other"},
      {"ab1", "other"}, {"", "other"},
      {"1\n", "other"}, {std::string("1\0", 2), "other"},
  };
  for (const auto& c : cases) EXPECT_EQ(classify(inf, {c.first}, 0), c.second) << c.first;
}

TEST_F(ClassifyTest, MissingValuesAreExact) {
  Inf inf = session({{"word", {"[A-Za-z/ ]+"}}}, {"NA", "n/a", "-"});
  seedHeader(inf, dir, {"a"});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"NA", "NA"},    {"n/a", "NA"},   {"-", "NA"},     {"na", "word"},  {"Na", "word"},
      {" NA", "word"}, {"NA ", "word"}, {"N/A", "word"}, {"--", "other"}, {"", "other"},
  };
  Inf::TypeCounts expected = seededCounts(inf);
  for (const auto& c : cases) {
    EXPECT_EQ(classify(inf, {c.first}, 0), c.second) << "\"" << c.first << "\"";
    ++expected[c.second];
  }
  EXPECT_EQ(countsFor(inf, "a"), expected);
}

// The missing-value test comes before the cache, and never writes it.
TEST_F(ClassifyTest, MissingValueTestPrecedesTheCache) {
  Inf inf = session({{"int", {"[0-9]+"}}, {"word", {"[a-z]+"}}}, {});
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(classify(inf, {"7"}, 0), "int");
  inf.setNaValues({"7", "abc"});
  EXPECT_EQ(classify(inf, {"7"}, 0), "NA");
  EXPECT_EQ(classify(inf, {"abc"}, 0), "NA");
  inf.setNaValues({});
  EXPECT_EQ(classify(inf, {"7"}, 0), "int");
  // "abc" was only ever a missing value: it is searched now, not taken as NA.
  EXPECT_EQ(classify(inf, {"abc"}, 0), "word");
  EXPECT_EQ(countsFor(inf, "a"),
            (Inf::TypeCounts{{"int", 2}, {"word", 1}, {"other", 0}, {"NA", 2}}));
}

TEST_F(ClassifyTest, EmptyFieldIsAnOrdinaryText) {
  {
    Inf inf = session({{"int", {"[0-9]+"}}});
    seedHeader(inf, dir, {"a"});
    EXPECT_EQ(classify(inf, {""}, 0), "other");
  }
  {
    Inf inf = session({{"int", {"[0-9]+"}}, {"blank", {""}}});
    seedHeader(inf, dir, {"a"});
    EXPECT_EQ(classify(inf, {""}, 0), "blank");
    EXPECT_EQ(classify(inf, {"x"}, 0), "other");
  }
  {
    Inf inf = session({{"blank", {""}}}, {""});
    seedHeader(inf, dir, {"a"});
    EXPECT_EQ(classify(inf, {""}, 0), "NA");
  }
}

TEST_F(ClassifyTest, EmptyPatternTableGivesOtherOrNA) {
  Inf inf = session({});
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(countsFor(inf, "a"), (Inf::TypeCounts{{"other", 0}, {"NA", 0}}));
  for (const std::string v : {"1", "", "x", "NA", "1"}) classify(inf, {v}, 0);
  EXPECT_EQ(countsFor(inf, "a"), (Inf::TypeCounts{{"other", 4}, {"NA", 1}}));
}

// A type with no expressions never matches, yet it takes part in the
// table and its count stays 0.
TEST_F(ClassifyTest, TypeWithoutExpressionsNeverMatches) {
  Inf inf = session({{"none", {}}, {"int", {"[0-9]+"}}});
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(classify(inf, {"1"}, 0), "int");
  EXPECT_EQ(classify(inf, {"x"}, 0), "other");
  EXPECT_EQ(countsFor(inf, "a"),
            (Inf::TypeCounts{{"none", 0}, {"int", 1}, {"other", 1}, {"NA", 0}}));
}

// Texts cached under one table keep their type after the table changes; a
// re-seeding header pass does not empty the cache.
TEST_F(ClassifyTest, CachedTypeOutlivesAPatternTableChange) {
  Inf inf = session({{"int", {"[0-9]+"}}});
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(classify(inf, {"5"}, 0), "int");
  EXPECT_EQ(classify(inf, {"zz"}, 0), "other");

  inf.setColTypePatterns({{"num", {"[0-9]+"}}, {"letters", {"[a-z]+"}}});
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(classify(inf, {"5"}, 0), "int");
  EXPECT_EQ(classify(inf, {"zz"}, 0), "other");
  EXPECT_EQ(classify(inf, {"6"}, 0), "num");
  EXPECT_EQ(classify(inf, {"yy"}, 0), "letters");
  // The stale name is counted although it is not a key of the table.
  EXPECT_EQ(countsFor(inf, "a"),
            (Inf::TypeCounts{{"num", 1}, {"letters", 1}, {"int", 1}, {"other", 1}, {"NA", 0}}));
}

// A type named "" leaves its texts' cache entries empty, so they are
// searched again at every occurrence.
TEST_F(ClassifyTest, EmptyTypeNameIsNeverCached) {
  Inf inf = session({{"", {"e[0-9]*"}}, {"F", {"f[0-9]*"}}});
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(classify(inf, {"e1"}, 0), "");
  EXPECT_EQ(classify(inf, {"e1"}, 0), "");
  EXPECT_EQ(classify(inf, {"f1"}, 0), "F");
  EXPECT_EQ(countsFor(inf, "a"), (Inf::TypeCounts{{"", 2}, {"F", 1}, {"other", 0}, {"NA", 0}}));

  inf.setColTypePatterns({{"E2", {"e[0-9]*"}}, {"F2", {"f[0-9]*"}}});
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(classify(inf, {"e1"}, 0), "E2");
  EXPECT_EQ(classify(inf, {"f1"}, 0), "F");
}

TEST_F(ClassifyTest, TypeKeysNamedNAOrOtherMergeWithTheBuiltInNames) {
  Inf inf = session({{"other", {"[0-9]+"}}, {"NA", {"x"}}}, {"NA"});
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(countsFor(inf, "a"), (Inf::TypeCounts{{"other", 0}, {"NA", 0}}));
  EXPECT_EQ(classify(inf, {"5"}, 0), "other");
  EXPECT_EQ(classify(inf, {"zz"}, 0), "other");
  EXPECT_EQ(classify(inf, {"x"}, 0), "NA");
  EXPECT_EQ(classify(inf, {"NA"}, 0), "NA");
  EXPECT_EQ(countsFor(inf, "a"), (Inf::TypeCounts{{"other", 2}, {"NA", 2}}));
}

// The cache is keyed by text alone: the column that searches a text first
// decides its type for every other column.
TEST_F(ClassifyTest, SharedCacheDecidesForLaterColumns) {
  Inf inf = session(kOverlap);
  seedHeader(inf, dir, {"a", "b"});
  EXPECT_EQ(classify(inf, {"p", "q"}, 0), "P");
  EXPECT_EQ(classify(inf, {"p", "q"}, 1), "Q");
  // Each column now tries its own type first.
  EXPECT_EQ(classify(inf, {"10", "20"}, 0), "P");
  EXPECT_EQ(classify(inf, {"10", "20"}, 1), "Q");
  // Each takes the other's cached result.
  EXPECT_EQ(classify(inf, {"20", "10"}, 0), "Q");
  EXPECT_EQ(classify(inf, {"20", "10"}, 1), "P");
  EXPECT_EQ(countsFor(inf, "a"), (Inf::TypeCounts{{"P", 2}, {"Q", 1}, {"other", 0}, {"NA", 0}}));
  EXPECT_EQ(countsFor(inf, "b"), (Inf::TypeCounts{{"P", 1}, {"Q", 2}, {"other", 0}, {"NA", 0}}));
}

// A match moves its type to the front; a cache hit or a missing value moves
// nothing, whatever the starting order.
TEST_F(ClassifyTest, OnlyASearchReordersTheTrial) {
  Inf inf = session(kOverlap, {"q9"});
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(classify(inf, {"q1"}, 0), "Q");
  EXPECT_EQ(classify(inf, {"1"}, 0), "Q");
  EXPECT_EQ(classify(inf, {"p1"}, 0), "P");
  EXPECT_EQ(classify(inf, {"2"}, 0), "P");
  EXPECT_EQ(classify(inf, {"q1"}, 0), "Q");  // cache hit
  EXPECT_EQ(classify(inf, {"3"}, 0), "P");
  EXPECT_EQ(classify(inf, {"q9"}, 0), "NA");  // would match Q only
  EXPECT_EQ(classify(inf, {"4"}, 0), "P");
  EXPECT_EQ(classify(inf, {"1"}, 0), "Q");  // cache hit
  EXPECT_EQ(classify(inf, {"5"}, 0), "P");
}

// A new header pass resets the trial order of its columns.
TEST_F(ClassifyTest, HeaderRowReseedsTheTrialOrder) {
  Inf inf = session(kOverlap);
  seedHeader(inf, dir, {"a"});
  const std::string front = classify(inf, {"0"}, 0);
  const std::string back = front == "P" ? "Q" : "P";
  EXPECT_EQ(classify(inf, {back == "P" ? "p" : "q"}, 0), back);
  EXPECT_EQ(classify(inf, {"1"}, 0), back);
  seedHeader(inf, dir, {"a"});
  EXPECT_EQ(classify(inf, {"2"}, 0), front);
}

// Four types over texts "<letters>_<n>": type X takes a text whose letters
// include x. A text's letters pick the set of types that match it.
const Inf::PatternSources kLetterTypes = {{"A", {"[abcd]*a[abcd]*_[0-9]+"}},
                                          {"B", {"[abcd]*b[abcd]*_[0-9]+"}},
                                          {"C", {"[abcd]*c[abcd]*_[0-9]+"}},
                                          {"D", {"[abcd]*d[abcd]*_[0-9]+"}}};

using Order = std::vector<std::string>;

std::string letters(const std::vector<std::string>& typeNames) {
  std::string s;
  for (const auto& t : typeNames) s.push_back(static_cast<char>(t[0] - 'A' + 'a'));
  return s;
}

// The winner under a trial order, and the order after the exchange.
std::string applyRule(Order& order, const std::string& text) {
  const std::string lettersPart = text.substr(0, text.find('_'));
  for (size_t i = 0; i < order.size(); ++i) {
    const char l = static_cast<char>(order[i][0] - 'A' + 'a');
    if (lettersPart.find(l) != std::string::npos) {
      const std::string winner = order[i];
      std::swap(order[0], order[i]);
      return winner;
    }
  }
  return "other";
}

struct OrderCase {
  const char* name;
  Row header;
  // Column of the tracked trial order at step i.
  int (*column)(int step);
  // Column that gets an unrelated fresh text after each step, or -1.
  int noiseColumn;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class ClassifyTrialOrder : public EngineParamTest<OrderCase> {};

// Every starting order is a candidate; each classification must agree with
// the exchange rule for at least one, and the opening steps are chosen so
// that exactly one remains.
TEST_P(ClassifyTrialOrder, FollowsTheExchangeRuleForSomeStartingOrder) {
  const OrderCase& oc = GetParam();
  Inf inf = InfBuilder().patterns(kLetterTypes).na({"abcd_0"}).build();
  seedHeader(inf, dir, oc.header);

  std::vector<Order> candidates;
  Order perm = {"A", "B", "C", "D"};
  do candidates.push_back(perm);
  while (std::next_permutation(perm.begin(), perm.end()));

  std::mt19937 rng(20261207);
  std::unordered_map<std::string, std::string> seen;
  std::vector<std::string> seenTexts;
  int serial = 0;
  Order placed;
  const int steps = 300;
  for (int step = 0; step < steps; ++step) {
    const int c = oc.column(step);
    Row fields(oc.header.size(), "none");
    std::string text;
    const int kind = step < 3 ? 0 : static_cast<int>(rng() % 10);
    if (step < 3) {
      // Each opening text matches every type not yet seen winning, which
      // pins the starting order down.
      Order rest;
      for (const auto& t : Order{"A", "B", "C", "D"})
        if (std::find(placed.begin(), placed.end(), t) == placed.end()) rest.push_back(t);
      text = letters(rest) + "_" + std::to_string(++serial);
    } else if (kind == 0 && !seenTexts.empty()) {
      text = seenTexts[rng() % seenTexts.size()];
    } else if (kind == 1) {
      text = "abcd_0";
    } else {
      std::string ls;
      while (ls.empty())
        for (const char l : {'a', 'b', 'c', 'd'})
          if (rng() % 2) ls.push_back(l);
      text = ls + "_" + std::to_string(++serial);
    }
    fields[static_cast<size_t>(c)] = text;
    const std::string got = classify(inf, fields, c);

    if (text == "abcd_0") {
      ASSERT_EQ(got, "NA") << "step " << step;
    } else if (seen.count(text)) {
      ASSERT_EQ(got, seen[text]) << "cache hit at step " << step;
    } else {
      seen[text] = got;
      seenTexts.push_back(text);
      std::vector<Order> kept;
      for (Order o : candidates)
        if (applyRule(o, text) == got) kept.push_back(o);
      candidates = kept;
      ASSERT_FALSE(candidates.empty())
          << "no starting order explains step " << step << ": " << text << " -> " << got;
      if (step < 3) placed.push_back(got);
    }

    if (oc.noiseColumn >= 0) {
      Row noise(oc.header.size(), "none");
      noise[static_cast<size_t>(oc.noiseColumn)] = "dcba_" + std::to_string(100000 + step);
      classify(inf, noise, oc.noiseColumn);
    }
  }
  EXPECT_EQ(candidates.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Classify, ClassifyTrialOrder,
    ::testing::Values(OrderCase{"one_column", {"a"}, [](int) { return 0; }, -1},
                      OrderCase{"shared_name", {"x", "x"}, [](int s) { return s % 2; }, -1},
                      OrderCase{"other_column_untouched", {"a", "b"}, [](int) { return 0; }, 1}),
    CaseName());

// Only the front and the winner's place are exchanged: from Y, X, Z a text
// only Z matches leaves Z, X, Y. The names are learnt from the session, so
// this holds for any starting order.
TEST_F(ClassifyTest, ExchangeMovesTheFormerFrontToTheWinnersPlace) {
  Inf inf = InfBuilder()
                .patterns({{"A", {"[abc]*a[abc]*_[0-9]+"}},
                           {"B", {"[abc]*b[abc]*_[0-9]+"}},
                           {"C", {"[abc]*c[abc]*_[0-9]+"}}})
                .build();
  seedHeader(inf, dir, {"a"});
  const std::string x = classify(inf, {"abc_1"}, 0);
  // Learn the two types behind the front without moving the front twice:
  // the nearer of them wins and is exchanged with X.
  std::string rest;
  for (const char l : {'a', 'b', 'c'})
    if (l != x[0] - 'A' + 'a') rest.push_back(l);
  const std::string y = classify(inf, {rest + "_2"}, 0);
  std::string z;
  for (const std::string t : {"A", "B", "C"})
    if (t != x && t != y) z = t;
  const auto l = [](const std::string& t) {
    return std::string(1, static_cast<char>(t[0] - 'A' + 'a'));
  };
  // Now Y, X, Z. A text only Z matches: Z, X, Y.
  EXPECT_EQ(classify(inf, {l(z) + "_3"}, 0), z);
  EXPECT_EQ(classify(inf, {"abc_4"}, 0), z);
  // X, Y only: X is nearer than Y.
  EXPECT_EQ(classify(inf, {l(x) + l(y) + "_5"}, 0), x);
  // Now X, Z, Y: Z is nearer than Y.
  EXPECT_EQ(classify(inf, {l(y) + l(z) + "_6"}, 0), z);
  // Now Z, X, Y.
  EXPECT_EQ(classify(inf, {l(x) + l(y) + "_7"}, 0), x);
}

}  // namespace
