#include "inf.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "csv/parser.h"
#include "inf_classify.h"
#include "pass_watch.h"
#include "path_checks.h"
#include "transcoder.h"

Inf::Inf(std::string filepath, char delimiter, PatternSources colTypePatterns,
         std::unordered_set<std::string> naValues, bool multithreading, bool saveTypesFile,
         std::string typesFilepath, int rollingCacheWindow)
    : n(0), untitledCols(0) {
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
    table.index(colTypePatterns);
    throw;
  }
  table.index(colTypePatterns);
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

std::optional<std::vector<std::pair<std::string, std::string>>> Inf::typeOverlaps() const {
  return table.overlaps();
}

std::vector<std::string> Inf::matchTexts(const std::vector<std::string>& texts) const {
  std::vector<std::string> names;
  names.reserve(texts.size());
  for (const auto& text : texts) {
    // A cache and a trial order of its own: no text sways another's answer.
    ValueCache scratch;
    std::vector<int> order = table.order();
    FieldProbe field(text);
    names.push_back(table.name(classify<MaybeLock>(field, order, Locks{}, nullptr, scratch, true)));
  }
  return names;
}

bool Inf::typeMatches(const std::string& name, const std::vector<std::string>& texts) const {
  const int id = table.find(name);
  if (id == CompiledTable::NO_TYPE) return false;
  return std::any_of(texts.begin(), texts.end(),
                     [&](const std::string& text) { return table.matches(id, text); });
}

bool Inf::splitExact() const { return table.splitExact(); }

// The shortcut asks for a window, which bounds the log's memory; whether the
// cache holds an earlier table's entries is asked when a pass starts.
bool Inf::shortcutUsable() const {
  return !multithreading && rollingCacheWindow > 0 && table.typeIsTextFunction();
}

void Inf::getColType(const std::vector<std::string>& fields, int c, PatternTable&,
                     std::vector<std::string>& types) {
  cache.materialise();
  ColumnState& state = columnStates[columns[c]];
  // Left at "other" with no count if matching throws.
  types[c] = table.name(CompiledTable::OTHER_ID);
  FieldProbe field(fields[c]);
  const int id = classify<MaybeLock>(field, state.order, Locks{}, nullptr, cache, false);
  types[c] = table.name(id);
  state.add(id, 1);
}

void Inf::ColumnState::add(int id, uint64_t k) {
  const size_t at = static_cast<size_t>(id);
  if (at >= counts.size()) counts.resize(at + 1, NO_COUNT);
  if (counts[at] == NO_COUNT) counts[at] = 0;
  counts[at] += k;
}

std::vector<std::string> Inf::readFirstRow(RowCursor& cursor, std::streamoff& start,
                                           Quirks* atStart) const {
  // The quirks are noted anew after each skipped row: those before the row kept.
  struct FirstRow : RowSink {
    RowCursor& cursor;
    Quirks* atStart;
    std::vector<std::string> cells;
    std::streamoff start = 0;
    FirstRow(RowCursor& cursor, Quirks* atStart) : cursor(cursor), atStart(atStart) { skipped(); }
    void field(size_t, std::string_view text) {
      // Cells past the widest header a row can index are dropped.
      if (cells.size() < static_cast<size_t>(INT_MAX)) cells.push_back(cursor.take(text));
    }
    bool row(std::streamoff at, size_t) {
      start = at;
      return false;
    }
    void skipped() {
      if (!atStart) return;
      *atStart = Quirks{};
      atStart->addTokenizer(cursor.tokenizer());
    }
  } first(cursor, atStart);
  // Nothing but skipped rows: no row starts before the end.
  if (!cursor.read(first) && first.cells.empty()) first.start = cursor.position();
  start = first.start;
  return std::move(first.cells);
}

std::vector<std::string> Inf::columnNames(std::vector<std::string> first, int& untitled,
                                          std::vector<uint64_t>& untitledCells) const {
  untitledCells.clear();
  if (!parseOptions.header) {
    for (size_t c = 0; c < first.size(); ++c) first[c] = "column_" + std::to_string(c + 1);
    return first;
  }
  for (size_t c = 0; c < first.size(); ++c) {
    if (!first[c].empty()) continue;
    first[c] = "Unitled_" + std::to_string(++untitled);
    untitledCells.push_back(c);
  }
  return first;
}

uint64_t Inf::skipPreamble(std::istream& in, PassExtras& counts) const {
  uint64_t lines = 0;
  const uint64_t bytes = parseOptions.skipPreamble(in, lines);
  counts.skippedLines += lines;
  return bytes;
}

