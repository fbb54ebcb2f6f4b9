// The split pass: one file cut into byte ranges, each classified on a thread
// of its own by a RangePass, and merged into exactly what one sequential pass
// leaves. A range after the first guesses its first row start; the range
// before it reads its last row past the cut and reports the true one, and a
// range that guessed wrong is read again from there. The reading settings are
// honoured: the preamble and the header (or a headerless file's naming) are
// decided before the cuts, and every range skips blank and comment rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inf.h"

class SplitPass {
 public:
  // Why a split ends up read on one core: an earlier table's cached entries
  // decide texts in rows past the first range, or a range raised.
  static constexpr const char* FOREIGN_CACHE = "the cache holds an earlier table's entries";
  static constexpr const char* RANGE_ERROR = "a range raised an error";

  // Without keepCache the session is left with an empty value cache (see
  // Inf::inferSplit).
  explicit SplitPass(Inf& inf, bool keepCache = true) : inf(inf), keepCache(keepCache) {}

  // Runs the pass with ranges cut at `cuts` (ascending byte offsets) and
  // leaves the session as Inf::inferTypes() would. Returns "" when it
  // split; otherwise runs inferTypes() and returns why.
  std::string run(const std::vector<uint64_t>& cuts);

 private:
  Inf& inf;
  const bool keepCache;
  std::vector<Inf::RangeResult> ranges;
  // What was skipped and counted before the first data row.
  PassExtras leadIn;

  void readHeader(uint64_t& dataStart);
  // Runs inferTypes() in place of the split, as if it had not started.
  std::string fallBack(int untitledBefore, const char* reason);
  // Classifies every range at once, one thread each.
  void classifyRanges(const std::vector<uint64_t>& starts, const std::vector<uint64_t>& ends);
  // Reads again, in order, each range whose guessed start was not the true one.
  void verifyBoundaries();
  // The cache a sequential pass would leave: the texts since the window last
  // emptied it.
  ValueCache cacheLeftBehind() const;
  // Where the range's row `row` (from its first) starts.
  uint64_t rowOffset(const Inf::RangeResult& range, uint64_t row) const;
  void commit(ValueCache cacheAfter);
  size_t rowStartsToKeep() const;
};
