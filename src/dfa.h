// A byte-table automaton that decides a whole-field match exactly as
// boost::regex_match does, built only for expressions where that is provable.
// Boost costs a few hundred nanoseconds per call; the table costs a few per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class FieldAutomaton {
 public:
  // Fields longer than this go to Boost: beyond it the bound on Boost's own
  // backtracking work (and so on its errors) is no longer certain.
  static constexpr size_t MAX_FIELD = 256;

  FieldAutomaton() = default;

  // Builds the automaton for an expression that compiled with
  // boost::regex::normal. The result is usable() only when the expression
  // lies in the supported subset: literals, escapes of single characters,
  // bracket expressions, '.', groups, alternation and greedy or lazy
  // quantifiers, with a bounded number of parses per prefix. The form
  // `(?!(?:X)\z)(?:Y)\z` with X and Y in that subset is a set difference.
  static FieldAutomaton build(const std::string& source);

  bool usable() const { return !accepting.empty(); }

  // The table itself, for combining automata: states 0 (dead) to
  // stateCount() - 1, with 1 the start.
  size_t stateCount() const { return accepting.size(); }
  uint32_t next(uint32_t state, unsigned char byte) const {
    return transitions[(state << 8) | byte];
  }
  bool accepts(uint32_t state) const { return accepting[state] != 0; }

  // Whole-field match; requires usable() and size <= MAX_FIELD.
  bool match(const char* data, size_t size) const {
    uint32_t state = 1;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
      state = transitions[(state << 8) | p[i]];
      if (state == 0) return false;
    }
    return accepting[state] != 0;
  }

 private:
  // transitions[state * 256 + byte]; state 0 is the dead state, 1 the start.
  std::vector<uint16_t> transitions;
  std::vector<uint8_t> accepting;
};
