#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <ios>
#include <random>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "csv/parser.h"
#include "csv_model.h"

namespace {

using namespace std::string_literals;
using csv::FieldType;
using Row = std::vector<std::string>;
using Rows = std::vector<Row>;
using Setup = std::function<void(csv::CsvParser&)>;

constexpr size_t kBlock = csv::CsvParser::INPUTBUF_CAP;
const char* const kStreamError = "Something is wrong with input stream";

struct Tok {
  FieldType type;
  std::string text;
  bool operator==(const Tok& o) const { return type == o.type && text == o.text; }
};

Tok D(const std::string& s) { return Tok{FieldType::DATA, s}; }
const Tok RE{FieldType::ROW_END, ""};
const Tok END{FieldType::CSV_END, ""};

std::string escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

void PrintTo(const Tok& t, std::ostream* os) {
  switch (t.type) {
    case FieldType::DATA:
      *os << "DATA(\"" << escape(t.text) << "\")";
      break;
    case FieldType::ROW_END:
      *os << "ROW_END";
      break;
    case FieldType::CSV_END:
      *os << "CSV_END";
      break;
  }
}

Tok to_tok(const csv::Field& f) {
  if (f.type == FieldType::DATA) return D(*f.data);
  return Tok{f.type, ""};
}

// Everything one pass of next_field tells about an input.
struct Scan {
  std::vector<Tok> tokens;
  std::streamoff end_position = -1;
  bool stays_ended = false;  // CSV_END repeats and empty() holds afterwards
};

Scan scan(const std::string& input, const Setup& setup = {}) {
  std::istringstream in(input);
  csv::CsvParser p(in);
  if (setup) setup(p);
  Scan sc;
  // Every token but the last consumes a byte or is a ROW_END followed by one
  // that does, so this bound only trips on a parser that stops advancing.
  const size_t limit = 2 * input.size() + 4;
  for (;;) {
    sc.tokens.push_back(to_tok(p.next_field()));
    if (sc.tokens.back().type == FieldType::CSV_END) break;
    if (sc.tokens.size() > limit) {
      ADD_FAILURE() << "no CSV_END after " << limit << " tokens";
      return sc;
    }
  }
  sc.end_position = p.position();
  sc.stays_ended = p.empty() && p.next_field().type == FieldType::CSV_END &&
                   p.next_field().type == FieldType::CSV_END && p.empty();
  return sc;
}

std::vector<Tok> tokens_of(const std::string& input, const Setup& setup = {}) {
  return scan(input, setup).tokens;
}

Rows rows_of(const std::string& input, const Setup& setup = {}) {
  std::istringstream in(input);
  csv::CsvParser p(in);
  if (setup) setup(p);
  Rows out;
  for (const auto& row : p) out.push_back(row);
  return out;
}

std::vector<Tok> model_tokens(const std::string& input, const csv_model::Settings& s = {}) {
  std::vector<Tok> out;
  for (const auto& t : csv_model::tokenize(input, s)) {
    switch (t.kind) {
      case csv_model::Kind::DATA:
        out.push_back(D(t.text));
        break;
      case csv_model::Kind::ROW_END:
        out.push_back(RE);
        break;
      case csv_model::Kind::CSV_END:
        out.push_back(END);
        break;
    }
  }
  return out;
}

// A scratch file name of this process, so parallel runs do not collide.
std::string temp_path(const std::string& name) {
  return testing::TempDir() + "quorle_parser_" + std::to_string(getpid()) + "_" + name;
}

// Runs f and checks that it throws the parser's stream error.
template <typename F>
void expect_stream_error(F&& f) {
  try {
    f();
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), kStreamError);
  }
}

struct Case {
  const char* name;
  std::string input;
  csv_model::Settings settings;
  std::vector<Tok> tokens;
  Rows rows;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name << " \"" << escape(c.input) << "\""; }

csv_model::Settings delim(char c) {
  csv_model::Settings s;
  s.delimiter = c;
  return s;
}
csv_model::Settings term(char c, char delimiter = ',') {
  csv_model::Settings s;
  s.crlf = false;
  s.terminator = c;
  s.delimiter = delimiter;
  return s;
}
csv_model::Settings quote(char c) {
  csv_model::Settings s;
  s.quote = c;
  return s;
}

Setup setup_for(const csv_model::Settings& s) {
  return [s](csv::CsvParser& p) {
    p.quote(s.quote).delimiter(s.delimiter);
    if (!s.crlf) p.terminator(s.terminator);
  };
}

