// libFuzzer target for a whole inference pass. The fuzzed bytes become a CSV
// file; a pass runs over it sequentially and in parallel, with the types file
// on, and both must give exactly what an independent reading of the file
// predicts: row count, column names, every count and every types-file line.
//
// The pattern table is chosen so that no text matches two types. Then the
// order in which columns meet a text cannot change its type, so the parallel
// pass is fully determined too (the one case where the modes may differ
// needs a text that two types match).
//
// Input layout: byte 0 is the delimiter, byte 1 picks the cache window, the
// rest is the file.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "csv/parser.h"
#include "inf.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

const Inf::PatternSources& patterns() {
  static const Inf::PatternSources table = {
      {"int", {"[0-9]+", "-[0-9]+"}},
      {"float", {"-?[0-9]*\\.[0-9]+"}},
      {"word", {"[A-Za-z]+"}},
      {"spaced", {" +[^ ]*"}},
  };
  return table;
}

const std::unordered_set<std::string>& naValues() {
  static const std::unordered_set<std::string> na = {"NA", "", "-"};
  return na;
}

// Classifies a text the plain way: every expression of every type tried.
std::string classify(const std::string& v) {
  static const Inf::PatternTable compiled = [] {
    Inf::PatternTable t;
    for (const auto& e : patterns())
      for (const auto& src : e.second) t[e.first].emplace_back(src);
    return t;
  }();
  if (naValues().count(v) != 0) return "NA";
  std::string found = "other";
  int matches = 0;
  for (const auto& e : compiled) {
    for (const auto& re : e.second) {
      if (boost::regex_match(v, re)) {
        found = e.first;
        ++matches;
        break;
      }
    }
  }
  // Guards the premise above: the table must stay free of overlaps.
  check(matches <= 1);
  return found;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Expected {
  uint64_t numRows = 0;
  std::vector<std::string> columns;
  Inf::ColumnCounts counts;
  std::string typesFile;
};

Expected predict(const std::string& body, char delim) {
  Expected e;
  std::istringstream in(body);
  csv::CsvParser parser(in);
  parser.delimiter(delim);
  std::vector<std::vector<std::string>> rows;
  for (const auto& row : parser) rows.push_back(row);
  if (rows.empty()) return e;

  int untitled = 0;
  for (size_t c = 0; c < rows[0].size(); ++c) {
    std::string name = rows[0][c];
    if (name.empty()) name = "Unitled_" + std::to_string(++untitled);
    e.columns.push_back(name);
    auto& counts = e.counts[name];
    counts.clear();
    for (const auto& p : patterns()) counts[p.first] = 0;
    counts["other"] = 0;
    counts["NA"] = 0;
    if (c != 0) e.typesFile += ',';
    e.typesFile += name;
  }
  e.typesFile += '\n';
  for (size_t r = 1; r < rows.size(); ++r) {
    const size_t width = std::min(rows[r].size(), e.columns.size());
    for (size_t c = 0; c < width; ++c) {
      const std::string type = classify(rows[r][c]);
      ++e.counts[e.columns[c]][type];
      if (c != 0) e.typesFile += ',';
      e.typesFile += type;
    }
    e.typesFile += '\n';
  }
  e.numRows = rows.size() - 1;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const int kWindows[8] = {1000, 1, 2, 3, 0, -1, 7, INT_MIN};
  const char delim = static_cast<char>(data[0]);
  const int window = kWindows[data[1] & 7];
  const std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);

  static const std::string dir = [] {
    const char* t = std::getenv("TMPDIR");
    return std::string(t && *t ? t : "/tmp");
  }();
  static const std::string csvPath = dir + "/quorle_fuzz_pass_" + std::to_string(getpid()) + ".csv";
  static const std::string typesPath =
      dir + "/quorle_fuzz_pass_" + std::to_string(getpid()) + ".types";
  {
    std::ofstream out(csvPath, std::ios::binary | std::ios::trunc);
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    out.close();
    check(!out.fail());
  }

  const Expected want = predict(body, delim);
  for (const bool parallel : {false, true}) {
    std::remove(typesPath.c_str());
    Inf inf(csvPath, delim, patterns(), naValues(), parallel, true, typesPath, window);
    try {
      inf.inferTypes();
    } catch (const std::exception&) {
      // A regular file with a trivial table leaves nothing that may fail.
      check(false);
    }
    check(inf.getNumRows() == want.numRows);
    check(inf.getColNames() == want.columns);
    check(inf.getColTypeCandidates() == want.counts);
    check(readFile(typesPath) == want.typesFile);
  }
  return 0;
}
