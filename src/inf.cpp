#include "inf.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "csv/parser.h"

namespace {

// Locks a mutex when one is given; sequential passes give none.
class MaybeLock {
 public:
  explicit MaybeLock(std::mutex* m) : m_(m) {
    if (m_) m_->lock();
  }
  ~MaybeLock() {
    if (m_) m_->unlock();
  }
  MaybeLock(const MaybeLock&) = delete;
  MaybeLock& operator=(const MaybeLock&) = delete;

 private:
  std::mutex* m_;
};

// The lock policy of sequential work: nothing to lock.
struct NoLock {
  explicit NoLock(std::mutex*) {}
};

// Joins every started thread of a row, also when the row is left by an
// exception: a joinable std::thread must never be destroyed.
struct RowThreads {
  std::vector<std::thread> ft;
  ~RowThreads() {
    for (auto& t : ft)
      if (t.joinable()) t.join();
  }
};

// The system takes a path as a C string, which ends at the first NUL byte:
// such a path would name another file, so the pass refuses it whole.
void rejectNul(const std::string& path, const char* error) {
  if (path.find('\0') == std::string::npos) return;
  std::string shown;
  for (const char ch : path) {
    if (ch == '\0')
      shown += "\\x00";
    else
      shown.push_back(ch);
  }
  throw std::runtime_error(error + shown);
}

void appendEntry(std::string& line, int c, const std::string& entry) {
  if (c != 0) line.push_back(',');
  line += entry;
}

}  // namespace

Inf::Inf(std::string filepath, char delimiter, PatternSources colTypePatterns,
         std::unordered_set<std::string> naValues, bool multithreading, bool saveTypesFile,
         std::string typesFilepath, int rollingCacheWindow)
    : n(0), untitledCols(0), typeNames{"NA", "other"}, typeIds{{"NA", NA_ID}, {"other", OTHER_ID}} {
  this->filepath = std::move(filepath);
  this->delimiter = delimiter;
  this->multithreading = multithreading;
  this->saveTypesFile = saveTypesFile;
  this->typesFilepath = std::move(typesFilepath);
  this->rollingCacheWindow = rollingCacheWindow;
  setNaValues(std::move(naValues));
  setColTypePatterns(std::move(colTypePatterns));
}

void Inf::setColTypePatterns(PatternSources patterns) {
  // Entries made under the old table stay cached under it.
  materialiseLog();
  cacheForeign = typeCache.size() != 0;
  colTypePatterns.clear();
  try {
    for (const auto& entry : patterns) {
      auto& compiled = colTypePatterns[entry.first];
      compiled.clear();
      for (const auto& source : entry.second) compiled.emplace_back(source, boost::regex::normal);
    }
  } catch (...) {
    // What compiled before the bad source stays usable.
    indexPatterns();
    throw;
  }
  indexPatterns();
}

Inf::PatternSources Inf::getColTypePatterns() const {
  PatternSources sources;
  for (const auto& entry : colTypePatterns) {
    auto& list = sources[entry.first];
    list.clear();
    for (const auto& re : entry.second) list.push_back(re.str());
  }
  return sources;
}

void Inf::setNaValues(std::unordered_set<std::string> values) {
  naSet = NaSet(values);
  naValues = std::move(values);
}
std::unordered_set<std::string> Inf::getNaValues() const { return naValues; }
void Inf::setFilepath(std::string path) { filepath = std::move(path); }
std::string Inf::getFilepath() const { return filepath; }
void Inf::setDelimiter(char c) { delimiter = c; }
char Inf::getDelimiter() const { return delimiter; }
void Inf::setMultithreading(bool on) { multithreading = on; }
bool Inf::getMultithreading() const { return multithreading; }
void Inf::setSaveTypesFile(bool on) { saveTypesFile = on; }
bool Inf::getSaveTypesFile() const { return saveTypesFile; }
void Inf::setTypesFilepath(std::string path) { typesFilepath = std::move(path); }
std::string Inf::getTypesFilepath() const { return typesFilepath; }
void Inf::setRollingCacheWindow(int window) { rollingCacheWindow = window; }
int Inf::getRollingCacheWindow() const { return rollingCacheWindow; }