const std::vector<Case>& table_cases() {
  static const std::vector<Case> cases = {
      {"EmptyStream", "", {}, {END}, {}},
      {"RowWithLineEnd", "a,b\n", {}, {D("a"), D("b"), END}, {{"a", "b"}}},
      {"RowWithoutLineEnd", "a,b", {}, {D("a"), D("b"), END}, {{"a", "b"}}},
      {"DelimiterBeforeLineEnd", "a,\nb", {}, {D("a"), D(""), RE, D("b"), END}, {{"a", ""}, {"b"}}},
      {"DelimiterAsLastByte", "a,b,", {}, {D("a"), D("b"), END}, {{"a", "b"}}},
      {"OnlyADelimiter", ",", {}, {D(""), END}, {{""}}},
      {"EmptyQuotedAsLastBytes", "a,\"\"", {}, {D("a"), END}, {{"a"}}},
      {"EmptyQuotedBeforeLineEnd", "a,\"\"\n", {}, {D("a"), D(""), END}, {{"a", ""}}},
      {"LastLineOnlyEmptyQuoted", "a\n\"\"", {}, {D("a"), RE, END}, {{"a"}}},
      {"OnlyEmptyQuoted", "\"\"", {}, {END}, {}},
      {"BlankLineBetween",
       "a\n\nb",
       {},
       {D("a"), RE, D(""), RE, D("b"), END},
       {{"a"}, {""}, {"b"}}},
      {"BlankLineAtEnd", "a\n\n", {}, {D("a"), RE, D(""), END}, {{"a"}, {""}}},
      {"OnlyALineEnd", "\n", {}, {D(""), END}, {{""}}},
      {"TwoLineEndsOnly", "\r\n\r\n", {}, {D(""), RE, D(""), END}, {{""}, {""}}},
      {"CrLf", "a\r\nb\r\n", {}, {D("a"), RE, D("b"), END}, {{"a"}, {"b"}}},
      {"LoneCr", "a\rb\r", {}, {D("a"), RE, D("b"), END}, {{"a"}, {"b"}}},
      {"LoneLf", "a\nb", {}, {D("a"), RE, D("b"), END}, {{"a"}, {"b"}}},
      {"LfCrIsTwoLineEnds",
       "a\n\rb",
       {},
       {D("a"), RE, D(""), RE, D("b"), END},
       {{"a"}, {""}, {"b"}}},
      {"CrCrLfIsTwoLineEnds",
       "a\r\r\nb",
       {},
       {D("a"), RE, D(""), RE, D("b"), END},
       {{"a"}, {""}, {"b"}}},
      {"LfCrAtEnd", "a\n\r", {}, {D("a"), RE, D(""), END}, {{"a"}, {""}}},
      {"QuotedDelimiterAndLineEnds",
       "\"a,b\r\nc\nd\",e",
       {},
       {D("a,b\r\nc\nd"), D("e"), END},
       {{"a,b\r\nc\nd", "e"}}},
      {"DoubledQuotes", "\"a\"\"b\",\"\"\"\"", {}, {D("a\"b"), D("\""), END}, {{"a\"b", "\""}}},
      {"QuoteInsideUnquoted", "ab\"c,d\"", {}, {D("ab\"c"), D("d\""), END}, {{"ab\"c", "d\""}}},
      {"TextAfterClosingQuote",
       "\"ab\"cd,\"x\" ,\"y\"\"\"z",
       {},
       {D("abcd"), D("x "), D("y\"z"), END},
       {{"abcd", "x ", "y\"z"}}},
      {"QuoteAfterReopenedFieldIsData", "\"a\"b\"c\"", {}, {D("ab\"c\""), END}, {{"ab\"c\""}}},
      {"UnclosedQuoteRunsToEnd",
       "x,\"b,c\nd\r\ne",
       {},
       {D("x"), D("b,c\nd\r\ne"), END},
       {{"x", "b,c\nd\r\ne"}}},
      {"UnclosedEmptyQuoteAtEnd", "x,\"", {}, {D("x"), END}, {{"x"}}},
      {"DifferingRowLengths",
       "a,b,c,d\ne\nf,g",
       {},
       {D("a"), D("b"), D("c"), D("d"), RE, D("e"), RE, D("f"), D("g"), END},
       {{"a", "b", "c", "d"}, {"e"}, {"f", "g"}}},
      {"TabDelimiter",
       "a,b\tc\n1,5\t\"x\ty\"",
       delim('\t'),
       {D("a,b"), D("c"), RE, D("1,5"), D("x\ty"), END},
       {{"a,b", "c"}, {"1,5", "x\ty"}}},
      {"SemicolonDelimiter",
       "1,5;2,5\n\"a;b\";c,d",
       delim(';'),
       {D("1,5"), D("2,5"), RE, D("a;b"), D("c,d"), END},
       {{"1,5", "2,5"}, {"a;b", "c,d"}}},
      {"ByteOrderMarkIsData",
       "\xEF\xBB\xBF\"a\",b\n",
       {},
       {D("\xEF\xBB\xBF\"a\""), D("b"), END},
       {{"\xEF\xBB\xBF\"a\"", "b"}}},
      {"NulAndHighBytesAreData",
       "a\0b,\xE9\xFF\x80\n\0"s,
       {},
       {D("a\0b"s), D("\xE9\xFF\x80"), RE, D("\0"s), END},
       {{"a\0b"s, "\xE9\xFF\x80"}, {"\0"s}}},
      {"CrDelimiterNeverSeparatesUnderCrLf",
       "a\rb\nc",
       delim('\r'),
       {D("a"), RE, D("b"), RE, D("c"), END},
       {{"a"}, {"b"}, {"c"}}},
      {"LfDelimiterNeverSeparatesUnderCrLf",
       "a\nb",
       delim('\n'),
       {D("a"), RE, D("b"), END},
       {{"a"}, {"b"}}},
      {"CrDelimiterSeparatesUnderOtherTerminator",
       "a\rb;c\nd",
       term(';', '\r'),
       {D("a"), D("b"), RE, D("c\nd"), END},
       {{"a", "b"}, {"c\nd"}}},
      {"DelimiterEqualToQuote",
       "a\"b\"c\n\"x,y\"\"z\"w",
       delim('"'),
       {D("a"), D("b"), D("c"), RE, D("x,y\"zw"), END},
       {{"a", "b", "c"}, {"x,y\"zw"}}},
      {"SemicolonTerminator",
       "a,b;c\r\nd;\"e;f\";",
       term(';'),
       {D("a"), D("b"), RE, D("c\r\nd"), RE, D("e;f"), END},
       {{"a", "b"}, {"c\r\nd"}, {"e;f"}}},
      {"TerminatorEqualToDelimiter",
       "a,b\nc,",
       term(','),
       {D("a"), RE, D("b\nc"), END},
       {{"a"}, {"b\nc"}}},
      // 0xFE as a signed char is -2, the value that marks CRLF.
      {"TerminatorByteFE",
       "a\xFE"
       "b\nc",
       term('\xFE'),
       {D("a"), RE, D("b\nc"), END},
       {{"a"}, {"b\nc"}}},
      {"NulTerminator", "a\0b\nc\0"s, term('\0'), {D("a"), RE, D("b\nc"), END}, {{"a"}, {"b\nc"}}},
      {"QuoteChanged",
       "'a,b',\"c\"\n'it''s'",
       quote('\''),
       {D("a,b"), D("\"c\""), RE, D("it's"), END},
       {{"a,b", "\"c\""}, {"it's"}}},
  };
  return cases;
}

