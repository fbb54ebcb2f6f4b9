#include "range_pass.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

#include "csv/parser.h"
#include "inf.h"
#include "inf_classify.h"

namespace {

// Joins every started thread of a row, also when the row is left by an
// exception: a joinable std::thread must never be destroyed.
struct RowThreads {
  std::vector<std::thread> ft;
  ~RowThreads() {
    for (auto& t : ft)
      if (t.joinable()) t.join();
  }
};

void appendEntry(std::string& line, int c, const std::string& entry) {
  if (c != 0) line.push_back(',');
  line += entry;
}

// Holds data fields of a row for a few tokens, so that the cache look-ups of
// the fields read meanwhile are started first and their memory loads
// overlap. The caller holds fields only while their views cannot go stale
// (no block read in between), and never across a row end.
class LookAhead {
 public:
  static constexpr int MAX_HELD = 16;

  bool full() const { return count == MAX_HELD; }

  void hold(std::string_view text, int c, const TextTable& cache) {
    Held& h = held[count++];
    h.c = c;
    h.field = FieldProbe(text);
    // Cached values do not change before the window empties the cache,
    // which happens only between rows.
    if (h.field.isShort) h.field.early = cache.recentValue(h.field.key);
    if (h.field.early == TextTable::EMPTY) cache.prefetch(h.field.textHash());
  }

  template <class F>
  void flush(F&& classify) {
    for (int i = 0; i < count; ++i) classify(held[i].field, held[i].c);
    count = 0;
  }

 private:
  struct Held {
    FieldProbe field;
    int c;
  };
  Held held[MAX_HELD];
  int count = 0;
};

}  // namespace

RangePass::RangePass(const Inf& inf, ValueCache& cache) : inf(inf), cache(cache) {
  window = static_cast<uint64_t>(static_cast<int64_t>(inf.rollingCacheWindow));
  shortcut = inf.shortcutUsable();
  byText.viaCache.assign(inf.table.typeCount(), 0);
  // The missing values may have changed since texts were logged.
  cache.log.forgetRecent();
  if (shortcut && !cache.foreign) active = &byText;
  if (!shortcut) cache.materialise();
}

void RangePass::classifyRow(const std::vector<std::string>& fields, uint64_t start) {
  const Inf::Locks none;
  if (verdicts) verdicts->rowStart = start;
  const size_t width = std::min(fields.size(), static_cast<size_t>(numCols));
  for (size_t c = 0; c < width; ++c) {
    FieldProbe field(fields[c]);
    const int id = inf.classify<NoLock>(field, *positionOrders[c], none, active, cache, probeLong);
    ++positionCounts[c][id];
    if (extras) extras->noteField(static_cast<int>(c), id, field.text);
    if (verdicts) verdicts->note(c, id, field.text);
    if (typesFile) appendEntry(currLine, static_cast<int>(c), inf.table.name(id));
  }
  if (extras) extras->countRow(fields.size());
  endRow();
}

void RangePass::bindColumns(const std::vector<std::string>& names, const std::vector<int>& order) {
  numCols = static_cast<int>(names.size());
  const size_t width = names.size();
  std::unordered_map<std::string_view, size_t> nameIndex;
  nameOf.resize(width);
  for (size_t c = 0; c < width; ++c) {
    auto found = nameIndex.emplace(names[c], distinct.size());
    if (found.second) distinct.push_back(names[c]);
    nameOf[c] = found.first->second;
  }
  nameCounts.assign(distinct.size(), std::vector<uint64_t>(inf.table.typeCount(), 0));
  nameOrders.assign(distinct.size(), order);
  positionOrders.resize(width);
  positionCounts.resize(width);
  byColumn.assign(width, nullptr);
  std::vector<int> uses(distinct.size(), 0);
  for (size_t c = 0; c < width; ++c) ++uses[nameOf[c]];
  for (size_t c = 0; c < width; ++c) {
    positionOrders[c] = &nameOrders[nameOf[c]];
    positionCounts[c] = nameCounts[nameOf[c]].data();
    if (uses[nameOf[c]] > 1) byColumn[c] = &nameLocks[distinct[nameOf[c]]];
  }
  if (extras) extras->start(numCols, inf.table.typeCount());
  if (verdicts) verdicts->start(width);
}

void RangePass::noteHeaderCell(int c, const std::string& name) {
  if (typesFile) appendEntry(currLine, c, name);
}

void RangePass::writeTypes() {
  if (typesFile && !typesBuffer.empty()) {
    typesFile->write(typesBuffer.data(), static_cast<std::streamsize>(typesBuffer.size()));
    typesBuffer.clear();
  }
}

void RangePass::endLine() {
  if (typesFile) {
    typesBuffer += currLine;
    typesBuffer.push_back('\n');
    if (typesBuffer.size() >= (1u << 20)) writeTypes();
  }
  currLine.clear();
}

void RangePass::endRow() {
  endLine();
  countRow();
}

void RangePass::countHeader() {
  rowBase = 1;
  countRow();
}

void RangePass::countRow() {
  ++rowCount;
  // A window of 0 would divide by zero: it means the cache is never emptied.
  if (window != 0 && rowCount % window == 0) {
    cache.clear();
    if (shortcut) {
      std::fill(byText.viaCache.begin(), byText.viaCache.end(), 0);
      active = &byText;
    }
  }
}

void RangePass::finish() { writeTypes(); }

// A sequential pass's fields: classified as they come while the shortcut is
// active, else held a few tokens so that their cache look-ups overlap.
class RangePass::SequentialSink : public RowSink {
 public:
  SequentialSink(RangePass& pass, RowCursor& cursor, uint64_t base)
      : pass(pass), cursor(cursor), base(base) {
    markRowStart();
  }

