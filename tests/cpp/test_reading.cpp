// How rows are read (blank lines, preambles, comments, headerless files) and
// what the pass notices for other readers (quirks, missing-value spellings,
// bytes that are not UTF-8, numbers a double or an int64 holds): against the
// reference pass, in both modes, and split at several cut counts.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "csv/parser.h"
#include "engine_builders.h"
#include "field_checks.h"
#include "inf.h"
#include "reading_rules.h"
#include "reference_pass.h"

using namespace engine_test;

namespace {

struct ReadingCase {
  std::string name;
  std::string text;
  reference::Reading reading;
  // What the file holds, worked out by hand.
  uint64_t rows;
  uint64_t blankLines;
  uint64_t commentLines;
  uint64_t skippedLines;
  uint64_t blankRows = 0;  // blank lines kept as rows, the first row included
};

reference::Reading blank() { return {true, true, 0, 0}; }

const ReadingCase kReadingCases[] = {
    {"DefaultsKeepATrailingBlankLine", "a,b\n1,x\n\n", {}, 2, 0, 0, 0, 1},
    // A quoted empty field is no blank line; a blank header line is one.
    {"BlankLinesKeptAsRows", "\na\n\n1\r\n\r\n\"\"\n\r", {}, 6, 0, 0, 0, 4},
    {"BlankLinesKeptBesideComments", "#c\na\n\n#d\n1\n\n", {false, true, 0, '#'}, 3, 0, 2, 0, 2},
    {"BlankFirstRowOfNoHeader", "\n1\n\n2\n", {false, false, 0, 0}, 4, 0, 0, 0, 2},
    {"TrailingBlankLine", "a,b\n1,x\n\n", blank(), 1, 1, 0, 0},
    {"BlankLinesInTheMiddleCrLf", "a,b\r\n1,x\r\n\r\n\r\n2,y\r\n", blank(), 2, 2, 0, 0},
    {"LoneCrBlankLine", "a,b\r1,2\r\r3,4\r", blank(), 2, 1, 0, 0},
    // A quoted empty field alone at the very end makes no row at all.
    {"QuotedEmptyFieldIsNotBlank", "a,b\n\"\"\n1,2\n\"\"", blank(), 2, 0, 0, 0},
    {"CommaLineIsNotBlank", "a,b\n,\n\n", blank(), 1, 1, 0, 0},
    {"BlankLinesBeforeTheHeader", "\n\r\na,b\n1,2\n", blank(), 1, 2, 0, 0},
    {"PreambleWithAnOddQuote",
     "Report \"Q3\n\"title\r\na,b\n1,\"x\"\n",
     {false, true, 2, 0},
     1,
     0,
     0,
     2},
    {"PreambleOfLoneCrs", "t1\rt2\r\na\r1\r", {false, true, 2, 0}, 1, 0, 0, 2},
    {"PreambleLongerThanTheFile", "x\ny", {false, true, 5, 0}, 0, 0, 0, 2},
    {"Comments",
     "#c1\na,b\n1,2\n#x,\"y\",z\n\"#q\",3\n # not\n",
     {false, true, 0, '#'},
     3,
     0,
     2,
     0},
    {"OnlyBlankLinesNoHeader", "\n\r\n", {true, false, 0, 0}, 0, 2, 0, 0},
    {"OnlyCommentsAfterAPreamble", "t\n#a\n#b", {false, true, 1, '#'}, 0, 0, 2, 1},
    {"CommentsStayWhenOff", "a,b\n#x,1\n", {}, 1, 0, 0, 0},
    {"NoHeaderEqualFirstRowValues", "1,1\n2,x\n1,1\n", {false, false, 0, 0}, 3, 0, 0, 0},
    {"NoHeaderEmptyFirstCells", ",x,\n1,2,3\n", {false, false, 0, 0}, 2, 0, 0, 0},
    {"NoHeaderAfterSkippedRows",
     "title\n#c\n\n7,a\n\n8,b\r\n#9,z\n",
     {true, false, 1, '#'},
     2,
     2,
     2,
     1},
    {"EverythingOnQuotedLineEnds",
     "x\"\n;c\n\"a b\",c\n\n\"\",\"p\r\nq\"\n;d,\"e\nf\"\n9,9",
     {true, true, 1, ';'},
     2,
     1,
     2,
     1},
};

void PrintTo(const ReadingCase& tc, std::ostream* os) { *os << tc.name; }

const Inf::PatternSources kTable = {{"int", {"[0-9]+"}}, {"word", {"[a-z]+"}}};

void applyReading(Inf& inf, const reference::Reading& r) {
  inf.setReading(r.skipBlankLines, r.header, r.skipLines,
                 r.comment ? std::string(1, r.comment) : std::string());
}

class ReadingTest : public EngineParamTest<std::tuple<ReadingCase, bool>> {};

// Counts, rows, names and the types file are the reference pass's; the
// skipped rows are those worked out by hand.
TEST_P(ReadingTest, ReadsAsTheReferencePass) {
  const auto& [tc, parallel] = GetParam();
  const std::string types = path("out.types");
  Inf inf = InfBuilder()
                .file(raw("in.csv", tc.text))
                .patterns(kTable)
                .parallel(parallel)
                .typesFile(types)
                .build();
  applyReading(inf, tc.reading);
  inf.inferTypes();

  reference::Session want;
  std::vector<std::string> lines;
  want.pass(tc.text, inf.colTypePatterns, 1000000, {"NA"}, lines, ',', tc.reading);
  EXPECT_EQ(inf.getColTypeCandidates(), want.counts);
  EXPECT_EQ(inf.getNumRows(), want.numRows);
  EXPECT_EQ(inf.getColNames(), want.columns);
  EXPECT_EQ(readLines(types), lines);
  EXPECT_EQ(inf.getNumRows(), tc.rows);
  const Inf::Extras extras = inf.getExtras();
  EXPECT_EQ(extras.blankLines, tc.blankLines);
  EXPECT_EQ(extras.commentLines, tc.commentLines);
  EXPECT_EQ(extras.skippedLines, tc.skippedLines);
  EXPECT_EQ(want.blankLines, tc.blankLines);
  EXPECT_EQ(want.commentLines, tc.commentLines);
  EXPECT_EQ(extras.blankRows, tc.blankRows);
  EXPECT_EQ(want.blankRows, tc.blankRows);
}

INSTANTIATE_TEST_SUITE_P(Reading, ReadingTest,
                         ::testing::Combine(::testing::ValuesIn(kReadingCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "Parallel" : "Sequential");
                         });

// Everything a split pass must leave as the sequential pass does.
void expectSameAsSequential(const Inf& split, const Inf& sequential, const std::string& where) {
  EXPECT_EQ(split.getColTypeCandidates(), sequential.getColTypeCandidates()) << where;
  EXPECT_EQ(split.getNumRows(), sequential.getNumRows()) << where;
  EXPECT_EQ(split.getColNames(), sequential.getColNames()) << where;
  expectSameExtras(split.getExtras(), sequential.getExtras(), where);
}

class ReadingSplitTest : public EngineParamTest<ReadingCase> {};

// Every single cut, and cuts into 3 and 5 ranges, with the extras on.
TEST_P(ReadingSplitTest, EveryCutGivesTheSequentialResult) {
  const ReadingCase& tc = GetParam();
  const InfBuilder builder = InfBuilder().file(raw("in.csv", tc.text)).patterns(kTable).window(2);
  auto session = [&] {
    Inf inf = builder.build();
    applyReading(inf, tc.reading);
    inf.setExtras(2);
    inf.setNumericChecks({"int"}, {"int"});
    return inf;
  };
  Inf sequential = session();
  sequential.inferTypes();
  std::vector<std::vector<uint64_t>> cutSets;
  for (uint64_t cut = 0; cut <= tc.text.size(); ++cut) cutSets.push_back({cut});
  for (const uint64_t ranges : {3, 5}) {
    std::vector<uint64_t> cuts;
    for (uint64_t i = 1; i < ranges; ++i) cuts.push_back(tc.text.size() * i / ranges);
    cutSets.push_back(cuts);
  }
  for (const auto& cuts : cutSets) {
    Inf split = session();
    EXPECT_EQ(split.inferSplitAt(cuts), "");
    expectSameAsSequential(split, sequential, "first cut " + std::to_string(cuts[0]));
  }
}

INSTANTIATE_TEST_SUITE_P(Reading, ReadingSplitTest, ::testing::ValuesIn(kReadingCases), CaseName());

TEST(SampleLines, SplitAtEachLineEndAndTellWhatIsPassedOver) {
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a,b", {"a,b"}},
      {"a\nb\n", {"a\n", "b\n"}},
      {"a\r\nb\rc\n\nd", {"a\r\n", "b\r", "c\n", "\n", "d"}},
      {"\r\r\n\n", {"\r", "\r\n", "\n"}},
      {"\"a\nb\"\n", {"\"a\n", "b\"\n"}},  // lines, not rows: quotes do not join them
  };
  for (const auto& c : cases) {
    const auto lines = physicalLines(c.text);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), c.lines) << c.text;
  }
  const struct {
    std::string line, comment;
    bool passed;
  } lines[] = {
      {"\n", "", true},    {"\r\n", "#", true}, {"", "", true},       {" \n", "", false},
      {"#a\n", "#", true}, {"#a\n", "", false}, {"a#\n", "#", false}, {"\"#\"\n", "#", false},
  };
  for (const auto& c : lines)
    EXPECT_EQ(passedOver(c.line, c.comment), c.passed) << c.line << " / " << c.comment;
}

