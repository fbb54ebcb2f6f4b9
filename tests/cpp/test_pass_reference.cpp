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

#include "csv_model.h"
#include "engine_builders.h"
#include "inf.h"

namespace {

using engine_test::TempDir;
using Counts = std::unordered_map<std::string, std::unordered_map<std::string, unsigned long>>;

struct Reference {
  Counts counts;
  std::vector<std::string> lines;
};

Reference referencePass(const std::string& text, const Inf& inf, int window,
                        const std::unordered_set<std::string>& na) {
  Reference ref;
  std::vector<std::pair<std::string, std::vector<boost::regex>>> table(inf.colTypePatterns.begin(),
                                                                       inf.colTypePatterns.end());
  std::unordered_map<std::string, std::string> cache;
  std::unordered_map<std::string, std::vector<std::string>> order;
  std::vector<std::string> columns;
  uint64_t n = 0;
  for (const auto& row : csv_model::rows(text)) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      if (n == 0) {
        columns.push_back(row[c]);
        auto& counts = ref.counts[row[c]];
        counts.clear();
        for (const auto& t : table) counts[t.first] = 0;
        counts["other"] = 0;
        counts["NA"] = 0;
        auto& o = order[row[c]];
        o.clear();
        for (const auto& t : table) o.push_back(t.first);
        line += (c ? "," : "") + row[c];
        continue;
      }
      if (c >= columns.size()) break;
      const std::string& v = row[c];
      std::string type;
      if (na.count(v)) {
        type = "NA";
      } else if (!cache[v].empty()) {
        type = cache[v];
      } else {
        type = "other";
        auto& o = order[columns[c]];
        for (size_t ti = 0; ti < o.size() && type == "other"; ++ti) {
          for (const auto& t : table) {
            if (t.first != o[ti]) continue;
            for (const auto& re : t.second) {
              if (boost::regex_match(v, re)) {
                type = o[ti];
                std::swap(o[0], o[ti]);
                break;
              }
            }
          }
        }
        cache[v] = type;
      }
      ++ref.counts[columns[c]][type];
      line += (c ? "," : "") + type;
    }
    ref.lines.push_back(line);
    ++n;
    if (window > 0 && n % static_cast<uint64_t>(window) == 0) cache.clear();
  }
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
    ASSERT_GT(text.size(), 3u * 131072u);
    const std::string path = engine_test::writeRaw(dir.file("in.csv"), text);
    const std::string typesPath = dir.file("types.csv");
    Inf inf(path, ',', patterns, na, false, true, typesPath, window);
    const Reference ref = referencePass(text, inf, window, na);
    inf.inferTypes();
    EXPECT_EQ(inf.getColTypeCandidates(), ref.counts) << "window " << window;
    EXPECT_EQ(engine_test::readLines(typesPath), ref.lines) << "window " << window;
  }
}
