#include "inf.h"

#include <algorithm>
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

}  // namespace

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
  this->naValues = std::move(naValues);
  setColTypePatterns(std::move(colTypePatterns));
}

void Inf::setColTypePatterns(PatternSources patterns) {
  colTypePatterns.clear();
  for (const auto& entry : patterns) {
    auto& compiled = colTypePatterns[entry.first];
    compiled.clear();
    for (const auto& source : entry.second)
      compiled.emplace_back(source, boost::regex::normal);
  }
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

void Inf::setNaValues(std::unordered_set<std::string> values) { naValues = std::move(values); }
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

void Inf::getColType(const std::vector<std::string>& fields, int c, PatternTable& colTypePatterns,
                     std::vector<std::string>& types) {
  const std::string& v = fields[c];
  const std::string& col = columns[c];
  std::mutex* cacheLock = locks ? &locks->cache : nullptr;
  std::mutex* colLock =
      locks && static_cast<size_t>(c) < locks->byColumn.size() ? locks->byColumn[c] : nullptr;

  // Node-based map: the entry's address survives later insertions.
  std::string* typeCacheEntry;
  {
    MaybeLock guard(cacheLock);
    typeCacheEntry = &typeCache[v];
  }

  std::string& type = types[c];
  if (naValues.count(v) != 0) {
    type = "NA";
  } else {
    bool hit;
    {
      MaybeLock guard(cacheLock);
      hit = !typeCacheEntry->empty();
      if (hit) type = *typeCacheEntry;
    }
    if (!hit) {
      type = "other";
      {
        MaybeLock guard(colLock);
        [&] {
          std::vector<std::string>& order = regexOrdering[col];
          for (size_t ti = 0; ti < order.size(); ++ti) {
            const std::string& typeKey = order[ti];
            for (const boost::regex& typeRegex : colTypePatterns[typeKey]) {
              if (boost::regex_match(v, typeRegex)) {
                type = typeKey;
                if (ti != 0) std::swap(order[0], order[ti]);
                return;
              }
            }
          }
        }();
      }
      MaybeLock guard(cacheLock);
      *typeCacheEntry = type;
    }
  }

  MaybeLock guard(colLock);
  ++colTypeCandidates[col][type];
}

void Inf::seedColumn(int c, const std::string& cell, std::string& currLine) {
  std::string& name = columns[c];
  name = cell;
  if (name.empty()) {
    ++untitledCols;
    name = "Unitled_" + std::to_string(untitledCols);
  }
  TypeCounts& counts = colTypeCandidates[name];
  counts.clear();
  for (const auto& entry : colTypePatterns) counts[entry.first] = 0;
  counts["other"] = 0;
  counts["NA"] = 0;
  std::vector<std::string>& order = regexOrdering[name];
  order.clear();
  for (const auto& entry : colTypePatterns) order.push_back(entry.first);
  appendEntry(currLine, c, name);
}

void Inf::classifyRowInParallel(const std::vector<std::string>& row, int width,
                                std::vector<std::string>& fields,
                                std::vector<std::string>& types, std::string& currLine) {
  const int numCols = static_cast<int>(fields.size());
  std::vector<std::exception_ptr> errors(static_cast<size_t>(numCols));
  auto classify = [this, &fields, &types, &errors](int c) {
    try {
      getColType(fields, c, colTypePatterns, types);
    } catch (...) {
      errors[c] = std::current_exception();
    }
  };
  {
    RowThreads threads;
    threads.ft.resize(static_cast<size_t>(numCols));
    for (int c = 0; c < width; ++c) {
      fields[c] = row[c];
      try {
        threads.ft[c] = std::thread(classify, c);
      } catch (const std::system_error&) {
        // Out of threads: classify this field here, the result is the same.
        classify(c);
      }
    }
    for (int j = 0; j < numCols; ++j)
      if (threads.ft[j].joinable()) threads.ft[j].join();
  }
  for (int j = 0; j < width; ++j)
    if (errors[j]) std::rethrow_exception(errors[j]);
  for (int j = 0; j < width; ++j) appendEntry(currLine, j, types[j]);
}

void Inf::inferTypes() {
  n = 0;
  std::ifstream input(filepath, std::ios::binary);
  csv::CsvParser parser(input);
  parser.delimiter(delimiter);

  std::ofstream typesFile;
  if (saveTypesFile) {
    // Truncating the input before reading it would destroy the user's data.
    std::error_code ec;
    if (std::filesystem::equivalent(filepath, typesFilepath, ec))
      throw std::runtime_error("Cannot open types file: " + typesFilepath + " (it is the input file)");
    typesFile.open(typesFilepath, std::ios::binary | std::ios::trunc);
    if (!typesFile.is_open()) throw std::runtime_error("Cannot open types file: " + typesFilepath);
  }

  int numCols = getNumCols();
  columns.assign(static_cast<size_t>(numCols), std::string());

  std::vector<std::string> fields(static_cast<size_t>(numCols));
  std::vector<std::string> types(static_cast<size_t>(numCols));
  std::string currLine;
  PassLocks passLocks;
  std::unordered_map<std::string, std::mutex> nameLocks;
  struct ResetLocks {
    PassLocks*& target;
    ~ResetLocks() { target = nullptr; }
  } resetLocks{locks};

  const uint64_t window = static_cast<uint64_t>(static_cast<int64_t>(rollingCacheWindow));

  for (const auto& row : parser) {
    currLine.clear();
    // Fields past a row's width are never classified; extra fields of a long
    // row have no column and are passed over.
    const int width = std::min(static_cast<int>(std::min<size_t>(row.size(), INT32_MAX)), numCols);
    for (auto& t : types) t.clear();
    for (int c = width; c < numCols; ++c) fields[c].clear();

    if (n == 0) {
      for (int c = 0; c < width; ++c) {
        fields[c] = row[c];
        seedColumn(c, fields[c], currLine);
      }
      if (width < numCols) {
        // The file changed between the two reads of its header: keep only
        // the columns this header really has.
        numCols = width;
        columns.resize(static_cast<size_t>(numCols));
        fields.resize(static_cast<size_t>(numCols));
        types.resize(static_cast<size_t>(numCols));
      }
      if (multithreading) {
        std::unordered_map<std::string, int> uses;
        for (const auto& name : columns) ++uses[name];
        passLocks.byColumn.assign(static_cast<size_t>(numCols), nullptr);
        for (int c = 0; c < numCols; ++c)
          if (uses[columns[c]] > 1) passLocks.byColumn[c] = &nameLocks[columns[c]];
        locks = &passLocks;
      }
    } else if (multithreading) {
      classifyRowInParallel(row, width, fields, types, currLine);
    } else {
      for (int c = 0; c < width; ++c) {
        fields[c] = row[c];
        getColType(fields, c, colTypePatterns, types);
        appendEntry(currLine, c, types[c]);
      }
    }

    if (saveTypesFile) {
      currLine.push_back('\n');
      typesFile.write(currLine.data(), static_cast<std::streamsize>(currLine.size()));
    }
    ++n;
    // A window of 0 would divide by zero: it means the cache is never emptied.
    if (window != 0 && n % window == 0) typeCache.clear();
  }

  bool typesFileFailed = false;
  if (saveTypesFile) {
    typesFile.close();
    typesFileFailed = typesFile.fail();
  }
  if (n > 0) --n;
  if (typesFileFailed) throw std::runtime_error("Cannot write types file: " + typesFilepath);
}

Inf::ColumnCounts Inf::getColTypeCandidates() const { return colTypeCandidates; }

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

#ifndef QUORLE_ENGINE_ONLY
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

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
      .def_property_readonly("num_rows", &Inf::getNumRows)
      .def_property_readonly("col_names", &Inf::getColNames);
}
#endif