TEST(ReadingSettings, RefusesACommentThatCannotBeOne) {
  Inf inf = InfBuilder().build();
  EXPECT_THROW(inf.setReading(false, true, 0, "##"), std::invalid_argument);
  EXPECT_THROW(inf.setReading(false, true, 0, "\""), std::invalid_argument);
  EXPECT_NO_THROW(inf.setReading(false, true, 0, "#"));
}

struct QuirksCase {
  std::string name;
  std::string text;
  Quirks quirks;
  std::vector<uint64_t> invalidUtf8;
  std::vector<std::map<std::string, uint64_t>> naSpellings;
};

Quirks quirks(uint64_t mid, uint64_t copyEnd, uint64_t quotedEnds, uint64_t lf, uint64_t crlf,
              uint64_t cr, uint64_t nul, uint64_t unclosed) {
  Quirks q;
  q.midFieldQuotes = mid;
  q.copyEndLines = copyEnd;
  q.quotedLineEnds = quotedEnds;
  q.lf = lf;
  q.crlf = crlf;
  q.cr = cr;
  q.nulBytes = nul;
  q.unclosedQuote = unclosed;
  return q;
}

Quirks afterQuote(uint64_t fields, Quirks q) {
  q.textAfterQuote = fields;
  return q;
}

const QuirksCase kQuirksCases[] = {
    // Once per field, whatever follows: a space, text, an empty quoted part,
    // text holding quotes of its own.
    {"TextAfterQuote",
     "a,b\n\"x\" ,\"y\"z\n\"\"w,\"q\"\n\"p\"r\"s\",1\n",
     afterQuote(4, quirks(2, 0, 0, 4, 0, 0, 0, 0)),
     {0, 0},
     {{}, {}}},
    // A line of a quoted field holding only `\.`, after any line end; not the
    // field's first line, which starts with the quote, nor a line ending in one.
    {"CopyEndLinesInQuotedFields",
     "a,b\n1,\"x\n\\.\ny\"\n2,\"\\.\r\n\\.\r\n\"\n3,\"\r\\.\r\"\n4,\"\\.\"\n5,\"a\n\\.\"\"\n\"\n"
     "6,\"\n\\.x\n\\\\.\n.\\.\n\"\n",
     quirks(0, 3, 5, 7, 0, 0, 0, 0),
     {0, 0},
     {{}, {}}},
    {"MidFieldQuotes",
     "a,b\n1,ab\"c\n\"x\"y\"z,\"\"\"q\"\n",
     afterQuote(1, quirks(2, 0, 0, 3, 0, 0, 0, 0)),
     {0, 0},
     {{}, {}}},
    {"QuoteInTheHeader", "a\"b,c\n1,2\n", quirks(1, 0, 0, 2, 0, 0, 0, 0), {0, 0}, {{}, {}}},
    {"CopyEndLines",
     "a,b\n\\.\n1,2\n\"\\.\"\n\\.,x\n\\.",
     quirks(0, 3, 0, 5, 0, 0, 0, 0),
     {0, 0},
     {{}, {}}},
    {"QuotedLineEndsOncePerField",
     "a,b\n\"x\ny\nz\",\"p\r\nq\"\n\"plain\",2\r\n",
     quirks(0, 0, 2, 2, 1, 0, 0, 0),
     {0, 0},
     {{}, {}}},
    {"LineEndKinds", "a\r\n1\n2\r3\r\n4", quirks(0, 0, 0, 1, 2, 1, 0, 0), {0}, {{}}},
    {"NulBytes",
     std::string("a,b\n1,x\0y\n\0,2\n", 14),
     quirks(0, 0, 0, 3, 0, 0, 2, 0),
     {0, 0},
     {{}, {}}},
    {"UnclosedQuote", "a,b\n1,\"open\n2,3\n", quirks(0, 0, 1, 1, 0, 0, 0, 1), {0, 0}, {{}, {}}},
    {"InvalidUtf8",
     "a,b\n\xe9,ok\n\xc3\xa9,\xff\n\xc0\xaf,\xed\xa0\x80\n\xf0\x9f\x98\x80,\xe2\x82\n",
     quirks(0, 0, 0, 5, 0, 0, 0, 0),
     {2, 3},
     {{}, {}}},
    {"NaSpellings",
     "a,b\nNA,None\n,None\nNA,1\n\"\",x\n",
     quirks(0, 0, 0, 5, 0, 0, 0, 0),
     {0, 0},
     {{{"NA", 2}, {"", 2}}, {{"None", 2}}}},
};

