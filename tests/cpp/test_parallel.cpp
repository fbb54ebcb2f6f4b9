#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine_builders.h"
#include "inf.h"

using namespace engine_test;

namespace {

class ParallelTest : public EngineTest {};

struct PassResult {
  std::vector<std::string> columns;
  uint64_t rows;
  Inf::ColumnCounts counts;
  std::string typesFile;
};

PassResult resultOf(const Inf& inf, const std::string& typesPath) {
  return {inf.getColNames(), inf.getNumRows(), inf.getColTypeCandidates(), readFile(typesPath)};
}

void expectSameResult(const PassResult& seq, const PassResult& par, const std::string& what) {
  EXPECT_EQ(par.columns, seq.columns) << what;
  EXPECT_EQ(par.rows, seq.rows) << what;
  EXPECT_EQ(par.counts, seq.counts) << what;
  EXPECT_EQ(par.typesFile, seq.typesFile) << what;
}

// A generated file and the settings to run it with.
struct Generated {
  std::vector<Row> rows;
  Inf::PatternSources patterns;
  Inf::PatternSources secondPatterns;
  int window;
};

const std::unordered_set<std::string> kNA = {"NA", "-"};

// Overlapping types (digit runs match P, Q and R) under distinct column
// names. The only text a row may hold twice is one that is cached already
// or missing: for any other, which column decides its type is a race.
Generated overlappingFile(std::mt19937& rng) {
  Generated g;
  g.patterns = {{"P", {"p[0-9]*", "[0-9]+"}},
                {"Q", {"q[0-9]*", "[0-9]+"}},
                {"R", {"[0-9]+\\.[0-9]+", "[0-9]+"}},
                {"W", {"[a-z]+"}},
                {"E", {""}}};
  g.secondPatterns = {{"R", {"[0-9]+"}}, {"W", {"[a-z]+"}}, {"P", {"p[0-9]*", "[0-9]+"}}};
  const int windows[] = {0, 1, 2, 3, 7, -1, 1000};
  g.window = windows[rng() % 7];
  const std::vector<std::string> pool = {"0",  "1",  "2",  "3",   "17",  "42", "p",
                                         "q",  "p1", "q2", "2.5", "abc", "x",  "",
                                         "NA", "-",  "Na", "ZZ",  "7",   "99"};
  const int width = 1 + static_cast<int>(rng() % 8);
  Row header;
  for (int c = 0; c < width; ++c) header.push_back(rng() % 5 == 0 ? "" : "c" + std::to_string(c));
  g.rows.push_back(header);

  std::set<std::string> cached;
  uint64_t fileRow = 1;
  const auto endRow = [&] {
    if (g.window != 0 && fileRow % static_cast<uint64_t>(static_cast<int64_t>(g.window)) == 0)
      cached.clear();
    ++fileRow;
  };
  endRow();
  const int dataRows = static_cast<int>(rng() % 40);
  for (int r = 0; r < dataRows; ++r) {
    int len = width;
    const unsigned shape = rng() % 8;
    if (shape == 0) len = 1 + static_cast<int>(rng() % width);
    if (shape == 1) len = width + 1 + static_cast<int>(rng() % 3);
    Row row;
    std::set<std::string> inRow;
    for (int c = 0; c < len; ++c) {
      std::string v = pool[rng() % pool.size()];
      if (c < width && inRow.count(v) && !cached.count(v) && !kNA.count(v))
        v = "u" + std::to_string(r) + "_" + std::to_string(c);
      if (c < width) inRow.insert(v);
      row.push_back(v);
    }
    for (const auto& v : inRow)
      if (!kNA.count(v)) cached.insert(v);
    g.rows.push_back(row);
    endRow();
  }
  return g;
}

// Repeated names and texts, with types no text can match two of: the
// result does not depend on the order in which threads of a row run.
Generated sharedNameFile(std::mt19937& rng) {
  Generated g;
  g.patterns = {{"int", {"[0-9]+"}}, {"dec", {"[0-9]+\\.[0-9]+"}}, {"word", {"[a-z]+"}}};
  g.secondPatterns = {{"word", {"[a-z]+"}}, {"int", {"-?[0-9]+"}}};
  const int windows[] = {0, 1, 4, 1000};
  g.window = windows[rng() % 4];
  const std::vector<std::string> names = {"x", "y", "x", "", "z", "y"};
  const std::vector<std::string> pool = {"1", "22", "1.5", "abc", "x", "", "NA", "-3", "Q", "-"};
  const int width = 1 + static_cast<int>(rng() % 10);
  Row header;
  for (int c = 0; c < width; ++c) header.push_back(names[rng() % names.size()]);
  g.rows.push_back(header);
  const int dataRows = static_cast<int>(rng() % 40);
  for (int r = 0; r < dataRows; ++r) {
    int len = width;
    const unsigned shape = rng() % 8;
    if (shape == 0) len = 1 + static_cast<int>(rng() % width);
    if (shape == 1) len = width + 1 + static_cast<int>(rng() % 3);
    Row row;
    for (int c = 0; c < len; ++c) row.push_back(pool[rng() % pool.size()]);
    g.rows.push_back(row);
  }
  return g;
}

struct FamilyCase {
  const char* name;
  Generated (*generate)(std::mt19937&);
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }

class ParallelMatchesSequential : public EngineParamTest<FamilyCase> {};

// Two passes per file, the second under another table so that cached names
// carry over, in a sequential and a parallel session side by side.
TEST_P(ParallelMatchesSequential, SameCountsAndTypesFileLines) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    const Generated g = GetParam().generate(rng);
    const std::string in = csv("in.csv", g.rows);
    const auto builder = [&](bool parallel, const std::string& types) {
      return InfBuilder()
          .file(in)
          .patterns(g.patterns)
          .na(kNA)
          .window(g.window)
          .parallel(parallel)
          .typesFile(path(types));
    };
    Inf seq = runPass(builder(false, "seq.txt"));
    Inf par = runPass(builder(true, "par.txt"));
    const std::string what = "seed " + std::to_string(seed) + "\n" + csvText(g.rows);
    expectSameResult(resultOf(seq, path("seq.txt")), resultOf(par, path("par.txt")), what);