class ParserTable : public testing::TestWithParam<Case> {};

TEST_P(ParserTable, Tokens) {
  const Case& c = GetParam();
  const Scan sc = scan(c.input, setup_for(c.settings));
  EXPECT_EQ(sc.tokens, c.tokens);
  EXPECT_EQ(sc.end_position, static_cast<std::streamoff>(c.input.size()));
  EXPECT_TRUE(sc.stays_ended);
}

TEST_P(ParserTable, Rows) {
  const Case& c = GetParam();
  EXPECT_EQ(rows_of(c.input, setup_for(c.settings)), c.rows);
}

// The reference model must agree with the hand-written table, or the
// differential test below proves nothing.
TEST_P(ParserTable, ModelAgrees) {
  const Case& c = GetParam();
  EXPECT_EQ(csv_model::rows(c.input, c.settings), c.rows);
  EXPECT_EQ(model_tokens(c.input, c.settings), c.tokens);
}

INSTANTIATE_TEST_SUITE_P(ParserBytes, ParserTable, testing::ValuesIn(table_cases()),
                         [](const testing::TestParamInfo<Case>& i) {
                           return std::string(i.param.name);
                         });

// The tokens left in a parser, up to and including CSV_END.
std::vector<Tok> drain(csv::CsvParser& p) {
  std::vector<Tok> rest;
  while (rest.size() < 1000 && (rest.empty() || rest.back().type != FieldType::CSV_END))
    rest.push_back(to_tok(p.next_field()));
  return rest;
}

TEST(ParserSettings, DelimiterChangedMidStream) {
  std::istringstream in("a,b,c;d\ne;f");
  csv::CsvParser p(in);
  EXPECT_EQ(to_tok(p.next_field()), D("a"));
  p.delimiter(';');
  EXPECT_EQ(drain(p), (std::vector<Tok>{D("b,c"), D("d"), RE, D("e"), D("f"), END}));
}

