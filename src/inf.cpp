#include "inf.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "csv/parser.h"
#include "split_pass.h"
#include "transcoder.h"

namespace {

// The system takes a path as a C string, which ends at the first NUL byte:
// such a path would name another file, so the pass refuses it whole.
template <class Error>
void rejectNul(const std::string& path, const char* error) {
  if (path.find('\0') == std::string::npos) return;
  std::string shown;
  for (const char ch : path) {
    if (ch == '\0')
      shown += "\\x00";
    else
      shown.push_back(ch);
  }
  throw Error(error + shown);
}

const char* const INPUT_ERROR = "Something is wrong with input stream: ";

// Below this many bytes a split gains less than its threads cost: a few of
// the tokenizer's blocks.
constexpr uint64_t MIN_SPLIT_BYTES = 4 * csv::CsvParser::INPUTBUF_CAP;

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
  cache.materialise();
  cache.foreign = cache.table.size() != 0;
  colTypePatterns.clear();
  try {
    for (const auto& entry : patterns) {
      auto& compiled = colTypePatterns[entry.first];
      compiled.clear();
      for (const auto& source : entry.second) compiled.push_back(compileExpression(source));
    }
  } catch (...) {
    // What compiled before the bad source stays usable.
    indexPatterns();
    throw;
  }
  indexPatterns();
}

boost::regex Inf::compileExpression(const std::string& source) {
  return boost::regex(source, boost::regex::normal);
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
  auto index = std::make_shared<PatternIndex>();
  index->build(table, typeNames.size());
  patterns = std::move(index);
}

std::vector<int> Inf::tableOrder() const {
  std::vector<int> order;
  for (const auto& entry : colTypePatterns) order.push_back(typeIds.at(entry.first));
  return order;
}

