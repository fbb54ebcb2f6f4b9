#include "py_convert.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "input_source.h"
#include "range_chain.h"
#include "sniff.h"
#include "zip_archive.h"

namespace py_convert {

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

// The tally at `key` of `from`, or of its dict `group`; 0 where it is absent.
uint64_t getTally(const py::dict& from, const char* group, const char* key) {
  const py::dict in = group == nullptr       ? from
                      : from.contains(group) ? from[group].cast<py::dict>()
                                             : py::dict();
  return in.contains(key) ? in[key].cast<uint64_t>() : 0;
}

// The main thread is the one that runs signal handlers.
bool isMainThread() {
  const py::object main = py::module_::import("threading").attr("main_thread")();
  return main.attr("ident").cast<unsigned long>() == PyThread_get_thread_ident();
}

InputSource::Settings decoding(std::string encoding, std::string member) {
  return InputSource::Settings{true, std::move(encoding), std::move(member)};
}

// Per position {type: {"fits": [bool], "ruled_out": [None | (offset, bytes)]}}.
py::list verdictsDict(const std::vector<std::map<std::string, Inf::Extras::FormatVerdict>>& all) {
  py::list out;
  for (const auto& column : all) {
    py::dict byType;
    for (const auto& [name, verdict] : column) {
      py::list ruledOut;
      for (const auto& misfit : verdict.ruledOut) {
        if (misfit)
          ruledOut.append(py::make_tuple(misfit->first, py::bytes(misfit->second)));
        else
          ruledOut.append(py::none());
      }
      py::dict entry;
      entry["fits"] = verdict.alive;
      entry["ruled_out"] = ruledOut;
      byType[py::str(name)] = entry;
    }
    out.append(byType);
  }
  return out;
}

std::vector<std::map<std::string, Inf::Extras::FormatVerdict>> verdictsOf(const py::list& all) {
  std::vector<std::map<std::string, Inf::Extras::FormatVerdict>> out;
  for (const auto& column : all) {
    auto& byType = out.emplace_back();
    for (const auto& [name, entry] : column.cast<py::dict>()) {
      Inf::Extras::FormatVerdict& verdict = byType[name.cast<std::string>()];
      verdict.alive = entry["fits"].cast<std::vector<bool>>();
      for (const auto& misfit : entry["ruled_out"].cast<py::list>()) {
        if (misfit.is_none())
          verdict.ruledOut.emplace_back();
        else
          verdict.ruledOut.emplace_back(misfit.cast<std::pair<uint64_t, std::string>>());
      }
    }
  }
  return out;
}

}  // namespace

py::dict extras(const Inf::Extras& extras) {
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
  out["int_digits"] = extras.intDigits;
  out["frac_digits"] = extras.fracDigits;
  out["untitled_cells"] = extras.untitledCells;
  out["formats"] = verdictsDict(extras.formats);
  return out;
}

Inf::Extras extrasOf(const py::dict& extras) {
  Inf::Extras out;
  out.rowWidths = extras["row_widths"].cast<std::vector<uint64_t>>();
  out.maxLengths = extras["max_lengths"].cast<std::vector<uint64_t>>();
  for (const auto& named : extras["examples"].cast<py::list>()) {
    auto& byType = out.examples.emplace_back();
    for (const auto& [name, texts] : named.cast<py::dict>())
      byType[name.cast<std::string>()] = texts.cast<std::vector<std::string>>();
  }
  for (const auto& named : extras["na_spellings"].cast<py::list>()) {
    auto& spellings = out.naSpellings.emplace_back();
    for (const auto& [spelling, count] : named.cast<py::dict>())
      spellings[spelling.attr("encode")("utf-8", "surrogateescape").cast<std::string>()] =
          count.cast<uint64_t>();
  }
  out.invalidUtf8 = extras["invalid_utf8"].cast<std::vector<uint64_t>>();
  out.fitsDouble = extras["fits_double"].cast<std::vector<bool>>();
  out.fitsInt64 = extras["fits_int64"].cast<std::vector<bool>>();
  out.intDigits = extras["int_digits"].cast<std::vector<uint64_t>>();
  out.fracDigits = extras["frac_digits"].cast<std::vector<uint64_t>>();
  if (extras.contains("untitled_cells"))
    out.untitledCells = extras["untitled_cells"].cast<std::vector<uint64_t>>();
  if (extras.contains("formats")) out.formats = verdictsOf(extras["formats"].cast<py::list>());
  const py::dict quirks = extras["quirks"].cast<py::dict>();
#define QUORLE_GET_QUIRK(member, key, group, merge) \
  out.quirks.member = getTally(quirks, group, key);
  QUORLE_QUIRK_FIELDS(QUORLE_GET_QUIRK)
#undef QUORLE_GET_QUIRK
#define QUORLE_GET_LINES(member, key, group, merge) out.member = getTally(extras, group, key);
  QUORLE_LINE_FIELDS(QUORLE_GET_LINES)
#undef QUORLE_GET_LINES
  return out;
}