TEST(ParserSettings, TerminatorChangedAfterRowEnd) {
  std::istringstream in("a;b\nc;d\ne");
  csv::CsvParser p(in);
  EXPECT_EQ(to_tok(p.next_field()), D("a;b"));
  EXPECT_EQ(to_tok(p.next_field()), RE);
  p.terminator(';');
  EXPECT_EQ(drain(p), (std::vector<Tok>{D("c"), RE, D("d\ne"), END}));
}

TEST(ParserSettings, QuoteChangedMidStream) {
  std::istringstream in("\"a,b\",'c,d'\n'e,f',\"g\"");
  csv::CsvParser p(in);
  EXPECT_EQ(to_tok(p.next_field()), D("a,b"));
  p.quote('\'');
  EXPECT_EQ(drain(p), (std::vector<Tok>{D("c,d"), RE, D("e,f"), D("\"g\""), END}));
}

TEST(ParserSettings, SettersChain) {
  std::istringstream in("'a|b';c|d");
  csv::CsvParser p(in);
  csv::CsvParser& same = p.quote('\'').delimiter(';').terminator('|');
  EXPECT_EQ(&same, &p);
  Rows rows;
  for (const auto& r : p) rows.push_back(r);
  EXPECT_EQ(rows, (Rows{{"a|b", "c"}, {"d"}}));
}

TEST(ParserPosition, FollowsTokens) {
  std::istringstream in("ab,cd\r\nef");
  csv::CsvParser p(in);
  EXPECT_EQ(p.position(), 0);
  struct Step {
    Tok tok;
    std::streamoff pos;
  };
  const std::vector<Step> steps = {{D("ab"), 3}, {D("cd"), 7}, {RE, 7},
                                   {D("ef"), 9}, {END, 9},     {END, 9}};
  for (const Step& s : steps) {
    EXPECT_EQ(to_tok(p.next_field()), s.tok);
    EXPECT_EQ(p.position(), s.pos);
  }
}

TEST(ParserPosition, AcrossBlockRefill) {
  const std::string input = std::string(kBlock - 2, 'x') + ",yy\nzz";
  std::istringstream in(input);
  csv::CsvParser p(in);
  const std::streamoff b = static_cast<std::streamoff>(kBlock);
  EXPECT_EQ(to_tok(p.next_field()), D(std::string(kBlock - 2, 'x')));
  EXPECT_EQ(p.position(), b - 1);
  EXPECT_EQ(to_tok(p.next_field()), D("yy"));
  EXPECT_EQ(p.position(), b + 2);
  EXPECT_EQ(to_tok(p.next_field()), RE);
  EXPECT_EQ(p.position(), b + 2);
  EXPECT_EQ(to_tok(p.next_field()), D("zz"));
  EXPECT_EQ(p.position(), b + 4);
  EXPECT_EQ(to_tok(p.next_field()), END);
  EXPECT_EQ(p.position(), b + 4);
}

TEST(ParserBlocks, CrLfSplitAcrossBlocksIsOneLineEnd) {
  const std::string big(kBlock - 1, 'a');
  EXPECT_EQ(tokens_of(big + "\r\nb"), (std::vector<Tok>{D(big), RE, D("b"), END}));
  EXPECT_EQ(rows_of(big + "\r\nb"), (Rows{{big}, {"b"}}));
  // The CR that pairs with nothing still ends only one row.
  EXPECT_EQ(rows_of(big + "\r\r\nb"), (Rows{{big}, {""}, {"b"}}));
  const Scan last_cr = scan(big + "\r");
  EXPECT_EQ(last_cr.tokens, (std::vector<Tok>{D(big), END}));
  EXPECT_EQ(last_cr.end_position, static_cast<std::streamoff>(kBlock));
}

// Lines "r<n>,v<n>" filling exactly `size` bytes; the last one is padded.
std::string exact_size_input(size_t size, bool final_line_end, size_t* lines) {
  std::string s;
  size_t n = 0;
  for (;;) {
    const std::string line = "r" + std::to_string(n) + ",v" + std::to_string(n * 7) + "\n";
    if (s.size() + line.size() + 16 > size) break;
    s += line;
    ++n;
  }
  const std::string head = "last,";
  s += head + std::string(size - s.size() - head.size() - (final_line_end ? 1 : 0), 'z');
  if (final_line_end) s += "\n";
  *lines = n + 1;
  return s;
}

struct ExactSize {
  size_t size;
  bool final_line_end;
};

class ParserExactBlocks : public testing::TestWithParam<ExactSize> {};