PassExtras Inf::startExtras() const {
  PassExtras extras;
  extras.examplesPerType = extrasOptions.examplesPerType;
  extras.checks.assign(table.typeCount(), 0);
  extras.checks[CompiledTable::NA_ID] |= PassExtras::IS_NA;
  auto mark = [&](const std::vector<std::string>& names, uint8_t check) {
    for (const auto& name : names) {
      const int id = table.find(name);
      if (id != CompiledTable::NO_TYPE) extras.checks[static_cast<size_t>(id)] |= check;
    }
  };
  mark(extrasOptions.doubleChecks, PassExtras::CHECK_DOUBLE);
  mark(extrasOptions.int64Checks, PassExtras::CHECK_INT64);
  extras.formats.checked = checkedFormats();
  return extras;
}

std::shared_ptr<const FormatVerdicts::Checked> Inf::checkedFormats() const {
  if (formatsByType.empty()) return nullptr;
  auto checked = std::make_shared<FormatVerdicts::Checked>();
  checked->slotOf.assign(table.typeCount(), FormatVerdicts::NO_SLOT);
  // The table's order lists its own types alone: not NA, not other, not
  // the names of earlier tables.
  for (const int id : table.order()) {
    const auto found = formatsByType.find(table.name(id));
    if (found == formatsByType.end()) continue;
    checked->slotOf[static_cast<size_t>(id)] = static_cast<int>(checked->names.size());
    checked->names.push_back(found->first);
    checked->alternatives.push_back(found->second);
  }
  return checked;
}

void Inf::setFormats(std::map<std::string, std::vector<formats::Format>> byType) {
  for (auto it = byType.begin(); it != byType.end();) {
    if (it->second.size() > FormatVerdicts::MAX_ALTERNATIVES)
      throw std::invalid_argument("the type \"" + it->first + "\" has more than " +
                                  std::to_string(FormatVerdicts::MAX_ALTERNATIVES) + " formats");
    for (const auto& format : it->second) format.check();
    // A type without alternatives has nothing to decide.
    it = it->second.empty() ? byType.erase(it) : std::next(it);
  }
  formatsByType = std::move(byType);
}

void Inf::setReading(bool skipBlankLines, bool header, uint64_t skipLines,
                     const std::string& comment) {
  parseOptions = ReadingRules::make(skipBlankLines, header, skipLines, comment);
}

void Inf::setNumericChecks(std::vector<std::string> doubles, std::vector<std::string> integers) {
  extrasOptions.doubleChecks = std::move(doubles);
  extrasOptions.int64Checks = std::move(integers);
}

void Inf::seedColumn(const std::string& name) {
  ColumnState& state = columnStates[name];
  state.order = table.order();
  state.counts.assign(table.typeCount(), NO_COUNT);
  for (const int id : state.order) state.counts[static_cast<size_t>(id)] = 0;
  state.counts[CompiledTable::OTHER_ID] = 0;
  state.counts[CompiledTable::NA_ID] = 0;
}

void Inf::readHeader(RowCursor& cursor, RangePass& pass, uint64_t base) {
  std::streamoff start = 0;
  std::vector<std::string> first = readFirstRow(cursor, start, nullptr);
  columns = columnNames(first, untitledCols, lastExtras.untitledCells);
  for (size_t c = 0; c < columns.size(); ++c) {
    seedColumn(columns[c]);
    pass.noteHeaderCell(static_cast<int>(c), columns[c]);
  }
  // A row holds at least one field: no cell, no header (an empty file).
  if (columns.empty()) return;
  pass.bindColumns(columns, table.order());
  if (parseOptions.header) {
    pass.endRow();
  } else {
    pass.endLine();
    pass.classifyRow(first, base + static_cast<uint64_t>(start));
  }
}

void Inf::setInput(bool decompress, std::string encoding, std::string member) {
  // An encoding that cannot be used is refused here, not at the next pass.
  if (!Transcoder::isUtf8(encoding)) Transcoder check(encoding);
  readOptions.decompress = decompress;
  readOptions.encoding = std::move(encoding);
  readOptions.member = std::move(member);
}

Inf::InputInfo Inf::getInputInfo() const { return lastInput; }

std::istream& Inf::openInput(std::ifstream& plain, std::unique_ptr<InputSource>& decoded) const {
  return InputSource::open(filepath, readOptions, plain, decoded);
}