    seq.setColTypePatterns(g.secondPatterns);
    par.setColTypePatterns(g.secondPatterns);
    seq.inferTypes();
    par.inferTypes();
    expectSameResult(resultOf(seq, path("seq.txt")), resultOf(par, path("par.txt")),
                     "second pass, " + what);
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Parallel, ParallelMatchesSequential,
                         ::testing::Values(FamilyCase{"overlapping_types", overlappingFile},
                                           FamilyCase{"shared_names", sharedNameFile}),
                         CaseName());

TEST_F(ParallelTest, HeaderOnlyFile) {
  Inf inf = runPass(
      InfBuilder().file(csv("in.csv", {{"a", "", "a"}})).parallel().typesFile(path("t.txt")));
  EXPECT_EQ(inf.getNumRows(), 0u);
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"a", "Unitled_1", "a"}));
  EXPECT_EQ(countsFor(inf, "a"), seededCounts(inf));
  EXPECT_EQ(countsFor(inf, "Unitled_1"), seededCounts(inf));
  EXPECT_EQ(readFile(path("t.txt")), "a,Unitled_1,a\n");
}

// A fresh text in a letters-only spelling of n.
std::string wordOf(int n) {
  std::string w;
  do {
    w.push_back(static_cast<char>('a' + n % 26));
    n /= 26;
  } while (n > 0);
  return w;
}

// Cells sharing a name search fresh texts in the same row, each moving its
// type to the front of the one trial order they share.
TEST_F(ParallelTest, SharedNameCountsAddUp) {
  std::vector<Row> rows = {{"x", "y", "x", "x", "x"}};
  for (int i = 0; i < 200; ++i)
    rows.push_back({std::to_string(i), "w", i % 2 ? "NA" : wordOf(i + 1000), wordOf(i + 5000),
                    i % 3 ? std::to_string(i + 9000) : "-"});
  Inf inf = runPass(InfBuilder()
                        .file(csv("in.csv", rows))
                        .patterns({{"int", {"[0-9]+"}}, {"word", {"[a-z]+"}}})
                        .parallel());
  EXPECT_EQ(inf.getNumRows(), 200u);
  EXPECT_EQ(countsFor(inf, "x"),
            (Inf::TypeCounts{{"int", 333}, {"word", 300}, {"other", 67}, {"NA", 100}}));
  EXPECT_EQ(countsFor(inf, "y"),
            (Inf::TypeCounts{{"int", 0}, {"word", 200}, {"other", 0}, {"NA", 0}}));
}