py::dict mergeExtras(const py::list& parts, int width, int examplesPerType) {
  std::vector<Inf::Extras> converted;
  for (const auto& part : parts) converted.push_back(extrasOf(part.cast<py::dict>()));
  return extras(Inf::mergeExtras(converted, width, examplesPerType));
}

py::dict sessionExtras(const Inf& inf) { return extras(inf.getExtras()); }

py::tuple header(const Inf& inf) {
  const Inf::Header header = inf.peekHeader();
  py::list names;
  for (const auto& name : header.names) names.append(py::bytes(name));
  return py::make_tuple(names, header.dataStart, extras(header.leadIn));
}

py::dict inferRange(const Inf& inf, uint64_t start, uint64_t end,
                    const std::vector<py::bytes>& names, bool speculate) {
  std::vector<std::string> columns(names.begin(), names.end());
  Inf::RangeReport report;
  {
    py::gil_scoped_release release;
    report = inf.inferRange(start, end, columns, speculate);
  }
  py::dict counts;
  for (const auto& [name, table] : report.counts) counts[py::bytes(name)] = table;
  py::dict out = extras(report.extras);
  out["start"] = report.start;
  out["next"] = report.next;
  out["rows"] = report.rows;
  out["counts"] = counts;
  return out;
}

void chainRanges(py::list parts, const py::function& reread) {
  const auto at = [&](size_t i, const char* key) { return parts[i][key].cast<uint64_t>(); };
  ::chainRanges(
      parts.size(), [&](size_t i) { return at(i, "start"); },
      [&](size_t i) { return at(i, "next"); },
      [&](size_t i, uint64_t start) { parts[i] = reread(i, start); });
}

namespace {

// The keys a format dict may have, by the kind they belong to.
constexpr const char* TEMPORAL_KEYS[] = {"pattern", "pivot_year"};
constexpr const char* BOOLEAN_KEYS[] = {"true", "false"};
constexpr const char* NUMBER_KEYS[] = {"decimal_mark",   "group",          "currency",
                                       "currency_after", "currency_space", "percent"};
constexpr const char* NAME_KEY = "name";

template <size_t N>
void checkKeys(const py::dict& format, const char* const (&allowed)[N], const char* kind) {
  for (const auto& item : format) {
    const std::string key = py::str(item.first);
    const bool known = key == NAME_KEY || std::any_of(std::begin(allowed), std::end(allowed),
                                                      [&](const char* k) { return key == k; });
    if (!known)
      throw std::invalid_argument("a " + std::string(kind) + " format has no setting \"" + key +
                                  "\"");
  }
}

template <class T>
T setting(const py::dict& format, const char* key, T otherwise) {
  return format.contains(key) ? format[key].cast<T>() : otherwise;
}

}  // namespace