void PrintTo(const QuirksCase& tc, std::ostream* os) { *os << tc.name; }

void expectQuirks(const Quirks& got, const Quirks& want) {
#define QUORLE_EXPECT_QUIRK(member, key, group, merge) EXPECT_EQ(got.member, want.member) << key;
  QUORLE_QUIRK_FIELDS(QUORLE_EXPECT_QUIRK)
#undef QUORLE_EXPECT_QUIRK
}

class QuirksTest : public EngineParamTest<std::tuple<QuirksCase, bool>> {};

TEST_P(QuirksTest, CountsWhatOtherReadersTakeDifferently) {
  const auto& [tc, parallel] = GetParam();
  const InfBuilder builder = InfBuilder()
                                 .file(raw("in.csv", tc.text))
                                 .patterns(kTable)
                                 .na({"NA", "", "None"})
                                 .parallel(parallel);
  Inf inf = builder.build();
  inf.setExtras(0);
  inf.inferTypes();
  const Inf::Extras extras = inf.getExtras();
  expectQuirks(extras.quirks, tc.quirks);
  EXPECT_EQ(extras.invalidUtf8, tc.invalidUtf8);
  EXPECT_EQ(extras.naSpellings, tc.naSpellings);
  if (parallel) return;
  for (uint64_t cut = 0; cut <= tc.text.size(); ++cut) {
    Inf split = builder.build();
    split.setExtras(0);
    EXPECT_EQ(split.inferSplitAt({cut}), "");
    expectSameAsSequential(split, inf, "cut " + std::to_string(cut));
  }
}

