// The session's passes by byte ranges: the split pass's entry points, the
// header and lead-in a split starts from, and one range read on its own.
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "csv/parser.h"
#include "inf.h"
#include "pass_watch.h"
#include "path_checks.h"
#include "split_pass.h"
#include "transcoder.h"

namespace {

// Below this many bytes a split gains less than its threads cost: a few of
// the tokenizer's blocks.
constexpr uint64_t MIN_SPLIT_BYTES = 4 * csv::CsvParser::INPUTBUF_CAP;

}  // namespace

// Byte offsets of a compressed or transcoded file are no row starts of
// what the tokenizer reads.
const char* Inf::decodingRefusal() const {
  if (!Transcoder::isUtf8(readOptions.encoding)) return "the input is transcoded";
  if (!readOptions.member.empty()) return "the input is a zip member";
  if (readOptions.decompress && InputSource::probe(filepath) != Decompressor::Format::PLAIN)
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
  parser.count_quirks(extrasOptions.on());
  RowCursor cursor(parser, parseOptions);
  std::streamoff start = 0;
  Quirks beforeFirst;
  std::vector<std::string> first = readFirstRow(cursor, start, &beforeFirst);
  PassTallies read = cursor.tallies();
  // A headerless file's first row is read again as data, and counted there.
  if (!parseOptions.header) read.blankRows = 0;
  counts.add(read);
  Header header;
  header.names = columnNames(std::move(first), untitled, counts.untitledCells);
  header.dataStart =
      skipped + static_cast<uint64_t>(parseOptions.header ? parser.position() : start);
  if (!extrasOptions.on()) return header;
  // A headerless file's first row is read again as data, and counted there.
  if (parseOptions.header)
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
  const WatchedInput watched(input);
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);
  parser.count_quirks(extrasOptions.on());
  if (sessionCache) result.cache = *sessionCache;
  RangePass pass(*this, result.cache);
  if (sessionCache && parseOptions.header) pass.countHeader();
  pass.probeLongFields();
  pass.keepRowStarts(keepStarts);
  result.extras = startExtras();
  if (extrasOptions.on()) pass.setExtras(&result.extras);
  if (result.extras.formats.on()) pass.setVerdicts(&result.extras.formats);
  pass.bindColumns(names, table.order());
  RowCursor cursor(parser, parseOptions);
  pass.run(cursor, result.start, end);
  result.extras.add(cursor.tallies());
  if (extrasOptions.on()) result.extras.quirks.addTokenizer(parser);
  result.next = pass.next();
  result.rows = pass.rows();
  result.names = pass.names();
  result.counts = std::move(pass.counts());
  result.starts = pass.rowStarts();
  return result;
}

