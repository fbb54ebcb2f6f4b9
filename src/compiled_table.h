// The pattern table compiled for matching, by type id: the interned type
// names, the index with its automata, and the table's own trial order. A
// session owns one; the threads of one pass share it, reading only. A copy
// shares the index, which is never changed, only replaced: copying its
// automata would cost a small file's pass a tenth of its time.
#pragma once

#include <boost/regex.hpp>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "type_automaton.h"

class CompiledTable {
 public:
  using Patterns = std::unordered_map<std::string, std::vector<boost::regex>>;

  static constexpr int NA_ID = 0;
  static constexpr int OTHER_ID = 1;

  CompiledTable();

  // Indexes `patterns` in their iteration order. Names stay interned across
  // tables: a cache keeps the ids of an earlier table's entries.
  void index(const Patterns& patterns);

  size_t typeCount() const { return names.size(); }
  const std::string& name(int id) const { return names[static_cast<size_t>(id)]; }
  // The id of a type name, or NO_TYPE when no table named it.
  static constexpr int NO_TYPE = -1;
  int find(const std::string& name) const;
  // The table's type ids in stored order: every column's first trial order.
  const std::vector<int>& order() const { return stored; }

  // The first type in `order` that matches the whole text (exchanged with
  // the front, see PatternIndex::search), else OTHER_ID.
  int search(std::string_view text, std::vector<int>& order) const;
  // Whether one of the type's expressions matches the whole text.
  bool matches(int id, std::string_view text) const { return patterns->matches(id, text); }
  // Runs every expression of the table on text, for the errors alone.
  void probeExpressions(std::string_view text) const;
  // See PatternIndex::soleMatch and typeIsTextFunction.
  int soleMatch(std::string_view text) const { return patterns->soleMatch(text); }
  bool typeIsTextFunction() const { return patterns->typeIsTextFunction(); }

  // Pairs of type names that can match the same text, each pair and the
  // list sorted; nullopt when that cannot be decided (an expression without
  // an automaton).
  std::optional<std::vector<std::pair<std::string, std::string>>> overlaps() const;
  // No two types accept the same text: a field's type is a function of its
  // text alone, whatever the window, the cache or the trial order.
  bool splitExact() const;

 private:
  std::vector<std::string> names;
  std::unordered_map<std::string, int> ids;
  std::vector<int> stored;
  std::shared_ptr<const PatternIndex> patterns;

  int intern(const std::string& name);
};
