// Which alternatives of a type every field of it fits, per column: decided
// over the whole file in every pass mode, with the first misfit's row and
// text, and the same whatever the cuts of a split.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "engine_builders.h"
#include "formats.h"
#include "inf.h"

using namespace engine_test;

namespace {

using formats::Format;
using Formats = std::map<std::string, std::vector<Format>>;
using Verdicts = std::vector<std::map<std::string, Inf::Extras::FormatVerdict>>;

// Dates three ways, decimals two ways, yes/no words two ways: each type's
// expressions are its alternatives' own, as the package derives them.
Formats alternatives() {
  return {
      {"date",
       {Format::temporal("%Y-%m-%d"), Format::temporal("%d/%m/%Y"), Format::temporal("%m/%d/%Y")}},
      {"dec", {Format::number('.', ""), Format::number(',', "")}},
      {"flag", {Format::boolean({"yes"}, {"no"}), Format::boolean({"true"}, {"false"})}}};
}

Inf::PatternSources tableOf(const Formats& byType) {
  Inf::PatternSources table;
  for (const auto& [name, alternatives] : byType)
    for (const auto& format : alternatives) table[name].push_back(formats::regexSource(format));
  table["flag"] = {"[a-z]+"};  // every word a flag, so that misfits are flags too
  return table;
}

// A field the test expects to have ruled an alternative out: its row is the
// line it stands on, its text cut as the pass cuts it.
struct Misfit {
  std::string field;  // empty: none
};

struct Expected {
  size_t column;
  std::string type;
  std::vector<bool> fits;
  std::vector<Misfit> misfits;
};

struct Reading {
  uint64_t skipLines;
  std::string comment;
  bool header;
};
const Reading kPlain{0, "", true};

struct VerdictCase {
  std::string name;
  std::string text;
  std::vector<Expected> expected;  // every entry of every column
  Reading reading;
};

const std::string kLongWord(300, 'z');

const VerdictCase kCases[] = {
    {"DayFirstDecidedLate",
     "d\n01/02/2020\n03/04/2021\n05/06/2022\n25/12/2020\n07/08/2023\n",
     {{0, "date", {false, true, false}, {{"01/02/2020"}, {}, {"25/12/2020"}}}},
     kPlain},
    {"FitsTwoAlternatives",
     "d,n\n01/02/2020,1\n11/12/2021,2\n",
     {{0, "date", {false, true, true}, {{"01/02/2020"}, {}, {}}},
      {1, "dec", {true, true}, {{}, {}}}},
     kPlain},
    {"FitsNone",
     "d\n2020-01-02\n13/01/2020\n01/13/2020\n",
     {{0, "date", {false, false, false}, {{"13/01/2020"}, {"2020-01-02"}, {"2020-01-02"}}}},
     kPlain},
    {"MissingAndOtherIgnored",
     "d,e\nNA,NA\n??,12:00\n2020-01-02,NA\nNA,!!\n2021-03-04,\n",
     {{0, "date", {true, false, false}, {{}, {"2020-01-02"}, {"2020-01-02"}}}},
     kPlain},
    {"TwoTypesInOneColumn",
     "x\n1.5\n31/12/1999\n2.25\n12/31/1999\n3\n",
     {{0, "date", {false, false, false}, {{"31/12/1999"}, {"12/31/1999"}, {"31/12/1999"}}},
      {0, "dec", {true, false}, {{}, {"1.5"}}}},
     kPlain},
    {"LongMisfitIsCut",
     "f\nyes\nno\n" + kLongWord + "\ntrue\n",
     {{0, "flag", {false, false}, {{kLongWord}, {"yes"}}}},
     kPlain},
    {"OffsetsPastSkippedLinesAndComments",
     "junk line\nd,f\n#01/02/2020,x\n02/01/2020,yes\n# 13/13\n\n13/01/2020,false\n",
     {{0, "date", {false, true, false}, {{"02/01/2020"}, {}, {"13/01/2020"}}},
      {1, "flag", {false, false}, {{"false"}, {"yes"}}}},
     {1, "#", true}},
    {"HeaderlessFirstRowCounts",
     "2020-01-02,yes\n03/04/2021,no\n",
     {{0, "date", {false, false, false}, {{"03/04/2021"}, {"2020-01-02"}, {"2020-01-02"}}},
      {1, "flag", {true, false}, {{}, {"yes"}}}},
     {0, "", false}},
};

void PrintTo(const VerdictCase& tc, std::ostream* os) { *os << tc.name; }

uint64_t rowStartOf(const std::string& text, const std::string& field) {
  const size_t at = text.find(field);
  EXPECT_NE(at, std::string::npos) << field;
  const size_t lineEnd = text.rfind('\n', at);
  return lineEnd == std::string::npos ? 0 : lineEnd + 1;
}

Verdicts expectedVerdicts(const VerdictCase& tc, size_t width) {
  Verdicts out(width);
  for (const auto& e : tc.expected) {
    Inf::Extras::FormatVerdict& verdict = out[e.column][e.type];
    verdict.alive = e.fits;
    for (const auto& misfit : e.misfits) {
      if (misfit.field.empty()) {
        verdict.ruledOut.emplace_back();
        continue;
      }
      const std::string cut = misfit.field.substr(0, FormatVerdicts::MAX_TEXT);
      verdict.ruledOut.emplace_back(std::make_pair(rowStartOf(tc.text, misfit.field), cut));
    }
  }
  return out;
}

enum class Mode { SEQUENTIAL, SEQUENTIAL_WITH_EXTRAS, PARALLEL, SPLIT_IN_THREE };

std::string modeName(Mode mode) {
  switch (mode) {
    case Mode::SEQUENTIAL:
      return "Sequential";
    case Mode::SEQUENTIAL_WITH_EXTRAS:
      return "WithExtras";
    case Mode::PARALLEL:
      return "Parallel";
    case Mode::SPLIT_IN_THREE:
      return "Split";
  }
  return "";
}

Inf sessionFor(const VerdictCase& tc, const std::string& path, Mode mode) {
  Inf inf = InfBuilder()
                .file(path)
                .patterns(tableOf(alternatives()))
                .parallel(mode == Mode::PARALLEL)
                .build();
  inf.setReading(true, tc.reading.header, tc.reading.skipLines, tc.reading.comment);
  inf.setFormats(alternatives());
  if (mode == Mode::SEQUENTIAL_WITH_EXTRAS) inf.setExtras(2);
  return inf;
}

void runIn(Inf& inf, Mode mode, uint64_t size) {
  if (mode != Mode::SPLIT_IN_THREE) {
    inf.inferTypes();
    return;
  }
  ASSERT_EQ(inf.inferSplitAt({size / 3, 2 * size / 3}), "");
}

class VerdictCaseTest : public EngineParamTest<std::tuple<VerdictCase, Mode>> {};

TEST_P(VerdictCaseTest, EveryFieldOfTheTypeDecides) {
  const auto& [tc, mode] = GetParam();
  Inf inf = sessionFor(tc, raw("in.csv", tc.text), mode);
  runIn(inf, mode, tc.text.size());
  const Inf::Extras extras = inf.getExtras();
  EXPECT_EQ(extras.formats, expectedVerdicts(tc, inf.getColNames().size()));
  // The verdicts need no other extras, and do not turn them on.
  if (mode != Mode::SEQUENTIAL_WITH_EXTRAS) {
    EXPECT_TRUE(extras.rowWidths.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, VerdictCaseTest,
    ::testing::Combine(::testing::ValuesIn(kCases),
                       ::testing::Values(Mode::SEQUENTIAL, Mode::SEQUENTIAL_WITH_EXTRAS,
                                         Mode::PARALLEL, Mode::SPLIT_IN_THREE)),
    [](const auto& info) {
      return std::get<0>(info.param).name + modeName(std::get<1>(info.param));
    });

class VerdictSplitTest : public EngineParamTest<VerdictCase> {};

// Every cut into two ranges, and every pair a few bytes apart into three,
// gives the sequential verdicts, offsets and texts.
TEST_P(VerdictSplitTest, EveryCutGivesTheSequentialVerdicts) {
  const VerdictCase& tc = GetParam();
  const std::string in = raw("in.csv", tc.text);
  Inf sequential = sessionFor(tc, in, Mode::SEQUENTIAL);
  sequential.inferTypes();
  const Verdicts expected = sequential.getExtras().formats;
  for (uint64_t cut = 0; cut <= tc.text.size(); ++cut) {
    for (const uint64_t gap : {uint64_t{0}, uint64_t{1}, uint64_t{3}}) {
      std::vector<uint64_t> cuts = {cut};
      if (gap > 0) cuts.push_back(std::min<uint64_t>(cut + gap, tc.text.size()));
      Inf split = sessionFor(tc, in, Mode::SEQUENTIAL);
      const std::string where = "cut " + std::to_string(cut) + " gap " + std::to_string(gap);
      EXPECT_EQ(split.inferSplitAt(cuts), "") << where;
      EXPECT_EQ(split.getExtras().formats, expected) << where;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Verdicts, VerdictSplitTest, ::testing::ValuesIn(kCases), CaseName());

class VerdictSettings : public EngineTest {};

TEST_F(VerdictSettings, OnlyKnownTypesWithAlternativesAndAtMostSixtyFour) {
  const std::string text = "d\n2020-01-02\n";
  Inf inf = InfBuilder().file(raw("in.csv", text)).patterns(tableOf(alternatives())).build();
  inf.setFormats({{"date", {Format::temporal("%Y-%m-%d")}},
                  {"nosuchtype", {Format::temporal("%d/%m/%Y")}},
                  {"dec", {}}});
  inf.inferTypes();
  const Verdicts verdicts = inf.getExtras().formats;
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_EQ(verdicts[0].size(), 1u);
  EXPECT_EQ(verdicts[0].at("date").alive, std::vector<bool>{true});

  const std::vector<Format> many(FormatVerdicts::MAX_ALTERNATIVES, Format::temporal("%Y-%m-%d"));
  EXPECT_NO_THROW(inf.setFormats({{"date", many}}));
  std::vector<Format> tooMany = many;
  tooMany.push_back(many.front());
  EXPECT_THROW(inf.setFormats({{"date", tooMany}}), std::invalid_argument);
  // The refused setting leaves the one before it.
  inf.inferTypes();
  EXPECT_EQ(inf.getExtras().formats[0].at("date").alive,
            std::vector<bool>(FormatVerdicts::MAX_ALTERNATIVES, true));

  inf.setFormats({});
  inf.inferTypes();
  EXPECT_TRUE(inf.getExtras().formats.empty());
}

// The verdicts of parts merge as one pass's: fits AND, and the earliest
// part's misfit stays whatever the later parts found.
TEST_F(VerdictSettings, MergeKeepsTheEarliestMisfit) {
  using V = Inf::Extras::FormatVerdict;
  const auto misfit = [](uint64_t at, const char* text) {
    return FormatVerdicts::RuledOut(std::make_pair(at, std::string(text)));
  };
  Inf::Extras first, second, third;
  first.formats = {{}, {{"t", V{{true, false}, {std::nullopt, misfit(5, "a")}}}}};
  second.formats = {{{"t", V{{false, true}, {misfit(9, "b"), std::nullopt}}}},
                    {{"t", V{{false, false}, {misfit(20, "c"), misfit(21, "d")}}}}};
  third.formats = {{{"t", V{{false, true}, {misfit(30, "e"), std::nullopt}}}}, {}};
  const Verdicts merged = Inf::mergeExtras({first, second, third}, 2, 0).formats;
  const Verdicts expected = {{{"t", V{{false, true}, {misfit(9, "b"), std::nullopt}}}},
                             {{"t", V{{false, false}, {misfit(20, "c"), misfit(5, "a")}}}}};
  EXPECT_EQ(merged, expected);
}

}  // namespace
