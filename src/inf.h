// The inference session: settings, the compiled pattern table, and the state
// a pass over one CSV file builds up. Knows nothing of Python.
#pragma once

#include <boost/regex.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "compiled_table.h"
#include "format_verdicts.h"
#include "input_source.h"
#include "na_set.h"
#include "options.h"
#include "range_pass.h"
#include "reading_rules.h"
#include "value_cache.h"

namespace csv {
class CsvParser;
}

// A types file that cannot be opened or written: a std::runtime_error of its
// own type, with the messages "Cannot open types file: PATH" and "Cannot
// write types file: PATH".
class TypesFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Inf {
 public:
  using PatternSources = std::unordered_map<std::string, std::vector<std::string>>;
  using PatternTable = CompiledTable::Patterns;
  using TypeCounts = std::unordered_map<std::string, unsigned long>;
  using ColumnCounts = std::unordered_map<std::string, TypeCounts>;

  static_assert(sizeof(unsigned long) == 8, "counts must be 64-bit");

  // Stores the settings and compiles every pattern source; a source that
  // does not compile throws boost::regex_error and no session exists.
  Inf(std::string filepath, char delimiter, PatternSources colTypePatterns,
      std::unordered_set<std::string> naValues, bool multithreading, bool saveTypesFile,
      std::string typesFilepath, int rollingCacheWindow);

  // Replaces the pattern table. On a bad source, throws boost::regex_error
  // and keeps what was compiled before it.
  void setColTypePatterns(PatternSources patterns);
  // The sources of the pattern table, per type in stored order.
  PatternSources getColTypePatterns() const;

  void setNaValues(std::unordered_set<std::string> values);
  std::unordered_set<std::string> getNaValues() const;
  void setFilepath(std::string path);
  std::string getFilepath() const;
  void setDelimiter(char c);
  char getDelimiter() const;
  void setMultithreading(bool on);
  bool getMultithreading() const;
  void setSaveTypesFile(bool on);
  bool getSaveTypesFile() const;
  void setTypesFilepath(std::string path);
  std::string getTypesFilepath() const;
  void setRollingCacheWindow(int window);
  int getRollingCacheWindow() const;

  // Classifies fields[c] for the column columns[c], writes the type name to
  // types[c] and counts it. Preconditions: c is valid for fields, types and
  // columns; the column's tables were seeded by a header row; the table
  // passed is the session's own colTypePatterns.
  void getColType(const std::vector<std::string>& fields, int c, PatternTable& colTypePatterns,
                  std::vector<std::string>& types);

  // Runs one pass over the file at filepath, reading it once (a pipe will
  // do). Throws std::runtime_error when the input or the types file cannot
  // be used, before opening anything if either path holds a NUL byte; other
  // errors pass through.
  void inferTypes();

  // The type name, "NA" or "other" each text gets when it is classified
  // alone, as a column's first field; for the Python package, not part of
  // the public interface. Errors are a pass's.
  std::vector<std::string> matchTexts(const std::vector<std::string>& texts) const;
  // Whether one of the expressions of the type `name` matches one of the
  // texts whole, whatever the other types; false for a name the table does
  // not have. For the Python package: its type maps ask what a type admits.
  bool typeMatches(const std::string& name, const std::vector<std::string>& texts) const;
  // Compiles one expression as the pattern table does; throws
  // boost::regex_error when it does not compile. For the Python package.
  static boost::regex compileExpression(const std::string& source);

  // Pairs of type names of the table that can match the same text, each
  // pair and the list sorted; nullopt when that cannot be decided (an
  // expression without an automaton).
  std::optional<std::vector<std::pair<std::string, std::string>>> typeOverlaps() const;

  // Copies of the results of the most recent pass.
  ColumnCounts getColTypeCandidates() const;
  uint64_t getNumRows() const;
  std::vector<std::string> getColNames() const;
  // Number of fields in the first row of the file at filepath (0 if empty).
  int getNumCols() const;

