#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "csv/stream_error.h"
#include "engine_builders.h"
#include "inf.h"

using namespace engine_test;

namespace {

class TypesFileTest : public EngineTest {
 protected:
  std::string types() const { return path("types.txt"); }
};

TEST_F(TypesFileTest, HeaderLineThenOneLinePerDataRow) {
  const std::string in = csv("in.csv", {{"a", "b"}, {"1", "x"}});
  runPass(InfBuilder().file(in).typesFile(types()));
  EXPECT_EQ(readFile(types()), "a,b\nint,other\n");
}

TEST_F(TypesFileTest, NamesMissingValuesAndStaleCachedNames) {
  const std::string in = csv("in.csv", {{"a", "b", "c"}, {"1", "NA", "x"}, {"NA", "2", ""}});
  Inf inf = runPass(InfBuilder().file(in).typesFile(types()));
  EXPECT_EQ(readLines(types()), (Lines{"a,b,c", "int,NA,other", "NA,int,other"}));
  inf.setColTypePatterns({{"num", {"[0-9]+"}}});
  inf.inferTypes();
  EXPECT_EQ(readLines(types()), (Lines{"a,b,c", "int,NA,other", "NA,int,other"}));
}

// Existing content is cut away, including when the new pass writes nothing.
TEST_F(TypesFileTest, EmptyInputGivesAnEmptyFile) {
  const std::string in = raw("in.csv", "");
  runPass(InfBuilder().file(in).typesFile(types()));
  ASSERT_TRUE(fs::exists(types()));
  EXPECT_EQ(readFile(types()), "");
  raw("types.txt", "old content\nmore\n");
  runPass(InfBuilder().file(in).typesFile(types()));
  EXPECT_EQ(readFile(types()), "");
}

TEST_F(TypesFileTest, LongerOldContentIsTruncated) {
  raw("types.txt", std::string(10000, 'z') + "\n");
  runPass(InfBuilder().file(csv("in.csv", {{"a"}, {"1"}})).typesFile(types()));
  EXPECT_EQ(readFile(types()), "a\nint\n");
}

TEST_F(TypesFileTest, EmptyHeaderCellsAppearUnderTheirGeneratedNames) {
  const std::string in = csv("in.csv", {{"", "b", ""}, {"1", "2", "3"}});
  Inf inf = runPass(InfBuilder().file(in).typesFile(types()));
  EXPECT_EQ(readLines(types()), (Lines{"Unitled_1,b,Unitled_2", "int,int,int"}));
  inf.inferTypes();
  EXPECT_EQ(readLines(types()), (Lines{"Unitled_3,b,Unitled_4", "int,int,int"}));
}

TEST_F(TypesFileTest, CrLfInputStillGivesLineFeeds) {
  const std::string in = raw("in.csv", "a,b\r\n1,x\r\n\r\n");
  runPass(InfBuilder().file(in).typesFile(types()));
  EXPECT_EQ(readFile(types()), "a,b\nint,other\nother\n");
}

// Entries are joined by "," with no quoting, so names are written as they are.
TEST_F(TypesFileTest, NamesAreWrittenUnchanged) {
  const std::string in = raw("in.csv", "\"x,y\",\"q\"\"\",\"l\nm\"\n1,a,b\n");
  runPass(InfBuilder()
              .file(in)
              .patterns({{"int,num", {"[0-9]+"}}, {"say \"a\"", {"a"}}})
              .typesFile(types()));
  EXPECT_EQ(readFile(types()), "x,y,q\",l\nm\nint,num,say \"a\",other\n");
}

class TypesFileModes : public EngineParamTest<bool> {};

TEST_P(TypesFileModes, ShortAndLongRowsGiveOneEntryPerClassifiedField) {
  const std::string in = raw("in.csv", "a,b,c\n1,2,3\n4\nx,5\n\n6,7,8,9,10\n");
  Inf inf = runPass(InfBuilder().file(in).parallel(GetParam()).typesFile(path("types.txt")));
  EXPECT_EQ(readFile(path("types.txt")),
            "a,b,c\nint,int,int\nint\nother,int\nother\nint,int,int\n");
  EXPECT_EQ(inf.getNumRows(), 5u);
}

INSTANTIATE_TEST_SUITE_P(TypesFile, TypesFileModes, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "parallel" : "sequential");
                         });

TEST_F(TypesFileTest, UnreadableInputLeavesAnExistingFileUntouched) {
  raw("types.txt", "earlier\nlines\n");
  Inf inf = InfBuilder().file(path("missing.csv")).typesFile(types()).build();
  EXPECT_THROW(inf.inferTypes(), csv::StreamError);
  EXPECT_EQ(readFile(types()), "earlier\nlines\n");
}