TEST_F(ParallelTest, ManyColumnsInOneRow) {
  const int width = 300;
  std::vector<Row> rows(4);
  std::string header, intLine, mixedLine, naLine;
  for (int c = 0; c < width; ++c) {
    rows[0].push_back("c" + std::to_string(c));
    rows[1].push_back(std::to_string(c));
    rows[2].push_back(c % 3 ? "w" + std::to_string(c) : std::to_string(c));
    rows[3].push_back("NA");
    const std::string sep = c ? "," : "";
    header += sep + rows[0].back();
    intLine += sep + "int";
    mixedLine += sep + (c % 3 ? "other" : "int");
    naLine += sep + "NA";
  }
  Inf inf = runPass(InfBuilder().file(csv("in.csv", rows)).parallel().typesFile(path("t.txt")));
  EXPECT_EQ(inf.getNumRows(), 3u);
  EXPECT_EQ(inf.getColNames(), rows[0]);
  for (int c = 0; c < width; ++c) {
    const unsigned long ints = c % 3 ? 1 : 2;
    EXPECT_EQ(countsFor(inf, rows[0][c]),
              (Inf::TypeCounts{{"int", ints}, {"other", 2 - ints}, {"NA", 1}}))
        << c;
  }
  EXPECT_EQ(readLines(path("t.txt")), (Lines{header, intLine, mixedLine, naLine}));
}

// Rows where a regex exceeds its complexity limit in one or more columns.
struct BombCase {
  const char* name;
  std::vector<Row> rows;
};

void PrintTo(const BombCase& c, std::ostream* os) { *os << c.name; }

class ParallelColumnError : public EngineParamTest<BombCase> {};

TEST_P(ParallelColumnError, ReachesTheCallerAsInSequentialMode) {
  const std::vector<Row>& rows = GetParam().rows;
  const std::string in = csv("in.csv", rows);
  const Inf::PatternSources withBomb = {{"int", {"[0-9]+"}}, {"bomb", {bombPattern()}}};

  Inf seq = InfBuilder().file(in).patterns(withBomb).build();
  const CaughtError seqErr = catchError([&] { seq.inferTypes(); });
  ASSERT_TRUE(seqErr.thrown) << "the pattern must fail in sequential mode first";

  Inf par = InfBuilder().file(in).patterns(withBomb).parallel().typesFile(path("t.txt")).build();
  const CaughtError parErr = catchError([&] { par.inferTypes(); });
  ASSERT_TRUE(parErr.thrown);
  EXPECT_EQ(parErr.type, seqErr.type);
  EXPECT_EQ(parErr.message, seqErr.message);
  EXPECT_EQ(par.getColNames(), rows[0]);

  // A new pass on the same session runs normally.
  par.setColTypePatterns({{"int", {"[0-9]+"}}});
  par.inferTypes();
  EXPECT_EQ(par.getNumRows(), rows.size() - 1);
  const Lines lines = readLines(path("t.txt"));
  ASSERT_EQ(lines.size(), rows.size());
  EXPECT_EQ(lines[0], "a,b,c");
  for (size_t r = 1; r < rows.size(); ++r) {
    std::string expected;
    for (size_t c = 0; c < rows[r].size(); ++c)
      expected +=
          (c ? "," : "") +
          std::string(rows[r][c].find_first_not_of("0123456789") == std::string::npos ? "int"
                                                                                      : "other");
    EXPECT_EQ(lines[r], expected) << r;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parallel, ParallelColumnError,
    ::testing::Values(
        BombCase{"middle_column",
                 {{"a", "b", "c"}, {"1", "2", "3"}, {"4", complexityBomb(), "6"}, {"7", "8", "9"}}},
        BombCase{"first_data_row",
                 {{"a", "b", "c"}, {complexityBomb(), "2", "3"}, {"4", "5", "6"}}},
        BombCase{"every_column",
                 {{"a", "b", "c"},
                  {"1", "2", "3"},
                  {complexityBomb(), complexityBomb() + "a", complexityBomb() + "aa"}}}),
    CaseName());

}  // namespace