TEST_P(ParserExactBlocks, AllRowsAndBytesAccountedFor) {
  size_t lines = 0;
  const std::string input = exact_size_input(GetParam().size, GetParam().final_line_end, &lines);
  ASSERT_EQ(input.size(), GetParam().size);

  const Rows rows = rows_of(input);
  ASSERT_EQ(rows.size(), lines);
  size_t bytes = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    for (const auto& f : rows[i]) bytes += f.size();
    bytes += rows[i].size() - 1;  // delimiters
    if (i + 1 < rows.size() || GetParam().final_line_end) bytes += 1;
  }
  EXPECT_EQ(bytes, input.size());
  EXPECT_EQ(rows.front(), (Row{"r0", "v0"}));
  EXPECT_EQ(rows.back()[0], "last");
  EXPECT_EQ(rows, csv_model::rows(input));

  const Scan sc = scan(input);
  EXPECT_EQ(sc.end_position, static_cast<std::streamoff>(input.size()));
  EXPECT_TRUE(sc.stays_ended);
}

INSTANTIATE_TEST_SUITE_P(ParserSizes, ParserExactBlocks,
                         testing::Values(ExactSize{kBlock, true}, ExactSize{kBlock, false},
                                         ExactSize{2 * kBlock, true}, ExactSize{2 * kBlock, false}),
                         [](const testing::TestParamInfo<ExactSize>& i) {
                           return std::to_string(i.param.size) +
                                  (i.param.final_line_end ? "_lf" : "_nolf");
                         });

struct Snippet {
  const char* name;
  std::string text;
  Rows rows;
};

class ParserBoundarySplit : public testing::TestWithParam<Snippet> {};

