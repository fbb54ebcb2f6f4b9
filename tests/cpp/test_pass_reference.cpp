// The whole sequential pass against a plain reference written from the
// rules themselves (row by row, a string-keyed cache, the exchange on a
// match), on multi-block files with overlapping patterns, where every
// detail of caching and trial order shows in the counts.
#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "csv/parser.h"
#include "csv_model.h"
#include "engine_builders.h"
#include "inf.h"
#include "reference_pass.h"

namespace {

using engine_test::TempDir;
using reference::Counts;

using ReferenceSession = reference::Session;

struct Reference {
  Counts counts;
  std::vector<std::string> lines;
};

Reference referencePass(const std::string& text, const Inf& inf, int window,
                        const std::unordered_set<std::string>& na) {
  ReferenceSession session;
  Reference ref;
  session.pass(text, inf.colTypePatterns, window, na, ref.lines);
  ref.counts = session.counts;
  return ref;
}

// Texts chosen so that several types match many of them.
std::string randomFile(std::mt19937& rng, int rows, int cols) {
  const std::vector<std::string> words = {"1", "12",   "007", "1.5",        "-3",  "x",   "NA",
                                          "",  "true", "0",   "2024-01-02", "1e3", "abc", "9999"};
  std::string text;
  for (int c = 0; c < cols; ++c) text += (c ? "," : "") + std::string("c") + std::to_string(c % 4);
  text += "\n";
  std::uniform_int_distribution<size_t> pick(0, words.size() - 1);
  std::uniform_int_distribution<int> width(1, cols + 2);
  std::uniform_int_distribution<int> unique(0, 9);
  for (int r = 0; r < rows; ++r) {
    const int w = r % 7 == 0 ? width(rng) : cols;
    for (int c = 0; c < w; ++c) {
      std::string v = unique(rng) == 0 ? std::to_string(rng() % 100000) : words[pick(rng)];
      text += (c ? "," : "") + v;
    }
    text += r % 5 == 0 ? "\r\n" : "\n";
  }
  return text;
}

}  // namespace

TEST(PassReference, MatchesThePlainAlgorithmOnLargeFiles) {
  TempDir dir;
  std::mt19937 rng(42);
  const Inf::PatternSources patterns = {{"int", {"-?[0-9]+"}},
                                        {"num", {"-?[0-9]+(\\.[0-9]+)?", "[0-9]e[0-9]+"}},
                                        {"code", {"0[0-9]+"}},
                                        {"word", {"[a-z]+", ""}},
                                        {"date", {"[0-9]{4}-[0-9]{2}-[0-9]{2}"}}};
  const std::unordered_set<std::string> na = {"NA", ""};
  for (int window : {0, 1, 7, 1000, -5}) {
    const std::string text = randomFile(rng, 40000, 9);
    ASSERT_GT(text.size(), 3 * csv::CsvParser::INPUTBUF_CAP);
    const std::string path = engine_test::writeRaw(dir.file("in.csv"), text);
    const std::string typesPath = dir.file("types.csv");
    Inf inf(path, ',', patterns, na, false, true, typesPath, window);
    const Reference ref = referencePass(text, inf, window, na);
    inf.inferTypes();
    EXPECT_EQ(inf.getColTypeCandidates(), ref.counts) << "window " << window;
    EXPECT_EQ(engine_test::readLines(typesPath), ref.lines) << "window " << window;
  }
}

namespace {

// Texts that tables below type differently, with new ones mixed in, long
// fields, and a field on which Boost fails for "(ab)*" but not "[abc]*c".
// In a steady file each column keeps to a few types and no field is long,
// and no column name is shared, so that whole windows pass without a
// field that needs the cache.
std::string sessionFile(std::mt19937& rng, int rows, bool withFailure, bool steady) {
  static const std::string longDigits(FieldAutomaton::MAX_FIELD + 40, '7');
  static const std::string longWord(FieldAutomaton::MAX_FIELD + 1, 'q');
  static const std::string failing = [] {
    std::string s;
    while (s.size() < 100000) s += "ab";
    return s + "c";
  }();
  const std::vector<std::string> words = {
      "1",  "22", "-3",   "007", "1.5",   "0",  "abc",  "ab",       "abab",   "",
      "NA", "-",  "true", "x1",  "false", "zz", "0.25", longDigits, longWord, longDigits + "1"};
  const std::vector<std::vector<std::string>> steadyWords = {{"1", "22", "-3", "0"},
                                                             {},
                                                             {"7", "-8", "zz"},
                                                             {"abc", "aabc", "bc"},
                                                             {"true", "false", "NA", ""}};
  std::string text = steady ? "a,b,e,c,d\n" : "a,b,a,c,d\n";
  std::uniform_int_distribution<int> kind(0, 9);
  const int failAt = withFailure ? rows - 1 - static_cast<int>(rng() % 5) : -1;
  for (int r = 0; r < rows; ++r) {
    const int width = r % 11 == 0 ? 3 : 5;
    for (int c = 0; c < width; ++c) {
      std::string v;
      if (r == failAt && c == 3) {
        v = failing;
      } else if (steady && c == 1) {
        v = std::to_string(rng() % 300) + "." + std::to_string(rng() % 10);
      } else if (steady) {
        v = steadyWords[c][rng() % steadyWords[c].size()];
      } else if (kind(rng) == 0) {
        v = std::to_string(rng() % 5000);
      } else {
        v = words[rng() % words.size()];
      }
      text += (c ? "," : "") + v;
    }
    text += "\n";
  }
  return text;
}

struct SessionStep {
  Inf::PatternSources table;
  std::unordered_set<std::string> na;
  bool parallel;
  bool failure;
  bool steady;
};

}  // namespace