INSTANTIATE_TEST_SUITE_P(Quirks, QuirksTest,
                         ::testing::Combine(::testing::ValuesIn(kQuirksCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "Parallel" : "Sequential");
                         });

// A `\.` line in a quoted field and text after a closing quote, each with a
// block edge at every point of it; and split there and elsewhere.
class QuirksAtEdges : public EngineTest {};

TEST_F(QuirksAtEdges, CountedAcrossBlockEdgesAndCuts) {
  constexpr size_t BLOCK = csv::CsvParser::INPUTBUF_CAP;
  for (size_t shift = 0; shift <= 4; ++shift) {
    const std::string head = "a,b\n1,\"";
    std::string text = head + std::string(BLOCK - shift - head.size(), 'x') + "\n\\.\ny\"\n2,\"";
    text += std::string(2 * BLOCK - shift - text.size() - 1, 'x') + "\"y\n3,z\n";
    const std::string where = "shift " + std::to_string(shift);
    const InfBuilder builder = InfBuilder().file(raw("in.csv", text)).patterns(kTable);
    Inf inf = builder.build();
    inf.setExtras(0);
    inf.inferTypes();
    const Quirks want = afterQuote(1, quirks(0, 1, 1, 4, 0, 0, 0, 0));
    expectQuirks(inf.getExtras().quirks, want);
    const uint64_t size = text.size();
    for (const std::vector<uint64_t>& cuts : std::vector<std::vector<uint64_t>>{
             {BLOCK - shift - 1}, {BLOCK}, {BLOCK / 2, BLOCK + 3}, {size / 3, 2 * size / 3}}) {
      Inf split = builder.build();
      split.setExtras(0);
      EXPECT_EQ(split.inferSplitAt(cuts), "") << where;
      expectSameAsSequential(split, inf, where + ", first cut " + std::to_string(cuts[0]));
    }
  }
}