formats::Format formatOf(const py::dict& format) {
  if (format.contains("pattern")) {
    checkKeys(format, TEMPORAL_KEYS, "date or time");
    std::optional<int> pivot;
    if (format.contains("pivot_year")) pivot = format["pivot_year"].cast<int>();
    return formats::Format::temporal(format["pattern"].cast<std::string>(), pivot);
  }
  if (format.contains("true") || format.contains("false")) {
    checkKeys(format, BOOLEAN_KEYS, "boolean");
    using Words = std::vector<std::string>;
    return formats::Format::boolean(setting(format, "true", Words{}),
                                    setting(format, "false", Words{}));
  }
  checkKeys(format, NUMBER_KEYS, "number");
  const std::string mark = setting<std::string>(format, "decimal_mark", ".");
  if (mark.size() != 1) throw std::invalid_argument("a decimal mark is one character: . or ,");
  return formats::Format::number(
      mark[0], setting<std::string>(format, "group", ""),
      setting<std::string>(format, "currency", ""), setting(format, "currency_after", false),
      setting(format, "currency_space", false), setting(format, "percent", false));
}

void setFormats(Inf& inf, const py::dict& byType) {
  std::map<std::string, std::vector<formats::Format>> converted;
  for (const auto& [name, alternatives] : byType) {
    auto& list = converted[name.cast<std::string>()];
    for (const auto& format : alternatives.cast<py::list>())
      list.push_back(formatOf(format.cast<py::dict>()));
  }
  inf.setFormats(std::move(converted));
}

std::string formatRegex(const py::dict& format) { return formats::regexSource(formatOf(format)); }

std::optional<std::string> formatConvert(const py::dict& format, std::string_view text) {
  std::string canonical;
  if (!formats::convert(formatOf(format), text, canonical)) return std::nullopt;
  return canonical;
}

py::list physicalLines(const std::string& text) {
  py::list lines;
  for (const std::string_view line : ::physicalLines(text))
    lines.append(py::str(line.data(), line.size()));
  return lines;
}

py::dict inputInfo(const Inf& inf) {
  const Inf::InputInfo info = inf.getInputInfo();
  py::dict out;
  out["compression"] = info.compression;
  out["bytes_read"] = info.bytesRead;
  return out;
}

std::unique_ptr<RowReader> newRowReader(const std::string& path, char delimiter,
                                        std::string encoding, bool skipBlankLines, bool header,
                                        uint64_t skipLines, const std::string& comment,
                                        std::string member) {
  return std::make_unique<RowReader>(
      path, delimiter, decoding(std::move(encoding), std::move(member)),
      ReadingRules::make(skipBlankLines, header, skipLines, comment));
}

py::tuple nextBatch(RowReader& reader, size_t maxRows) {
  std::vector<RowReader::Row> rows;
  py::list offsets, batch;
  reader.nextBatch(maxRows, rows);
  for (const auto& row : rows) {
    py::list fields(row.fields.size());
    for (size_t i = 0; i < row.fields.size(); ++i) fields[i] = py::bytes(row.fields[i]);
    offsets.append(row.offset);
    batch.append(std::move(fields));
  }
  return py::make_tuple(offsets, batch);
}

std::unique_ptr<RowEncoder> newRowEncoder(const std::string& path, char delimiter,
                                          const std::unordered_set<std::string>& naValues,
                                          bool canonicalCsv, bool ignoreExtraFields,
                                          std::string encoding, bool skipBlankLines, bool header,
                                          uint64_t skipLines, const std::string& comment,
                                          std::string member) {
  const auto format =
      canonicalCsv ? RowEncoder::Format::CANONICAL_CSV : RowEncoder::Format::POSTGRES_TEXT;
  return std::make_unique<RowEncoder>(
      path, delimiter, naValues, format, ignoreExtraFields,
      decoding(std::move(encoding), std::move(member)),
      ReadingRules::make(skipBlankLines, header, skipLines, comment));
}

py::list encoderHeader(const RowEncoder& encoder) {
  py::list cells;
  for (const auto& cell : encoder.header()) cells.append(py::bytes(cell));
  return cells;
}

