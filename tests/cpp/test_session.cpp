#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine_builders.h"
#include "inf.h"

using namespace engine_test;

namespace {

class SessionTest : public EngineTest {};

TEST_F(SessionTest, ConstructorStoresEveryArgument) {
  const Inf::PatternSources patterns = {{"int", {"[0-9]+", "-[0-9]+"}}, {"word", {"[a-z]+"}}};
  const std::unordered_set<std::string> na = {"NA", "", "null"};
  Inf inf("/no/such/in.csv", ';', patterns, na, true, true, "/no/such/types.txt", -7);
  EXPECT_EQ(inf.getFilepath(), "/no/such/in.csv");
  EXPECT_EQ(inf.getDelimiter(), ';');
  EXPECT_EQ(inf.getColTypePatterns(), patterns);
  EXPECT_EQ(inf.getNaValues(), na);
  EXPECT_TRUE(inf.getMultithreading());
  EXPECT_TRUE(inf.getSaveTypesFile());
  EXPECT_EQ(inf.getTypesFilepath(), "/no/such/types.txt");
  EXPECT_EQ(inf.getRollingCacheWindow(), -7);
}

TEST_F(SessionTest, FreshSessionHasNoResults) {
  Inf inf = InfBuilder().file(path("never-read.csv")).build();
  EXPECT_TRUE(inf.getColTypeCandidates().empty());
  EXPECT_TRUE(inf.getColNames().empty());
  EXPECT_EQ(inf.getNumRows(), 0u);
}

TEST_F(SessionTest, SettersAcceptAnyValueAndGettersReturnIt) {
  Inf inf = InfBuilder().build();
  for (const char d : {',', '\t', '\0', '"', '\n', static_cast<char>(0xff)}) {
    inf.setDelimiter(d);
    EXPECT_EQ(inf.getDelimiter(), d);
  }
  for (const int w : {0, 1, -1, 3, INT_MIN, INT_MAX}) {
    inf.setRollingCacheWindow(w);
    EXPECT_EQ(inf.getRollingCacheWindow(), w);
  }
  for (const std::string& p : std::vector<std::string>{
           "", "/does/not/exist", std::string("with\0nul", 8), "x y/\xc3\xa9.csv"}) {
    inf.setFilepath(p);
    EXPECT_EQ(inf.getFilepath(), p);
    inf.setTypesFilepath(p);
    EXPECT_EQ(inf.getTypesFilepath(), p);
  }
  for (const bool on : {true, false, true}) {
    inf.setMultithreading(on);
    EXPECT_EQ(inf.getMultithreading(), on);
    inf.setSaveTypesFile(!on);
    EXPECT_EQ(inf.getSaveTypesFile(), !on);
  }
  for (const std::unordered_set<std::string>& na :
       std::vector<std::unordered_set<std::string>>{{}, {""}, {"NA", "na", " NA", "N/A"}}) {
    inf.setNaValues(na);
    EXPECT_EQ(inf.getNaValues(), na);
  }
}

// Sources must come back exactly: duplicates, empty lists and empty sources
// included, per type in the order given.
TEST_F(SessionTest, PatternSourcesComeBackAsGiven) {
  const std::vector<Inf::PatternSources> tables = {
      {},
      {{"empty", {}}},
      {{"blank", {""}}},
      {{"dup", {"b", "a", "b", "a"}}},
      {{"int", {"[0-9]+", "\\d+", "(?i)x"}}, {"", {"y"}}, {"none", {}}, {"e", {"", ""}}},
      {{"z", {"3", "2", "1"}}, {"a", {"1", "2", "3"}}, {"NA", {"n"}}, {"other", {"o"}}},
  };
  for (const auto& table : tables) {
    Inf built = InfBuilder().patterns(table).build();
    EXPECT_EQ(built.getColTypePatterns(), table);
    Inf set = InfBuilder().build();
    set.setColTypePatterns(table);
    EXPECT_EQ(set.getColTypePatterns(), table);
  }
}

TEST_F(SessionTest, SetColTypePatternsReplacesTheWholeTable) {
  Inf inf = InfBuilder().patterns({{"a", {"a"}}, {"b", {"b"}}}).build();
  inf.setColTypePatterns({{"c", {"c"}}});
  EXPECT_EQ(inf.getColTypePatterns(), (Inf::PatternSources{{"c", {"c"}}}));
}

TEST_F(SessionTest, ConstructorRejectsASourceThatDoesNotCompile) {
  for (const char* bad : {"(", "[a-", "*", "a{2,1}", "(?<"}) {
    EXPECT_THROW(InfBuilder().patterns({{"int", {"[0-9]+"}}, {"bad", {"x", bad}}}).build(),
                 boost::regex_error)
        << bad;
  }
}

TEST_F(SessionTest, FailingSourceKeepsTheSourcesBeforeIt) {
  Inf inf = InfBuilder().patterns({{"old", {"o"}}}).build();
  EXPECT_THROW(inf.setColTypePatterns({{"t", {"a", "b", "(", "c"}}}), boost::regex_error);
  EXPECT_EQ(inf.getColTypePatterns(), (Inf::PatternSources{{"t", {"a", "b"}}}));

  EXPECT_THROW(inf.setColTypePatterns({{"u", {"["}}}), boost::regex_error);
  EXPECT_EQ(inf.getColTypePatterns(), (Inf::PatternSources{{"u", {}}}));
}

// With several types the visiting order is not fixed: the failing type
// holds its prefix, every other type is either complete or absent, and
// nothing of the previous table survives.
TEST_F(SessionTest, FailingSourceInALargerTableLeavesAConsistentPrefix) {
  const Inf::PatternSources table = {{"t1", {"1", "11"}},
                                     {"t2", {"2"}},
                                     {"bad", {"x", "y", ")", "z"}},
                                     {"t3", {"3", "33", "333"}},
                                     {"t4", {}}};
  Inf inf = InfBuilder().patterns({{"old", {"o"}}}).build();
  EXPECT_THROW(inf.setColTypePatterns(table), boost::regex_error);
  const Inf::PatternSources got = inf.getColTypePatterns();
  ASSERT_EQ(got.count("bad"), 1u);
  EXPECT_EQ(got.at("bad"), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(got.count("old"), 0u);
  for (const auto& entry : got) {
    if (entry.first == "bad") continue;
    ASSERT_EQ(table.count(entry.first), 1u) << entry.first;
    EXPECT_EQ(entry.second, table.at(entry.first)) << entry.first;
  }
}

TEST_F(SessionTest, SettersLeaveResultsAndRunStateAlone) {
  const std::string in = csv("in.csv", {{"a", "b"}, {"1", "x"}, {"2", "NA"}});
  Inf inf = runPass(InfBuilder().file(in));
  const auto counts = inf.getColTypeCandidates();
  const auto names = inf.getColNames();
  const auto rows = inf.getNumRows();
  ASSERT_EQ(rows, 2u);

  inf.setFilepath(path("elsewhere.csv"));
  inf.setDelimiter(';');
  inf.setColTypePatterns({{"word", {"[a-z]+"}}});
  inf.setNaValues({"x"});
  inf.setMultithreading(true);
  inf.setSaveTypesFile(true);
  inf.setTypesFilepath(path("types.txt"));
  inf.setRollingCacheWindow(1);

  EXPECT_EQ(inf.getColTypeCandidates(), counts);
  EXPECT_EQ(inf.getColNames(), names);
  EXPECT_EQ(inf.getNumRows(), rows);
  EXPECT_FALSE(fs::exists(path("types.txt")));
}

TEST_F(SessionTest, QueryResultsAreIndependentCopies) {
  Inf inf = runPass(InfBuilder().file(csv("in.csv", {{"a"}, {"1"}})));
  auto counts = inf.getColTypeCandidates();
  counts["a"]["int"] = 99;
  counts["zz"]["int"] = 1;
  auto names = inf.getColNames();
  names.push_back("zz");
  names[0] = "changed";
  EXPECT_EQ(countsFor(inf, "a").at("int"), 1u);
  EXPECT_EQ(inf.getColTypeCandidates().count("zz"), 0u);
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"a"}));

  auto patterns = inf.getColTypePatterns();
  patterns["int"].push_back("x");
  EXPECT_EQ(inf.getColTypePatterns(), (Inf::PatternSources{{"int", {"[0-9]+"}}}));
  auto na = inf.getNaValues();
  na.insert("y");
  EXPECT_EQ(inf.getNaValues(), (std::unordered_set<std::string>{"NA"}));
}

