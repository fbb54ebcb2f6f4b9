#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "csv/stream_error.h"
#include "engine_builders.h"
#include "inf.h"

using namespace engine_test;

namespace {

class PassTest : public EngineTest {};

// A whole file, and what a fresh session holds after one pass over it
// (default table: "int" of digit runs; "NA" is missing).
struct ShapeCase {
  const char* name;
  std::string text;
  char delimiter;
  std::unordered_set<std::string> na;
  std::vector<std::string> columns;
  uint64_t rows;
  std::map<std::string, Inf::TypeCounts> counts;
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

Inf::TypeCounts c3(unsigned long i, unsigned long o, unsigned long na) {
  return {{"int", i}, {"other", o}, {"NA", na}};
}

class PassShape : public EngineParamTest<ShapeCase> {};

TEST_P(PassShape, ColumnsRowsAndCounts) {
  const ShapeCase& sc = GetParam();
  Inf inf = runPass(InfBuilder().file(raw("in.csv", sc.text)).delimiter(sc.delimiter).na(sc.na));
  EXPECT_EQ(inf.getColNames(), sc.columns);
  EXPECT_EQ(inf.getNumRows(), sc.rows);
  const Inf::ColumnCounts all = inf.getColTypeCandidates();
  EXPECT_EQ(all.size(), sc.counts.size());
  for (const auto& entry : sc.counts)
    EXPECT_EQ(countsFor(inf, entry.first), entry.second) << entry.first;
}

const std::unordered_set<std::string> kNA = {"NA"};

INSTANTIATE_TEST_SUITE_P(
    Pass, PassShape,
    ::testing::Values(
        ShapeCase{"empty_file", "", ',', kNA, {}, 0, {}},
        ShapeCase{"header_only",
                  "a,b\n",
                  ',',
                  kNA,
                  {"a", "b"},
                  0,
                  {{"a", c3(0, 0, 0)}, {"b", c3(0, 0, 0)}}},
        ShapeCase{"header_only_no_line_end",
                  "a,b",
                  ',',
                  kNA,
                  {"a", "b"},
                  0,
                  {{"a", c3(0, 0, 0)}, {"b", c3(0, 0, 0)}}},
        ShapeCase{"last_line_without_end", "a\n1\nx", ',', kNA, {"a"}, 2, {{"a", c3(1, 1, 0)}}},
        ShapeCase{"crlf",
                  "a,b\r\n1,x\r\nNA,2\r\n",
                  ',',
                  kNA,
                  {"a", "b"},
                  2,
                  {{"a", c3(1, 0, 1)}, {"b", c3(1, 1, 0)}}},
        ShapeCase{"lone_cr",
                  "a,b\r1,2\r",
                  ',',
                  kNA,
                  {"a", "b"},
                  1,
                  {{"a", c3(1, 0, 0)}, {"b", c3(1, 0, 0)}}},
        ShapeCase{"blank_line_inside",
                  "a,b\n1,2\n\n3,4\n",
                  ',',
                  kNA,
                  {"a", "b"},
                  3,
                  {{"a", c3(2, 1, 0)}, {"b", c3(2, 0, 0)}}},
        ShapeCase{"ends_in_two_line_ends", "a\n1\n\n", ',', kNA, {"a"}, 2, {{"a", c3(1, 1, 0)}}},
        ShapeCase{"blank_line_is_missing", "a\n1\n\n", ',', {""}, {"a"}, 2, {{"a", c3(1, 0, 1)}}},
        ShapeCase{
            "blank_header", "\n1\n", ',', kNA, {"Unitled_1"}, 1, {{"Unitled_1", c3(1, 0, 0)}}},
        ShapeCase{"short_and_long_rows",
                  "a,b,c\n1,x,2\n3\n4,5,6,7,8\n,\n",
                  ',',
                  kNA,
                  {"a", "b", "c"},
                  4,
                  {{"a", c3(3, 1, 0)}, {"b", c3(1, 2, 0)}, {"c", c3(2, 0, 0)}}},
        ShapeCase{"duplicate_names_share_counts",
                  "x,y,x\n1,a,NA\n2,3,b\n",
                  ',',
                  kNA,
                  {"x", "y", "x"},
                  2,
                  {{"x", c3(2, 1, 1)}, {"y", c3(1, 1, 0)}}},
        ShapeCase{"quoted_cells",
                  "\"a,1\",b\n\"1\",\"x\"\"\"\n",
                  ',',
                  kNA,
                  {"a,1", "b"},
                  1,
                  {{"a,1", c3(1, 0, 0)}, {"b", c3(0, 1, 0)}}},
        ShapeCase{"header_kept_verbatim",
                  " a ,A\n1,2\n",
                  ',',
                  kNA,
                  {" a ", "A"},
                  1,
                  {{" a ", c3(1, 0, 0)}, {"A", c3(1, 0, 0)}}},
        ShapeCase{"other_delimiter",
                  "a;b\n1,2;3\n",
                  ';',
                  kNA,
                  {"a", "b"},
                  1,
                  {{"a", c3(0, 1, 0)}, {"b", c3(1, 0, 0)}}}),
    CaseName());

TEST_F(PassTest, EmptyFileLeavesEarlierCountsAlone) {
  Inf inf = runPass(InfBuilder().file(csv("first.csv", {{"a"}, {"1"}, {"x"}})));
  const auto before = inf.getColTypeCandidates();
  inf.setFilepath(raw("empty.csv", ""));
  inf.inferTypes();
  EXPECT_EQ(inf.getNumRows(), 0u);
  EXPECT_TRUE(inf.getColNames().empty());
  EXPECT_EQ(inf.getColTypeCandidates(), before);
}

TEST_F(PassTest, UntitledNumberingContinuesAcrossPasses) {
  Inf inf = runPass(InfBuilder().file(csv("in.csv", {{"a", "", "b"}, {"1", "2", "x"}})));
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"a", "Unitled_1", "b"}));
  inf.setFilepath(csv("in2.csv", {{"a", "", "b"}, {"x", "x", "x"}}));
  inf.inferTypes();
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"a", "Unitled_2", "b"}));
  EXPECT_EQ(countsFor(inf, "Unitled_1"), c3(1, 0, 0));
  EXPECT_EQ(countsFor(inf, "Unitled_2"), c3(0, 1, 0));
  inf.setFilepath(csv("in3.csv", {{"", "", ""}}));
  inf.inferTypes();
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"Unitled_3", "Unitled_4", "Unitled_5"}));
  EXPECT_EQ(inf.getColTypeCandidates().size(), 7u);
}