int Inf::intern(const std::string& name) {
  auto found = typeIds.find(name);
  if (found != typeIds.end()) return found->second;
  const int id = static_cast<int>(typeNames.size());
  typeNames.push_back(name);
  typeIds.emplace(name, id);
  return id;
}

void Inf::indexPatterns() {
  PatternIndex::Table table;
  for (const auto& entry : colTypePatterns) table.emplace_back(intern(entry.first), &entry.second);
  patterns.build(table, typeNames.size());
}

int Inf::searchType(std::string_view text, std::vector<int>& order) const {
  const int id = patterns.search(text, order);
  return id == PatternIndex::NO_MATCH ? OTHER_ID : id;
}

std::optional<std::vector<std::pair<std::string, std::string>>> Inf::typeOverlaps() const {
  const auto ids = patterns.overlaps();
  if (!ids) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> names;
  for (const auto& [a, b] : *ids) names.push_back(std::minmax(typeNames[a], typeNames[b]));
  std::sort(names.begin(), names.end());
  return names;
}

void Inf::materialiseLog() {
  cacheLog.forEach(
      [this](std::string_view text, int32_t id) { typeCache.set(text, hashText(text), id); });
  cacheLog.clear();
}

void Inf::clearCache() {
  typeCache.clear();
  cacheLog.clear();
  cacheForeign = false;
}

// The one classification rule. Missing values come first; then, with
// byText (see inferTypes), the text alone where no cache could change the
// result; then the cache; then the search in the column's trial order, whose
// result the cache keeps. Guard is the lock policy: a parallel pass guards
// the shared cache and a shared column's order, a sequential one takes none.
static_assert(FieldAutomaton::MAX_FIELD <= TextLog::MAX_TEXT, "the log takes every short field");
// Entries a log may hold and still be searched for a text; a larger log
// becomes cache entries instead.
constexpr size_t LOG_SEARCH_LIMIT = 256;

template <class Guard>
int Inf::classify(FieldProbe& field, std::vector<int>& order, std::mutex* colLock, ByText* byText) {
  // A text logged lately in this pass is no missing value and keeps the
  // match it was logged with.
  int32_t sole = PatternIndex::NO_MATCH;
  const bool logged = byText && field.isShort && cacheLog.recentTag(field.key, sole);
  if (!logged && naSet.contains(field.text, field.key, field.isShort)) return NA_ID;
  if (byText && field.text.size() <= FieldAutomaton::MAX_FIELD) {
    if (!logged) sole = patterns.soleMatch(field.text);
    if (sole == PatternIndex::NO_MATCH || !byText->viaCache[static_cast<size_t>(sole)]) {
      // A match at the front stays there, whether the cache knew the text or not.
      if (sole == PatternIndex::NO_MATCH || order[0] == sole) {
        const int id = sole == PatternIndex::NO_MATCH ? OTHER_ID : sole;
        if (!logged && !typeNames[id].empty())
          cacheLog.append(field.text, field.key, field.isShort, id, sole);
        return id;
      }
      // Whether this type moves to the front depends on whether the cache
      // knows the text. A short log is searched for it; past that, the
      // cache must know every text of this type from here on (a type never
      // cached has none).
      if (!typeNames[sole].empty()) {
        if (cacheLog.size() <= LOG_SEARCH_LIMIT) {
          const bool known = cacheLog.contains(field.text) ||
                             typeCache.find(field.text, field.textHash()) != TextTable::EMPTY;
          if (!known) {
            searchType(field.text, order);
            cacheLog.append(field.text, field.key, field.isShort, sole, sole);
          }
          return sole;
        }
        materialiseLog();
        byText->viaCache[static_cast<size_t>(sole)] = 1;
      }
    }
  }
  std::mutex* cacheLock = locks ? &locks->cache : nullptr;
  int32_t id = field.early;
  if (id == TextTable::EMPTY) {
    Guard guard(cacheLock);
    id = typeCache.findAndRemember(field.text, field.key, field.isShort, field.textHash());
  }
  if (id != TextTable::EMPTY) return id;
  {
    Guard guard(colLock);
    id = searchType(field.text, order);
  }
  // A type with an empty name leaves the entry empty: the text is searched again.
  if (!typeNames[id].empty()) {
    Guard guard(cacheLock);
    typeCache.set(field.text, field.textHash(), id);
  }
  return id;
}