std::optional<std::vector<std::pair<std::string, std::string>>> Inf::typeOverlaps() const {
  const auto ids = patterns->overlaps();
  if (!ids) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> names;
  for (const auto& [a, b] : *ids) names.push_back(std::minmax(typeNames[a], typeNames[b]));
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Inf::matchTexts(const std::vector<std::string>& texts) const {
  std::vector<std::string> names;
  names.reserve(texts.size());
  for (const auto& text : texts) {
    // A cache and a trial order of its own: no text sways another's answer.
    ValueCache scratch;
    std::vector<int> order = tableOrder();
    FieldProbe field(text);
    names.push_back(typeNames[classify<MaybeLock>(field, order, Locks{}, nullptr, scratch, true)]);
  }
  return names;
}

bool Inf::splitExact() const {
  const auto ids = patterns->overlaps();
  return ids && ids->empty();
}

// The shortcut asks for a window, which bounds the log's memory; whether the
// cache holds an earlier table's entries is asked when a pass starts.
bool Inf::shortcutUsable() const {
  return !multithreading && rollingCacheWindow > 0 && patterns->typeIsTextFunction();
}

void Inf::getColType(const std::vector<std::string>& fields, int c, PatternTable&,
                     std::vector<std::string>& types) {
  cache.materialise();
  ColumnState& state = columnStates[columns[c]];
  // Left at "other" with no count if matching throws.
  types[c] = typeNames[OTHER_ID];
  FieldProbe field(fields[c]);
  const int id = classify<MaybeLock>(field, state.order, Locks{}, nullptr, cache, false);
  types[c] = typeNames[id];
  state.add(id, 1);
}

void Inf::ColumnState::add(int id, uint64_t k) {
  const size_t at = static_cast<size_t>(id);
  if (at >= counts.size()) counts.resize(at + 1, NO_COUNT);
  if (counts[at] == NO_COUNT) counts[at] = 0;
  counts[at] += k;
}

std::vector<std::string> Inf::readFirstRow(csv::CsvParser& parser, std::streamoff& start,
                                           PassExtras& counts, Quirks* atStart) const {
  std::vector<std::string> row;
  for (;;) {
    start = parser.position();
    if (atStart) {
      *atStart = Quirks{};
      atStart->addTokenizer(parser);
    }
    using RowSkip = ReadingRules::RowSkip;
    RowSkip skip = RowSkip::NONE;
    bool first = true;
    std::string_view text;
    csv::FieldType type;
    while ((type = parser.next_view(text)) == csv::FieldType::DATA) {
      if (first) skip = reading.rowSkip(parser, text, start);
      first = false;
      // Cells past the widest header a row can index are dropped.
      if (skip != RowSkip::NONE || row.size() >= static_cast<size_t>(INT_MAX)) continue;
      row.push_back(parser.take_text(text));
    }
    if (skip == RowSkip::NONE) return row;
    ++(skip == RowSkip::BLANK ? counts.blankLines : counts.commentLines);
    if (type == csv::FieldType::CSV_END) {
      // Nothing but skipped rows: no row starts before the end.
      start = parser.position();
      if (atStart) {
        *atStart = Quirks{};
        atStart->addTokenizer(parser);
      }
      return row;
    }
  }
}

std::vector<std::string> Inf::columnNames(std::vector<std::string> first, int& untitled) const {
  if (!reading.header) {
    for (size_t c = 0; c < first.size(); ++c) first[c] = "column_" + std::to_string(c + 1);
    return first;
  }
  for (auto& name : first)
    if (name.empty()) name = "Unitled_" + std::to_string(++untitled);
  return first;
}

uint64_t Inf::skipPreamble(std::istream& in, PassExtras& counts) const {
  uint64_t lines = 0;
  const uint64_t bytes = reading.skipPreamble(in, lines);
  counts.skippedLines += lines;
  return bytes;
}

PassExtras Inf::startExtras() const {
  PassExtras extras;
  extras.examplesPerType = extrasSetting;
  extras.checks.assign(typeNames.size(), 0);
  extras.checks[NA_ID] |= PassExtras::IS_NA;
  auto mark = [&](const std::vector<std::string>& names, uint8_t check) {
    for (const auto& name : names) {
      const auto found = typeIds.find(name);
      if (found != typeIds.end()) extras.checks[static_cast<size_t>(found->second)] |= check;
    }
  };
  mark(doubleChecks, PassExtras::CHECK_DOUBLE);
  mark(int64Checks, PassExtras::CHECK_INT64);
  return extras;
}

void Inf::setReading(bool skipBlankLines, bool header, uint64_t skipLines,
                     const std::string& comment) {
  reading = ReadingRules::make(skipBlankLines, header, skipLines, comment);
}

void Inf::setNumericChecks(std::vector<std::string> doubles, std::vector<std::string> integers) {
  doubleChecks = std::move(doubles);
  int64Checks = std::move(integers);
}

void Inf::seedColumn(const std::string& name) {
  ColumnState& state = columnStates[name];
  state.order = tableOrder();
  state.counts.assign(typeNames.size(), NO_COUNT);
  for (const int id : state.order) state.counts[static_cast<size_t>(id)] = 0;
  state.counts[OTHER_ID] = 0;
  state.counts[NA_ID] = 0;
}

void Inf::readHeader(csv::CsvParser& parser, RangePass& pass) {
  std::streamoff start = 0;
  std::vector<std::string> first = readFirstRow(parser, start, lastExtras, nullptr);
  // Counted here for a headerless file too: classifyRow cannot tell a blank line.
  if (!first.empty() && parser.blank_row(start)) ++lastExtras.blankRows;
  columns = columnNames(first, untitledCols);
  for (size_t c = 0; c < columns.size(); ++c) {
    seedColumn(columns[c]);
    pass.noteHeaderCell(static_cast<int>(c), columns[c]);
  }
  // A row holds at least one field: no cell, no header (an empty file).
  if (columns.empty()) return;
  pass.bindColumns(columns, tableOrder());
  if (reading.header) {
    pass.endRow();
  } else {
    pass.endLine();
    pass.classifyRow(first);
  }
}

void Inf::setInput(bool decompress, std::string encoding, std::string member) {
  // An encoding that cannot be used is refused here, not at the next pass.
  if (!Transcoder::isUtf8(encoding)) Transcoder check(encoding);
  inputSettings.decompress = decompress;
  inputSettings.encoding = std::move(encoding);
  inputSettings.member = std::move(member);
}

Inf::InputInfo Inf::getInputInfo() const { return lastInput; }

std::istream& Inf::openInput(std::ifstream& plain, std::unique_ptr<InputSource>& decoded) const {
  return InputSource::open(filepath, inputSettings, plain, decoded);
}

void Inf::inferTypes() {
  n = 0;
  rejectNul<csv::StreamError>(filepath, INPUT_ERROR);
  if (saveTypesFile) rejectNul<TypesFileError>(typesFilepath, "Cannot open types file: ");
  std::ifstream plain;
  std::unique_ptr<InputSource> decoded;
  std::istream& input = openInput(plain, decoded);
  lastExtras = startExtras();
  skipPreamble(input, lastExtras);
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);
  parser.count_quirks(extrasSetting >= 0);
  lastInput = InputInfo{};
  if (decoded) lastInput.compression = Decompressor::formatName(decoded->compression());

  std::ofstream typesFile;
  if (saveTypesFile) {
    // Truncating the input before reading it would destroy the user's data.
    std::error_code ec;
    if (std::filesystem::equivalent(filepath, typesFilepath, ec))
      throw TypesFileError("Cannot open types file: " + typesFilepath + " (it is the input file)");
    typesFile.open(typesFilepath, std::ios::binary | std::ios::trunc);
    if (!typesFile.is_open()) throw TypesFileError("Cannot open types file: " + typesFilepath);
  }

  // The header is read from the same stream as the data, once: a pipe can
  // be read only once.
  columns.clear();
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
  RangePass pass(*this, cache);
  if (saveTypesFile) pass.setTypesFile(&typesFile);
  if (extrasSetting >= 0) {
    // Sized again when the header row ends.
    lastExtras.start(0, typeNames.size());
    pass.setExtras(&lastExtras);
  }
  // Counts, trial orders and the row count reach the session however the
  // pass ends, also by an error.
  auto endPass = [&] {
    lastInput.bytesRead = decoded ? decoded->bytesRead() : static_cast<uint64_t>(parser.position());
    n = pass.rows();
    lastExtras.blankLines += pass.blankRows();
    lastExtras.commentLines += pass.commentRows();
    lastExtras.blankRows += pass.keptBlankRows();
    if (extrasSetting >= 0) lastExtras.quirks.addTokenizer(parser);
    for (size_t u = 0; u < pass.names().size(); ++u) {
      ColumnState& state = columnStates[pass.names()[u]];
      const std::vector<uint64_t>& counts = pass.counts()[u];
      for (size_t id = 0; id < counts.size(); ++id)
        if (counts[id] != 0) state.add(static_cast<int>(id), counts[id]);
      state.order = pass.orders()[u];
    }
    pass.finish();
  };
  try {
    readHeader(parser, pass);
    pass.run(parser, static_cast<uint64_t>(parser.position()), RangePass::NO_END);
  } catch (...) {
    endPass();
    throw;
  }
  endPass();

  bool typesFileFailed = false;
  if (saveTypesFile) {
    typesFile.close();
    typesFileFailed = typesFile.fail();
  }
  if (n > 0 && reading.header) --n;
  if (typesFileFailed) throw TypesFileError("Cannot write types file: " + typesFilepath);
}

