// Shared setup for the engine tests: a scratch directory per test, CSV
// writers, an Inf builder with defaults a test overrides, and readers for
// the types file and the counts.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <typeinfo>
#include <unordered_set>
#include <utility>
#include <vector>

#include "inf.h"

namespace engine_test {

namespace fs = std::filesystem;

using Row = std::vector<std::string>;
using Lines = std::vector<std::string>;

// A fresh directory under the system temp folder, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "quorle-engine-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline std::string writeRaw(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write test file " + path);
  return path;
}

// Joins the fields with the delimiter and ends every row with "\n". Fields
// are written verbatim: a test that needs quoting writes it into the field.
inline std::string csvText(const std::vector<Row>& rows, char delimiter = ',') {
  std::string text;
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      if (i != 0) text.push_back(delimiter);
      text += row[i];
    }
    text.push_back('\n');
  }
  return text;
}

inline std::string writeCsv(const std::string& path, const std::vector<Row>& rows,
                            char delimiter = ',') {
  return writeRaw(path, csvText(rows, delimiter));
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read test file " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of a file split at "\n". A last line without its "\n" is kept
// as well; tests that care about line ends check readFile.
inline Lines readLines(const std::string& path) {
  const std::string text = readFile(path);
  Lines lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Builds an Inf. Defaults: comma delimiter, one type "int" of digit runs,
// "NA" as the only missing value, sequential, no types file, and a window
// large enough that no test file reaches it.
class InfBuilder {
 public:
  InfBuilder& file(std::string path) {
    filepath_ = std::move(path);
    return *this;
  }
  InfBuilder& delimiter(char c) {
    delimiter_ = c;
    return *this;
  }
  InfBuilder& patterns(Inf::PatternSources p) {
    patterns_ = std::move(p);
    return *this;
  }
  InfBuilder& na(std::unordered_set<std::string> values) {
    na_ = std::move(values);
    return *this;
  }
  InfBuilder& parallel(bool on = true) {
    multithreading_ = on;
    return *this;
  }
  InfBuilder& typesFile(std::string path) {
    saveTypesFile_ = true;
    typesFilepath_ = std::move(path);
    return *this;
  }
  InfBuilder& window(int w) {
    window_ = w;
    return *this;
  }

  Inf build() const {
    return Inf(filepath_, delimiter_, patterns_, na_, multithreading_, saveTypesFile_,
               typesFilepath_, window_);
  }

 private:
  std::string filepath_;
  char delimiter_ = ',';
  Inf::PatternSources patterns_ = {{"int", {"[0-9]+"}}};
  std::unordered_set<std::string> na_ = {"NA"};
  bool multithreading_ = false;
  bool saveTypesFile_ = false;
  std::string typesFilepath_;
  int window_ = 1000000;
};

// A pass with the builder's settings; the session is returned for queries.
inline Inf runPass(const InfBuilder& builder) {
  Inf inf = builder.build();
  inf.inferTypes();
  return inf;
}

// The counts of one column; an absent column fails the test and gives an
// empty table.
inline Inf::TypeCounts countsFor(const Inf& inf, const std::string& column) {
  const Inf::ColumnCounts all = inf.getColTypeCandidates();
  auto it = all.find(column);
  if (it == all.end()) {
    ADD_FAILURE() << "no counts for column \"" << column << "\"";
    return {};
  }
  return it->second;
}

// The table a header row seeds: every type name of the session's pattern
// table, "other" and "NA", all at 0.
inline Inf::TypeCounts seededCounts(const Inf& inf) {
  Inf::TypeCounts counts;
  for (const auto& entry : inf.getColTypePatterns()) counts[entry.first] = 0;
  counts["other"] = 0;
  counts["NA"] = 0;
  return counts;
}

// Runs a pass over a header-only file so that getColType can be called
// directly for these columns.
inline void seedHeader(Inf& inf, const TempDir& dir, const Row& header,
                       const std::string& name = "header.csv") {
  inf.setFilepath(writeCsv(dir.file(name), {header}));
  inf.inferTypes();
}

// Classifies fields[c] with the session's own pattern table and returns the
// type name it got.
inline std::string classify(Inf& inf, const Row& fields, int c) {
  std::vector<std::string> types(fields.size());
  inf.getColType(fields, c, inf.colTypePatterns, types);
  return types[static_cast<size_t>(c)];
}

// Scratch files of one test, mixed into the fixtures below.
class ScratchFiles {
 protected:
  TempDir dir;

  std::string path(const std::string& name) const { return dir.file(name); }
  std::string csv(const std::string& name, const std::vector<Row>& rows, char delimiter = ',') {
    return writeCsv(dir.file(name), rows, delimiter);
  }
  std::string raw(const std::string& name, const std::string& text) {
    return writeRaw(dir.file(name), text);
  }
};

class EngineTest : public ::testing::Test, public ScratchFiles {};

template <typename Param>
class EngineParamTest : public ::testing::TestWithParam<Param>, public ScratchFiles {};

// A long run of "a" that makes the pattern "(a*)*b" exceed the regex
// library's complexity limit.
inline std::string complexityBomb() { return std::string(40, 'a'); }
inline const char* bombPattern() { return "(a*)*b"; }

// What an exception looked like, to compare the sequential and parallel ones.
// Every extra of two passes that must agree (a split and the sequential pass):
// row widths, longest fields, examples, per-column tallies and digits, quirks, skipped
// lines and blank lines kept as rows.
inline void expectSameExtras(const Inf::Extras& a, const Inf::Extras& b, const std::string& where) {
  EXPECT_EQ(a.rowWidths, b.rowWidths) << where;
  EXPECT_EQ(a.maxLengths, b.maxLengths) << where;
  EXPECT_EQ(a.examples, b.examples) << where;
  EXPECT_EQ(a.naSpellings, b.naSpellings) << where;
  EXPECT_EQ(a.invalidUtf8, b.invalidUtf8) << where;
  EXPECT_EQ(a.fitsDouble, b.fitsDouble) << where;
  EXPECT_EQ(a.fitsInt64, b.fitsInt64) << where;
  EXPECT_EQ(a.intDigits, b.intDigits) << where;
  EXPECT_EQ(a.fracDigits, b.fracDigits) << where;
  EXPECT_EQ(a.untitledCells, b.untitledCells) << where;
#define QUORLE_EXPECT_SAME_QUIRK(member, key, group, merge) \
  EXPECT_EQ(a.quirks.member, b.quirks.member) << where << ": " key;
#define QUORLE_EXPECT_SAME_LINES(member, key, group, merge) \
  EXPECT_EQ(a.member, b.member) << where << ": " key;
  QUORLE_QUIRK_FIELDS(QUORLE_EXPECT_SAME_QUIRK)
  QUORLE_LINE_FIELDS(QUORLE_EXPECT_SAME_LINES)
#undef QUORLE_EXPECT_SAME_QUIRK
#undef QUORLE_EXPECT_SAME_LINES
}

struct CaughtError {
  bool thrown = false;
  std::string type;
  std::string message;
};

template <typename F>
CaughtError catchError(F&& f) {
  CaughtError e;
  try {
    f();
  } catch (const std::exception& ex) {
    e.thrown = true;
    e.type = typeid(ex).name();
    e.message = ex.what();
  }
  return e;
}

// The library's own error for the bomb, as a pass must let it through.
inline CaughtError bombError() {
  return catchError([] { boost::regex_match(complexityBomb(), boost::regex(bombPattern())); });
}

// Test names and failure messages of table-driven cases come from the
// case's "name" field.
struct CaseName {
  template <typename P>
  std::string operator()(const ::testing::TestParamInfo<P>& info) const {
    return info.param.name;
  }
};

inline bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace engine_test