  // What the counts cannot tell, for the Python package; not part of the
  // public interface. Off by default, and then a pass does no extra work.
  // The skipped-line tallies are kept even then.
  struct Extras : PassTallies {
    // [w] for w <= header width: data rows of exactly w fields; last: longer rows.
    std::vector<uint64_t> rowWidths;
    // Per header position: the longest data field, in bytes.
    std::vector<uint64_t> maxLengths;
    // Per header position: type name -> its first distinct texts.
    std::vector<std::map<std::string, std::vector<std::string>>> examples;
    // Per header position: missing-value spelling -> fields spelled so.
    std::vector<std::map<std::string, uint64_t>> naSpellings;
    // Per header position: fields that are not valid UTF-8.
    std::vector<uint64_t> invalidUtf8;
    // Per header position: every field of the checked types passed (see
    // setNumericChecks); true when none was seen.
    std::vector<bool> fitsDouble, fitsInt64;
    // Per header position: the most digits a field of the checked types has
    // before its point (leading zeros not counted) and after it.
    std::vector<uint64_t> intDigits, fracDigits;
    // Header positions whose cell was empty, and got a name of the engine's.
    std::vector<uint64_t> untitledCells;
    // Per header position, while formats are set (see setFormats): type name
    // -> which of its alternatives every field of the type fitted, and each
    // one's first misfit. Only types with a field at that position.
    struct FormatVerdict {
      std::vector<bool> alive;
      std::vector<FormatVerdicts::RuledOut> ruledOut;
      bool operator==(const FormatVerdict& other) const {
        return alive == other.alive && ruledOut == other.ruledOut;
      }
    };
    std::vector<std::map<std::string, FormatVerdict>> formats;
  };
  // examplesPerType < 0: off. 0: row widths and longest fields. k > 0: also
  // up to k distinct texts per position and type. Applies from the next pass.
  void setExtras(int examplesPerType);
  // The extras of the most recent pass; empty lists when it ran without them.
  Extras getExtras() const;

  // How rows are read, for the Python package; not part of the public
  // interface. The defaults read as a public Inf does. skipBlankLines: a
  // line of no bytes (not `""`) is skipped and counted. header false: the
  // columns are column_1.. column_N, N the first row's width, and that row
  // is data. skipLines: physical lines skipped below the tokenizer.
  // comment: a row whose first byte, outside quotes, is this byte is
  // skipped and counted; "" for none. Blank lines and comments before the
  // header are skipped too. Applies from the next pass. Throws
  // std::invalid_argument for a comment of more than one byte, or a quote.
  void setReading(bool skipBlankLines, bool header, uint64_t skipLines, const std::string& comment);
  // Types whose fields are checked, per header position, when the extras
  // are on: `doubles` for being exactly a double as written, `integers` for
  // fitting a signed 64-bit integer. Applies from the next pass.
  void setNumericChecks(std::vector<std::string> doubles, std::vector<std::string> integers);
  // The formats of types, for the Python package; not part of the public
  // interface. Type name -> its alternatives, the ways its texts may be
  // written, in order. From the next pass on, every field classified as
  // such a type is tested against the alternatives still alive in its
  // column (see Extras::formats), in every pass mode and whether the other
  // extras are on or not. Names the pattern table does not have when a
  // pass starts are ignored: the table may be replaced after this. An empty
  // map turns the checks off. Throws std::invalid_argument for more than
  // FormatVerdicts::MAX_ALTERNATIVES alternatives or a format that fails
  // its check.
  void setFormats(std::map<std::string, std::vector<formats::Format>> byType);

  // Input decoding, for the Python package; not part of the public
  // interface. Off by default: a pass then reads the file's bytes as they are.
  // With decompress, what the first bytes show to be gzip, zstd, bzip2 or xz
  // is decompressed; an encoding other than UTF-8 (an iconv name) is
  // transcoded to UTF-8. A member names the member of a zip archive that a
  // pass reads (the file must then be one). Applies from the next pass.
  // Throws std::invalid_argument for an encoding that cannot be used.
  void setInput(bool decompress, std::string encoding, std::string member = "");
  struct InputInfo {
    std::string compression = "plain";  // what the most recent pass decompressed
    uint64_t bytesRead = 0;             // bytes of the file it read
  };
  InputInfo getInputInfo() const;