// Byte offsets of a compressed or transcoded file are no row starts of
// what the tokenizer reads.
const char* Inf::decodingRefusal() const {
  if (!Transcoder::isUtf8(inputSettings.encoding)) return "the input is transcoded";
  if (!inputSettings.member.empty()) return "the input is a zip member";
  if (inputSettings.decompress && InputSource::probe(filepath) != Decompressor::Format::PLAIN)
    return "the input is compressed";
  return nullptr;
}

const char* Inf::splitRefusal(uint64_t& size) const {
  if (multithreading) return "multithreading is on";
  if (saveTypesFile) return "a types file is written";
  if (!splitExact()) return "the types overlap";
  // Entries of an earlier table answer for their texts until the window
  // first empties the cache, which a window of 0 or less never does.
  if (cache.foreign && rollingCacheWindow <= 0) return SplitPass::FOREIGN_CACHE;
  struct stat info;
  if (stat(filepath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "not a regular file";
  if (const char* reason = decodingRefusal()) return reason;
  size = static_cast<uint64_t>(info.st_size);
  return nullptr;
}

std::string Inf::inferSplit(int threads, bool keepCache) {
  if (threads < 1) throw std::invalid_argument("threads must be at least 1");
  rejectNul<csv::StreamError>(filepath, INPUT_ERROR);
  uint64_t size = 0;
  const char* reason = splitRefusal(size);
  if (!reason && size < MIN_SPLIT_BYTES) reason = "the file is small";
  if (reason) {
    inferTypes();
    return reason;
  }
  std::vector<uint64_t> cuts;
  for (int i = 1; i < threads; ++i) cuts.push_back(size * static_cast<uint64_t>(i) / threads);
  return SplitPass(*this, keepCache).run(cuts);
}

std::string Inf::inferSplitAt(const std::vector<uint64_t>& cuts, bool keepCache) {
  rejectNul<csv::StreamError>(filepath, INPUT_ERROR);
  uint64_t size = 0;
  if (const char* reason = splitRefusal(size)) {
    inferTypes();
    return reason;
  }
  return SplitPass(*this, keepCache).run(cuts);
}

Inf::Header Inf::peekHeader() const {
  int untitled = untitledCols;
  PassExtras counts;
  Header header = readLeadIn(untitled, counts);
  header.leadIn = namedExtras(counts);
  return header;
}

Inf::Header Inf::readLeadIn(int& untitled, PassExtras& counts) const {
  rejectNul<csv::StreamError>(filepath, INPUT_ERROR);
  std::ifstream plain;
  std::unique_ptr<InputSource> decoded;
  std::istream& input = openInput(plain, decoded);
  const uint64_t skipped = skipPreamble(input, counts);
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);
  parser.count_quirks(extrasSetting >= 0);
  std::streamoff start = 0;
  Quirks beforeFirst;
  std::vector<std::string> first = readFirstRow(parser, start, counts, &beforeFirst);
  // A headerless file's first row is read again as data, and counted there.
  if (reading.header && !first.empty() && parser.blank_row(start)) ++counts.blankRows;
  Header header;
  header.names = columnNames(std::move(first), untitled);
  header.dataStart = skipped + static_cast<uint64_t>(reading.header ? parser.position() : start);
  if (extrasSetting < 0) return header;
  // A headerless file's first row is read again as data, and counted there.
  if (reading.header)
    counts.quirks.addTokenizer(parser);
  else
    counts.quirks.add(beforeFirst);
  return header;
}

Inf::RangeResult Inf::classifyRange(uint64_t start, uint64_t end,
                                    const std::vector<std::string>& names, bool speculate,
                                    size_t keepStarts, const ValueCache* sessionCache) const {
  rejectNul<csv::StreamError>(filepath, INPUT_ERROR);
  if (const char* reason = decodingRefusal())
    throw std::invalid_argument(std::string("no byte ranges to read: ") + reason);
  RangeResult result;
  result.start = speculate ? RangePass::guessRowStart(filepath, start, delimiter) : start;
  result.end = end;
  std::ifstream input(filepath, std::ios::binary);
  input.seekg(static_cast<std::streamoff>(result.start));
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);
  parser.count_quirks(extrasSetting >= 0);
  if (sessionCache) result.cache = *sessionCache;
  RangePass pass(*this, result.cache);
  if (sessionCache && reading.header) pass.countHeader();
  pass.probeLongFields();
  pass.keepRowStarts(keepStarts);
  result.extras = startExtras();
  if (extrasSetting >= 0) pass.setExtras(&result.extras);
  pass.bindColumns(names, tableOrder());
  pass.run(parser, result.start, end);
  result.extras.blankLines = pass.blankRows();
  result.extras.commentLines = pass.commentRows();
  result.extras.blankRows = pass.keptBlankRows();
  if (extrasSetting >= 0) result.extras.quirks.addTokenizer(parser);
  result.next = pass.next();
  result.rows = pass.rows();
  result.names = pass.names();
  result.counts = std::move(pass.counts());
  result.starts = pass.rowStarts();
  return result;
}