// Sessions of several passes, with the table, the missing values and the
// mode changed between passes, against the reference session: counts,
// types-file lines and errors after every pass.
TEST(PassReference, MultiPassSessionsMatchTheReference) {
  const Inf::PatternSources disjoint = {
      {"int", {"-?(0|[1-9][0-9]*)"}}, {"dec", {"-?[0-9]+\\.[0-9]+"}}, {"code", {"0[0-9]+"}},
      {"pairs", {"(ab)*"}},           {"tail", {"[abc]*c"}},          {"flag", {"true|false"}}};
  const Inf::PatternSources disjointOther = {
      {"int", {"[0-9]+"}}, {"word", {"[a-z]+"}}, {"", {"x[0-9]"}}, {"dash", {"-"}}};
  const Inf::PatternSources overlapping = {{"int", {"-?[0-9]+"}},
                                           {"num", {"-?[0-9]+(\\.[0-9]+)?"}},
                                           {"pairs", {"(ab)*"}},
                                           {"tail", {"[abc]*c"}},
                                           {"word", {"[a-z]+"}}};
  const std::unordered_set<std::string> na1 = {"NA", ""};
  const std::unordered_set<std::string> na2 = {"NA", "-", "1", "abab"};
  const std::vector<SessionStep> steps = {
      {disjoint, na1, false, false, true},    {disjoint, na2, false, true, false},
      {disjoint, na1, false, false, true},    {disjointOther, na1, false, false, true},
      {disjoint, na2, false, true, false},    {disjoint, na1, false, false, true},
      {overlapping, na1, false, false, true}, {disjoint, na1, true, false, false},
      {disjoint, na1, false, true, true},     {disjointOther, na2, false, false, true},
      {disjoint, na1, false, false, false},
  };
  TempDir dir;
  std::mt19937 rng(99);
  for (int window : {1, 7, 1000, 0, -1}) {
    Inf inf("", ',', disjoint, na1, false, true, dir.file("types.csv"), window);
    EXPECT_EQ(inf.typeOverlaps(), (std::vector<std::pair<std::string, std::string>>{}));
    ReferenceSession ref;
    for (size_t s = 0; s < steps.size(); ++s) {
      const SessionStep& step = steps[s];
      inf.setColTypePatterns(step.table);
      inf.setNaValues(step.na);
      inf.setMultithreading(step.parallel);
      const std::string text = sessionFile(rng, 1500, step.failure, step.steady);
      inf.setFilepath(engine_test::writeRaw(dir.file("in.csv"), text));
      std::vector<std::string> refLines;
      bool refFailed = false;
      try {
        ref.pass(text, inf.colTypePatterns, window, step.na, refLines);
      } catch (const std::runtime_error&) {
        refFailed = true;
      }
      const bool failed = engine_test::catchError([&] { inf.inferTypes(); }).thrown;
      const std::string where = "window " + std::to_string(window) + " pass " + std::to_string(s);
      ASSERT_EQ(failed, refFailed) << where;
      ASSERT_EQ(inf.getColTypeCandidates(), ref.counts) << where;
      ASSERT_EQ(engine_test::readLines(dir.file("types.csv")), refLines) << where;
    }
  }
}

// Texts classified in one pass become missing values in the next, with the
// cache still holding them.
TEST(PassReference, MissingValuesChangedBetweenPassesComeFirst) {
  TempDir dir;
  const std::string text = "a,b\n1,x\n22,1\nx,22\n1,1\n";
  const std::string path = engine_test::writeRaw(dir.file("in.csv"), text);
  const Inf::PatternSources table = {{"int", {"[0-9]+"}}, {"word", {"[a-z]+"}}};
  for (int window : {1000, 3, 1}) {
    Inf inf(path, ',', table, {}, false, true, dir.file("types.csv"), window);
    ReferenceSession ref;
    for (const auto& na :
         std::vector<std::unordered_set<std::string>>{{}, {"1"}, {"x", "22"}, {}}) {
      inf.setNaValues(na);
      inf.inferTypes();
      std::vector<std::string> lines;
      ref.pass(text, inf.colTypePatterns, window, na, lines);
      EXPECT_EQ(inf.getColTypeCandidates(), ref.counts) << "window " << window;
      EXPECT_EQ(engine_test::readLines(dir.file("types.csv")), lines) << "window " << window;
    }
  }
}