  // The split pass, for the Python package; not part of the public
  // interface. A file is cut into byte ranges classified at once, with
  // exactly the results of inferTypes().

  // Counts exact under a split: no two types of the table accept the same
  // text (typeOverlaps() is an empty list), so a field's type is a function
  // of its text alone, whatever the window, the cache or the trial order.
  bool splitExact() const;
  // Whether a sequential pass may decide short fields by their text alone
  // (see inferTypes).
  bool shortcutUsable() const;

  // Leaves the session exactly as inferTypes() would, reading the file on up
  // to `threads` threads (at least 1). Returns "" when it split, else why it
  // read on one core. Errors are inferTypes()'s. Without keepCache, a split
  // leaves the value cache empty instead of as a sequential pass would, and
  // saves rebuilding it, for a caller that starts its next pass afresh.
  std::string inferSplit(int threads, bool keepCache = true);
  // The same with the ranges cut at the given byte offsets, in ascending
  // order, whatever the file's size.
  std::string inferSplitAt(const std::vector<uint64_t>& cuts, bool keepCache = true);

  // The header as the next pass would name its columns, the offset of the
  // first data row, and what reading up to it tallied (skipped lines, the
  // header's quirks), which the ranges' tallies leave out. Changes nothing.
  struct Header {
    std::vector<std::string> names;
    uint64_t dataStart = 0;
    Extras leadIn;
  };
  Header peekHeader() const;

  // The results of one range: the rows that start in [start, end), read
  // with the given column names. Merged across ranges in file order: rows,
  // counts and row widths add up, longest fields take the maximum, examples
  // keep each type's first distinct texts; `next` of one range must equal
  // `start` of the following one, else that one is read again from `next`.
  struct RangeReport {
    uint64_t start = 0;  // offset of the first row
    uint64_t next = 0;   // offset of the first row not read
    uint64_t rows = 0;
    ColumnCounts counts;
    Extras extras;
  };
  // With speculate, the range first skips from start to just past the next
  // row end, as if start were outside quotes. Changes nothing in the session.
  RangeReport inferRange(uint64_t start, uint64_t end, const std::vector<std::string>& names,
                         bool speculate) const;

  // The extras of `parts` (a file's lead-in and its ranges' reports, or the
  // files of one header, in order), `width` columns wide, merged as a split
  // pass merges its ranges: counts add, longest fields take the maximum, the
  // numeric checks and the formats' fits AND, a misfit is the earliest
  // part's, and each type keeps its first examplesPerType distinct texts.
  // The header's facts are the first part's that has them.
  static Extras mergeExtras(const std::vector<Extras>& parts, int width, int examplesPerType);

  // A copy of the session that shares its compiled table, with an empty
  // value cache, fresh untitled-column numbering, no results, and filepath
  // replaced.
  Inf fresh(std::string filepath) const;

  // Settings. Replace the pattern table through setColTypePatterns and the
  // missing values through setNaValues: the pass matches with automata and
  // copies indexed there.
  std::string filepath;
  char delimiter;
  PatternTable colTypePatterns;
  std::unordered_set<std::string> naValues;
  bool multithreading;
  bool saveTypesFile;
  std::string typesFilepath;
  int rollingCacheWindow;

 private:
  friend class RangePass;
  friend class SplitPass;

  // Type names are interned: the cache and the trial orders hold ids, and
  // only results are spelled out as strings.
  ValueCache cache;
  NaSet naSet;
  // Per column name, in one entry so that a name is stored once (a header
  // cell can be huge, a header can have a million cells): its counts by type
  // id and its trial order. A type the name's table does not list has no
  // count (NO_COUNT, or an id past the end).
  static constexpr uint64_t NO_COUNT = ~uint64_t{0};
  struct ColumnState {
    std::vector<uint64_t> counts;
    std::vector<int> order;
    void add(int id, uint64_t k);
  };
  std::unordered_map<std::string, ColumnState> columnStates;
  uint64_t n;
  int untitledCols;
  std::vector<std::string> columns;

