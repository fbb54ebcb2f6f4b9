// The row cursor every reader of rows goes through: which rows the reading
// rules skip and how they are tallied, where each row starts (after quoted
// line ends, CRLF, lone CR), rows cut by the tokenizer's block edge, the
// limit a range stops at, and reads resumed after a sink stops.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "csv/parser.h"
#include "row_cursor.h"

namespace {

struct Row {
  std::streamoff start;
  std::vector<std::string> fields;
  bool operator==(const Row& o) const { return start == o.start && fields == o.fields; }
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
  out << "{" << row.start << ":";
  for (const auto& field : row.fields) out << " [" << field << "]";
  return out << "}";
}

// Collects rows, stopping after `stopAfter` of them in one read.
struct Collect : RowSink {
  std::vector<Row> rows;
  std::vector<std::string> open;
  size_t stopAfter = ~size_t{0};
  size_t thisRead = 0;
  void field(size_t c, std::string_view text) {
    EXPECT_EQ(c, open.size());
    open.emplace_back(text);
  }
  bool row(std::streamoff start, size_t width) {
    EXPECT_EQ(width, open.size());
    rows.push_back(Row{start, std::move(open)});
    open.clear();
    return ++thisRead < stopAfter;
  }
};

struct CursorCase {
  std::string name;
  std::string text;
  ReadingRules rules;
  std::vector<Row> rows;
  uint64_t blankLines, commentLines, blankRows;
};

ReadingRules skipping(bool blank, const std::string& comment) {
  return ReadingRules::make(blank, true, 0, comment);
}

class CursorRows : public testing::TestWithParam<CursorCase> {};

TEST_P(CursorRows, StartsFieldsAndTallies) {
  const CursorCase& tc = GetParam();
  std::istringstream in(tc.text);
  csv::CsvParser parser(in);
  RowCursor cursor(parser, tc.rules);
  Collect sink;
  EXPECT_FALSE(cursor.read(sink));
  EXPECT_EQ(sink.rows, tc.rows);
  EXPECT_EQ(cursor.tallies().blankLines, tc.blankLines);
  EXPECT_EQ(cursor.tallies().commentLines, tc.commentLines);
  EXPECT_EQ(cursor.tallies().blankRows, tc.blankRows);
  EXPECT_EQ(static_cast<size_t>(cursor.position()), tc.text.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CursorRows,
    testing::Values(
        CursorCase{"Empty", "", {}, {}, 0, 0, 0},
        CursorCase{"Crlf", "a,b\r\nc\r\n", {}, {{0, {"a", "b"}}, {5, {"c"}}}, 0, 0, 0},
        CursorCase{"LoneCr", "a\rb\r", {}, {{0, {"a"}}, {2, {"b"}}}, 0, 0, 0},
        CursorCase{"QuotedLineEnd",
                   "\"x\ny\",1\nz,2\n",
                   {},
                   {{0, {"x\ny", "1"}}, {8, {"z", "2"}}},
                   0,
                   0,
                   0},
        CursorCase{"SkippedAtStart", "\n#c\nh\n", skipping(true, "#"), {{4, {"h"}}}, 1, 1, 0},
        CursorCase{
            "SkippedAtEndWithoutLineEnd", "h\n\n#c", skipping(true, "#"), {{0, {"h"}}}, 1, 1, 0},
        CursorCase{"SkippedCrlfLines", "\r\n\r\nx\r\n", skipping(true, ""), {{4, {"x"}}}, 2, 0, 0},
        CursorCase{"BlankLinesKeptAreBlankRows",
                   "a\n\nb\n",
                   {},
                   {{0, {"a"}}, {2, {""}}, {3, {"b"}}},
                   0,
                   0,
                   1},
        CursorCase{"QuotedEmptyFieldIsNoBlankLine",
                   "\"\"\n\nz\n",
                   skipping(true, ""),
                   {{0, {""}}, {4, {"z"}}},
                   1,
                   0,
                   0},
        CursorCase{"QuotedCommentByteIsData",
                   "\"#x\",1\n#y,2\n",
                   skipping(false, "#"),
                   {{0, {"#x", "1"}}},
                   0,
                   1,
                   0},
        CursorCase{"CommentAfterQuotedLineEnd",
                   "\"a\n#b\"\n#c\nd\n",
                   skipping(false, "#"),
                   {{0, {"a\n#b"}}, {10, {"d"}}},
                   0,
                   1,
                   0}),
    [](const testing::TestParamInfo<CursorCase>& info) { return info.param.name; });

// Rows whose fields, quoted line ends among them, straddle the first block
// edges: each row's start is where it was written.
TEST(RowCursor, RowsAcrossBlockEdges) {
  constexpr size_t BLOCK = csv::CsvParser::INPUTBUF_CAP;
  std::string text;
  std::vector<Row> expected;
  for (size_t i = 0; text.size() < 3 * BLOCK; ++i) {
    const std::string wide(i % 97 * 13, static_cast<char>('a' + i % 26));
    const bool quoted = i % 5 == 0;
    expected.push_back(Row{static_cast<std::streamoff>(text.size()),
                           {std::to_string(i), quoted ? wide + "\r\n#" : wide}});
    text += std::to_string(i) + "," + (quoted ? "\"" + wide + "\r\n#\"" : wide) + "\r\n";
    if (i % 7 == 0) text += "#skipped," + wide + "\n";
  }
  std::istringstream in(text);
  csv::CsvParser parser(in);
  const ReadingRules rules = skipping(false, "#");
  RowCursor cursor(parser, rules);
  Collect sink;
  cursor.read(sink);
  ASSERT_EQ(sink.rows.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(sink.rows[i], expected[i]) << i;
  EXPECT_EQ(cursor.tallies().commentLines, (expected.size() + 6) / 7);
}

struct LimitCase {
  std::string name;
  std::string text;
  uint64_t limit;
  // Rows of the first read, where it stopped, and the rows after it.
  std::vector<Row> first;
  std::streamoff stop;
  std::vector<Row> rest;
};

class CursorLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(CursorLimit, StopsAfterTheRowThatReachesIt) {
  const LimitCase& tc = GetParam();
  std::istringstream in(tc.text);
  csv::CsvParser parser(in);
  const ReadingRules rules = skipping(true, "#");
  RowCursor cursor(parser, rules);
  Collect first;
  cursor.read(first, tc.limit);
  EXPECT_EQ(first.rows, tc.first);
  EXPECT_EQ(cursor.position(), tc.stop);
  Collect rest;
  EXPECT_FALSE(cursor.read(rest));
  EXPECT_EQ(rest.rows, tc.rest);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CursorLimit,
    testing::Values(
        LimitCase{"InsideARow", "a\nb\nc\n", 3, {{0, {"a"}}, {2, {"b"}}}, 4, {{4, {"c"}}}},
        LimitCase{"AtARowEnd", "a\nb\nc\n", 2, {{0, {"a"}}}, 2, {{2, {"b"}}, {4, {"c"}}}},
        LimitCase{"ReachedByASkippedRow", "a\n#x\nc\n", 3, {{0, {"a"}}}, 5, {{5, {"c"}}}},
        LimitCase{"PastTheEnd", "a\nb", 100, {{0, {"a"}}, {2, {"b"}}}, 3, {}}),
    [](const testing::TestParamInfo<LimitCase>& info) { return info.param.name; });

TEST(RowCursor, ReadResumesAfterASinkStops) {
  const std::string text = "h,i\r\n\n#c\n\"q\nr\",s\nt\n";
  std::istringstream in(text);
  csv::CsvParser parser(in);
  const ReadingRules rules = skipping(true, "#");
  RowCursor cursor(parser, rules);
  Collect sink;
  sink.stopAfter = 1;
  while (cursor.read(sink)) sink.thisRead = 0;
  const std::vector<Row> expected = {{0, {"h", "i"}}, {9, {"q\nr", "s"}}, {17, {"t"}}};
  EXPECT_EQ(sink.rows, expected);
  EXPECT_EQ(cursor.tallies().blankLines, 1u);
  EXPECT_EQ(cursor.tallies().commentLines, 1u);
}

TEST(RowCursor, FinishRowEndsTheRowUnderWayWhateverTheRules) {
  // Read from inside a row: its rest looks like a comment, which only a row's
  // first field can be.
  const std::string text = "#x,\"y\nz\",w\r\nnext\n";
  std::istringstream in(text);
  csv::CsvParser parser(in);
  const ReadingRules rules = skipping(true, "#");
  RowCursor cursor(parser, rules);
  cursor.finishRow();
  EXPECT_EQ(cursor.position(), 12);
  Collect sink;
  cursor.read(sink);
  EXPECT_EQ(sink.rows, (std::vector<Row>{{12, {"next"}}}));
  EXPECT_EQ(cursor.tallies().commentLines, 0u);
}

}  // namespace
