#include "split_pass.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include "csv/parser.h"
#include "pass_watch.h"
#include "range_chain.h"

namespace {

// Row starts a range keeps for reading its tail again: beyond that the tail
// is found by tokenizing from the range's start. The fuzz build keeps few,
// so that short inputs take that way too.
#ifdef QUORLE_SMALL_TABLES
constexpr size_t MAX_ROW_STARTS = 4;
#else
constexpr size_t MAX_ROW_STARTS = size_t{1} << 20;
#endif

// How often the thread that started a watched pass checks its watch while
// the ranges' threads read.
constexpr std::chrono::milliseconds WATCH_SLICE{50};

// The threads of the ranges after the first: each reports to the watch of
// the pass, and the starting thread waits for them in slices, answering its
// watch's checks (such as for signals) between them.
class RangeThreads {
 public:
  RangeThreads() : m_watch(PassWatch::current()) {}

  // Throws std::system_error when no thread can be started.
  template <class Work>
  std::thread start(Work work) {
    changeRunning(+1);
    try {
      return std::thread([this, work] {
        {
          const PassWatch::Scope scope(m_watch, nullptr);
          work();
        }
        changeRunning(-1);
      });
    } catch (...) {
      changeRunning(-1);
      throw;
    }
  }

  // Until every thread has finished; a check that stops the pass cancels
  // the watch, which the threads then see within a block.
  void await() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running > 0) {
      m_finished.wait_for(lock, WATCH_SLICE);
      if (m_running == 0 || !m_watch || m_watch->cancelled()) continue;
      lock.unlock();
      try {
        PassWatch::checkCurrent();
      } catch (const PassStopped&) {
        // The threads stop now; the ranges' errors say the rest.
      }
      lock.lock();
    }
  }

 private:
  PassWatch* m_watch;
  std::mutex m_mutex;
  std::condition_variable m_finished;
  int m_running = 0;

  void changeRunning(int by) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_running += by;
    m_finished.notify_all();
  }
};

}  // namespace

std::string SplitPass::run(const std::vector<uint64_t>& cuts) {
  const int untitledBefore = inf.untitledCols;
  uint64_t dataStart = 0;
  readHeader(dataStart);
  std::vector<uint64_t> starts{dataStart};
  for (const uint64_t cut : cuts) starts.push_back(std::max(cut, starts.back()));
  std::vector<uint64_t> ends(starts.begin() + 1, starts.end());
  ends.push_back(RangePass::NO_END);
  bool foreignLeft = false;
  try {
    classifyRanges(starts, ends);
    verifyBoundaries();
    // Earlier entries last until the window first empties the cache, which
    // only the first range places where the sequential pass does.
    const uint64_t headerRows = inf.parseOptions.header ? 1 : 0;
    foreignLeft =
        inf.cache.foreign && ranges[0].rows + headerRows < uint64_t(inf.rollingCacheWindow);
    if (!foreignLeft) commit(keepCache ? cacheLeftBehind() : ValueCache{});
  } catch (...) {
    // A stopped pass stops: read again, it would stop at its first block.
    const PassWatch* watch = PassWatch::current();
    if (watch && watch->cancelled()) throw;
    // Which error a sequential pass raises, and the counts it leaves, can
    // depend on its order: only that pass gives them.
    return fallBack(untitledBefore, RANGE_ERROR);
  }
  if (foreignLeft) return fallBack(untitledBefore, FOREIGN_CACHE);
  return "";
}

std::string SplitPass::fallBack(int untitledBefore, const char* reason) {
  inf.untitledCols = untitledBefore;
  inf.inferTypes();
  return reason;
}

void SplitPass::readHeader(uint64_t& dataStart) {
  inf.n = 0;
  leadIn = inf.startExtras();
  const Inf::Header header = inf.readLeadIn(inf.untitledCols, leadIn);
  inf.columns = header.names;
  for (const auto& name : inf.columns) inf.seedColumn(name);
  dataStart = header.dataStart;
}