py::tuple encode(RowEncoder& encoder, size_t maxRows) {
  std::string batch;
  std::vector<int64_t> offsets;
  const size_t rows = encoder.encode(maxRows, batch, offsets);
  const py::bytes starts(reinterpret_cast<const char*>(offsets.data()),
                         offsets.size() * sizeof(int64_t));
  return py::make_tuple(rows, py::bytes(batch), starts);
}

py::tuple encoderFault(const RowEncoder& encoder) {
  return py::make_tuple(static_cast<int>(encoder.fault()), encoder.faultRow(),
                        encoder.faultColumn());
}

namespace {

std::vector<std::optional<formats::Format>> formatsByPosition(
    const std::vector<std::optional<py::dict>>& byPosition) {
  std::vector<std::optional<formats::Format>> alternatives(byPosition.size());
  for (size_t c = 0; c < byPosition.size(); ++c) {
    if (!byPosition[c]) continue;
    try {
      alternatives[c] = formatOf(*byPosition[c]);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("the format at position " + std::to_string(c) + ": " + e.what());
    }
  }
  return alternatives;
}

}  // namespace

void setReaderFormats(RowReader& reader, const std::vector<std::optional<py::dict>>& byPosition,
                      const std::unordered_set<std::string>& naValues) {
  reader.setFormats(formatsByPosition(byPosition), naValues);
}

void setEncoderFormats(RowEncoder& encoder,
                       const std::vector<std::optional<py::dict>>& byPosition) {
  encoder.setFormats(formatsByPosition(byPosition));
}

py::object misfit(const std::optional<FieldFormats::Misfit>& misfit) {
  if (!misfit) return py::none();
  return py::make_tuple(misfit->offset, misfit->column, py::bytes(misfit->text));
}

uint64_t lineAt(const std::string& path, uint64_t offset, std::string encoding,
                std::string member) {
  return RowReader::lineAt(path, decoding(std::move(encoding), std::move(member)), offset);
}

py::list zipMembers(const std::string& path) {
  py::list out;
  for (const auto& member : ZipArchive::list(path))
    out.append(py::make_tuple(py::bytes(member.name), member.method, member.size));
  return out;
}

py::bytes zipRead(const std::string& path, const std::string& member, size_t limit) {
  std::string text(limit, '\0');
  {
    py::gil_scoped_release release;
    InputSource source(path, InputSource::Settings{true, "", member});
    source.stream().read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<size_t>(source.stream().gcount()));
  }
  return py::bytes(text);
}

std::string compressionOf(const py::bytes& head) {
  return Decompressor::formatName(Decompressor::detect(std::string_view(head)));
}

std::string inferReleased(Inf& inf, int threads, bool keepCache,
                          std::shared_ptr<PassWatch> progress) {
  PassWatch& watch = progress ? *progress : *(progress = std::make_shared<PassWatch>());
  std::optional<py::error_already_set> raised;
  const PassWatch::Poll poll = [&raised, &watch] {
    if (raised) return;
    const py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return;
    raised.emplace();
    watch.cancel();
  };
  const bool handlesSignals = isMainThread();
  std::string reason;
  std::exception_ptr failure;
  {
    const py::gil_scoped_release release;
    const PassWatch::Scope scope(&watch, handlesSignals ? &poll : nullptr);
    try {
      if (threads == 1)
        inf.inferTypes();
      else
        reason = inf.inferSplit(threads, keepCache);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (raised) throw std::move(*raised);
  if (!failure) return reason;
  if (watch.cancelled()) throw PassStopped();
  // A signal that cut a system call short (opening a FIFO) explains the error.
  if (handlesSignals && PyErr_CheckSignals() != 0) throw py::error_already_set();
  std::rethrow_exception(failure);
}

py::dict sniff(const py::bytes& raw, bool whole, std::string encoding, size_t wanted,
               std::vector<std::string> spellings, bool decompress, std::string name) {
  const SniffRequest request{std::move(encoding), std::move(spellings), wanted, decompress,
                             std::move(name)};
  const std::string_view bytes(raw);
  Sniff found;
  {
    py::gil_scoped_release release;
    found = ::sniff(bytes, whole, request);
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
}

}  // namespace py_convert
