// A plain reference for the sequential pass, written from the rules
// themselves: rows from the reference tokenizer, a string-keyed cache that
// outlives passes and table changes, trial orders and counts by column name,
// the exchange on a match. Shared by the C++ tests and the fuzz targets, so
// that both hold the engine to the same oracle.
#pragma once

#include <boost/regex.hpp>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "csv_model.h"
#include "inf.h"

namespace reference {

using Counts = std::unordered_map<std::string, std::unordered_map<std::string, unsigned long>>;
using Table = std::vector<std::pair<std::string, std::vector<boost::regex>>>;

using Reading = csv_model::Reading;
using csv_model::keptRows;

struct Session {
  Counts counts;
  std::unordered_map<std::string, std::string> cache;
  std::unordered_map<std::string, std::vector<std::string>> order;
  int untitled = 0;
  // Reused by every match, so that matching allocates nothing.
  boost::smatch match;
  // Of the last pass: the column names, and the data rows once it completed.
  std::vector<std::string> columns;
  uint64_t numRows = 0;

  // One pass; the types-file lines of the rows finished before an error
  // are left in lines, and the error passes through. The cache is emptied
  // every `window` rows (never for a window of 0 or less).
  // Rows the reading settings skipped in the last pass.
  uint64_t blankLines = 0, commentLines = 0;
  // Blank lines the reading settings kept as rows, the first row included.
  uint64_t blankRows = 0;

  void pass(const std::string& text, const Inf::PatternTable& patterns, int window,
            const std::unordered_set<std::string>& na, std::vector<std::string>& lines,
            char delimiter = ',', const Reading& reading = Reading()) {
    const Table table(patterns.begin(), patterns.end());
    csv_model::Settings settings;
    settings.delimiter = delimiter;
    columns.clear();
    uint64_t n = 0;
    bool named = false;
    for (const auto& row :
         keptRows(text, settings, reading, blankLines, commentLines, &blankRows)) {
      std::string line;
      if (!named) {
        named = true;
        for (size_t c = 0; c < row.size(); ++c) {
          const std::string name = reading.header ? row[c] : "column_" + std::to_string(c + 1);
          line += (c ? "," : "") + seed(name, table, reading.header);
        }
        lines.push_back(line);
        if (!reading.header) {
          line.clear();
        } else {
          ++n;
          if (window > 0 && n % static_cast<uint64_t>(window) == 0) cache.clear();
          continue;
        }
      }
      for (size_t c = 0; c < row.size(); ++c) {
        if (c >= columns.size()) break;
        const std::string type = classify(row[c], order[columns[c]], table, na);
        ++counts[columns[c]][type];
        line += (c ? "," : "") + type;
      }
      lines.push_back(line);
      ++n;
      if (window > 0 && n % static_cast<uint64_t>(window) == 0) cache.clear();
    }
    numRows = n == 0 || !reading.header ? n : n - 1;
  }

  // Names a header cell (numbering an empty one when the file has a header)
  // and gives its name fresh counts and trial order.
  const std::string& seed(const std::string& cell, const Table& table, bool header = true) {
    columns.push_back(cell.empty() && header ? "Unitled_" + std::to_string(++untitled) : cell);
    const std::string& name = columns.back();
    auto& seeded = counts[name];
    seeded.clear();
    for (const auto& t : table) seeded[t.first] = 0;
    seeded["other"] = 0;
    seeded["NA"] = 0;
    auto& o = order[name];
    o.clear();
    for (const auto& t : table) o.push_back(t.first);
    return name;
  }

  std::string classify(const std::string& v, std::vector<std::string>& o, const Table& table,
                       const std::unordered_set<std::string>& na) {
    if (na.count(v)) return "NA";
    std::string& cached = cache[v];
    if (!cached.empty()) return cached;
    std::string type = "other";
    for (size_t ti = 0; ti < o.size(); ++ti) {
      bool found = false;
      for (const auto& t : table)
        if (t.first == o[ti])
          for (const auto& re : t.second) found = found || boost::regex_match(v, match, re);
      if (found) {
        type = o[ti];
        std::swap(o[0], o[ti]);
        break;
      }
    }
    cached = type;
    return type;
  }
};

}  // namespace reference