TEST(Quirks, OffUnlessTheExtrasAreOn) {
  TempDir dir;
  Inf inf = InfBuilder()
                .file(writeRaw(dir.file("in.csv"),
                               "a\"b,c\n\\.\n\"p\"q,\"r\n\\.\ns\"\n\"x\ny\",\xff\r\n\n"))
                .build();
  inf.setReading(true, true, 0, "");
  inf.inferTypes();
  const Inf::Extras extras = inf.getExtras();
  expectQuirks(extras.quirks, Quirks{});
  EXPECT_TRUE(extras.invalidUtf8.empty());
  EXPECT_TRUE(extras.fitsDouble.empty());
  EXPECT_EQ(extras.blankLines, 1u);
}

struct NumberCase {
  std::string text;
  bool fitsDouble;
  bool fitsInt64;
};

const NumberCase kNumberCases[] = {
    {"0.33255440000000003", true, false},
    {"0.3325544", true, false},
    {"0.1", true, false},
    {"0.10000000000000000001", false, false},
    {"0.10000000000000000555", true, false},  // 0.1's double, to 20 digits
    {"12345678901234567890", false, false},
    {"9007199254740992", true, true},
    {"9007199254740993", false, true},
    {"1.7976931348623157e308", true, false},
    {"1e400", false, false},
    {"1e-400", false, false},
    {"-0", true, true},
    {"+7", true, true},
    {"007", true, true},
    {"00012.500", true, false},
    {"1.", true, false},
    {".5", true, false},
    {"-1.25E-3", true, false},
    {"1.0000000000000000000", true, false},
    {"9223372036854775807", false, true},
    {"9223372036854775808", true, false},
    {"-9223372036854775808", true, true},
    {"-9223372036854775809", false, false},
    {"0000000000000000000000001", true, true},
    {"+-1", false, false},
    {"1e", false, false},
    {"", false, false},
    {"+", false, false},
    {"-", false, false},
    {"inf", false, false},
    {"NaN", false, false},
    {"1,5", false, false},
    {" 1", false, false},
    // Around the shortcut for short plain decimals.
    {"123456789012345", true, true},
    {"-1234567.89012345", true, false},
    {"0.000000000000000000001", true, false},
    {"0.00000000000000000000000000000000000000001", true, false},
    {"1.2.3", false, false},
    {".", false, false},
    {"+.5", true, false},
};

class NumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTest, FitsAsWritten) {
  EXPECT_EQ(fitsDouble(GetParam().text), GetParam().fitsDouble);
  EXPECT_EQ(fitsInt64(GetParam().text), GetParam().fitsInt64);
}

INSTANTIATE_TEST_SUITE_P(Numbers, NumberTest, ::testing::ValuesIn(kNumberCases));

struct DigitsCase {
  std::string text;
  uint64_t integer;
  uint64_t fraction;
};

const DigitsCase kDigitsCases[] = {
    {"0", 0, 0},
    {"-12", 2, 0},
    {"+007", 1, 0},
    {"100", 3, 0},
    {"00100.0", 3, 1},
    {"0.5", 0, 1},
    {".5", 0, 1},
    {"5.", 1, 0},
    {"-0.00125", 0, 5},
    {"1.50", 1, 2},
    {"1.5e-7", 1, 1},
    {"-2.5E+10", 1, 1},
    {"+.25e3", 0, 2},
    {"0.0012345678901234567", 0, 19},
    // Group separators and marks around the number are not digits.
    {"1,234,567.89", 7, 2},
    {"EUR 12.5", 2, 1},
    {"12.5 EUR", 2, 1},
    {"", 0, 0},
};

class DigitsTest : public ::testing::TestWithParam<DigitsCase> {};

TEST_P(DigitsTest, CountsEachSideOfThePoint) {
  const NumberDigits got = numberDigits(GetParam().text);
  EXPECT_EQ(got.integer, GetParam().integer) << GetParam().text;
  EXPECT_EQ(got.fraction, GetParam().fraction) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Numbers, DigitsTest, ::testing::ValuesIn(kDigitsCases));

// Only fields of the checked types count, and a split pass merges the most
// digits of each side on its own, whatever row they came from.
TEST(Digits, OfCheckedFieldsOnlyAndTheSameWhenSplit) {
  TempDir dir;
  // The last field of `a`, no longer than its most integer digits, still raises its fraction.
  const std::string text = "a,b,c\n12.5,X1234.56789,NA\n-0.1,7,\n1234,X1,00042\n.125,NA,7.25e-9\n";
  const InfBuilder builder = InfBuilder()
                                 .file(writeRaw(dir.file("in.csv"), text))
                                 .patterns({{"int", {"-?[0-9]+"}},
                                            {"dec", {"-?[0-9]*\\.[0-9]+"}},
                                            {"sci", {"[0-9.]+e-?[0-9]+"}},
                                            {"code", {"X[0-9.]+"}}});
  auto session = [&] {
    Inf inf = builder.build();
    inf.setExtras(0);
    inf.setNumericChecks({"dec", "int", "sci"}, {"int"});
    return inf;
  };
  Inf sequential = session();
  sequential.inferTypes();
  const Inf::Extras extras = sequential.getExtras();
  EXPECT_EQ(extras.intDigits, (std::vector<uint64_t>{4, 1, 2}));
  EXPECT_EQ(extras.fracDigits, (std::vector<uint64_t>{3, 0, 2}));
  for (uint64_t cut = 0; cut <= text.size(); ++cut) {
    Inf split = session();
    EXPECT_EQ(split.inferSplitAt({cut}), "");
    expectSameAsSequential(split, sequential, "cut " + std::to_string(cut));
  }
}