void SplitPass::classifyRanges(const std::vector<uint64_t>& starts,
                               const std::vector<uint64_t>& ends) {
  ranges.assign(starts.size(), Inf::RangeResult{});
  std::vector<std::exception_ptr> errors(starts.size());
  const size_t keep = rowStartsToKeep();
  auto classify = [&](size_t i) {
    try {
      const ValueCache* sessionCache = i == 0 && inf.cache.foreign ? &inf.cache : nullptr;
      ranges[i] = inf.classifyRange(starts[i], ends[i], inf.columns, i > 0, keep, sessionCache);
    } catch (...) {
      errors[i] = std::current_exception();
    }
  };
  RangeThreads running;
  std::vector<std::thread> threads(starts.size());
  for (size_t i = 1; i < starts.size(); ++i) {
    try {
      threads[i] = running.start([&classify, i] { classify(i); });
    } catch (const std::system_error&) {
      // Out of threads: this range runs after the first, on this one.
    }
  }
  classify(0);
  for (size_t i = 1; i < starts.size(); ++i)
    if (!threads[i].joinable()) classify(i);
  running.await();
  for (auto& thread : threads)
    if (thread.joinable()) thread.join();
  for (const auto& error : errors)
    if (error) std::rethrow_exception(error);
}

void SplitPass::verifyBoundaries() {
  chainRanges(
      ranges.size(), [&](size_t i) { return ranges[i].start; },
      [&](size_t i) { return ranges[i].next; },
      [&](size_t i, uint64_t start) {
        ranges[i] = inf.classifyRange(start, ranges[i].end, inf.columns, false, rowStartsToKeep());
      });
}

size_t SplitPass::rowStartsToKeep() const {
  if (!keepCache || inf.rollingCacheWindow <= 0) return 0;
  return std::min(static_cast<size_t>(inf.rollingCacheWindow), MAX_ROW_STARTS);
}

uint64_t SplitPass::rowOffset(const Inf::RangeResult& range, uint64_t row) const {
  uint64_t offset = 0;
  if (range.starts.find(row, offset)) return offset;
  std::ifstream input(inf.filepath, std::ios::binary);
  input.seekg(static_cast<std::streamoff>(range.start));
  const WatchedInput watched(input);
  csv::CsvParser parser(input);
  parser.delimiter(inf.delimiter);
  RowCursor cursor(parser, inf.parseOptions);
  struct Counter : RowSink {
    uint64_t left = 0;
    bool row(std::streamoff, size_t) { return --left > 0; }
  } counter;
  counter.left = row;
  if (row > 0) cursor.read(counter);
  return range.start + static_cast<uint64_t>(cursor.position());
}

// A sequential pass counts the header (if the file has one) as row 1 and
// empties the cache after
// each row whose number the window divides; it is never emptied for a window
// of 0 or less. A range after the tail's start holds fewer rows than the
// window, so its own cache was never emptied and holds all its texts.
ValueCache SplitPass::cacheLeftBehind() const {
  uint64_t dataRows = 0;
  for (const auto& range : ranges) dataRows += range.rows;
  const uint64_t headerRows = inf.parseOptions.header ? 1 : 0;
  const uint64_t total = inf.columns.empty() ? 0 : dataRows + headerRows;
  const uint64_t window = inf.rollingCacheWindow > 0 ? uint64_t(inf.rollingCacheWindow) : 0;
  ValueCache after;
  if (window == 0 || total < window) {
    after = inf.cache;
    after.materialise();
    for (const auto& range : ranges) after.absorb(range.cache);
    return after;
  }
  const uint64_t lastEmptied = total / window * window;
  if (lastEmptied == total) return after;
  // The first data row (from 0) after the last emptying.
  const uint64_t tail = lastEmptied - headerRows;
  uint64_t first = 0;
  size_t k = 0;
  while (first + ranges[k].rows <= tail) first += ranges[k++].rows;
  const Inf::RangeResult& holding = ranges[k];
  if (tail == first) {
    after.absorb(holding.cache);
  } else {
    const uint64_t from = rowOffset(holding, tail - first);
    after = inf.classifyRange(from, holding.next, inf.columns, false, 0).cache;
    after.materialise();
  }
  for (size_t i = k + 1; i < ranges.size(); ++i) after.absorb(ranges[i].cache);
  return after;
}

void SplitPass::commit(ValueCache cacheAfter) {
  PassExtras extras = inf.startExtras();
  if (inf.extrasOptions.on())
    extras.start(static_cast<int>(inf.columns.size()), inf.table.typeCount());
  extras.merge(leadIn);
  for (const auto& range : ranges) {
    inf.n += range.rows;
    for (size_t u = 0; u < range.names.size(); ++u) {
      Inf::ColumnState& state = inf.columnStates[range.names[u]];
      for (size_t id = 0; id < range.counts[u].size(); ++id)
        if (range.counts[u][id] != 0) state.add(static_cast<int>(id), range.counts[u][id]);
    }
    extras.merge(range.extras);
  }
  inf.lastExtras = std::move(extras);
  inf.cache = std::move(cacheAfter);
}