TEST_F(PassTest, EntriesOfEarlierHeadersSurvive) {
  Inf inf = runPass(InfBuilder().file(csv("one.csv", {{"a", "b"}, {"1", "x"}, {"2", "y"}})));
  inf.setFilepath(csv("two.csv", {{"b", "c"}, {"3", "NA"}}));
  inf.inferTypes();
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(inf.getNumRows(), 1u);
  EXPECT_EQ(countsFor(inf, "a"), c3(2, 0, 0));
  EXPECT_EQ(countsFor(inf, "b"), c3(1, 0, 0));
  EXPECT_EQ(countsFor(inf, "c"), c3(0, 0, 1));
}

// A new table reshapes the seeded counts of the new header only.
TEST_F(PassTest, NewPatternTableSeedsOnlyTheNextHeader) {
  Inf inf = runPass(InfBuilder().file(csv("one.csv", {{"a"}, {"x"}})));
  inf.setColTypePatterns({{"word", {"[a-z]+"}}, {"num", {"[0-9]+"}}});
  inf.setFilepath(csv("two.csv", {{"b"}}));
  inf.inferTypes();
  EXPECT_EQ(countsFor(inf, "a"), c3(0, 1, 0));
  EXPECT_EQ(countsFor(inf, "b"),
            (Inf::TypeCounts{{"word", 0}, {"num", 0}, {"other", 0}, {"NA", 0}}));
}

TEST_F(PassTest, EachPassReadsTheFilesCurrentContent) {
  const std::string in = csv("in.csv", {{"a"}, {"1"}});
  Inf inf = runPass(InfBuilder().file(in));
  csv("in.csv", {{"a", "b"}, {"x", "2"}, {"3", "4"}, {"NA", "5"}});
  inf.inferTypes();
  EXPECT_EQ(inf.getNumRows(), 3u);
  EXPECT_EQ(countsFor(inf, "a"), c3(1, 1, 1));
  EXPECT_EQ(countsFor(inf, "b"), c3(3, 0, 0));
}

// Columns a and b end up trying P and Q first. "5" is searched in a at
// file row 3, met in b at row 4 and in a again at row 5; whether it is
// still cached then shows where the window emptied the cache.
struct WindowCase {
  const char* name;
  int window;
  std::string row4;
  std::string row5;
};

void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