  __attribute__((always_inline)) void field(size_t at, std::string_view text) {
    const int c = static_cast<int>(at);
    if (at >= static_cast<size_t>(pass.numCols)) return;
    if (pass.active) {
      FieldProbe field(text);
      classify(field, c);
    } else {
      if (ahead.full()) flush();
      ahead.hold(text, c, pass.cache.table);
    }
  }
  void beforeRead() { flush(); }
  bool row(std::streamoff start, size_t width) {
    flush();
    if (pass.extras) pass.extras->countRow(width);
    pass.endRow();
    pass.starts.add(base + static_cast<uint64_t>(start));
    markRowStart();
    return true;
  }
  void skipped() { markRowStart(); }

 private:
  RangePass& pass;
  RowCursor& cursor;
  const uint64_t base;
  LookAhead ahead;

  __attribute__((always_inline)) void classify(FieldProbe& field, int c) {
    const int id = pass.inf.classify<NoLock>(field, *pass.positionOrders[c], Inf::Locks{},
                                             pass.active, pass.cache, pass.probeLong);
    ++pass.positionCounts[c][id];
    if (pass.extras) pass.extras->noteField(c, id, field.text);
    if (pass.verdicts) pass.verdicts->note(static_cast<size_t>(c), id, field.text);
    if (pass.typesFile) appendEntry(pass.currLine, c, pass.inf.table.name(id));
  }
  void flush() {
    ahead.flush([this](FieldProbe& field, int c) { classify(field, c); });
  }
  // A row's fields arrive before its end tells where it started; the next
  // row starts where the tokenizer stands once a row (kept or skipped) ends.
  void markRowStart() {
    if (pass.verdicts) pass.verdicts->rowStart = base + static_cast<uint64_t>(cursor.position());
  }
};

// A multithreaded pass's rows, collected whole: the threads read them in place.
class RangePass::ParallelSink : public RowSink {
 public:
  ParallelSink(RangePass& pass, RowCursor& cursor, uint64_t base)
      : pass(pass), cursor(cursor), base(base) {}

  void field(size_t c, std::string_view text) {
    if (c == cells.size()) cells.emplace_back();
    cells[c] = cursor.take(text);
  }
  bool row(std::streamoff start, size_t width) {
    pass.classifyInThreads(cells, width, base + static_cast<uint64_t>(start));
    return true;
  }

 private:
  RangePass& pass;
  RowCursor& cursor;
  const uint64_t base;
  std::vector<std::string> cells;
};

void RangePass::run(RowCursor& cursor, uint64_t base, uint64_t end) {
  nextRow = base;
  if (base >= end) return;
  if (inf.multithreading) {
    ParallelSink sink(*this, cursor, base);
    cursor.read(sink);
  } else {
    SequentialSink sink(*this, cursor, base);
    cursor.read(sink, end - base);
  }
  nextRow = base + static_cast<uint64_t>(cursor.position());
}

void RangePass::classifyInThreads(const std::vector<std::string>& row, size_t rowWidth,
                                  uint64_t start) {
  std::vector<int> ids(static_cast<size_t>(numCols));
  const int width = static_cast<int>(std::min(rowWidth, static_cast<size_t>(numCols)));
  // The threads read the row in place: it is not touched until the next row.
  std::vector<std::exception_ptr> errors(static_cast<size_t>(width));
  auto classifyColumn = [this, &row, &ids, &errors](int c) {
    try {
      const Inf::Locks locks{&cacheLock, byColumn[c]};
      FieldProbe field(row[c]);
      const int id =
          inf.classify<MaybeLock>(field, *positionOrders[c], locks, nullptr, cache, false);
      MaybeLock guard(byColumn[c]);
      ++positionCounts[c][id];
      ids[c] = id;
    } catch (...) {
      errors[c] = std::current_exception();
    }
  };
  {
    RowThreads threads;
    threads.ft.resize(static_cast<size_t>(numCols));
    for (int c = 0; c < width; ++c) {
      try {
        threads.ft[c] = std::thread(classifyColumn, c);
      } catch (const std::system_error&) {
        // Out of threads: classify this field here, the result is the same.
        classifyColumn(c);
      }
    }
  }
  for (int c = 0; c < width; ++c)
    if (errors[c]) std::rethrow_exception(errors[c]);
  if (extras) {
    for (int c = 0; c < width; ++c) extras->noteField(c, ids[c], row[c]);
    extras->countRow(rowWidth);
  }
  if (verdicts) {
    verdicts->rowStart = start;
    for (int c = 0; c < width; ++c) verdicts->note(static_cast<size_t>(c), ids[c], row[c]);
  }
  if (typesFile)
    for (int c = 0; c < width; ++c) appendEntry(currLine, c, inf.table.name(ids[c]));
  endRow();
}

uint64_t RangePass::guessRowStart(const std::string& path, uint64_t cut, char delimiter) {
  std::ifstream input(path, std::ios::binary);
  if (cut > 0) {
    // A row end just before the cut makes the cut itself a row start; a CR
    // there may still pair with an LF at the cut.
    input.seekg(static_cast<std::streamoff>(cut - 1));
    char before = 0;
    if (input.get(before) && (before == '\n' || before == '\r')) {
      if (before == '\r' && input.peek() == '\n') return cut + 1;
      return cut;
    }
    input.clear();
  }
  input.seekg(static_cast<std::streamoff>(cut));
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);
  const ReadingRules asWritten;
  RowCursor cursor(parser, asWritten);
  cursor.finishRow();
  return cut + static_cast<uint64_t>(cursor.position());
}
