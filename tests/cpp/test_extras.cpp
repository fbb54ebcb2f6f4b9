// The extras a pass gathers for the Python package: row widths, longest
// fields and example texts, in both modes, and nothing when they are off.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine_builders.h"
#include "inf.h"

using namespace engine_test;

namespace {

using Examples = std::map<std::string, std::vector<std::string>>;

struct ExtrasCase {
  std::string name;
  std::string text;  // the whole file
  int examplesPerType;
  std::vector<uint64_t> rowWidths;
  std::vector<uint64_t> maxLengths;
  std::vector<Examples> examples;
};

const ExtrasCase kExtrasCases[] = {
    {"ShortAndLongRows",
     "a,b,c\n1,2,3\n1\n1,2\n1,2,3,4,5\n1,2,3,4\n7,8,9\n",
     0,
     {0, 1, 1, 2, 2},
     {1, 1, 1},
     {{}, {}, {}}},
    {"LongestFieldInBytesAndOnlyWithinTheHeader",
     "a,b\n\"x,y\",12345\n\xc3\xa9,1,this-is-beyond-the-header\n,\n",
     0,
     {0, 0, 2, 1},
     {3, 5},
     {{}, {}}},
    {"HeaderIsNotCounted", "a-very-long-header-name,b\n1,2\n", 0, {0, 0, 1, 0}, {1, 1}, {{}, {}}},
    {"ExamplesAreDistinctAndLimited",
     "n,w\n1,x\n2,x\n1,y\nNA,z\n3,x\n4,q\n",
     2,
     {0, 0, 6, 0},
     {2, 1},
     {{{"int", {"1", "2"}}, {"NA", {"NA"}}}, {{"other", {"x", "y"}}}}},
    {"ExamplesOfShortRowsAndEmptyFields",
     "n,w\n5\n,\n6,\n",
     3,
     {0, 1, 2, 0},
     {1, 0},
     {{{"int", {"5", "6"}}, {"other", {""}}}, {{"other", {""}}}}},
    {"HeaderOnly", "a,b,c\n", 1, {0, 0, 0, 0, 0}, {0, 0, 0}, {{}, {}, {}}},
    {"EmptyFile", "", 1, {0, 0}, {}, {}},
};

class ExtrasCaseTest : public EngineParamTest<std::tuple<ExtrasCase, bool>> {};

TEST_P(ExtrasCaseTest, GathersWhatTheFileHolds) {
  const auto& [c, parallel] = GetParam();
  Inf inf = InfBuilder().file(raw("in.csv", c.text)).parallel(parallel).build();
  inf.setExtras(c.examplesPerType);
  inf.inferTypes();
  const Inf::Extras extras = inf.getExtras();
  EXPECT_EQ(extras.rowWidths, c.rowWidths);
  EXPECT_EQ(extras.maxLengths, c.maxLengths);
  EXPECT_EQ(extras.examples, c.examples);
}

INSTANTIATE_TEST_SUITE_P(Extras, ExtrasCaseTest,
                         ::testing::Combine(::testing::ValuesIn(kExtrasCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "Parallel" : "Sequential");
                         });

// A random file with rows of every width, and the extras worked out from
// its rows directly.
struct RandomFile {
  std::vector<Row> rows;
  Inf::Extras expected;
};

RandomFile randomFile(std::mt19937& rng, int width, int examplesPerType) {
  const std::vector<std::string> pool = {"0", "17", "123456", "NA", "x", "word", "", "99", "zz"};
  RandomFile f;
  Row header;
  for (int c = 0; c < width; ++c) header.push_back("c" + std::to_string(c));
  f.rows.push_back(header);
  f.expected.rowWidths.assign(static_cast<size_t>(width) + 2, 0);
  f.expected.maxLengths.assign(static_cast<size_t>(width), 0);
  f.expected.examples.assign(static_cast<size_t>(width), {});
  const int numRows = 200 + static_cast<int>(rng() % 200);
  for (int r = 0; r < numRows; ++r) {
    const int fields = 1 + static_cast<int>(rng() % static_cast<unsigned>(width + 2));
    Row row;
    for (int c = 0; c < fields; ++c) row.push_back(pool[rng() % pool.size()]);
    f.rows.push_back(row);
    ++f.expected.rowWidths[std::min(fields, width + 1)];
    for (int c = 0; c < std::min(fields, width); ++c) {
      const std::string& text = row[c];
      uint64_t& longest = f.expected.maxLengths[c];
      longest = std::max<uint64_t>(longest, text.size());
      const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), ::isdigit);
      const std::string type = text == "NA" ? "NA" : digits ? "int" : "other";
      std::vector<std::string>& seen = f.expected.examples[c][type];
      if (static_cast<int>(seen.size()) < examplesPerType &&
          std::find(seen.begin(), seen.end(), text) == seen.end())
        seen.push_back(text);
    }
  }
  for (auto& byType : f.expected.examples)
    for (auto it = byType.begin(); it != byType.end();)
      it = it->second.empty() ? byType.erase(it) : std::next(it);
  return f;
}