void Inf::inferTypes() {
  n = 0;
  rejectNul<csv::StreamError>(filepath, INPUT_ERROR);
  if (saveTypesFile) rejectNul<TypesFileError>(typesFilepath, "Cannot open types file: ");
  std::ifstream plain;
  std::unique_ptr<InputSource> decoded;
  std::istream& input = openInput(plain, decoded);
  const WatchedInput watched(input, decoded.get());
  lastExtras = startExtras();
  const uint64_t preamble = skipPreamble(input, lastExtras);
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);
  parser.count_quirks(extrasOptions.on());
  RowCursor cursor(parser, parseOptions);
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
  if (extrasOptions.on()) {
    // Sized again when the header row ends.
    lastExtras.start(0, table.typeCount());
    pass.setExtras(&lastExtras);
  }
  if (lastExtras.formats.on()) pass.setVerdicts(&lastExtras.formats);
  // Counts, trial orders and the row count reach the session however the
  // pass ends, also by an error.
  auto endPass = [&] {
    lastInput.bytesRead = decoded ? decoded->bytesRead() : static_cast<uint64_t>(parser.position());
    n = pass.rows();
    lastExtras.add(cursor.tallies());
    if (extrasOptions.on()) lastExtras.quirks.addTokenizer(parser);
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
    readHeader(cursor, pass, preamble);
    pass.run(cursor, preamble, RangePass::NO_END);
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
  if (n > 0 && parseOptions.header) --n;
  if (typesFileFailed) throw TypesFileError("Cannot write types file: " + typesFilepath);
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
      table(other.table),
      extrasOptions(other.extrasOptions),
      formatsByType(other.formatsByType),
      parseOptions(other.parseOptions),
      readOptions(other.readOptions) {}

Inf Inf::fresh(std::string path) const { return Inf(*this, std::move(path)); }

Inf::ColumnCounts Inf::getColTypeCandidates() const {
  ColumnCounts out;
  out.reserve(columnStates.size());
  for (const auto& [name, state] : columnStates) {
    TypeCounts& byType = out[name];
    for (size_t id = 0; id < state.counts.size(); ++id)
      if (state.counts[id] != NO_COUNT)
        byType.emplace(table.name(static_cast<int>(id)), state.counts[id]);
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
  // The first row as written: no preamble, nothing skipped.
  const ReadingRules asWritten;
  RowCursor cursor(parser, asWritten);
  struct Width : RowSink {
    size_t width = 0;
    bool row(std::streamoff, size_t fields) {
      width = fields;
      return false;
    }
  } first;
  cursor.read(first);
  return static_cast<int>(std::min<size_t>(first.width, INT32_MAX));
}

void Inf::setExtras(int examplesPerType) { extrasOptions.examplesPerType = examplesPerType; }

Inf::Extras Inf::namedExtras(const PassExtras& extras) const {
  std::vector<std::string> names;
  for (size_t id = 0; id < table.typeCount(); ++id)
    names.push_back(table.name(static_cast<int>(id)));
  return namedExtras(extras, names);
}

Inf::Extras Inf::getExtras() const { return namedExtras(lastExtras); }

#ifndef QUORLE_ENGINE_ONLY
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "py_convert.h"
#include "sniff.h"

namespace py = pybind11;

PYBIND11_MODULE(quorle_ext, m) {
  m.doc() = "The quorle Python interface";
  // Faults of the input itself reach Python as OSError.
  py::register_exception<InputError>(m, "_InputError", PyExc_OSError);
  // The errors callers act on, as RuntimeError subclasses with the same messages.
  py::register_exception<csv::StreamError>(m, "_StreamError", PyExc_RuntimeError);
  py::register_exception<TypesFileError>(m, "_TypesFileError", PyExc_RuntimeError);
  py::register_exception<PassStopped>(m, "_Cancelled", PyExc_RuntimeError);
  // What another thread sees of a pass and asks of it; one object per pass.
  py::class_<PassWatch, std::shared_ptr<PassWatch>>(m, "_Progress")
      .def(py::init<>())
      .def_property_readonly("bytes_read", &PassWatch::bytesRead)
      .def("cancel", &PassWatch::cancel);
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
      .def("_type_matches", &Inf::typeMatches, py::arg("name"), py::arg("texts"))
      .def_property_readonly("num_rows", &Inf::getNumRows)
      .def_property_readonly("col_names", &Inf::getColNames)
      .def("_set_extras", &Inf::setExtras, py::arg("examples_per_type"))
      .def("_extras", &py_convert::sessionExtras)
      .def("_split_exact", &Inf::splitExact)
      .def("_infer_split", &Inf::inferSplit, py::arg("threads"), py::arg("keep_cache") = true,
           py::call_guard<py::gil_scoped_release>())
      .def("_infer_released", &py_convert::inferReleased, py::arg("threads"),
           py::arg("keep_cache") = true, py::arg("progress") = nullptr)
      .def("_read_header", &py_convert::header)
      .def("_infer_range", &py_convert::inferRange, py::arg("start"), py::arg("end"),
           py::arg("names"), py::arg("speculate"))
      .def("_fresh", &Inf::fresh, py::arg("filepath"))
      .def("_set_input", &Inf::setInput, py::arg("decompress"), py::arg("encoding"),
           py::arg("member") = "")
      .def("_set_reading", &Inf::setReading, py::arg("skip_blank_lines"), py::arg("header"),
           py::arg("skip_lines"), py::arg("comment"))
      .def("_set_numeric_checks", &Inf::setNumericChecks, py::arg("doubles"), py::arg("integers"))
      .def("_set_formats", &py_convert::setFormats, py::arg("formats"))
      .def("_input_info", &py_convert::inputInfo);
  // Rows for loading: per row its start offset and its fields as bytes. A
  // field at a position given a format is its canonical text; one that does
  // not fit ends the rows before its own, named by misfit.
  py::class_<RowReader>(m, "_RowReader")
      .def(py::init(&py_convert::newRowReader), py::arg("path"), py::arg("delimiter"),
           py::kw_only(), py::arg("encoding") = "utf-8", py::arg("skip_blank_lines") = false,
           py::arg("header") = true, py::arg("skip_lines") = 0, py::arg("comment") = "",
           py::arg("member") = "")
      .def_property_readonly("bytes_read", &RowReader::bytesRead)
      .def("next_batch", &py_convert::nextBatch, py::arg("max_rows"))
      .def("set_formats", &py_convert::setReaderFormats, py::arg("formats"),
           py::arg("na_values") = std::unordered_set<std::string>{})
      .def_property_readonly(
          "misfit", [](const RowReader& reader) { return py_convert::misfit(reader.misfit()); });
  // Rows for a bulk load, encoded: the batch, its rows' start offsets (native
  // int64), and the fault that stopped it (0 none; see RowEncoder::Fault);
  // misfit names a field that did not fit its format (fault 4).
  py::class_<RowEncoder>(m, "_RowEncoder")
      .def(py::init(&py_convert::newRowEncoder), py::arg("path"), py::arg("delimiter"),
           py::arg("na_values"), py::arg("canonical_csv"), py::arg("ignore_extra_fields"),
           py::kw_only(), py::arg("encoding") = "utf-8", py::arg("skip_blank_lines") = false,
           py::arg("header") = true, py::arg("skip_lines") = 0, py::arg("comment") = "",
           py::arg("member") = "")
      .def_property_readonly("width", &RowEncoder::width)
      .def_property_readonly("bytes_read", &RowEncoder::bytesRead)
      .def_property_readonly("longest_row", &RowEncoder::longestRow)
      .def_property_readonly("header", &py_convert::encoderHeader)
      .def("encode", &py_convert::encode, py::arg("max_rows"))
      .def_property_readonly("fault", &py_convert::encoderFault)
      .def("set_formats", &py_convert::setEncoderFormats, py::arg("formats"))
      .def_property_readonly(
          "misfit", [](const RowEncoder& encoder) { return py_convert::misfit(encoder.misfit()); });
  // The 1-based line of a row offset the classes above report.
  m.def("_line_at", &py_convert::lineAt, py::arg("path"), py::arg("offset"), py::kw_only(),
        py::arg("encoding") = "utf-8", py::arg("member") = "");
  // How a sniffing sample's lines are told apart, and which a reader passes over.
  m.def("_physical_lines", &py_convert::physicalLines, py::arg("text"));
  m.def("_passed_over", &passedOver, py::arg("line"), py::arg("comment"));
  // A pattern file's format: its regular expression, and a text it converts.
  m.def("_format_regex", &py_convert::formatRegex, py::arg("format"));
  m.def("_format_convert", &py_convert::formatConvert, py::arg("format"), py::arg("text"));
  m.def("_merge_extras", &py_convert::mergeExtras, py::arg("parts"), py::arg("width"),
        py::arg("examples_per_type"));
  m.def("_chain_ranges", &py_convert::chainRanges, py::arg("parts"), py::arg("reread"));
  m.def("_zip_members", &py_convert::zipMembers, py::arg("path"));
  m.def("_zip_read", &py_convert::zipRead, py::arg("path"), py::arg("member"), py::arg("limit"));
  m.def("_compression_of", &py_convert::compressionOf, py::arg("head"));
  // What an input's first bytes decide, as a dict; while they do not tell yet,
  // "more" is true and the rest unset. Sniffing b"" checks a name.
  m.attr("_AUTO_SAMPLE_BYTES") = AUTO_SAMPLE_BYTES;
  m.def("_sniff", &py_convert::sniff, py::arg("raw"), py::arg("whole"), py::arg("encoding"),
        py::arg("wanted"), py::kw_only(), py::arg("spellings") = std::vector<std::string>{},
        py::arg("decompress") = true, py::arg("name") = "");
}
#endif