// The snippet is placed so that its first k bytes end the first block, for
// every k: where the block boundary falls must not change the rows.
TEST_P(ParserBoundarySplit, EverySplitPointGivesTheSameRows) {
  const Snippet& s = GetParam();
  for (size_t k = 0; k <= s.text.size(); ++k) {
    SCOPED_TRACE("first block holds " + std::to_string(k) + " bytes of the snippet");
    const std::string filler(kBlock - k - 1, 'f');
    const std::string input = filler + "\n" + s.text;
    Rows expected{{filler}};
    expected.insert(expected.end(), s.rows.begin(), s.rows.end());
    EXPECT_EQ(rows_of(input), expected);
    std::vector<Tok> toks = tokens_of(input);
    ASSERT_GE(toks.size(), 2u);
    EXPECT_EQ(toks[0], D(filler));
    EXPECT_EQ(toks[1], RE);
    EXPECT_EQ(std::vector<Tok>(toks.begin() + 2, toks.end()), tokens_of(s.text));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Snippets, ParserBoundarySplit,
    testing::Values(Snippet{"Unquoted", "abcdefgh,ij\n", {{"abcdefgh", "ij"}}},
                    Snippet{"Quoted", "\"a,b\r\nc\",d", {{"a,b\r\nc", "d"}}},
                    Snippet{"DoubledQuote", "\"x\"\"y\"", {{"x\"y"}}},
                    Snippet{"TextAfterQuote", "\"q\"tail,z", {{"qtail", "z"}}},
                    Snippet{"CrLf", "a\r\nb", {{"a"}, {"b"}}},
                    Snippet{"QuoteOnlyThenBlankLine", "\"\"\"\"\r\n\r\n", {{"\""}, {""}}}),
    [](const testing::TestParamInfo<Snippet>& i) { return std::string(i.param.name); });

TEST(ParserBlocks, FieldsLongerThanABlock) {
  std::string unquoted;
  for (size_t i = 0; unquoted.size() < 2 * kBlock + 1000; ++i)
    unquoted += static_cast<char>('a' + i % 26);
  std::string quoted_text;
  for (size_t i = 0; quoted_text.size() < 2 * kBlock + 1000; ++i)
    quoted_text += (i % 5 == 0) ? ",\r\n\"" : "xy";
  std::string quoted_src = "\"";
  for (char c : quoted_text) {
    quoted_src += c;
    if (c == '"') quoted_src += '"';
  }
  quoted_src += "\"";
  const std::string input = unquoted + ",1\n" + quoted_src + ",2";
  EXPECT_EQ(rows_of(input), (Rows{{unquoted, "1"}, {quoted_text, "2"}}));
}

TEST(ParserBlocks, FileStreamAcrossBlocks) {
  size_t lines = 0;
  const std::string input = exact_size_input(3 * kBlock + 777, true, &lines);
  const std::string path = temp_path("blocks.csv");
  {
    std::ofstream out(path, std::ios::binary);
    out << input;
  }
  std::ifstream in(path, std::ios::binary);
  csv::CsvParser p(in);
  Rows rows;
  for (const auto& r : p) rows.push_back(r);
  std::remove(path.c_str());
  EXPECT_EQ(rows.size(), lines);
  EXPECT_EQ(rows, csv_model::rows(input));
  EXPECT_EQ(p.position(), static_cast<std::streamoff>(input.size()));
}

TEST(ParserIterator, EmptyInputsHaveNoRows) {
  for (const std::string& input : {""s, "\"\""s, "\""s}) {
    std::istringstream in(input);
    csv::CsvParser p(in);
    EXPECT_TRUE(p.begin() == p.end()) << escape(input);
  }
}

TEST(ParserIterator, RowIsReusedInPlace) {
  std::istringstream in("a,b,c\nd,e\nf,g,h,i");
  csv::CsvParser p(in);
  auto it = p.begin();
  const Row& row = *it;
  EXPECT_EQ(it.operator->(), &row);
  EXPECT_EQ(row, (Row{"a", "b", "c"}));
  ++it;
  EXPECT_EQ(&*it, &row);
  EXPECT_EQ(row, (Row{"d", "e"}));
  ++it;
  EXPECT_EQ(row, (Row{"f", "g", "h", "i"}));
  EXPECT_TRUE(it != p.end());
  ++it;
  EXPECT_TRUE(it == p.end());
  EXPECT_TRUE(row.empty());
}

TEST(ParserIterator, ShortRowsAfterWideOnes) {
  std::string wide;
  Row wide_row;
  for (int i = 0; i < 120; ++i) {
    wide += (i ? "," : "") + std::to_string(i);
    wide_row.push_back(std::to_string(i));
  }
  const std::string input = wide + "\nx\n" + wide + "\np,q,r\n\n";
  EXPECT_EQ(rows_of(input), (Rows{wide_row, {"x"}, wide_row, {"p", "q", "r"}, {""}}));
}

TEST(ParserIterator, EqualityComparesCounterAndSizeOnly) {
  std::istringstream in1("a,b\nc"), in2("x,y\nz"), in3("x\ny");
  csv::CsvParser p1(in1), p2(in2), p3(in3);
  auto i1 = p1.begin();
  auto i2 = p2.begin();
  auto i3 = p3.begin();
  EXPECT_TRUE(i1 == i2);   // same counter and size, other parser and text
  EXPECT_FALSE(i1 == i3);  // same counter, other size
  EXPECT_TRUE(p1.end() == p2.end());
  EXPECT_TRUE(i1 != p1.end());
  ++i1;
  ++i2;
  // The last rows, with input used up, are still distinct from end().
  EXPECT_EQ(*i1, (Row{"c"}));
  EXPECT_TRUE(i1 == i2);
  EXPECT_TRUE(i1 != p1.end());
  ++i1;
  EXPECT_TRUE(i1 == p1.end());
  EXPECT_TRUE(i1 == p2.end());
}

TEST(ParserIterator, PostfixIncrement) {
  std::istringstream in("a,b\nc\nd");
  csv::CsvParser p(in);
  auto it = p.begin();
  auto before = it++;
  EXPECT_EQ(*before, (Row{"a", "b"}));
  EXPECT_EQ(*it, (Row{"c"}));
  it++;
  EXPECT_EQ(*it, (Row{"d"}));
  it++;
  EXPECT_TRUE(it == p.end());
}

TEST(ParserIterator, SecondBeginContinuesAfterRowsRead) {
  std::istringstream in("r1\nr2\nr3\nr4");
  csv::CsvParser p(in);
  auto first = p.begin();
  EXPECT_EQ(*first, (Row{"r1"}));
  ++first;
  EXPECT_EQ(*first, (Row{"r2"}));
  Rows rest;
  for (const auto& r : p) rest.push_back(r);
  EXPECT_EQ(rest, (Rows{{"r3"}, {"r4"}}));
  EXPECT_TRUE(p.empty());
  EXPECT_TRUE(p.begin() == p.end());
}

// The row counter must keep the iterator apart from end() on every row, so a
// long input ends exactly once, after its last row.
TEST(ParserIterator, ManyRowsReachEndOnce) {
  const int n = 300000;
  std::string input;
  for (int i = 0; i < n; ++i) input += std::to_string(i) + ",x\n";
  std::istringstream in(input);
  csv::CsvParser p(in);
  int count = 0;
  bool all_match = true;
  for (const auto& r : p) {
    all_match = all_match && r.size() == 2 && r[0] == std::to_string(count) && r[1] == "x";
    ++count;
  }
  EXPECT_EQ(count, n);
  EXPECT_TRUE(all_match);
  EXPECT_TRUE(p.empty());
}

struct BadStream {
  const char* name;
  std::function<void(std::istringstream&)> spoil;
};

class ParserBadStream : public testing::TestWithParam<BadStream> {};

TEST_P(ParserBadStream, ConstructorThrows) {
  std::istringstream in("a,b\n");
  GetParam().spoil(in);
  expect_stream_error([&] { csv::CsvParser p(in); });
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ParserBadStream,
    testing::Values(BadStream{"Eof", [](std::istringstream& s) { s.setstate(std::ios::eofbit); }},
                    BadStream{"Fail", [](std::istringstream& s) { s.setstate(std::ios::failbit); }},
                    BadStream{"Bad", [](std::istringstream& s) { s.setstate(std::ios::badbit); }},
                    BadStream{"ReadToEnd",
                              [](std::istringstream& s) {
                                std::string all;
                                std::getline(s, all, '\0');
                              }}),
    [](const testing::TestParamInfo<BadStream>& i) { return std::string(i.param.name); });

TEST(ParserStream, FailedFileOpenThrows) {
  std::ifstream in("/nonexistent-dir/quorle-missing.csv");
  ASSERT_FALSE(in.is_open());
  expect_stream_error([&] { csv::CsvParser p(in); });
}

TEST(ParserStream, EmptyFileIsAccepted) {
  const std::string path = temp_path("empty.csv");
  { std::ofstream out(path); }
  std::ifstream in(path);
  csv::CsvParser p(in);
  EXPECT_TRUE(p.begin() == p.end());
  EXPECT_EQ(p.position(), 0);
  EXPECT_EQ(p.next_field().type, FieldType::CSV_END);
  std::remove(path.c_str());
}

// A directory opens as a file stream on Linux; its first read fails.
TEST(ParserStream, DirectoryFailsToRead) {
  std::ifstream in("/tmp");
  expect_stream_error([&] {
    csv::CsvParser p(in);
    for (const auto& r : p) (void)r;
  });
}

// Serves `data` in small chunks and throws once a read reaches `fail_at`.
class FailingBuf : public std::streambuf {
 public:
  FailingBuf(std::string data, size_t fail_at) : m_data(std::move(data)), m_fail_at(fail_at) {}

 protected:
  int_type underflow() override {
    if (m_pos >= m_fail_at) throw std::ios_base::failure("device gone");
    if (m_pos >= m_data.size()) return traits_type::eof();
    const size_t n = std::min({size_t{4096}, m_fail_at - m_pos, m_data.size() - m_pos});
    char* p = &m_data[m_pos];
    setg(p, p, p + n);
    m_pos += n;
    return traits_type::to_int_type(*p);
  }

 private:
  std::string m_data;
  size_t m_fail_at;
  size_t m_pos = 0;
};

std::string numbered_rows(size_t min_size) {
  std::string s;
  for (size_t i = 0; s.size() < min_size; ++i)
    s += "row" + std::to_string(i) + ",\"q," + std::to_string(i) + "\"\n";
  return s;
}

// Pulls tokens until the parser throws; the tokens before the error must be
// a prefix of the true token stream (no block handed out twice), and the
// parser must not resume with stale bytes afterwards.
void expect_error_without_stale_tokens(csv::CsvParser& p, const std::vector<Tok>& truth) {
  std::vector<Tok> got;
  bool threw = false;
  try {
    // Stops at the first wrong token, so stale blocks cannot run on for long.
    while (got.size() < truth.size()) {
      got.push_back(to_tok(p.next_field()));
      if (got.back().type == FieldType::CSV_END || !(got.back() == truth[got.size() - 1])) break;
    }
  } catch (const std::runtime_error& e) {
    threw = true;
    EXPECT_STREQ(e.what(), kStreamError);
  }
  EXPECT_TRUE(threw) << "read error went unnoticed after " << got.size() << " tokens";
  ASSERT_LE(got.size(), truth.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), truth.begin()))
      << "tokens before the error are not a prefix";
  for (int i = 0; i < 3; ++i) {
    try {
      const Tok t = to_tok(p.next_field());
      EXPECT_EQ(t, END) << "token after a read error";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), kStreamError);
    }
  }
}

