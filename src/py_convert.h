// Python values made from the engine's results and the engine's objects made
// from Python arguments, for the module definition, which only registers
// them. Field texts go back as bytes: no encoding is assumed.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "formats.h"
#include "inf.h"
#include "pass_watch.h"
#include "row_encoder.h"
#include "row_reader.h"

namespace py_convert {

namespace py = pybind11;

// The extras as a dict: per-position lists, the quirks dict and the tallies.
py::dict extras(const Inf::Extras& extras);
// extras() undone: the dict of a pass or a range as Inf::Extras.
Inf::Extras extrasOf(const py::dict& extras);
// The extras dicts of one file's parts merged (see Inf::mergeExtras).
py::dict mergeExtras(const py::list& parts, int width, int examplesPerType);
// The session's extras of its most recent pass.
py::dict sessionExtras(const Inf& inf);
// (names as bytes, offset of the first data row, what the lead-in tallied).
py::tuple header(const Inf& inf);
// One range's results: its extras dict with start, next, rows and counts by
// name; the range is read without the GIL.
py::dict inferRange(const Inf& inf, uint64_t start, uint64_t end,
                    const std::vector<py::bytes>& names, bool speculate);
py::dict inputInfo(const Inf& inf);
// A format as a pattern file writes it: a dict with "pattern" (and
// "pivot_year") for dates and times, "true" and "false" for booleans, else a
// number's "decimal_mark", "group", "currency", "currency_after",
// "currency_space" and "percent"; "name" is the package's. Checked: throws
// std::invalid_argument naming what is wrong.
formats::Format formatOf(const py::dict& format);
// Inf::setFormats with {type name: [format dict, ...]}, each dict as
// formatOf reads it.
void setFormats(Inf& inf, const py::dict& byType);
// The format's regular expression, and a text converted by it (None: it
// does not fit).
std::string formatRegex(const py::dict& format);
std::optional<std::string> formatConvert(const py::dict& format, std::string_view text);
// The physical lines of a sniffing sample, as str (see physicalLines).
py::list physicalLines(const std::string& text);
// Chains the _infer_range results of one file's ranges in `parts` (see
// chainRanges): reread(i, start) returns range i read from `start`.
void chainRanges(py::list parts, const py::function& reread);
// _infer_split with the interpreter lock released, reporting to `progress`
// (none: a watch of its own); on one thread, the sequential pass, as
// infer_types runs it. On the main thread each check of the pass takes the
// lock to run signal handlers: one that raises stops the pass, and its
// exception leaves here.
std::string inferReleased(Inf& inf, int threads, bool keepCache,
                          std::shared_ptr<PassWatch> progress);

// How the row classes read: decoded and with the reading rules, as a pass.
std::unique_ptr<RowReader> newRowReader(const std::string& path, char delimiter,
                                        std::string encoding, bool skipBlankLines, bool header,
                                        uint64_t skipLines, const std::string& comment,
                                        std::string member);
// (start offsets, rows of fields as bytes) of up to maxRows next rows.
py::tuple nextBatch(RowReader& reader, size_t maxRows);

std::unique_ptr<RowEncoder> newRowEncoder(const std::string& path, char delimiter,
                                          const std::unordered_set<std::string>& naValues,
                                          bool canonicalCsv, bool ignoreExtraFields,
                                          std::string encoding, bool skipBlankLines, bool header,
                                          uint64_t skipLines, const std::string& comment,
                                          std::string member);
py::list encoderHeader(const RowEncoder& encoder);
// (rows, the batch, its rows' start offsets as native int64 bytes).
py::tuple encode(RowEncoder& encoder, size_t maxRows);
// (fault number, its row, its column); 0 is none (see RowEncoder::Fault).
py::tuple encoderFault(const RowEncoder& encoder);

// Formats by header position for the row classes, each a format dict (see
// formatOf) or None; a faulty one raises ValueError naming its position.
void setReaderFormats(RowReader& reader, const std::vector<std::optional<py::dict>>& byPosition,
                      const std::unordered_set<std::string>& naValues);
void setEncoderFormats(RowEncoder& encoder, const std::vector<std::optional<py::dict>>& byPosition);
// (row offset, column, field text as bytes) of the field that did not fit its
// format; None while none has.
py::object misfit(const std::optional<FieldFormats::Misfit>& misfit);

uint64_t lineAt(const std::string& path, uint64_t offset, std::string encoding, std::string member);
// (name bytes, method number, size) per member, from the archive's directory.
py::list zipMembers(const std::string& path);
// The first `limit` bytes of a member's text, as a pass reads them.
py::bytes zipRead(const std::string& path, const std::string& member, size_t limit);
// The format a pass finds by these first bytes, named as settings name it.
std::string compressionOf(const py::bytes& head);
// What the first bytes of an input decide (see sniff.h), as a dict.
py::dict sniff(const py::bytes& raw, bool whole, std::string encoding, size_t wanted,
               std::vector<std::string> spellings, bool decompress, std::string name);

}  // namespace py_convert
