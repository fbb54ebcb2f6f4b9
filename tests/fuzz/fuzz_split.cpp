// libFuzzer target for the split pass. The fuzzed bytes become a CSV file,
// cut into ranges at fuzzed offsets; the split pass must leave exactly what
// the sequential pass leaves on the same settings: row count, column names,
// counts, extras, and a cache that answers a following pass the same way,
// also when the cache starts with an earlier table's entries.
//
// Input layout: byte 0 is the delimiter, byte 1 picks the cache window (bits
// 0-2), the number of cuts (bits 3-5) and how rows are read (bits 6-7), the
// next bytes give the cuts, one byte each as a fraction of the file, and the
// rest is the file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzz_support.h"
#include "inf.h"

namespace harness {

// A table of other types: texts the cache still holds keep their old types,
// so the counts of a pass under it show what the cache held.
const Inf::PatternSources& laterPatterns() {
  static const Inf::PatternSources table = {{"digits", {"[0-9]"}}, {"any", {"[^0-9]*"}}};
  return table;
}

const std::string& inputPath() {
  static const std::string path = scratch("fuzz_split", ".csv");
  return path;
}

// The table is compiled once per process; every input runs on fresh copies.
const Inf& baseSession() {
  static const Inf base = [] {
    Inf inf(inputPath(), ',', patterns(), naValues(), false, false, "", 1000);
    check(inf.splitExact());
    inf.setExtras(2);
    inf.setNumericChecks({"float", "int"}, {"int"});
    return inf;
  }();
  return base;
}

void checkSame(const Inf& split, const Inf& sequential) {
  check(split.getNumRows() == sequential.getNumRows());
  check(split.getColNames() == sequential.getColNames());
  check(split.getColTypeCandidates() == sequential.getColTypeCandidates());
  const Inf::Extras a = split.getExtras();
  const Inf::Extras b = sequential.getExtras();
  check(a.rowWidths == b.rowWidths);
  check(a.maxLengths == b.maxLengths);
  check(a.examples == b.examples);
  check(a.naSpellings == b.naSpellings);
  check(a.invalidUtf8 == b.invalidUtf8);
  check(a.fitsDouble == b.fitsDouble);
  check(a.fitsInt64 == b.fitsInt64);
  check(a.intDigits == b.intDigits && a.fracDigits == b.fracDigits);
  check(a.quirks == b.quirks);
  check(a.blankLines == b.blankLines && a.commentLines == b.commentLines &&
        a.skippedLines == b.skippedLines);
}

// The reading settings byte 1 picks: none, blank lines, and two mixes.
void setReading(Inf& inf, int pick) {
  switch (pick) {
    case 1:
      inf.setReading(true, true, 0, "");
      break;
    case 2:
      inf.setReading(true, false, 0, "#");
      break;
    case 3:
      inf.setReading(true, true, 1, "#");
      break;
    default:
      break;
  }
}

}  // namespace harness

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace harness;
  if (size < 2) return 0;
  static const int kWindows[8] = {1000, 1, 2, 3, 0, -1, 7, 5};
  const char delim = static_cast<char>(data[0]);
  const int window = kWindows[data[1] & 7];
  const size_t numCuts = std::min<size_t>((data[1] >> 3) & 7, size - 2);
  const uint8_t* cutBytes = data + 2;
  const std::string body(reinterpret_cast<const char*>(data) + 2 + numCuts, size - 2 - numCuts);
  std::vector<uint64_t> cuts;
  for (size_t i = 0; i < numCuts; ++i) cuts.push_back(body.size() * cutBytes[i] / 255);
  std::sort(cuts.begin(), cuts.end());
  writeFile(inputPath(), body);

  Inf sequential(baseSession());
  sequential.setDelimiter(delim);
  sequential.setRollingCacheWindow(window);
  setReading(sequential, data[1] >> 6);
  Inf split(sequential);
  sequential.inferTypes();
  check(split.inferSplitAt(cuts).empty());
  checkSame(split, sequential);

  // The cache each left behind decides the texts it holds in the next pass.
  sequential.setColTypePatterns(laterPatterns());
  split.setColTypePatterns(laterPatterns());
  sequential.setRollingCacheWindow(0);
  split.setRollingCacheWindow(0);
  sequential.inferTypes();
  split.inferTypes();
  checkSame(split, sequential);

  // Back to the first table, with the later one's entries cached: they
  // decide their texts until the window first empties the cache.
  sequential.setColTypePatterns(patterns());
  split.setColTypePatterns(patterns());
  sequential.setRollingCacheWindow(window);
  split.setRollingCacheWindow(window);
  sequential.inferTypes();
  const std::string reason = split.inferSplitAt(cuts);
  check(reason.empty() || reason == "the cache holds an earlier table's entries");
  checkSame(split, sequential);
  return 0;
}
