// One classification pass over the rows of a byte range of a CSV file: the
// stages between the tokenizer and the counts. The session (Inf) keeps the
// settings, the compiled table and the results; a pass runs once per range,
// over the session's value cache or a cache of its own.
#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lock_policy.h"
#include "pass_extras.h"
#include "pass_tallies.h"
#include "row_cursor.h"
#include "row_starts.h"
#include "value_cache.h"

class Inf;
namespace csv {
class CsvParser;
}

// What a sequential pass needs to decide fields by their text alone (see
// Inf::inferTypes): per type id, whether its texts go through the cache in
// the current window, because their place in a trial order depends on it.
struct ByText {
  std::vector<uint8_t> viaCache;
};

class RangePass {
 public:
  static constexpr uint64_t NO_END = ~uint64_t{0};

  // A pass over `cache` with the session's table and settings; neither is
  // owned, and both outlive the pass. Starts the cache's pass: from here on
  // it logs texts only when the shortcut is usable.
  RangePass(const Inf& inf, ValueCache& cache);

  // Binds the column names, one per position, each name with the trial
  // order it starts from. Positions with equal names share counts and order.
  void bindColumns(const std::vector<std::string>& names, const std::vector<int>& order);
  // Adds a header cell to the types-file line.
  void noteHeaderCell(int c, const std::string& name);
  void setExtras(PassExtras* extras) { this->extras = extras; }
  // Tests the fields of types with formats against them; null: none set.
  void setVerdicts(FormatVerdicts* verdicts) { this->verdicts = verdicts; }
  void setTypesFile(std::ofstream* file) { typesFile = file; }
  // Checks every expression on each long field the cache does not answer,
  // so that any error Boost could raise in a sequential pass is raised here.
  void probeLongFields() { probeLong = true; }
  // Keeps the offsets of up to `capacity` last row starts (see RowStarts).
  void keepRowStarts(size_t capacity) { starts.reserve(capacity); }

  // Classifies the rows that start before `end`, reading from a cursor whose
  // stream begins at byte `base` of the file at a row start, one thread per
  // field when the session is multithreaded (then `end` must be NO_END).
  // Reads the last row past `end`; next() is then where the following row
  // starts.
  void run(RowCursor& cursor, uint64_t base, uint64_t end);
  // Ends a row: the types-file line, the row count and the cache window.
  void endRow();
  // Ends the types-file line alone.
  void endLine();
  // Classifies a row already read (a headerless file's first row) that
  // starts at byte `start` as run() would, and ends it.
  void classifyRow(const std::vector<std::string>& fields, uint64_t start);
  // Hands the finished types-file lines to the stream.
  void finish();

  // Counts the header as a row already read, for the first range of a
  // split: its window then empties the cache where the sequential pass's does.
  void countHeader();

  // Data rows read.
  uint64_t rows() const { return rowCount - rowBase; }
  uint64_t next() const { return nextRow; }
  const RowStarts& rowStarts() const { return starts; }
  // Per distinct column name, in order of first position: its name, its
  // counts by type id and its trial order.
  const std::vector<std::string>& names() const { return distinct; }
  std::vector<std::vector<uint64_t>>& counts() { return nameCounts; }
  std::vector<std::vector<int>>& orders() { return nameOrders; }

  // Where the first row at or after `cut` starts, assuming the byte at
  // `cut` is outside quotes: just past the next row end.
  static uint64_t guessRowStart(const std::string& path, uint64_t cut, char delimiter);

 private:
  const Inf& inf;
  ValueCache& cache;
  int numCols = 0;
  uint64_t window = 0;
  uint64_t rowCount = 0;
  uint64_t rowBase = 0;
  uint64_t nextRow = 0;
  std::string currLine;
  std::ofstream* typesFile = nullptr;
  std::string typesBuffer;       // complete lines not yet handed to the stream
  PassExtras* extras = nullptr;  // null unless extras are on
  FormatVerdicts* verdicts = nullptr;
  bool probeLong = false;
  RowStarts starts;

  // Per position: index of its distinct name.
  std::vector<size_t> nameOf;
  std::vector<std::string> distinct;
  std::vector<std::vector<uint64_t>> nameCounts;
  std::vector<std::vector<int>> nameOrders;
  // Per position: its name's order and counters, for the hot loop.
  std::vector<std::vector<int>*> positionOrders;
  std::vector<uint64_t*> positionCounts;

  // The shortcut may be taken in this pass; active is null while it is not.
  bool shortcut = false;
  ByText byText;
  ByText* active = nullptr;

  // Locks of a multithreaded pass: the cache, and per position the lock of
  // its column name if other cells share it.
  std::mutex cacheLock;
  std::vector<std::mutex*> byColumn;
  std::unordered_map<std::string_view, std::mutex> nameLocks;

  class SequentialSink;
  class ParallelSink;
  // Classifies a row's fields on one thread each, and ends it.
  void classifyInThreads(const std::vector<std::string>& row, size_t width, uint64_t start);
  void writeTypes();
  // Counts a row, and empties the cache when the window says so.
  void countRow();
};
