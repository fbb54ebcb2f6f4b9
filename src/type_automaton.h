// The pattern table indexed for matching: per type its expressions and their
// automata, and one automaton combined from all of them, so that a single
// pass over a field's bytes tells which types accept it.
#pragma once

#include <boost/regex.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "dfa.h"

// The product of several field automata, grouped: a state is the tuple of
// the parts' states and knows which groups have an accepting part in it.
class TypeAutomaton {
 public:
  static constexpr size_t MAX_GROUPS = 64;
  // Beyond this the table outgrows the first-level cache; the parts' own
  // automata then serve instead.
  static constexpr size_t MAX_STATES = 4096;

  TypeAutomaton() = default;

  // groups[g] holds the usable automata of group g. The result is usable()
  // unless there are more than MAX_GROUPS groups or MAX_STATES states.
  static TypeAutomaton build(const std::vector<std::vector<const FieldAutomaton*>>& groups);

  bool usable() const { return !accepted.empty(); }

  // The groups with a part that accepts the whole text, one bit per group.
  // Requires usable(). Valid for any length: a part's language is its
  // expression's; whether Boost agrees on long texts is the caller's matter.
  uint64_t scan(const char* data, size_t size) const {
    uint32_t state = 1;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
      state = transitions[(state << shift) | byteClass[p[i]]];
      if (state == 0) return 0;
    }
    return accepted[state];
  }

  // Pairs of groups (g < h) that accept a common text, in ascending order.
  std::vector<std::pair<size_t, size_t>> overlappingGroups() const;

 private:
  // transitions[state << shift | class]; state 0 is dead, 1 the start.
  std::vector<uint16_t> transitions;
  uint8_t byteClass[256] = {};
  unsigned shift = 0;
  std::vector<uint64_t> accepted;
};

// Whether two usable automata accept a common text.
bool intersects(const FieldAutomaton& a, const FieldAutomaton& b);

// The compiled table by type id, with the matching rules written once.
class PatternIndex {
 public:
  static constexpr int NO_MATCH = -1;

  using Table = std::vector<std::pair<int, const std::vector<boost::regex>*>>;

  // Indexes the types of table, in its order, each under its id; idCount
  // bounds the ids. Ids not in the table never match.
  void build(const Table& table, size_t idCount);

  // Whether one of the type's expressions, tried in stored order, matches
  // the whole text. Errors Boost raises pass through.
  bool matches(int id, std::string_view text) const;

  // The first type in order that matches the whole text, exchanged with
  // the front; NO_MATCH when none does. Boost runs for exactly the
  // expressions it would run for if every expression were tried with it.
  int search(std::string_view text, std::vector<int>& order) const;

  // Every expression has an automaton and no text is matched by two
  // types: then a short text's type does not depend on the trial order.
  bool typeIsTextFunction() const { return textFunction; }

  // Requires typeIsTextFunction() and text.size() <= FieldAutomaton::MAX_FIELD:
  // the one type that matches the text, or NO_MATCH.
  int soleMatch(std::string_view text) const {
    const uint64_t mask = combined.scan(text.data(), text.size());
    return mask == 0 ? NO_MATCH : idOfSlot[static_cast<size_t>(__builtin_ctzll(mask))];
  }

  // Pairs of type ids, in table order within a pair, that some text
  // matches both; nullopt when an expression has no automaton.
  std::optional<std::vector<std::pair<int, int>>> overlaps() const;

 private:
  struct Type {
    std::vector<boost::regex> regexes;
    std::vector<FieldAutomaton> automata;
    bool complete = false;  // every expression has an automaton
    int slot = -1;          // its group in the combined automaton
  };
  std::vector<Type> byId;
  std::vector<int> idOfSlot;
  TypeAutomaton combined;
  bool allAutomata = false;
  bool textFunction = false;
};
