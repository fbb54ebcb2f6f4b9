// libFuzzer target for a whole inference pass. The fuzzed bytes become a CSV
// file; a pass runs over it, sequentially or in parallel, with the types file
// on, and must give exactly what the reference pass predicts: row count,
// column names, every count and every types-file line.
//
// The pattern table is chosen so that no text matches two types. Then the
// order in which columns meet a text cannot change its type, so the parallel
// pass is fully determined too (the one case where the modes may differ
// needs a text that two types match).
//
// Input layout: byte 0 is the delimiter, byte 1 picks the cache window (bits
// 0-2) and the mode (bits 3-5 all set: parallel), the rest is the file.
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
#include "reference_pass.h"

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

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string& scratch(const char* suffix) {
  static const std::string dir = [] {
    const char* t = std::getenv("TMPDIR");
    return std::string(t && *t ? t : "/tmp");
  }();
  static std::unordered_map<std::string, std::string> paths;
  auto& path = paths[suffix];
  if (path.empty()) path = dir + "/quorle_fuzz_pass_" + std::to_string(getpid()) + suffix;
  return path;
}

// The table is compiled once per process; every input runs on a fresh copy
// of this session, so nothing carries from one input to the next.
const Inf& baseSession() {
  static const Inf base = [] {
    Inf inf(scratch(".csv"), ',', patterns(), naValues(), false, true, scratch(".types"), 1000);
    const auto overlaps = inf.typeOverlaps();
    // The premise above: no text matches two types.
    check(overlaps && overlaps->empty());
    return inf;
  }();
  return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  constexpr size_t kMaxParallel = 512;
  static const int kWindows[8] = {1000, 1, 2, 3, 0, -1, 7, INT_MIN};
  const char delim = static_cast<char>(data[0]);
  const int window = kWindows[data[1] & 7];
  // A thread per field is slow: one short input in eight runs in parallel.
  const bool parallel = (data[1] & 0x38) == 0x38 && size <= kMaxParallel;
  const std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);
  {
    std::ofstream out(scratch(".csv"), std::ios::binary | std::ios::trunc);
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    out.close();
    check(!out.fail());
  }

  Inf inf(baseSession());
  inf.setDelimiter(delim);
  inf.setRollingCacheWindow(window);
  inf.setMultithreading(parallel);
  reference::Session want;
  std::vector<std::string> lines;
  want.pass(body, inf.colTypePatterns, window, naValues(), lines, delim);
  std::string typesFile;
  for (const auto& line : lines) typesFile += line + '\n';

  std::remove(scratch(".types").c_str());
  try {
    inf.inferTypes();
  } catch (const std::exception&) {
    // A regular file with a trivial table leaves nothing that may fail.
    check(false);
  }
  check(inf.getNumRows() == want.numRows);
  check(inf.getColNames() == want.columns);
  check(inf.getColTypeCandidates() == want.counts);
  check(readFile(scratch(".types")) == typesFile);
  return 0;
}