void Inf::getColType(const std::vector<std::string>& fields, int c, PatternTable&,
                     std::vector<std::string>& types) {
  materialiseLog();
  const std::string& col = columns[c];
  std::mutex* colLock =
      locks && static_cast<size_t>(c) < locks->byColumn.size() ? locks->byColumn[c] : nullptr;
  ColumnState* state;
  {
    MaybeLock guard(colLock);
    state = &columnStates[col];
  }
  // Left at "other" with no count if matching throws.
  types[c] = typeNames[OTHER_ID];
  FieldProbe field(fields[c]);
  const int id = classify<MaybeLock>(field, state->order, colLock, nullptr);
  types[c] = typeNames[id];
  MaybeLock guard(colLock);
  state->add(id, 1);
}

void Inf::ColumnState::add(int id, uint64_t k) {
  const size_t at = static_cast<size_t>(id);
  if (at >= counts.size()) counts.resize(at + 1, NO_COUNT);
  if (counts[at] == NO_COUNT) counts[at] = 0;
  counts[at] += k;
}

void Inf::seedColumn(int c, std::string cell, std::string& currLine) {
  columns.push_back(std::move(cell));
  std::string& name = columns.back();
  if (name.empty()) {
    ++untitledCols;
    name = "Unitled_" + std::to_string(untitledCols);
  }
  ColumnState& state = columnStates[name];
  state.order.clear();
  for (const auto& entry : colTypePatterns) state.order.push_back(typeIds.at(entry.first));
  state.counts.assign(typeNames.size(), NO_COUNT);
  for (const int id : state.order) state.counts[static_cast<size_t>(id)] = 0;
  state.counts[OTHER_ID] = 0;
  state.counts[NA_ID] = 0;
  if (saveTypesFile) appendEntry(currLine, c, name);
}

// Working state of one pass. Counts are kept per column name and type id
// while the pass runs, and added to the results when it ends, also by an error.
struct Inf::Pass {
  int numCols = 0;
  uint64_t window = 0;
  std::string currLine;
  std::vector<int> ids;
  std::ofstream* typesFile = nullptr;
  std::string typesBuffer;       // complete lines not yet handed to the stream
  PassExtras* extras = nullptr;  // null unless extras are on

  // Per position, once the header is read: trial order and counters.
  std::vector<std::vector<int>*> orders;
  std::vector<uint64_t*> counts;
  std::vector<ColumnState*> names;  // one per distinct column name
  std::vector<std::vector<uint64_t>> nameCounts;

  // The shortcut may be taken in this pass (inferTypes); active is null
  // while it is not taken.
  bool shortcut = false;
  ByText byText;
  ByText* active = nullptr;

  PassLocks locks;
  std::unordered_map<std::string_view, std::mutex> nameLocks;

  void writeTypes() {
    if (typesFile && !typesBuffer.empty()) {
      typesFile->write(typesBuffer.data(), static_cast<std::streamsize>(typesBuffer.size()));
      typesBuffer.clear();
    }
  }
};

void Inf::endRow(Pass& pass) {
  if (saveTypesFile) {
    pass.typesBuffer += pass.currLine;
    pass.typesBuffer.push_back('\n');
    if (pass.typesBuffer.size() >= (1u << 20)) pass.writeTypes();
  }
  pass.currLine.clear();
  ++n;
  // A window of 0 would divide by zero: it means the cache is never emptied.
  if (pass.window != 0 && n % pass.window == 0) {
    clearCache();
    if (pass.shortcut) {
      std::fill(pass.byText.viaCache.begin(), pass.byText.viaCache.end(), 0);
      pass.active = &pass.byText;
    }
  }
}