Inf::ColumnCounts Inf::namedCounts(const std::vector<std::string>& names,
                                   const std::vector<std::vector<uint64_t>>& counts) const {
  std::vector<int> seeded = tableOrder();
  seeded.push_back(OTHER_ID);
  seeded.push_back(NA_ID);
  ColumnCounts out;
  for (size_t u = 0; u < names.size(); ++u) {
    TypeCounts& table = out[names[u]];
    for (const int id : seeded) table[typeNames[id]] = counts[u][static_cast<size_t>(id)];
  }
  return out;
}

Inf::RangeReport Inf::inferRange(uint64_t start, uint64_t end,
                                 const std::vector<std::string>& names, bool speculate) const {
  const RangeResult result = classifyRange(start, end, names, speculate, 0);
  RangeReport report;
  report.start = result.start;
  report.next = result.next;
  report.rows = result.rows;
  report.counts = namedCounts(result.names, result.counts);
  report.extras = namedExtras(result.extras);
  return report;
}

// Settings and the compiled table only: a session's cache and results can
// be large, and the copy starts without them.
Inf::Inf(const Inf& other, std::string path)
    : filepath(std::move(path)),
      delimiter(other.delimiter),
      colTypePatterns(other.colTypePatterns),
      naValues(other.naValues),
      multithreading(other.multithreading),
      saveTypesFile(other.saveTypesFile),
      typesFilepath(other.typesFilepath),
      rollingCacheWindow(other.rollingCacheWindow),
      naSet(other.naSet),
      n(0),
      untitledCols(0),
      typeNames(other.typeNames),
      typeIds(other.typeIds),
      patterns(other.patterns),
      extrasSetting(other.extrasSetting),
      reading(other.reading),
      doubleChecks(other.doubleChecks),
      int64Checks(other.int64Checks),
      inputSettings(other.inputSettings) {}