// The definition, with the C library: strtod's double printed by printf with
// the field's own number of significant digits gives back its digits and
// its place. For plain decimals with at least one nonzero digit.
bool roundTripsByPrintf(const std::string& text) {
  std::string digits;
  int pointAt = -1;
  for (const char ch : text) {
    if (ch == '.') pointAt = static_cast<int>(digits.size());
    if (ch >= '0' && ch <= '9') digits += ch;
  }
  if (pointAt < 0) pointAt = static_cast<int>(digits.size());
  const size_t lead = digits.find_first_not_of('0');
  const int exponent = pointAt - static_cast<int>(lead) - 1;  // of the first significant digit
  std::string significant = digits.substr(lead);
  char printed[128];
  std::snprintf(printed, sizeof printed, "%.*e", static_cast<int>(significant.size()) - 1,
                std::strtod(text.c_str(), nullptr));
  std::string back;
  const char* p = printed;
  if (*p == '-') ++p;
  for (; *p != 'e'; ++p)
    if (*p != '.') back += *p;
  significant.erase(significant.find_last_not_of('0') + 1);
  back.erase(back.find_last_not_of('0') + 1);
  return back == significant && std::atoi(p + 1) == exponent;
}

// Long plain decimals, where the check takes its shortcuts: shortest forms of
// doubles, the same with the last digit moved, their exact expansions cut at
// 16 to 24 digits, and random digit strings, any of them negated.
std::vector<std::string> longDecimals() {
  std::mt19937_64 random(7);
  std::uniform_int_distribution<int> scale(-12, 20), cut(16, 24), digit(0, 9), coin(0, 1);
  std::vector<std::string> texts;
  char buffer[64];
  for (int i = 0; i < 4000; ++i) {
    const double x = std::ldexp(static_cast<double>(random() >> 11), scale(random) * 3 - 53);
    const auto shortest =
        std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed);
    std::string text(buffer, shortest.ptr);
    texts.push_back(text);
    text.back() = static_cast<char>('0' + (text.back() - '0' + 1) % 10);
    texts.push_back(text);
    std::snprintf(buffer, sizeof buffer, "%.*g", cut(random), x);
    if (std::string(buffer).find('e') == std::string::npos) texts.push_back(buffer);
    std::string digits;
    for (int d = cut(random); d > 0; --d) digits += static_cast<char>('0' + digit(random));
    digits.insert(digits.begin() + cut(random) % static_cast<int>(digits.size()), '.');
    texts.push_back((coin(random) ? "1" : "") + digits);
  }
  for (auto& text : texts)
    if (coin(random)) text.insert(text.begin(), '-');
  return texts;
}

TEST(NumberTest, LongPlainDecimalsFitAsTheDefinitionSays) {
  int fit = 0, checked = 0;
  for (const auto& text : longDecimals()) {
    if (text.find_first_of("123456789") == std::string::npos) continue;
    const bool expected = roundTripsByPrintf(text);
    EXPECT_EQ(fitsDouble(text), expected) << text;
    fit += expected;
    ++checked;
  }
  // Both answers occur often, or the cases would not test the shortcuts.
  EXPECT_GT(fit, checked / 5);
  EXPECT_LT(fit, checked * 4 / 5);
}

class NumericChecks : public EngineTest {};

// Per position, over the named types' fields only: a column none of whose
// fields has a checked type fits.
TEST_F(NumericChecks, AndOverTheFieldsOfTheNamedTypes) {
  const std::string text =
      "i,d,t,i\n1,0.1,x,2\n12345678901234567890,0.33255440000000003,y,3\n"
      "-5,0.10000000000000000001,1e400,4\n";
  for (const bool parallel : {false, true}) {
    Inf inf = InfBuilder()
                  .file(raw("in.csv", text))
                  .patterns({{"int", {"[+-]?[0-9]+"}}, {"dec", {"[+-]?[0-9]*\\.[0-9]+"}}})
                  .parallel(parallel)
                  .build();
    inf.setExtras(0);
    inf.setNumericChecks({"dec", "absent"}, {"int"});
    inf.inferTypes();
    const Inf::Extras extras = inf.getExtras();
    EXPECT_EQ(extras.fitsInt64, (std::vector<bool>{false, true, true, true}));
    EXPECT_EQ(extras.fitsDouble, (std::vector<bool>{true, false, true, true}));
  }
}

}  // namespace