class ParserReadError : public testing::TestWithParam<size_t> {};

TEST_P(ParserReadError, ThrowsAndNeverRepeatsABlock) {
  const std::string input = numbered_rows(3 * kBlock + 100);
  FailingBuf buf(input, GetParam());
  std::istream in(&buf);
  csv::CsvParser p(in);
  expect_error_without_stale_tokens(p, model_tokens(input));
}

INSTANTIATE_TEST_SUITE_P(ParserFailAt, ParserReadError,
                         testing::Values(size_t{0}, size_t{1000}, kBlock, kBlock + 700,
                                         2 * kBlock));

// A read that fails without reaching end-of-file must not pass for a full block.
TEST(ParserStream, FailbitBetweenBlocksIsAnError) {
  const std::string input = numbered_rows(2 * kBlock + 100);
  std::istringstream in(input);
  csv::CsvParser p(in);
  const std::vector<Tok> truth = model_tokens(input);
  size_t taken = 0;
  while (p.position() < static_cast<std::streamoff>(kBlock - 200)) {
    ASSERT_EQ(to_tok(p.next_field()), truth[taken]);
    ++taken;
  }
  in.setstate(std::ios::failbit);
  expect_error_without_stale_tokens(
      p, std::vector<Tok>(truth.begin() + static_cast<std::ptrdiff_t>(taken), truth.end()));
}