class ExtrasModelTest : public EngineParamTest<bool> {};

TEST_P(ExtrasModelTest, AgreesWithTheRowsWritten) {
  std::mt19937 rng(7);
  for (int round = 0; round < 12; ++round) {
    const int width = 1 + round % 5;
    const int examplesPerType = round % 4;
    const RandomFile f = randomFile(rng, width, examplesPerType);
    Inf inf = InfBuilder().file(csv("in.csv", f.rows)).parallel(GetParam()).window(7).build();
    inf.setExtras(examplesPerType);
    inf.inferTypes();
    const Inf::Extras extras = inf.getExtras();
    const std::string what = "round " + std::to_string(round);
    EXPECT_EQ(extras.rowWidths, f.expected.rowWidths) << what;
    EXPECT_EQ(extras.maxLengths, f.expected.maxLengths) << what;
    EXPECT_EQ(extras.examples, f.expected.examples) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(Extras, ExtrasModelTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Parallel" : "Sequential"; });

class ExtrasOffTest : public EngineParamTest<bool> {};

TEST_P(ExtrasOffTest, OffByDefaultAndResultsUnchangedWhenOn) {
  std::mt19937 rng(11);
  const RandomFile f = randomFile(rng, 4, 3);
  const std::string input = csv("in.csv", f.rows);
  Inf plain = InfBuilder().file(input).parallel(GetParam()).typesFile(path("a.txt")).build();
  plain.inferTypes();
  const Inf::Extras none = plain.getExtras();
  EXPECT_TRUE(none.rowWidths.empty());
  EXPECT_TRUE(none.maxLengths.empty());
  EXPECT_TRUE(none.examples.empty());

  Inf with = InfBuilder().file(input).parallel(GetParam()).typesFile(path("b.txt")).build();
  with.setExtras(3);
  with.inferTypes();
  EXPECT_EQ(with.getColTypeCandidates(), plain.getColTypeCandidates());
  EXPECT_EQ(with.getNumRows(), plain.getNumRows());
  EXPECT_EQ(with.getColNames(), plain.getColNames());
  EXPECT_EQ(readFile(path("b.txt")), readFile(path("a.txt")));
  EXPECT_EQ(with.getExtras().rowWidths, f.expected.rowWidths);

  // Turned off again, the next pass leaves no stale extras behind.
  with.setExtras(-1);
  with.inferTypes();
  EXPECT_TRUE(with.getExtras().rowWidths.empty());
  EXPECT_EQ(with.getColTypeCandidates(), plain.getColTypeCandidates());
}

INSTANTIATE_TEST_SUITE_P(Extras, ExtrasOffTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Parallel" : "Sequential"; });

}  // namespace