Inf Inf::fresh(std::string path) const { return Inf(*this, std::move(path)); }

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
  std::ifstream plain;
  std::unique_ptr<InputSource> decoded;
  csv::CsvParser parser(openInput(plain, decoded));
  parser.delimiter(delimiter);
  int numCols = 0;
  for (const auto& row : parser) {
    numCols = static_cast<int>(std::min<size_t>(row.size(), INT32_MAX));
    break;
  }
  return numCols;
}

void Inf::setExtras(int examplesPerType) { extrasSetting = examplesPerType; }

Inf::Extras Inf::namedExtras(const PassExtras& extras) const {
  Extras out;
  out.rowWidths = extras.rowWidths;
  out.maxLengths = extras.maxLengths;
  for (const auto& spellings : extras.naSpellings)
    out.naSpellings.emplace_back(spellings.begin(), spellings.end());
  out.invalidUtf8 = extras.invalidUtf8;
  out.fitsDouble.assign(extras.fitsDouble.begin(), extras.fitsDouble.end());
  out.fitsInt64.assign(extras.fitsInt64.begin(), extras.fitsInt64.end());
  static_cast<PassTallies&>(out) = extras;
  for (const auto& byType : extras.examples) {
    auto& named = out.examples.emplace_back();
    for (size_t id = 0; id < byType.size(); ++id)
      if (!byType[id].empty()) named.emplace(typeNames[id], byType[id]);
  }
  return out;
}

Inf::Extras Inf::getExtras() const { return namedExtras(lastExtras); }

#ifndef QUORLE_ENGINE_ONLY
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "row_encoder.h"
#include "row_reader.h"
#include "sniff.h"
#include "zip_archive.h"

namespace py = pybind11;

namespace {

// Puts a tally at `key` of `into`, or of its dict `group` (made on first use).
void putTally(py::dict& into, const char* group, const char* key, uint64_t value) {
  if (group == nullptr) {
    into[key] = value;
    return;
  }
  if (!into.contains(group)) into[group] = py::dict();
  into[group].cast<py::dict>()[key] = value;
}

// Field texts go back as bytes: no encoding is assumed.
py::dict extrasDict(const Inf::Extras& extras) {
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
  py::list naSpellings;
  for (const auto& spellings : extras.naSpellings) {
    py::dict named;
    for (const auto& [spelling, count] : spellings)
      named[py::str(py::bytes(spelling).attr("decode")("utf-8", "surrogateescape"))] = count;
    naSpellings.append(named);
  }
  py::dict quirks;
#define QUORLE_PUT_QUIRK(member, key, group, merge) \
  putTally(quirks, group, key, extras.quirks.member);
  QUORLE_QUIRK_FIELDS(QUORLE_PUT_QUIRK)
#undef QUORLE_PUT_QUIRK
  py::dict out;
  out["row_widths"] = extras.rowWidths;
  out["max_lengths"] = extras.maxLengths;
  out["examples"] = examples;
#define QUORLE_PUT_LINES(member, key, group, merge) putTally(out, group, key, extras.member);
  QUORLE_LINE_FIELDS(QUORLE_PUT_LINES)
#undef QUORLE_PUT_LINES
  out["na_spellings"] = naSpellings;
  out["invalid_utf8"] = extras.invalidUtf8;
  out["quirks"] = quirks;
  out["fits_double"] = extras.fitsDouble;
  out["fits_int64"] = extras.fitsInt64;
  return out;
}

}  // namespace