void Inf::readHeader(csv::CsvParser& parser, Pass& pass) {
  std::string_view text;
  while (parser.next_view(text) == csv::FieldType::DATA) {
    // Cells past the widest header a row can index are dropped.
    if (columns.size() < static_cast<size_t>(INT_MAX))
      seedColumn(static_cast<int>(columns.size()), parser.take_text(text), pass.currLine);
  }
  // A row holds at least one field: no cell, no header (an empty file).
  if (columns.empty()) return;
  bindColumns(pass);
  endRow(pass);
}

namespace {

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

void Inf::runSequential(csv::CsvParser& parser, Pass& pass) {
  LookAhead ahead;
  const bool writeTypes = saveTypesFile;
  auto classifyField = [&](FieldProbe & field, int c) __attribute__((always_inline)) {
    const int id = classify<NoLock>(field, *pass.orders[c], nullptr, pass.active);
    ++pass.counts[c][id];
    if (pass.extras) pass.extras->noteField(c, id, field.text);
    if (writeTypes) appendEntry(pass.currLine, c, typeNames[id]);
  };

  int c = 0;
  bool rowOpen = false;  // a row has fields not yet closed by ROW_END
  std::string_view text;
  for (;;) {
    csv::FieldType type;
    if (!parser.try_view(type, text)) {
      ahead.flush(classifyField);
      type = parser.next_view(text);
    }
    if (type == csv::FieldType::DATA) {
      rowOpen = true;
      if (c < pass.numCols) {
        if (pass.active) {
          FieldProbe field(text);
          classifyField(field, c);
        } else {
          if (ahead.full()) ahead.flush(classifyField);
          ahead.hold(text, c, typeCache);
        }
      }
      ++c;
      continue;
    }
    ahead.flush(classifyField);
    if (rowOpen) {
      if (pass.extras) pass.extras->countRow(static_cast<size_t>(c));
      endRow(pass);
    }
    if (type == csv::FieldType::CSV_END) return;
    c = 0;
    rowOpen = false;
  }
}

void Inf::runParallel(csv::CsvParser& parser, Pass& pass) {
  std::vector<int>& ids = pass.ids;
  for (const auto& row : parser) {
    const int width =
        static_cast<int>(std::min<size_t>(row.size(), static_cast<size_t>(pass.numCols)));
    // The threads read the row in place: it is not touched until the next row.
    std::vector<std::exception_ptr> errors(static_cast<size_t>(width));
    auto classifyColumn = [this, &pass, &row, &ids, &errors](int c) {
      try {
        std::mutex* colLock = pass.locks.byColumn[c];
        FieldProbe field(row[c]);
        const int id = this->classify<MaybeLock>(field, *pass.orders[c], colLock, nullptr);
        MaybeLock guard(colLock);
        ++pass.counts[c][id];
        ids[c] = id;
      } catch (...) {
        errors[c] = std::current_exception();
      }
    };
    {
      RowThreads threads;
      threads.ft.resize(static_cast<size_t>(pass.numCols));
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
    if (pass.extras) {
      pass.extras->countRow(row.size());
      for (int c = 0; c < width; ++c) pass.extras->noteField(c, ids[c], row[c]);
    }
    if (saveTypesFile)
      for (int c = 0; c < width; ++c) appendEntry(pass.currLine, c, typeNames[ids[c]]);
    endRow(pass);
  }
}

// Called at the end of the header row: its width bounds every later row.
void Inf::bindColumns(Pass& pass) {
  pass.numCols = static_cast<int>(columns.size());
  const size_t width = columns.size();
  pass.ids.resize(width);
  std::unordered_map<std::string_view, size_t> nameIndex;
  std::vector<size_t> indexOf(width);
  for (size_t c = 0; c < width; ++c) {
    auto found = nameIndex.emplace(columns[c], pass.names.size());
    if (found.second) pass.names.push_back(&columnStates[columns[c]]);
    indexOf[c] = found.first->second;
  }
  pass.nameCounts.assign(pass.names.size(), std::vector<uint64_t>(typeNames.size(), 0));
  pass.orders.resize(width);
  pass.counts.resize(width);
  pass.locks.byColumn.assign(width, nullptr);
  std::vector<int> uses(pass.names.size(), 0);
  for (size_t c = 0; c < width; ++c) ++uses[indexOf[c]];
  for (size_t c = 0; c < width; ++c) {
    pass.orders[c] = &pass.names[indexOf[c]]->order;
    pass.counts[c] = pass.nameCounts[indexOf[c]].data();
    if (uses[indexOf[c]] > 1) pass.locks.byColumn[c] = &pass.nameLocks[columns[c]];
  }
  if (pass.extras) pass.extras->start(pass.numCols, typeNames.size());
}

void Inf::flushCounts(Pass& pass) {
  for (size_t u = 0; u < pass.names.size(); ++u) {
    std::vector<uint64_t>& counts = pass.nameCounts[u];
    for (size_t id = 0; id < counts.size(); ++id) {
      if (counts[id] == 0) continue;
      pass.names[u]->add(static_cast<int>(id), counts[id]);
      counts[id] = 0;
    }
  }
}

// What a pass leaves behind however it ends: no locks, every count added to
// the results, every finished types-file line handed to the stream.
void Inf::endPass(Pass& pass) {
  locks = nullptr;
  flushCounts(pass);
  pass.writeTypes();
}

void Inf::inferTypes() {
  n = 0;
  rejectNul(filepath, "Something is wrong with input stream: ");
  if (saveTypesFile) rejectNul(typesFilepath, "Cannot open types file: ");
  std::ifstream input(filepath, std::ios::binary);
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);

  std::ofstream typesFile;
  if (saveTypesFile) {
    // Truncating the input before reading it would destroy the user's data.
    std::error_code ec;
    if (std::filesystem::equivalent(filepath, typesFilepath, ec))
      throw std::runtime_error("Cannot open types file: " + typesFilepath +
                               " (it is the input file)");
    typesFile.open(typesFilepath, std::ios::binary | std::ios::trunc);
    if (!typesFile.is_open()) throw std::runtime_error("Cannot open types file: " + typesFilepath);
  }

  // The header is read from the same stream as the data, once: a pipe can
  // be read only once.
  columns.clear();
  Pass pass;
  pass.window = static_cast<uint64_t>(static_cast<int64_t>(rollingCacheWindow));
  if (saveTypesFile) pass.typesFile = &typesFile;
  lastExtras = PassExtras{};
  lastExtras.examplesPerType = extrasSetting;
  if (extrasSetting >= 0) {
    // Sized again when the header row ends.
    lastExtras.start(0, typeNames.size());
    pass.extras = &lastExtras;
  }
  // The shortcut: when every expression has an automaton and no text is
  // matched by two types, a short text's type is the one type the combined
  // scan names, whatever the trial order; the cache cannot change it, and
  // Boost, whose errors could, is not called. What the cache still decides
  // is the trial order: a search exchanges, a hit does not. A field whose
  // type is at its column's front is not moved either way, so it only goes
  // to the log, which holds the texts the cache would have gained. A type
  // that may move makes the log entries, and its texts go through the cache
  // until it is next emptied, so that every exchange is the one a search
  // would make; so do long fields, for Boost's errors depend on the order.
  // A cache holding an earlier table's entries would answer otherwise, so
  // the shortcut waits until it is emptied; a window of 0 or less never
  // empties it, and the log would grow with the file.
  pass.shortcut = !multithreading && rollingCacheWindow > 0 && patterns.typeIsTextFunction();
  pass.byText.viaCache.assign(typeNames.size(), 0);
  // The missing values may have changed since texts were logged.
  cacheLog.forgetRecent();
  if (pass.shortcut && !cacheForeign) pass.active = &pass.byText;
  if (!pass.shortcut) materialiseLog();

  try {
    readHeader(parser, pass);
    if (multithreading) {
      locks = &pass.locks;
      runParallel(parser, pass);
    } else {
      runSequential(parser, pass);
    }
  } catch (...) {
    endPass(pass);
    throw;
  }
  endPass(pass);

  bool typesFileFailed = false;
  if (saveTypesFile) {
    typesFile.close();
    typesFileFailed = typesFile.fail();
  }
  if (n > 0) --n;
  if (typesFileFailed) throw std::runtime_error("Cannot write types file: " + typesFilepath);
}

Inf::ColumnCounts Inf::getColTypeCandidates() const {
  ColumnCounts out;
  out.reserve(columnStates.size());
  for (const auto& [name, state] : columnStates) {
    TypeCounts& table = out[name];
    for (size_t id = 0; id < state.counts.size(); ++id)
      if (state.counts[id] != NO_COUNT) table.emplace(typeNames[id], state.counts[id]);
  }
  return out;
}

uint64_t Inf::getNumRows() const { return n; }

std::vector<std::string> Inf::getColNames() const { return columns; }

int Inf::getNumCols() const {
  std::ifstream input(filepath, std::ios::binary);
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);
  int numCols = 0;
  for (const auto& row : parser) {
    numCols = static_cast<int>(std::min<size_t>(row.size(), INT32_MAX));
    break;
  }
  return numCols;
}

