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
// 0-2) and the mode (bits 3-5 all set: parallel, for an input of at most 128
// bytes), the rest is the file.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "csv/parser.h"
#include "fuzz_support.h"
#include "inf.h"
#include "reference_pass.h"

namespace harness {

std::string readFile(const std::string& path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return out;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

const std::string& inputPath() {
  static const std::string path = scratch("fuzz_pass", ".csv");
  return path;
}

const std::string& typesPath() {
  static const std::string path = scratch("fuzz_pass", ".types");
  return path;
}

// The table is compiled once per process; every input runs on a fresh copy
// of this session, so nothing carries from one input to the next.
const Inf& baseSession() {
  static const Inf base = [] {
    Inf inf(inputPath(), ',', patterns(), naValues(), false, true, typesPath(), 1000);
    const auto overlaps = inf.typeOverlaps();
    // The premise above: no text matches two types.
    check(overlaps && overlaps->empty());
    return inf;
  }();
  return base;
}

}  // namespace harness

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace harness;
  if (size < 2) return 0;
  // A thread per field costs far more than a sequential pass, above all
  // under the sanitizers: one input in eight, and only a short one, runs in
  // parallel. That still gives rows across blocks and repeated column names.
  constexpr size_t kMaxParallel = 128;
  static const int kWindows[8] = {1000, 1, 2, 3, 0, -1, 7, INT_MIN};
  const char delim = static_cast<char>(data[0]);
  const int window = kWindows[data[1] & 7];
  const bool parallel = (data[1] & 0x38) == 0x38 && size <= kMaxParallel;
  const std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);
  writeFile(inputPath(), body);

  Inf inf(baseSession());
  inf.setDelimiter(delim);
  inf.setRollingCacheWindow(window);
  inf.setMultithreading(parallel);
  reference::Session want;
  std::vector<std::string> lines;
  want.pass(body, inf.colTypePatterns, window, naValues(), lines, delim);
  std::string typesFile;
  for (const auto& line : lines) typesFile.append(line).push_back('\n');

  unlink(typesPath().c_str());
  try {
    inf.inferTypes();
  } catch (const std::exception&) {
    // A regular file with a trivial table leaves nothing that may fail.
    check(false);
  }
  check(inf.getNumRows() == want.numRows);
  check(inf.getColNames() == want.columns);
  check(inf.getColTypeCandidates() == want.counts);
  check(readFile(typesPath()) == typesFile);
  return 0;
}