TEST_F(TypesFileTest, NothingWrittenWhenSwitchedOff) {
  Inf inf = runPass(InfBuilder().file(csv("in.csv", {{"a"}, {"1"}})));
  inf.setTypesFilepath(types());
  inf.inferTypes();
  EXPECT_FALSE(fs::exists(types()));
}

// Paths the types file cannot be opened at. Each is tried on a session that
// holds the results of an earlier pass, which must survive untouched.
struct BadPathCase {
  const char* name;
  std::string (*typesPath)(const TempDir& dir, const std::string& input);
};

void PrintTo(const BadPathCase& c, std::ostream* os) { *os << c.name; }

class TypesFileBadPath : public EngineParamTest<BadPathCase> {};

TEST_P(TypesFileBadPath, RaisesBeforeAnythingIsClassified) {
  const std::string earlier = csv("earlier.csv", {{"a", "b"}, {"1", "x"}, {"2", "y"}});
  const std::string in = csv("in.csv", {{"a", "c"}, {"3", "4"}});
  const std::string inputText = readFile(in);
  fs::create_directory(dir.file("folder"));

  Inf inf = runPass(InfBuilder().file(earlier));
  const auto counts = inf.getColTypeCandidates();
  const std::string typesPath = GetParam().typesPath(dir, in);
  inf.setFilepath(in);
  inf.setSaveTypesFile(true);
  inf.setTypesFilepath(typesPath);

  const CaughtError err = catchError([&] { inf.inferTypes(); });
  ASSERT_TRUE(err.thrown);
  EXPECT_TRUE(startsWith(err.message, "Cannot open types file: ")) << err.message;
  EXPECT_NE(err.message.find(typesPath, 24), std::string::npos) << err.message;
  EXPECT_EQ(err.type, typeid(TypesFileError).name());
  EXPECT_EQ(inf.getNumRows(), 0u);
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(inf.getColTypeCandidates(), counts);
  EXPECT_EQ(readFile(in), inputText);
}

INSTANTIATE_TEST_SUITE_P(
    TypesFile, TypesFileBadPath,
    ::testing::Values(
        BadPathCase{"missing_folder",
                    [](const TempDir& d, const std::string&) { return d.file("nope/types.txt"); }},
        BadPathCase{"empty_path", [](const TempDir&, const std::string&) { return std::string(); }},
        BadPathCase{"a_folder",
                    [](const TempDir& d, const std::string&) { return d.file("folder"); }},
        BadPathCase{"the_input_itself", [](const TempDir&, const std::string& in) { return in; }},
        BadPathCase{
            "the_input_by_another_spelling",
            [](const TempDir& d, const std::string&) { return d.file("folder/../in.csv"); }},
        BadPathCase{"a_link_to_the_input",
                    [](const TempDir& d, const std::string& in) {
                      fs::create_symlink(in, d.file("link.csv"));
                      return d.file("link.csv");
                    }}),
    CaseName());

// /dev/full accepts the open and fails every write: the pass finishes and
// only then reports the failure.
TEST_P(TypesFileModes, WriteFailureIsReportedAfterACompletePass) {
  const std::string in = csv("in.csv", {{"a", "b"}, {"1", "x"}, {"NA", "2"}});
  Inf inf = InfBuilder().file(in).parallel(GetParam()).typesFile("/dev/full").build();
  const CaughtError err = catchError([&] { inf.inferTypes(); });
  ASSERT_TRUE(err.thrown);
  EXPECT_TRUE(startsWith(err.message, "Cannot write types file: ")) << err.message;
  EXPECT_NE(err.message.find("/dev/full"), std::string::npos) << err.message;
  EXPECT_EQ(err.type, typeid(TypesFileError).name());
  EXPECT_EQ(inf.getNumRows(), 2u);
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(countsFor(inf, "a"), (Inf::TypeCounts{{"int", 1}, {"other", 0}, {"NA", 1}}));
  EXPECT_EQ(countsFor(inf, "b"), (Inf::TypeCounts{{"int", 1}, {"other", 1}, {"NA", 0}}));
}

// More output than a stream buffer holds, so writes fail during the pass
// and not only when the file is closed.
TEST_F(TypesFileTest, WriteFailureMidPassStillCompletesThePass) {
  std::vector<Row> rows = {{"a"}};
  for (int i = 0; i < 20000; ++i) rows.push_back({std::to_string(i)});
  Inf inf = InfBuilder().file(csv("in.csv", rows)).typesFile("/dev/full").build();
  const CaughtError err = catchError([&] { inf.inferTypes(); });
  EXPECT_TRUE(startsWith(err.message, "Cannot write types file: ")) << err.message;
  EXPECT_EQ(inf.getNumRows(), 20000u);
  EXPECT_EQ(countsFor(inf, "a").at("int"), 20000u);
}

}  // namespace