void Inf::setExtras(int examplesPerType) { extrasSetting = examplesPerType; }

Inf::Extras Inf::getExtras() const {
  Extras out;
  out.rowWidths = lastExtras.rowWidths;
  out.maxLengths = lastExtras.maxLengths;
  for (const auto& byType : lastExtras.examples) {
    auto& named = out.examples.emplace_back();
    for (size_t id = 0; id < byType.size(); ++id)
      if (!byType[id].empty()) named.emplace(typeNames[id], byType[id]);
  }
  return out;
}

void Inf::PassExtras::start(int headerWidth, size_t numTypes) {
  const size_t width = static_cast<size_t>(headerWidth);
  rowWidths.assign(width + 2, 0);
  maxLengths.assign(width, 0);
  examples.assign(width, std::vector<std::vector<std::string>>(numTypes));
}

void Inf::PassExtras::countRow(size_t width) { ++rowWidths[std::min(width, rowWidths.size() - 1)]; }

void Inf::PassExtras::noteField(int c, int id, std::string_view text) {
  uint64_t& longest = maxLengths[static_cast<size_t>(c)];
  if (text.size() > longest) longest = text.size();
  if (examplesPerType <= 0) return;
  std::vector<std::string>& texts = examples[static_cast<size_t>(c)][static_cast<size_t>(id)];
  if (texts.size() >= static_cast<size_t>(examplesPerType)) return;
  for (const auto& seen : texts)
    if (seen == text) return;
  texts.emplace_back(text);
}