class PassWindow : public EngineParamTest<WindowCase> {};

TEST_P(PassWindow, EmptiesTheCacheAfterEveryWindowOfFileRows) {
  const WindowCase& wc = GetParam();
  const std::string in =
      csv("in.csv", {{"a", "b"}, {"p", "q"}, {"5", "x"}, {"x", "5"}, {"5", "x"}});
  Inf inf = runPass(InfBuilder()
                        .file(in)
                        .patterns({{"P", {"p", "[0-9]+"}}, {"Q", {"q", "[0-9]+"}}})
                        .typesFile(path("types.txt"))
                        .window(wc.window));
  EXPECT_EQ(readLines(path("types.txt")), (Lines{"a,b", "P,Q", "P,other", wc.row4, wc.row5}));
  EXPECT_EQ(inf.getNumRows(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Pass, PassWindow,
                         ::testing::Values(WindowCase{"w1", 1, "other,Q", "P,other"},
                                           WindowCase{"w3", 3, "other,Q", "Q,other"},
                                           WindowCase{"w0_never", 0, "other,P", "P,other"},
                                           WindowCase{"minus1_never", -1, "other,P", "P,other"},
                                           WindowCase{"minus3_never", -3, "other,P", "P,other"},
                                           WindowCase{"int_min_never", INT_MIN, "other,P",
                                                      "P,other"},
                                           WindowCase{"large", 1000, "other,P", "P,other"}),
                         CaseName());

// "5" is cached as int by a pass of two file rows; the next pass runs
// under a table without int. The cache survives unless the window emptied
// it at row 2 of the first pass.
struct CarryCase {
  const char* name;
  int window;
  const char* expected;
};

void PrintTo(const CarryCase& c, std::ostream* os) { *os << c.name; }

class PassCacheCarry : public EngineParamTest<CarryCase> {};

TEST_P(PassCacheCarry, CacheOutlivesThePassUnlessTheWindowEmptiedIt) {
  const CarryCase& cc = GetParam();
  Inf inf = runPass(InfBuilder().file(csv("in.csv", {{"a"}, {"5"}})).window(cc.window));
  inf.setColTypePatterns({{"num", {"[0-9]+"}}});
  inf.inferTypes();
  Inf::TypeCounts expected = {{"num", 0}, {"other", 0}, {"NA", 0}};
  expected[cc.expected] = 1;
  EXPECT_EQ(countsFor(inf, "a"), expected);
}

INSTANTIATE_TEST_SUITE_P(Pass, PassCacheCarry,
                         ::testing::Values(CarryCase{"w1", 1, "num"}, CarryCase{"w2", 2, "num"},
                                           CarryCase{"w3", 3, "int"}, CarryCase{"w0", 0, "int"},
                                           CarryCase{"minus1", -1, "int"},
                                           CarryCase{"minus2", -2, "int"}),
                         CaseName());

// One text, classified by a first pass and again by a second pass under
// other settings, in each mode: what the cache carries over and what it
// must not.
struct SecondPassCase {
  const char* name;
  std::string text;
  Inf::PatternSources first;
  std::unordered_set<std::string> firstNa;
  Inf::PatternSources second;
  std::unordered_set<std::string> secondNa;
  const char* firstType;
  const char* secondType;
};

void PrintTo(const SecondPassCase& c, std::ostream* os) { *os << c.name; }

class PassSecondPass : public EngineParamTest<std::tuple<SecondPassCase, bool>> {};

TEST_P(PassSecondPass, CacheCarriesOnlyFinishedSearches) {
  const SecondPassCase& sc = std::get<0>(GetParam());
  const std::string in = csv("in.csv", {{"a", "b"}, {sc.text, "1"}});
  Inf inf = runPass(
      InfBuilder().file(in).patterns(sc.first).na(sc.firstNa).parallel(std::get<1>(GetParam())));
  EXPECT_EQ(countsFor(inf, "a").at(sc.firstType), 1u);
  inf.setColTypePatterns(sc.second);
  inf.setNaValues(sc.secondNa);
  inf.inferTypes();
  Inf::TypeCounts expected = seededCounts(inf);
  ++expected[sc.secondType];
  EXPECT_EQ(countsFor(inf, "a"), expected);
}

const Inf::PatternSources kInt = {{"int", {"[0-9]+"}}};
const Inf::PatternSources kWord = {{"word", {"[a-z]+[0-9]*"}}};

INSTANTIATE_TEST_SUITE_P(
    Pass, PassSecondPass,
    ::testing::Combine(
        ::testing::Values(
            SecondPassCase{"type_kept", "5", kInt, {}, {{"num", {"[0-9]+"}}}, {}, "int", "int"},
            SecondPassCase{"other_kept", "zz", kInt, {}, kWord, {}, "other", "other"},
            SecondPassCase{"missing_before_cache", "5", kInt, {}, kInt, {"5"}, "int", "NA"},
            SecondPassCase{"missing_not_cached", "zz", kWord, {"zz"}, kWord, {}, "NA", "word"},
            SecondPassCase{"empty_name_not_cached",
                           "e1",
                           {{"", {"e[0-9]"}}, {"int", {"[0-9]+"}}},
                           {},
                           {{"E2", {"e[0-9]"}}},
                           {},
                           "",
                           "E2"}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<SecondPassCase, bool>>& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "_parallel" : "_sequential");
    });

TEST_F(PassTest, MissingInputFailsBeforeAnythingChanges) {
  Inf inf = runPass(InfBuilder().file(csv("in.csv", {{"a", "b"}, {"1", "x"}, {"2", "y"}})));
  ASSERT_EQ(inf.getNumRows(), 2u);
  const auto counts = inf.getColTypeCandidates();
  inf.setFilepath(path("missing.csv"));
  inf.setSaveTypesFile(true);
  inf.setTypesFilepath(path("types.txt"));
  try {
    inf.inferTypes();
    FAIL() << "expected csv::StreamError";
  } catch (const csv::StreamError& e) {
    EXPECT_STREQ(e.what(), "Something is wrong with input stream");
  }
  EXPECT_EQ(inf.getNumRows(), 0u);
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(inf.getColTypeCandidates(), counts);
  EXPECT_FALSE(fs::exists(path("types.txt")));
}

// A regex that exceeds the library's complexity limit on one field of the
// third data row: the error leaves the pass as it is, with the work done up
// to that field kept and the header still counted in the row counter.
TEST_F(PassTest, ErrorInsideThePassKeepsWhatWasDone) {
  const std::string in =
      csv("in.csv", {{"a", "b"}, {"1", "2"}, {"3", "4"}, {"6", complexityBomb()}, {"7", "8"}});
  Inf inf = InfBuilder()
                .file(in)
                .patterns({{"int", {"[0-9]+"}}, {"bomb", {bombPattern()}}})
                .typesFile(path("types.txt"))
                .build();
  const CaughtError err = catchError([&] { inf.inferTypes(); });
  const CaughtError expected = bombError();
  ASSERT_TRUE(expected.thrown);
  ASSERT_TRUE(err.thrown);
  // The library words the limit it hit differently with the matching call.
  EXPECT_EQ(err.type, expected.type);
  EXPECT_NE(err.message.find("regular expression"), std::string::npos) << err.message;
  EXPECT_EQ(inf.getNumRows(), 3u);
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"a", "b"}));
  const Inf::TypeCounts zero = {{"int", 0}, {"bomb", 0}, {"other", 0}, {"NA", 0}};
  Inf::TypeCounts a = zero, b = zero;
  a["int"] = 3;
  b["int"] = 2;
  EXPECT_EQ(countsFor(inf, "a"), a);
  EXPECT_EQ(countsFor(inf, "b"), b);
  EXPECT_EQ(readLines(path("types.txt")), (Lines{"a,b", "int,int", "int,int"}));

  // The session is still usable.
  inf.setColTypePatterns({{"int", {"[0-9]+"}}});
  inf.inferTypes();
  EXPECT_EQ(inf.getNumRows(), 4u);
  EXPECT_EQ(countsFor(inf, "a"), c3(4, 0, 0));
  EXPECT_EQ(countsFor(inf, "b"), c3(3, 1, 0));
}

TEST_F(PassTest, CountsAndRowCounterAre64Bit) {
  static_assert(std::numeric_limits<Inf::TypeCounts::mapped_type>::digits == 64, "64-bit counts");
  static_assert(!std::numeric_limits<Inf::TypeCounts::mapped_type>::is_signed, "unsigned counts");
  static_assert(std::is_same<decltype(std::declval<Inf&>().getNumRows()), uint64_t>::value,
                "64-bit row counter");
  Inf inf = runPass(InfBuilder().file(csv("in.csv", {{"a"}, {"1"}})));
  EXPECT_EQ(countsFor(inf, "a").at("int"), 1u);
}

}  // namespace
