// The inference session: settings, the compiled pattern table, and the state
// a pass over one CSV file builds up. Knows nothing of Python.
#pragma once

#include <boost/regex.hpp>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "na_set.h"
#include "type_automaton.h"
#include "value_cache.h"

namespace csv {
class CsvParser;
}

class Inf {
 public:
  using PatternSources = std::unordered_map<std::string, std::vector<std::string>>;
  using PatternTable = std::unordered_map<std::string, std::vector<boost::regex>>;
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
  struct Extras {
    // [w] for w <= header width: data rows of exactly w fields; last: longer rows.
    std::vector<uint64_t> rowWidths;
    // Per header position: the longest data field, in bytes.
    std::vector<uint64_t> maxLengths;
    // Per header position: type name -> its first distinct texts.
    std::vector<std::map<std::string, std::vector<std::string>>> examples;
  };
  // examplesPerType < 0: off. 0: row widths and longest fields. k > 0: also
  // up to k distinct texts per position and type. Applies from the next pass.
  void setExtras(int examplesPerType);
  // The extras of the most recent pass; empty lists when it ran without them.
  Extras getExtras() const;

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
  // Type names are interned: the cache and the trial orders hold ids, and
  // only results are spelled out as strings.
  TextTable typeCache;
  // Texts the sequential pass classified without the cache, with their
  // types: the entries the cache would have gained, turned into entries
  // when something needs the cache itself.
  TextLog cacheLog;
  // typeCache holds entries made under an earlier table, which must be
  // honoured until the cache is emptied.
  bool cacheForeign = false;
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

  static constexpr int NA_ID = 0;
  static constexpr int OTHER_ID = 1;
  std::vector<std::string> typeNames;
  std::unordered_map<std::string, int> typeIds;

  // The current table by type id, with the automata that match it.
  PatternIndex patterns;

  // Locks of a parallel pass; null otherwise, so sequential work takes none.
  struct PassLocks {
    std::mutex cache;
    // Per position: the lock of its column name if other cells share it.
    std::vector<std::mutex*> byColumn;
  };
  PassLocks* locks = nullptr;

  // Extras gathered during a pass, by type id.
  struct PassExtras {
    int examplesPerType = -1;
    std::vector<uint64_t> rowWidths;
    std::vector<uint64_t> maxLengths;
    std::vector<std::vector<std::vector<std::string>>> examples;  // [position][type id]

    void start(int headerWidth, size_t numTypes);
    void countRow(size_t width);
    void noteField(int c, int id, std::string_view text);
  };
  int extrasSetting = -1;
  PassExtras lastExtras;

  struct Pass;

  int intern(const std::string& name);
  void indexPatterns();
  int searchType(std::string_view text, std::vector<int>& order) const;
  // What a sequential pass needs to decide fields by their text alone (see
  // inferTypes): per type id, whether its texts go through the cache in the
  // current window, because their place in a trial order depends on it.
  struct ByText {
    std::vector<uint8_t> viaCache;
  };
  template <class Guard>
  int classify(FieldProbe& field, std::vector<int>& order, std::mutex* colLock, ByText* byText);
  void materialiseLog();
  void clearCache();
  void seedColumn(int c, std::string cell, std::string& currLine);
  // Reads the first row, names the columns and seeds their tables.
  void readHeader(csv::CsvParser& parser, Pass& pass);
  void runSequential(csv::CsvParser& parser, Pass& pass);
  void runParallel(csv::CsvParser& parser, Pass& pass);
  void endRow(Pass& pass);
  void bindColumns(Pass& pass);
  void flushCounts(Pass& pass);
  void endPass(Pass& pass);
};