  // The current table by type id, with the automata that match it; a copy
  // fresh() makes has its own.
  CompiledTable table;

  ExtrasOptions extrasOptions;
  std::map<std::string, std::vector<formats::Format>> formatsByType;
  ParseOptions parseOptions;
  ReadOptions readOptions;
  PassExtras lastExtras;

  // The extras a pass starts from: settings and per type id checks.
  PassExtras startExtras() const;
  // The types with formats by slot, as ids of the current table; null when
  // no formats are set.
  std::shared_ptr<const FormatVerdicts::Checked> checkedFormats() const;
  // The first row not skipped, read to its end; `start` is where it begins.
  // With atStart, also the tokenizer's quirks before that row.
  std::vector<std::string> readFirstRow(RowCursor& cursor, std::streamoff& start,
                                        Quirks* atStart) const;
  // The column names of the first row, numbering empty cells on from
  // `untitled`; the positions of those cells go to `untitledCells`.
  std::vector<std::string> columnNames(std::vector<std::string> first, int& untitled,
                                       std::vector<uint64_t>& untitledCells) const;
  // Skips the preamble of `in` into counts; returns its bytes.
  uint64_t skipPreamble(std::istream& in, PassExtras& counts) const;

  InputInfo lastInput;

  // The locks classify takes under a guard that locks: the shared cache's
  // and the column's. Null ones are not taken.
  struct Locks {
    std::mutex* cache = nullptr;
    std::mutex* column = nullptr;
  };

  // What one range of a split pass leaves: by type id, per distinct name.
  struct RangeResult {
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t next = 0;
    uint64_t rows = 0;
    std::vector<std::string> names;
    std::vector<std::vector<uint64_t>> counts;
    PassExtras extras;
    ValueCache cache;
    RowStarts starts;
  };

  template <class Guard>
  int classify(FieldProbe& field, std::vector<int>& order, const Locks& locks, ByText* byText,
               ValueCache& cache, bool probeLong) const;
  // Resets the results of a column name for a pass that starts.
  void seedColumn(const std::string& name);
  // Reads the first row, names the columns and seeds their tables; a
  // headerless file's first row is classified. The cursor's stream begins
  // at byte `base` of the input.
  void readHeader(RowCursor& cursor, RangePass& pass, uint64_t base);
  // peekHeader, also counting what it skipped and the header's quirks.
  Header readLeadIn(int& untitled, PassExtras& counts) const;
  // The range's rows, classified with its own cache; see inferRange. With
  // sessionCache, the range is a split's first and starts from a copy of
  // that cache, counting the header (if the file has one) as its first row.
  RangeResult classifyRange(uint64_t start, uint64_t end, const std::vector<std::string>& names,
                            bool speculate, size_t keepStarts,
                            const ValueCache* sessionCache = nullptr) const;
  // The counts of one range pass, by name; seeded types included.
  ColumnCounts namedCounts(const std::vector<std::string>& names,
                           const std::vector<std::vector<uint64_t>>& counts) const;
  Extras namedExtras(const PassExtras& extras) const;
  // The extras by type name, `names` naming the ids; and that undone.
  static Extras namedExtras(const PassExtras& extras, const std::vector<std::string>& names);
  static PassExtras numberedExtras(const Extras& extras, const std::vector<std::string>& names);
  // The input a pass reads: the file's bytes in `plain` while decoding is
  // off, else a decoding source made in `decoded`.
  std::istream& openInput(std::ifstream& plain, std::unique_ptr<InputSource>& decoded) const;
  // Why decoding keeps the file from being read by byte ranges; null when
  // it does not.
  const char* decodingRefusal() const;
  // Why the file must be read on one core, whatever its size; null if
  // nothing forbids a split, and then size is the file's.
  const char* splitRefusal(uint64_t& size) const;
  // The copy fresh() makes.
  Inf(const Inf& other, std::string path);
};