Inf::ColumnCounts Inf::namedCounts(const std::vector<std::string>& names,
                                   const std::vector<std::vector<uint64_t>>& counts) const {
  std::vector<int> seeded = table.order();
  seeded.push_back(CompiledTable::OTHER_ID);
  seeded.push_back(CompiledTable::NA_ID);
  ColumnCounts out;
  for (size_t u = 0; u < names.size(); ++u) {
    TypeCounts& byType = out[names[u]];
    for (const int id : seeded) byType[table.name(id)] = counts[u][static_cast<size_t>(id)];
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

namespace {

// The extras' members other than the examples, between the pass's form
// (by type id) and the result's (by name), which hold them alike.
template <class From, class To>
void copyAllButExamples(const From& from, To& to) {
  static_cast<PassTallies&>(to) = from;
  to.rowWidths = from.rowWidths;
  to.maxLengths = from.maxLengths;
  for (const auto& spellings : from.naSpellings)
    to.naSpellings.emplace_back(spellings.begin(), spellings.end());
  to.invalidUtf8 = from.invalidUtf8;
  to.fitsDouble.assign(from.fitsDouble.begin(), from.fitsDouble.end());
  to.fitsInt64.assign(from.fitsInt64.begin(), from.fitsInt64.end());
  to.intDigits = from.intDigits;
  to.fracDigits = from.fracDigits;
  to.untitledCells = from.untitledCells;
}

using NamedVerdicts = std::vector<std::map<std::string, Inf::Extras::FormatVerdict>>;

NamedVerdicts namedVerdicts(const FormatVerdicts& verdicts) {
  NamedVerdicts out(verdicts.columns.size());
  for (size_t c = 0; c < verdicts.columns.size(); ++c) {
    const std::vector<FormatVerdicts::Verdict>& column = verdicts.columns[c];
    for (size_t slot = 0; slot < column.size(); ++slot) {
      const FormatVerdicts::Verdict& verdict = column[slot];
      if (!verdict.seen()) continue;
      Inf::Extras::FormatVerdict& named = out[c][verdicts.checked->names[slot]];
      for (size_t a = 0; a < verdict.ruledOut.size(); ++a)
        named.alive.push_back((verdict.alive >> a) & 1);
      named.ruledOut = verdict.ruledOut;
    }
  }
  return out;
}

// namedVerdicts undone, with the slots of `checked`, which names every type.
FormatVerdicts numberedVerdicts(const NamedVerdicts& named,
                                const std::shared_ptr<const FormatVerdicts::Checked>& checked) {
  FormatVerdicts out;
  out.checked = checked;
  out.start(named.size());
  const std::vector<std::string>& names = checked->names;
  for (size_t c = 0; c < named.size(); ++c) {
    if (named[c].empty()) continue;
    out.columns[c].resize(names.size());
    for (const auto& [name, verdict] : named[c]) {
      const auto slot = std::find(names.begin(), names.end(), name) - names.begin();
      FormatVerdicts::Verdict& numbered = out.columns[c][static_cast<size_t>(slot)];
      const size_t count = std::min(verdict.alive.size(), FormatVerdicts::MAX_ALTERNATIVES);
      for (size_t a = 0; a < count; ++a)
        if (verdict.alive[a]) numbered.alive |= uint64_t{1} << a;
      numbered.ruledOut = verdict.ruledOut;
      numbered.ruledOut.resize(count);
    }
  }
  return out;
}

// The type names of the parts' verdicts in order of first sight, as slots.
std::shared_ptr<const FormatVerdicts::Checked> verdictSlots(const std::vector<Inf::Extras>& parts) {
  auto slots = std::make_shared<FormatVerdicts::Checked>();
  for (const auto& part : parts)
    for (const auto& column : part.formats)
      for (const auto& entry : column)
        if (std::find(slots->names.begin(), slots->names.end(), entry.first) == slots->names.end())
          slots->names.push_back(entry.first);
  return slots;
}

}  // namespace

Inf::Extras Inf::namedExtras(const PassExtras& extras, const std::vector<std::string>& names) {
  Extras out;
  copyAllButExamples(extras, out);
  out.formats = namedVerdicts(extras.formats);
  for (const auto& byType : extras.examples) {
    auto& named = out.examples.emplace_back();
    for (size_t id = 0; id < byType.size(); ++id)
      if (!byType[id].empty()) named.emplace(names[id], byType[id]);
  }
  return out;
}

PassExtras Inf::numberedExtras(const Extras& extras, const std::vector<std::string>& names) {
  PassExtras out;
  copyAllButExamples(extras, out);
  for (const auto& named : extras.examples) {
    auto& byType = out.examples.emplace_back(names.size());
    for (const auto& [name, texts] : named) {
      const auto id = std::find(names.begin(), names.end(), name) - names.begin();
      byType[static_cast<size_t>(id)] = texts;
    }
  }
  return out;
}

Inf::Extras Inf::mergeExtras(const std::vector<Extras>& parts, int width, int examplesPerType) {
  // The merge's own type ids: the parts' type names in order of first sight.
  std::vector<std::string> names;
  for (const auto& part : parts)
    for (const auto& named : part.examples)
      for (const auto& entry : named)
        if (std::find(names.begin(), names.end(), entry.first) == names.end())
          names.push_back(entry.first);
  PassExtras merged;
  merged.examplesPerType = examplesPerType;
  merged.start(width, names.size());
  // Sized by the parts: a session without formats has no list to merge.
  merged.formats.checked = verdictSlots(parts);
  for (const auto& part : parts) {
    PassExtras numbered = numberedExtras(part, names);
    numbered.formats = numberedVerdicts(part.formats, merged.formats.checked);
    merged.merge(numbered);
  }
  return namedExtras(merged, names);
}