struct Variant {
  const char* name;
  csv_model::Settings settings;
};

const std::vector<Variant>& variants() {
  static const std::vector<Variant> v = [] {
    std::vector<Variant> out;
    csv_model::Settings s;
    out.push_back({"default", s});
    s = {};
    s.delimiter = ';';
    out.push_back({"delimiter ';'", s});
    s = {};
    s.crlf = false;
    s.terminator = ';';
    out.push_back({"terminator ';'", s});
    s = {};
    s.delimiter = '"';
    out.push_back({"delimiter '\"'", s});
    s = {};
    s.delimiter = '\r';
    out.push_back({"delimiter CR", s});
    s = {};
    s.quote = '\'';
    s.crlf = false;
    s.terminator = '\n';
    out.push_back({"quote ', terminator LF", s});
    return out;
  }();
  return v;
}

std::string describe_input(const std::string& input) {
  if (input.size() <= 2000)
    return "input (" + std::to_string(input.size()) + " bytes): \"" + escape(input) + "\"";
  return "input of " + std::to_string(input.size()) + " bytes, starting \"" +
         escape(input.substr(0, 200)) + "\"";
}

testing::AssertionResult matches_model(const std::string& input, const Variant& v) {
  const Setup setup = setup_for(v.settings);
  const std::vector<Tok> want_tokens = model_tokens(input, v.settings);
  const Scan sc = scan(input, setup);
  if (sc.tokens != want_tokens) {
    size_t i = 0;
    while (i < sc.tokens.size() && i < want_tokens.size() && sc.tokens[i] == want_tokens[i]) ++i;
    auto show = [](const std::vector<Tok>& t, size_t k) {
      return k < t.size() ? testing::PrintToString(t[k]) : std::string("(none)");
    };
    return testing::AssertionFailure()
           << "[" << v.name << "] tokens differ at #" << i << ": parser " << show(sc.tokens, i)
           << ", model " << show(want_tokens, i) << "\n"
           << describe_input(input);
  }
  if (sc.end_position != static_cast<std::streamoff>(input.size()) || !sc.stays_ended)
    return testing::AssertionFailure()
           << "[" << v.name << "] end position " << sc.end_position << " or end state wrong\n"
           << describe_input(input);
  const Rows got = rows_of(input, setup);
  const Rows want = csv_model::rows(input, v.settings);
  if (got != want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return testing::AssertionFailure() << "[" << v.name << "] rows differ at #" << i << " (parser "
                                       << got.size() << " rows, model " << want.size() << ")\n"
                                       << describe_input(input);
  }
  return testing::AssertionSuccess();
}

const char kAlphabet[] = {'"', ',', '\r', '\n', 'a', 'b', '\xE9', ';', '\''};

std::string random_input(std::mt19937& rng, size_t length) {
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 1);
  std::string s(length, ' ');
  for (char& c : s) c = kAlphabet[pick(rng)];
  return s;
}

TEST(TokenizerDifferential, RandomShortInputs) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<size_t> length(0, 300);
  std::uniform_int_distribution<size_t> variant(0, variants().size() - 1);
  int failures = 0;
  for (int i = 0; i < 4000 && failures < 5; ++i) {
    const std::string input = random_input(rng, length(rng));
    const testing::AssertionResult r = matches_model(input, variants()[variant(rng)]);
    if (!r) ++failures;
    EXPECT_TRUE(r) << "case " << i;
  }
}

TEST(TokenizerDifferential, RandomInputsAcrossBlocks) {
  std::mt19937 rng(77031);
  const std::vector<size_t> lengths = {kBlock - 1,     kBlock,     kBlock + 1,
                                       kBlock + 50000, 2 * kBlock, 300000};
  for (size_t n = 0; n < lengths.size(); ++n) {
    std::string input = random_input(rng, lengths[n]);
    // Put a line end, a quote pair or a delimiter right at the boundary.
    if (input.size() > kBlock) {
      const char* seams[] = {"\r\n", "\"\"", ",\"", "\"\r"};
      const std::string seam = seams[n % 4];
      input.replace(kBlock - 1, 2, seam);
    }
    for (const Variant& v : variants()) EXPECT_TRUE(matches_model(input, v)) << "long case " << n;
  }
}

}  // namespace
