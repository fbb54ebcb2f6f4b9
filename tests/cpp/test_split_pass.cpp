// The split pass against the sequential pass on the same session settings:
// counts, rows, names, extras and the cache left behind must be the same,
// whatever the cuts, and every fallback must give exactly the sequential
// result.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "csv/parser.h"
#include "csv_model.h"
#include "engine_builders.h"
#include "inf.h"
#include "reference_pass.h"

using namespace engine_test;

namespace {

// Disjoint types, so that a split is exact.
const Inf::PatternSources kTable = {{"int", {"-?[0-9]+"}},
                                    {"dec", {"-?[0-9]+\\.[0-9]+"}},
                                    {"word", {"[A-Za-z]+"}},
                                    {"multi", {"[a-z]*[\n\r][a-z]*"}}};

// Everything a pass leaves that a caller can see.
struct Outcome {
  CaughtError error;
  Inf::ColumnCounts counts;
  uint64_t rows = 0;
  std::vector<std::string> names;
  Inf::Extras extras;
  std::vector<std::string> cacheProbe;
};

// The texts the cache holds, and their types: a following pass under a
// table that matches nothing, with a window that never empties, types every
// text it holds as cached, and any other text as "other".
std::vector<std::string> probeCache(Inf& inf, const std::vector<std::string>& texts,
                                    const TempDir& dir) {
  std::string probe = "p\n";
  for (const auto& text : texts) {
    std::string quoted = "\"";
    for (const char ch : text) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    probe += quoted + "\"\n";
  }
  inf.setFilepath(writeRaw(dir.file("probe.csv"), probe));
  inf.setColTypePatterns({{"never", {"#never#"}}});
  inf.setRollingCacheWindow(0);
  inf.setTypesFilepath(dir.file("probe.types"));
  inf.setSaveTypesFile(true);
  inf.inferTypes();
  return readLines(dir.file("probe.types"));
}

// Every field text of the file, as the reference tokenizer reads it.
std::vector<std::string> fieldTexts(const std::string& text) {
  std::set<std::string> texts;
  for (const auto& row : csv_model::rows(text, csv_model::Settings{}))
    for (const auto& field : row) texts.insert(field);
  return std::vector<std::string>(texts.begin(), texts.end());
}

template <typename Run>
Outcome outcome(const InfBuilder& builder, const std::string& text, const TempDir& dir, Run run,
                const reference::Reading& reading = reference::Reading()) {
  Inf inf = builder.build();
  inf.setExtras(2);
  inf.setReading(reading.skipBlankLines, reading.header, reading.skipLines,
                 reading.comment ? std::string(1, reading.comment) : std::string());
  inf.setNumericChecks({"dec", "int"}, {"int"});
  Outcome out;
  out.error = catchError([&] { run(inf); });
  out.counts = inf.getColTypeCandidates();
  out.rows = inf.getNumRows();
  out.names = inf.getColNames();
  out.extras = inf.getExtras();
  if (!out.error.thrown) out.cacheProbe = probeCache(inf, fieldTexts(text), dir);
  return out;
}

void expectSame(const Outcome& split, const Outcome& sequential, const std::string& where) {
  EXPECT_EQ(split.error.thrown, sequential.error.thrown) << where;
  EXPECT_EQ(split.error.message, sequential.error.message) << where;
  EXPECT_EQ(split.counts, sequential.counts) << where;
  EXPECT_EQ(split.rows, sequential.rows) << where;
  EXPECT_EQ(split.names, sequential.names) << where;
  expectSameExtras(split.extras, sequential.extras, where);
  EXPECT_EQ(split.cacheProbe, sequential.cacheProbe) << where;
}

// Cuts that make `ranges` ranges of about equal size.
std::vector<uint64_t> evenCuts(uint64_t size, uint64_t ranges) {
  std::vector<uint64_t> cuts;
  for (uint64_t i = 1; i < ranges; ++i) cuts.push_back(size * i / ranges);
  return cuts;
}

struct SplitCase {
  std::string name;
  std::string text;
  int window;
};

const SplitCase kSmallCases[] = {
    {"QuotedLineEnds", "a,b,c\n1,\"x\ny\",2\n\"p\nq\",3,\"\n\"\n4,\"a\"\"\nb\",x\n5,6,7\n", 1000},
    {"CrOnly", "a,b\r1,x\r2.5,\"y\rz\"\r\r3,4\r", 3},
    {"MixedLineEnds", "a,b\r\n1,2\n3,x\r4,5\r\n\n6,\"a\r\nb\"\r\n7,8", 2},
    {"UnclosedQuote", "a,b\n1,2\n3,\"never\nclosed,4\n5,6\n", 1000},
    {"RaggedRows", "a,b,c\n1\n1,2,3,4,5\n\n1,2\nx,y,z\n7,8,9,10\n", 4},
    {"RepeatedNames", "a,b,a,a\n1,x,2.5,y\n3,4,z,5\nq,1,1,1\n", 1},
    {"EmptyHeaderCells", ",a,,b,\n1,2,3,4,5\nx,y,z,w,v\n1.5,2,,,\n", 1000},
    {"Bom",
     "\xef\xbb\xbf"
     "a,b\n1,x\n2,y\n",
     2},
    {"OneRow", "a,b\n1,x\n", 1000},
    {"MultiByteCharacters",
     "\xc3\xa9t\xc3\xa9,b\n\xe2\x82\xac,1\n\xf0\x9f\x98\x80,x\xc3\xa9\n9,10\n", 3},
    {"HeaderOnly", "a,b,c\n", 1},
    {"NoFinalLineEnd", "a,b\n1,2\n3,4", 2},
    {"NumberDigits", "n,m\n12.5,7\n-0.125,-00042\n1234,3.14159\nx,100\n", 2},
};

void PrintTo(const SplitCase& tc, std::ostream* os) { *os << tc.name; }

class SplitSmallFile : public EngineParamTest<SplitCase> {};

// Every cut into two ranges, and every pair of cuts a few bytes apart into
// three, is the sequential pass.
TEST_P(SplitSmallFile, EveryCutGivesTheSequentialResult) {
  const SplitCase& tc = GetParam();
  const std::string in = raw("in.csv", tc.text);
  const InfBuilder builder = InfBuilder().file(in).patterns(kTable).window(tc.window);
  const Outcome sequential = outcome(builder, tc.text, dir, [](Inf& inf) { inf.inferTypes(); });
  ASSERT_FALSE(sequential.error.thrown) << sequential.error.message;
  for (uint64_t cut = 0; cut <= tc.text.size(); ++cut) {
    for (const uint64_t gap : {uint64_t{0}, uint64_t{1}, uint64_t{3}}) {
      std::vector<uint64_t> cuts = {cut};
      if (gap > 0) cuts.push_back(std::min<uint64_t>(cut + gap, tc.text.size()));
      std::string reason = "unset";
      const Outcome split =
          outcome(builder, tc.text, dir, [&](Inf& inf) { reason = inf.inferSplitAt(cuts); });
      const std::string where = "cut " + std::to_string(cut) + " gap " + std::to_string(gap);
      EXPECT_EQ(reason, "") << where;
      expectSame(split, sequential, where);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Split, SplitSmallFile, ::testing::ValuesIn(kSmallCases), CaseName());

// A multi-block file of quoted line ends, CR LF, ragged rows and long
// fields, so that cuts fall inside quotes, between CR and LF, and inside
// the tokenizer's blocks.
std::string largeFile(std::mt19937& rng) {
  const std::vector<std::string> words = {"1",
                                          "22",
                                          "-3",
                                          "1.5",
                                          "abc",
                                          "",
                                          "NA",
                                          "\"x\ny\"",
                                          "\"a\r\nb\"",
                                          "\"q,\"\"r\"",
                                          "\xc3\xa9",
                                          "0.25",
                                          "ab\"c",
                                          "\xff",
                                          std::string("n\0l", 3),
                                          "12345678901234567890",
                                          "0.10000000000000000001"};
  // Whole lines: blank, comment, copy-end and quoted-empty rows.
  const std::vector<std::string> lines = {"\n", "\r\n", "#c,\"q\"\n", "\\.\n", "\"\"\n"};
  const std::string longDigits(FieldAutomaton::MAX_FIELD + 10, '7');
  std::string text = "a,b,,a,c\n";
  while (text.size() < 5 * csv::CsvParser::INPUTBUF_CAP / 2) {
    if (rng() % 20 == 0) {
      text += lines[rng() % lines.size()];
      continue;
    }
    const int width = rng() % 9 == 0 ? 1 + static_cast<int>(rng() % 7) : 5;
    for (int c = 0; c < width; ++c) {
      std::string v = rng() % 50 == 0 ? longDigits : words[rng() % words.size()];
      if (rng() % 4 == 0) v = std::to_string(rng() % 3000);
      text += (c ? "," : "") + v;
    }
    text += rng() % 3 == 0 ? "\r\n" : "\n";
  }
  return text;
}

struct RangesCase {
  std::string name;
  uint64_t ranges;  // 0: ranges of one tokenizer block
  int window;
  reference::Reading reading = reference::Reading();
};

const RangesCase kRangesCases[] = {
    {"Two", 2, 1000},
    {"Three", 3, 7},
    {"Seven", 7, 100000},
    {"SevenWindow1", 7, 1},
    {"Blocks", 0, 5000},
    {"BlocksNoWindow", 0, 0},
    {"ThreeNegative", 3, -1},
    {"ThreeSkippingRows", 3, 7, {true, true, 0, '#'}},
    {"BlocksNoHeaderWindow1", 0, 1, {true, false, 2, '#'}},
    {"SevenPreamble", 7, 1000, {false, true, 3, 0}},
};

void PrintTo(const RangesCase& tc, std::ostream* os) { *os << tc.name; }

class SplitRanges : public EngineParamTest<RangesCase> {};

TEST_P(SplitRanges, EqualsTheSequentialPass) {
  const RangesCase& tc = GetParam();
  std::mt19937 rng(7);
  const std::string text = largeFile(rng);
  const std::string in = raw("in.csv", text);
  const InfBuilder builder = InfBuilder().file(in).patterns(kTable).window(tc.window);
  const uint64_t ranges =
      tc.ranges ? tc.ranges
                : (text.size() + csv::CsvParser::INPUTBUF_CAP - 1) / csv::CsvParser::INPUTBUF_CAP;
  const Outcome sequential = outcome(
      builder, text, dir, [](Inf& inf) { inf.inferTypes(); }, tc.reading);
  std::string reason = "unset";
  const Outcome split = outcome(
      builder, text, dir,
      [&](Inf& inf) { reason = inf.inferSplitAt(evenCuts(text.size(), ranges)); }, tc.reading);
  EXPECT_EQ(reason, "");
  expectSame(split, sequential, tc.name);
}

INSTANTIATE_TEST_SUITE_P(Split, SplitRanges, ::testing::ValuesIn(kRangesCases), CaseName());

class SplitSession : public EngineTest {};

// The cache a split leaves serves the next pass as the sequential one's
// would: passes alternate between split and sequential, under a table
// changed between them so that cached entries decide counts.
TEST_F(SplitSession, FollowingPassesFindTheSequentialCache) {
  std::mt19937 rng(3);
  const std::string text = largeFile(rng);
  const std::string in = raw("in.csv", text);
  for (const int window : {1000, 0, 33, 1, 1000000}) {
    Inf split = InfBuilder().file(in).patterns(kTable).window(window).build();
    Inf sequential = split;
    for (int pass = 0; pass < 3; ++pass) {
      // The table changed back: until the window first empties the cache,
      // its entries decide. The first range follows them that far; a window
      // past the first range, or none, leaves them to a sequential pass.
      const bool foreignLeft = pass > 0 && (window == 0 || window == 1000000);
      EXPECT_EQ(split.inferSplitAt(evenCuts(text.size(), 3)),
                foreignLeft ? "the cache holds an earlier table's entries" : "");
      sequential.inferTypes();
      EXPECT_EQ(split.getColTypeCandidates(), sequential.getColTypeCandidates());
      // An earlier table's entries now decide the texts they hold.
      const Inf::PatternSources other = {{"int", {"[0-9]+"}}, {"any", {"[a-z]+"}}};
      split.setColTypePatterns(other);
      sequential.setColTypePatterns(other);
      split.inferTypes();
      sequential.inferTypes();
      EXPECT_EQ(split.getColTypeCandidates(), sequential.getColTypeCandidates())
          << "window " << window << " pass " << pass;
      split.setColTypePatterns(kTable);
      sequential.setColTypePatterns(kTable);
    }
  }
}

// A caller that drops the session after the pass skips rebuilding the cache:
// the counts stay the sequential ones, and a next pass finds the cache empty.
TEST_F(SplitSession, WithoutKeepingTheCacheTheNextPassStartsEmpty) {
  std::mt19937 rng(5);
  const std::string text = largeFile(rng);
  const std::string in = raw("in.csv", text);
  const InfBuilder builder = InfBuilder().file(in).patterns(kTable).window(1000);
  Inf sequential = builder.build();
  sequential.inferTypes();
  Outcome dropped = outcome(builder, text, dir, [&](Inf& inf) {
    EXPECT_EQ(inf.inferSplitAt(evenCuts(text.size(), 3), false), "");
    EXPECT_EQ(inf.getColTypeCandidates(), sequential.getColTypeCandidates());
  });
  Outcome fresh = outcome(builder, text, dir, [](Inf&) {});
  EXPECT_EQ(dropped.cacheProbe, fresh.cacheProbe);
  EXPECT_EQ(dropped.rows, sequential.getNumRows());
}

TEST_F(SplitSession, RangeReportsAddUpToThePass) {
  std::mt19937 rng(11);
  const std::string text = largeFile(rng);
  Inf inf = InfBuilder().file(raw("in.csv", text)).patterns(kTable).build();
  inf.setExtras(1);
  const Inf::Header header = inf.peekHeader();
  EXPECT_EQ(header.names, (std::vector<std::string>{"a", "b", "Unitled_1", "a", "c"}));
  EXPECT_EQ(header.leadIn.untitledCells, std::vector<uint64_t>{2});
  const uint64_t cut = text.size() / 2;
  Inf::RangeReport first = inf.inferRange(header.dataStart, cut, header.names, false);
  Inf::RangeReport second = inf.inferRange(cut, text.size(), header.names, true);
  if (second.start != first.next)
    second = inf.inferRange(first.next, text.size(), header.names, false);
  EXPECT_EQ(second.next, text.size());
  inf.inferTypes();
  EXPECT_EQ(first.rows + second.rows, inf.getNumRows());
  EXPECT_EQ(inf.getExtras().untitledCells, header.leadIn.untitledCells);
  // The header's line end is counted by reading up to the data, not by a range.
  const Quirks& whole = inf.getExtras().quirks;
  EXPECT_EQ(header.leadIn.quirks.lf + first.extras.quirks.lf + second.extras.quirks.lf, whole.lf);
  EXPECT_EQ(header.leadIn.quirks.crlf + first.extras.quirks.crlf + second.extras.quirks.crlf,
            whole.crlf);
  for (const auto& [name, counts] : inf.getColTypeCandidates())
    for (const auto& [type, count] : counts)
      EXPECT_EQ(first.counts[name][type] + second.counts[name][type], count) << name << type;
}

TEST_F(SplitSession, FreshSharesTheTableAndNothingElse) {
  const std::string in = csv("in.csv", {{"", "b"}, {"1", "x"}});
  Inf inf = InfBuilder().file(in).patterns(kTable).build();
  inf.inferTypes();
  Inf copy = inf.fresh(in);
  EXPECT_EQ(copy.getNumRows(), 0u);
  EXPECT_TRUE(copy.getColTypeCandidates().empty());
  copy.inferTypes();
  inf.inferTypes();
  EXPECT_EQ(copy.getColNames()[0], "Unitled_1");
  EXPECT_EQ(inf.getColNames()[0], "Unitled_2");
  EXPECT_EQ(copy.getColTypePatterns(), inf.getColTypePatterns());
}

// Each fallback reads on one core and leaves exactly the sequential result,
// error included.
struct FallbackCase {
  std::string name;
  Inf::PatternSources table;
  std::string text;
  bool multithreading;
  std::string reason;
};

// Boost gives up on a long run of pairs ending in "c" for "(ab)*", but not
// for "[abc]*c".
std::string longPairs() {
  std::string pairs;
  while (pairs.size() < 100000) pairs += "ab";
  return pairs + "c";
}

// The failing field in the middle range.
std::string boostErrorFile() {
  std::string text = "a,b\n";
  for (int i = 0; i < 200; ++i) text += std::to_string(i) + ",x\n";
  text += "7," + longPairs() + "\n";
  for (int i = 0; i < 20000; ++i) text += std::to_string(i) + ",y\n";
  return text;
}

// A sequential pass that met "abc" first tries "[abc]*c" first on the long
// pairs and raises nothing; a range that did not would raise.
std::string orderDependentFile() {
  std::string text = "a\nabc\n" + longPairs() + "\n";
  for (int i = 0; i < 100; ++i) text += "ab\nabc\n";
  return text;
}

const FallbackCase kFallbacks[] = {
    {"Overlap",
     {{"int", {"[0-9]+"}}, {"num", {"[0-9.]+"}}},
     "a\n1\n2.5\n3\n",
     false,
     "the types overlap"},
    {"NoAutomaton", {{"back", {"(a)\\1"}}}, "a\naa\nb\n", false, "the types overlap"},
    {"Multithreading", kTable, "a,b\n1,x\n", true, "multithreading is on"},
    {"BoostError",
     {{"int", {"[0-9]+"}}, {"pairs", {"(ab)*"}}},
     boostErrorFile(),
     false,
     "a range raised an error"},
    {"OrderDependentError",
     {{"pairs", {"(ab)*"}}, {"tail", {"[abc]*c"}}},
     orderDependentFile(),
     false,
     "a range raised an error"},
};

void PrintTo(const FallbackCase& tc, std::ostream* os) { *os << tc.name; }

class SplitFallback : public EngineParamTest<FallbackCase> {};

TEST_P(SplitFallback, GivesTheSequentialResult) {
  const FallbackCase& tc = GetParam();
  const std::string in = raw("in.csv", tc.text);
  const InfBuilder builder =
      InfBuilder().file(in).patterns(tc.table).parallel(tc.multithreading).window(1000);
  const Outcome sequential = outcome(builder, tc.text, dir, [](Inf& inf) { inf.inferTypes(); });
  std::string reason = "unset";
  const Outcome split = outcome(builder, tc.text, dir, [&](Inf& inf) {
    reason = "";
    reason = inf.inferSplitAt(evenCuts(tc.text.size(), 3));
  });
  if (!split.error.thrown) {
    EXPECT_EQ(reason, tc.reason);
  }
  expectSame(split, sequential, tc.name);
}

INSTANTIATE_TEST_SUITE_P(Split, SplitFallback, ::testing::ValuesIn(kFallbacks), CaseName());

TEST_F(SplitSession, PipeIsReadOnOneCore) {
  const std::string fifo = path("in.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string text = "a,b\n1,x\n2,y\n";
  std::thread writer([&] { writeRaw(fifo, text); });
  Inf inf = InfBuilder().file(fifo).patterns(kTable).build();
  EXPECT_EQ(inf.inferSplit(4), "not a regular file");
  writer.join();
  Inf sequential = InfBuilder().file(raw("in.csv", text)).patterns(kTable).build();
  sequential.inferTypes();
  EXPECT_EQ(inf.getColTypeCandidates(), sequential.getColTypeCandidates());
  EXPECT_EQ(inf.getNumRows(), 2u);
}

TEST_F(SplitSession, SmallFilesAndTypesFilesAreReadOnOneCore) {
  const std::string in = csv("in.csv", {{"a"}, {"1"}});
  Inf small = InfBuilder().file(in).patterns(kTable).build();
  EXPECT_EQ(small.inferSplit(2), "the file is small");
  EXPECT_EQ(small.getNumRows(), 1u);
  Inf typed = InfBuilder().file(in).patterns(kTable).typesFile(path("t.csv")).build();
  EXPECT_EQ(typed.inferSplit(2), "a types file is written");
  EXPECT_EQ(readLines(path("t.csv")), (Lines{"a", "int"}));
}

}  // namespace