PYBIND11_MODULE(quorle_ext, m) {
  m.doc() = "The quorle Python interface";
  // Faults of the input itself reach Python as OSError.
  py::register_exception<InputError>(m, "_InputError", PyExc_OSError);
  // The errors callers act on, as RuntimeError subclasses with the same messages.
  py::register_exception<csv::StreamError>(m, "_StreamError", PyExc_RuntimeError);
  py::register_exception<TypesFileError>(m, "_TypesFileError", PyExc_RuntimeError);
  m.def(
      "_check_expression", [](const std::string& source) { Inf::compileExpression(source); },
      py::arg("expression"));
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
      .def("_match_texts", &Inf::matchTexts, py::arg("texts"))
      .def_property_readonly("num_rows", &Inf::getNumRows)
      .def_property_readonly("col_names", &Inf::getColNames)
      .def("_set_extras", &Inf::setExtras, py::arg("examples_per_type"))
      .def("_extras", [](const Inf& inf) { return extrasDict(inf.getExtras()); })
      .def("_split_exact", &Inf::splitExact)
      .def("_infer_split", &Inf::inferSplit, py::arg("threads"), py::arg("keep_cache") = true,
           py::call_guard<py::gil_scoped_release>())
      .def("_read_header",
           [](const Inf& inf) {
             const Inf::Header header = inf.peekHeader();
             py::list names;
             for (const auto& name : header.names) names.append(py::bytes(name));
             return py::make_tuple(names, header.dataStart, extrasDict(header.leadIn));
           })
      .def(
          "_infer_range",
          [](const Inf& inf, uint64_t start, uint64_t end, const std::vector<py::bytes>& names,
             bool speculate) {
            std::vector<std::string> columns(names.begin(), names.end());
            Inf::RangeReport report;
            {
              py::gil_scoped_release release;
              report = inf.inferRange(start, end, columns, speculate);
            }
            py::dict counts;
            for (const auto& [name, table] : report.counts) counts[py::bytes(name)] = table;
            py::dict out = extrasDict(report.extras);
            out["start"] = report.start;
            out["next"] = report.next;
            out["rows"] = report.rows;
            out["counts"] = counts;
            return out;
          },
          py::arg("start"), py::arg("end"), py::arg("names"), py::arg("speculate"))
      .def("_fresh", &Inf::fresh, py::arg("filepath"))
      .def("_set_input", &Inf::setInput, py::arg("decompress"), py::arg("encoding"),
           py::arg("member") = "")
      .def("_set_reading", &Inf::setReading, py::arg("skip_blank_lines"), py::arg("header"),
           py::arg("skip_lines"), py::arg("comment"))
      .def("_set_numeric_checks", &Inf::setNumericChecks, py::arg("doubles"), py::arg("integers"))
      .def("_input_info", [](const Inf& inf) {
        const Inf::InputInfo info = inf.getInputInfo();
        py::dict out;
        out["compression"] = info.compression;
        out["bytes_read"] = info.bytesRead;
        return out;
      });
  // How the row classes read: decoded and with the reading rules, as a pass.
  const auto decoding = [](std::string encoding, std::string member) {
    return InputSource::Settings{true, std::move(encoding), std::move(member)};
  };
  // Rows for loading: per row its start offset and its fields as bytes.
  py::class_<RowReader>(m, "_RowReader")
      .def(py::init([decoding](const std::string& path, char delimiter, std::string encoding,
                               bool skipBlankLines, bool header, uint64_t skipLines,
                               const std::string& comment, std::string member) {
             return std::make_unique<RowReader>(
                 path, delimiter, decoding(std::move(encoding), std::move(member)),
                 ReadingRules::make(skipBlankLines, header, skipLines, comment));
           }),
           py::arg("path"), py::arg("delimiter"), py::kw_only(), py::arg("encoding") = "utf-8",
           py::arg("skip_blank_lines") = false, py::arg("header") = true, py::arg("skip_lines") = 0,
           py::arg("comment") = "", py::arg("member") = "")
      .def_property_readonly("bytes_read", &RowReader::bytesRead)
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
      .def(py::init([decoding](const std::string& path, char delimiter,
                               const std::unordered_set<std::string>& naValues, bool canonicalCsv,
                               bool ignoreExtraFields, std::string encoding, bool skipBlankLines,
                               bool header, uint64_t skipLines, const std::string& comment,
                               std::string member) {
             const auto format = canonicalCsv ? RowEncoder::Format::CANONICAL_CSV
                                              : RowEncoder::Format::POSTGRES_TEXT;
             return std::make_unique<RowEncoder>(
                 path, delimiter, naValues, format, ignoreExtraFields,
                 decoding(std::move(encoding), std::move(member)),
                 ReadingRules::make(skipBlankLines, header, skipLines, comment));
           }),
           py::arg("path"), py::arg("delimiter"), py::arg("na_values"), py::arg("canonical_csv"),
           py::arg("ignore_extra_fields"), py::kw_only(), py::arg("encoding") = "utf-8",
           py::arg("skip_blank_lines") = false, py::arg("header") = true, py::arg("skip_lines") = 0,
           py::arg("comment") = "", py::arg("member") = "")
      .def_property_readonly("width", &RowEncoder::width)
      .def_property_readonly("bytes_read", &RowEncoder::bytesRead)
      .def_property_readonly("longest_row", &RowEncoder::longestRow)
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
  // The 1-based line of a row offset the classes above report.
  m.def(
      "_line_at",
      [decoding](const std::string& path, uint64_t offset, std::string encoding,
                 std::string member) {
        return RowReader::lineAt(path, decoding(std::move(encoding), std::move(member)), offset);
      },
      py::arg("path"), py::arg("offset"), py::kw_only(), py::arg("encoding") = "utf-8",
      py::arg("member") = "");
  // A zip archive's members as (name bytes, method number, size), from its directory.
  m.def(
      "_zip_members",
      [](const std::string& path) {
        py::list out;
        for (const auto& member : ZipArchive::list(path))
          out.append(py::make_tuple(py::bytes(member.name), member.method, member.size));
        return out;
      },
      py::arg("path"));
  // The first `limit` bytes of a zip member's text, as a pass reads them.
  m.def(
      "_zip_read",
      [](const std::string& path, const std::string& member, size_t limit) {
        std::string text(limit, '\0');
        {
          py::gil_scoped_release release;
          InputSource source(path, InputSource::Settings{true, "", member});
          source.stream().read(text.data(), static_cast<std::streamsize>(limit));
          text.resize(static_cast<size_t>(source.stream().gcount()));
        }
        return py::bytes(text);
      },
      py::arg("path"), py::arg("member"), py::arg("limit"));
  // The format a pass finds by these first bytes, named as settings name it.
  m.def(
      "_compression_of",
      [](const py::bytes& head) {
        return Decompressor::formatName(Decompressor::detect(std::string_view(head)));
      },
      py::arg("head"));
  // What an input's first bytes decide (sniff.h), as a dict; while they do not
  // tell yet, "more" is true and the rest unset. Sniffing b"" checks a name.
  m.attr("_AUTO_SAMPLE_BYTES") = AUTO_SAMPLE_BYTES;
  m.def(
      "_sniff",
      [](const py::bytes& raw, bool whole, std::string encoding, size_t wanted,
         std::vector<std::string> spellings, bool decompress, std::string name) {
        const SniffRequest request{std::move(encoding), std::move(spellings), wanted, decompress,
                                   std::move(name)};
        const std::string_view bytes(raw);
        Sniff found;
        {
          py::gil_scoped_release release;
          found = sniff(bytes, whole, request);
        }
        py::dict out;
        out["compression"] = Decompressor::formatName(found.compression);
        out["more"] = found.needsMore;
        out["encoding"] = found.encoding;
        out["warning"] = found.warning;
        out["text"] = py::bytes(found.text);
        out["complete"] = found.complete;
        out["not_utf8_at"] = found.notUtf8At;
        return out;
      },
      py::arg("raw"), py::arg("whole"), py::arg("encoding"), py::arg("wanted"), py::kw_only(),
      py::arg("spellings") = std::vector<std::string>{}, py::arg("decompress") = true,
      py::arg("name") = "");
}
#endif