#ifndef QUORLE_ENGINE_ONLY
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "row_encoder.h"
#include "row_reader.h"

namespace py = pybind11;

PYBIND11_MODULE(quorle_ext, m) {
  m.doc() = "The quorle Python interface";
  py::class_<Inf>(m, "Inf")
      .def(py::init<std::string, char, Inf::PatternSources, std::unordered_set<std::string>, bool,
                    bool, std::string, int>(),
           py::arg("filepath"), py::arg("delimiter"), py::arg("col_type_patterns"),
           py::arg("na_values"), py::arg("multithreading"), py::arg("save_types_file"),
           py::arg("types_filepath"), py::arg("rolling_cache_window"))
      .def("infer_types", &Inf::inferTypes)
      .def("set_col_type_patterns", &Inf::setColTypePatterns)
      .def("set_na_values", &Inf::setNaValues)
      .def("set_filepath", &Inf::setFilepath)
      .def("set_delimiter", &Inf::setDelimiter)
      .def("set_multithreading", &Inf::setMultithreading)
      .def("set_save_types_file", &Inf::setSaveTypesFile)
      .def("set_types_filepath", &Inf::setTypesFilepath)
      .def("set_rolling_cache_window", &Inf::setRollingCacheWindow)
      .def("get_col_type_patterns", &Inf::getColTypePatterns)
      .def("get_na_values", &Inf::getNaValues)
      .def("get_filepath", &Inf::getFilepath)
      .def("get_delimiter", &Inf::getDelimiter)
      .def("get_multithreading", &Inf::getMultithreading)
      .def("get_save_types_file", &Inf::getSaveTypesFile)
      .def("get_types_filepath", &Inf::getTypesFilepath)
      .def("get_rolling_cache_window", &Inf::getRollingCacheWindow)
      .def("get_col_type_candidates", &Inf::getColTypeCandidates)
      .def("_type_overlaps", &Inf::typeOverlaps)
      .def_property_readonly("num_rows", &Inf::getNumRows)
      .def_property_readonly("col_names", &Inf::getColNames)
      .def("_set_extras", &Inf::setExtras, py::arg("examples_per_type"))
      .def("_extras", [](const Inf& inf) {
        // Field texts go back as bytes: no encoding is assumed.
        const Inf::Extras extras = inf.getExtras();
        py::list examples;
        for (const auto& byType : extras.examples) {
          py::dict named;
          for (const auto& entry : byType) {
            py::list texts;
            for (const auto& text : entry.second) texts.append(py::bytes(text));
            named[py::str(entry.first)] = texts;
          }
          examples.append(named);
        }
        py::dict out;
        out["row_widths"] = extras.rowWidths;
        out["max_lengths"] = extras.maxLengths;
        out["examples"] = examples;
        return out;
      });
  // Rows for loading: per row its start offset and its fields as bytes.
  py::class_<RowReader>(m, "_RowReader")
      .def(py::init<std::string, char>(), py::arg("path"), py::arg("delimiter"))
      .def(
          "next_batch",
          [](RowReader& reader, size_t max_rows) {
            std::vector<RowReader::Row> rows;
            py::list offsets, batch;
            reader.nextBatch(max_rows, rows);
            for (const auto& row : rows) {
              py::list fields(row.fields.size());
              for (size_t i = 0; i < row.fields.size(); ++i) fields[i] = py::bytes(row.fields[i]);
              offsets.append(row.offset);
              batch.append(std::move(fields));
            }
            return py::make_tuple(offsets, batch);
          },
          py::arg("max_rows"));
  // Rows for a bulk load, encoded: the batch, its rows' start offsets (native
  // int64), and the fault that stopped it (0 none; see RowEncoder::Fault).
  py::class_<RowEncoder>(m, "_RowEncoder")
      .def(py::init([](const std::string& path, char delimiter,
                       const std::unordered_set<std::string>& naValues, bool canonicalCsv,
                       bool ignoreExtraFields) {
             const auto format = canonicalCsv ? RowEncoder::Format::CANONICAL_CSV
                                              : RowEncoder::Format::POSTGRES_TEXT;
             return std::make_unique<RowEncoder>(path, delimiter, naValues, format,
                                                 ignoreExtraFields);
           }),
           py::arg("path"), py::arg("delimiter"), py::arg("na_values"), py::arg("canonical_csv"),
           py::arg("ignore_extra_fields"))
      .def_property_readonly("header",
                             [](const RowEncoder& encoder) {
                               py::list cells;
                               for (const auto& cell : encoder.header())
                                 cells.append(py::bytes(cell));
                               return cells;
                             })
      .def(
          "encode",
          [](RowEncoder& encoder, size_t maxRows) {
            std::string batch;
            std::vector<int64_t> offsets;
            const size_t rows = encoder.encode(maxRows, batch, offsets);
            const py::bytes starts(reinterpret_cast<const char*>(offsets.data()),
                                   offsets.size() * sizeof(int64_t));
            return py::make_tuple(rows, py::bytes(batch), starts);
          },
          py::arg("max_rows"))
      .def_property_readonly("fault", [](const RowEncoder& encoder) {
        return py::make_tuple(static_cast<int>(encoder.fault()), encoder.faultRow(),
                              encoder.faultColumn());
      });
}
#endif