struct NumColsCase {
  const char* name;
  std::string text;
  char delimiter;
  int expected;
};

void PrintTo(const NumColsCase& c, std::ostream* os) { *os << c.name; }

class SessionNumCols : public EngineParamTest<NumColsCase> {};

TEST_P(SessionNumCols, CountsTheFieldsOfTheFirstRow) {
  const NumColsCase& c = GetParam();
  Inf inf = InfBuilder().file(raw("in.csv", c.text)).delimiter(c.delimiter).build();
  EXPECT_EQ(inf.getNumCols(), c.expected);
  EXPECT_EQ(inf.getNumRows(), 0u);
  EXPECT_TRUE(inf.getColNames().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Session, SessionNumCols,
    ::testing::Values(NumColsCase{"empty", "", ',', 0},
                      NumColsCase{"blank_first_line", "\n", ',', 1},
                      NumColsCase{"blank_first_line_then_wide_rows", "\na,b,c\n", ',', 1},
                      NumColsCase{"three_cells", "a,b,c\n", ',', 3},
                      NumColsCase{"no_line_end", "a,b", ',', 2},
                      NumColsCase{"crlf", "a,b\r\n1,2\r\n", ',', 2},
                      NumColsCase{"quoted_delimiter", "\"a,b\",c\n", ',', 2},
                      NumColsCase{"quoted_line_end", "\"a\nb\",c,d\n1\n", ',', 3},
                      NumColsCase{"empty_cells", ",,\n", ',', 3},
                      NumColsCase{"later_rows_ignored", "a\n1,2,3\n", ',', 1},
                      NumColsCase{"other_delimiter", "a;b,c;d\n", ';', 3},
                      NumColsCase{"tab_delimiter", "a\tb\n", '\t', 2}),
    CaseName());

TEST_F(SessionTest, NumColsOfAMissingFileThrows) {
  Inf inf = InfBuilder().file(path("missing.csv")).build();
  try {
    inf.getNumCols();
    FAIL() << "expected std::runtime_error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Something is wrong with input stream");
  }
}

}  // namespace

// A copied session owns everything it uses: the original may go away.
TEST(SessionCopy, CopyRunsItsOwnPassesAfterTheOriginalIsGone) {
  engine_test::TempDir dir;
  const std::string path =
      engine_test::writeCsv(dir.file("in.csv"), {{"a", "b"}, {"1", "x"}, {"22", "7"}});
  std::unique_ptr<Inf> original(
      new Inf(path, ',', {{"int", {"[0-9]+"}}}, {"NA"}, false, false, "", 10));
  Inf copy(*original);
  original.reset();
  copy.inferTypes();
  EXPECT_EQ(copy.getNumRows(), 2u);
  EXPECT_EQ(copy.getColTypeCandidates().at("a").at("int"), 2u);
  EXPECT_EQ(copy.getColTypeCandidates().at("b").at("int"), 1u);
  EXPECT_EQ(copy.getColTypeCandidates().at("b").at("other"), 1u);
}
