#include "dfa.h"

#include <bitset>
#include <boost/regex.hpp>
#include <cctype>
#include <map>
#include <unordered_map>
#include <utility>

namespace {

using ByteSet = std::bitset<256>;

// Caps that keep building cheap and keep Boost's work provably small.
constexpr size_t MAX_POSITIONS = 512;
constexpr size_t MAX_STATES = 2048;
// Most partial parses any prefix may have: Boost's backtracking explores at
// most this many per input byte, far below its complexity limit.
constexpr unsigned MAX_AMBIGUITY = 16;
// Most branches Boost may try and fail from one state before the next byte.
constexpr size_t MAX_FANOUT = 64;
constexpr int MAX_REPEAT = 1000;

struct Unsupported {};

struct Node {
  enum Kind { EMPTY, SET, CAT, ALT, STAR, PLUS, OPT } kind = EMPTY;
  ByteSet set;
  std::vector<Node> kids;
};

Node makeNode(Node::Kind kind, std::vector<Node> kids = {}) {
  Node node;
  node.kind = kind;
  node.kids = std::move(kids);
  return node;
}

size_t countLeaves(const Node& node) {
  if (node.kind == Node::SET) return 1;
  size_t total = 0;
  for (const auto& kid : node.kids) total += countLeaves(kid);
  return total;
}

// Recursive-descent parser for the supported subset. Each single-byte atom's
// byte set is asked of Boost itself, so classes, escapes and locale rules
// agree with the real matcher by construction.
class Parser {
 public:
  explicit Parser(const std::string& source) : src(source) {}

  Node parse() {
    Node root = parseAlt();
    if (pos != src.size()) throw Unsupported{};
    return root;
  }

  // The form `(?!(?:X)\z)(?:Y)\z`: the fields Y matches and X does not.
  // False, with nothing consumed, when the source does not start that way.
  // `\z` is required: Boost's `$` also matches before a final newline.
  bool parseDifference(Node& removed, Node& kept) {
    if (!consume("(?!(?:")) return false;
    removed = parseAlt();
    if (!consume(")\\z)(?:")) throw Unsupported{};
    kept = parseAlt();
    if (!consume(")\\z") || !atEnd()) throw Unsupported{};
    return true;
  }

 private:
  const std::string& src;
  size_t pos = 0;
  std::unordered_map<std::string, ByteSet> atomSets;
  size_t depth = 0;

  bool atEnd() const { return pos >= src.size(); }
  bool consume(const char* text) {
    const std::string expected(text);
    if (src.compare(pos, expected.size(), expected) != 0) return false;
    pos += expected.size();
    return true;
  }
  char peek() const { return src[pos]; }

  Node parseAlt() {
    if (++depth > 100) throw Unsupported{};
    std::vector<Node> branches;
    branches.push_back(parseSeq());
    while (!atEnd() && peek() == '|') {
      ++pos;
      branches.push_back(parseSeq());
    }
    --depth;
    if (branches.size() == 1) return std::move(branches[0]);
    return makeNode(Node::ALT, std::move(branches));
  }

  Node parseSeq() {
    std::vector<Node> items;
    while (!atEnd() && peek() != '|' && peek() != ')') items.push_back(parseQuantified());
    if (items.empty()) return makeNode(Node::EMPTY);
    if (items.size() == 1) return std::move(items[0]);
    return makeNode(Node::CAT, std::move(items));
  }

  Node parseQuantified() {
    Node atom = parseAtom();
    if (atEnd()) return atom;
    int lo, hi;  // hi < 0: unbounded
    const char c = peek();
    if (c == '*') {
      lo = 0, hi = -1, ++pos;
    } else if (c == '+') {
      lo = 1, hi = -1, ++pos;
    } else if (c == '?') {
      lo = 0, hi = 1, ++pos;
    } else if (c == '{') {
      parseBraces(lo, hi);
    } else {
      return atom;
    }
    // A lazy quantifier accepts the same fields; a possessive one does not.
    if (!atEnd() && peek() == '?') ++pos;
    if (!atEnd() && (peek() == '+' || peek() == '*' || peek() == '{')) throw Unsupported{};
    return repeat(atom, lo, hi);
  }

  void parseBraces(int& lo, int& hi) {
    ++pos;
    lo = readNumber();
    if (lo < 0) throw Unsupported{};
    hi = lo;
    if (!atEnd() && peek() == ',') {
      ++pos;
      hi = (!atEnd() && peek() == '}') ? -1 : readNumber();
      if (hi == -2) throw Unsupported{};
    }
    if (atEnd() || peek() != '}') throw Unsupported{};
    ++pos;
    if (hi >= 0 && hi < lo) throw Unsupported{};
  }

  // A decimal count, or -2 when none is there.
  int readNumber() {
    size_t start = pos;
    long value = 0;
    while (!atEnd() && std::isdigit(static_cast<unsigned char>(peek()))) {
      value = value * 10 + (peek() - '0');
      if (value > MAX_REPEAT) throw Unsupported{};
      ++pos;
    }
    return pos == start ? -2 : static_cast<int>(value);
  }

  static Node repeat(const Node& atom, int lo, int hi) {
    // A loop over something that can match nothing makes Boost take empty
    // iterations the automaton does not model.
    if (hi < 0 && nullable(atom)) throw Unsupported{};
    const size_t copies = static_cast<size_t>(hi < 0 ? lo + 1 : hi);
    if (copies * countLeaves(atom) > MAX_POSITIONS) throw Unsupported{};
    if (lo == 0 && hi < 0) return makeNode(Node::STAR, {atom});
    if (lo == 1 && hi < 0) return makeNode(Node::PLUS, {atom});
    std::vector<Node> items(static_cast<size_t>(lo), atom);
    if (hi < 0) {
      items.push_back(makeNode(Node::STAR, {atom}));
    } else {
      // x{0,k} as (x(x(x)?)?)? so that each further copy is one choice.
      Node tail = makeNode(Node::EMPTY);
      for (int i = lo; i < hi; ++i) {
        std::vector<Node> seq{atom};
        if (tail.kind != Node::EMPTY) seq.push_back(std::move(tail));
        tail = makeNode(
            Node::OPT, {seq.size() == 1 ? std::move(seq[0]) : makeNode(Node::CAT, std::move(seq))});
      }
      if (tail.kind != Node::EMPTY) items.push_back(std::move(tail));
    }
    if (items.empty()) return makeNode(Node::EMPTY);
    if (items.size() == 1) return std::move(items[0]);
    return makeNode(Node::CAT, std::move(items));
  }

  static bool nullable(const Node& node) {
    switch (node.kind) {
      case Node::EMPTY:
      case Node::STAR:
      case Node::OPT:
        return true;
      case Node::SET:
        return false;
      case Node::PLUS:
        return nullable(node.kids[0]);
      case Node::CAT:
        for (const auto& kid : node.kids)
          if (!nullable(kid)) return false;
        return true;
      case Node::ALT:
        for (const auto& kid : node.kids)
          if (nullable(kid)) return true;
        return false;
    }
    return false;
  }

  Node parseAtom() {
    const char c = peek();
    if (c == '(') {
      ++pos;
      if (!atEnd() && peek() == '?') {
        if (pos + 1 >= src.size() || src[pos + 1] != ':') throw Unsupported{};
        pos += 2;
      }
      Node inner = parseAlt();
      if (atEnd() || peek() != ')') throw Unsupported{};
      ++pos;
      return inner;
    }
    if (c == '[') return setAtom(src.substr(pos, bracketLength()), true);
    if (c == '\\') {
      if (pos + 1 >= src.size()) throw Unsupported{};
      const unsigned char e = static_cast<unsigned char>(src[pos + 1]);
      // Class escapes, and escaped punctuation standing for itself; every
      // other escape (anchors, back-references, \Q, \x...) goes to Boost.
      const bool known =
          std::string("dDwWsS.-\\[](){}*+?|^$/").find(static_cast<char>(e)) != std::string::npos;
      if (!known) throw Unsupported{};
      return setAtom(src.substr(pos, 2), true);
    }
    if (c == '.') return setAtom(".", true);
    if (std::string("^$|?*+)]{}").find(c) != std::string::npos) throw Unsupported{};
    // Bytes past ASCII stand for themselves: a UTF-8 literal is its bytes.
    const bool pastAscii = static_cast<unsigned char>(c) >= 0x80;
    if (!pastAscii && !std::isalnum(static_cast<unsigned char>(c)) &&
        std::string(" -_,:;/'\"!%&=<>@~`#").find(c) == std::string::npos)
      throw Unsupported{};
    return setAtom(std::string(1, c), true);
  }

  // Length of the bracket expression starting at pos.
  size_t bracketLength() const {
    size_t i = pos + 1;
    if (i < src.size() && src[i] == '^') ++i;
    if (i < src.size() && src[i] == ']') ++i;
    while (i < src.size() && src[i] != ']') {
      if (src[i] == '[' && i + 1 < src.size()) {
        const char kind = src[i + 1];
        // Collating elements and equivalence classes may span several bytes.
        if (kind == '.' || kind == '=') throw Unsupported{};
        if (kind == ':') {
          const size_t close = src.find(":]", i + 2);
          if (close == std::string::npos) throw Unsupported{};
          i = close + 2;
          continue;
        }
      }
      if (src[i] == '\\') ++i;
      ++i;
    }
    if (i >= src.size()) throw Unsupported{};
    return i + 1 - pos;
  }

  Node setAtom(const std::string& atom, bool consume) {
    if (consume) pos += atom.size();
    auto found = atomSets.find(atom);
    if (found == atomSets.end()) found = atomSets.emplace(atom, bytesMatchedBy(atom)).first;
    Node node;
    node.kind = Node::SET;
    node.set = found->second;
    return node;
  }

  // The bytes that the atom, compiled alone by Boost, matches as a one-byte
  // field. Atoms that could match nothing or more than one byte are refused.
  static ByteSet bytesMatchedBy(const std::string& atom) {
    boost::regex re;
    try {
      re.assign(atom, boost::regex::normal);
    } catch (const boost::regex_error&) {
      throw Unsupported{};
    }
    if (boost::regex_match(std::string(), re)) throw Unsupported{};
    ByteSet set;
    std::string one(1, '\0');
    for (int b = 0; b < 256; ++b) {
      one[0] = static_cast<char>(b);
      if (boost::regex_match(one, re)) set.set(static_cast<size_t>(b));
    }
    for (const char* two : {"00", "aa", "\n\n", "\xe9\xe9"})
      if (boost::regex_match(std::string(two), re)) throw Unsupported{};
    return set;
  }
};

// Glushkov construction: one position per atom, with follow lists that keep
// duplicates, so that distinct parses stay distinct paths.
struct Glushkov {
  std::vector<ByteSet> sets;
  std::vector<std::vector<int>> follow;

  struct Info {
    bool nullable = false;
    std::vector<int> first, last;
  };

  Info walk(const Node& node) {
    Info info;
    switch (node.kind) {
      case Node::EMPTY:
        info.nullable = true;
        break;
      case Node::SET: {
        const int p = static_cast<int>(sets.size());
        sets.push_back(node.set);
        follow.emplace_back();
        info.first = info.last = {p};
        break;
      }
      case Node::CAT: {
        info.nullable = true;
        for (const auto& kid : node.kids) {
          Info k = walk(kid);
          for (int p : info.last) append(follow[p], k.first);
          if (info.nullable) append(info.first, k.first);
          if (k.nullable) append(k.last, info.last);
          info.last = std::move(k.last);
          info.nullable = info.nullable && k.nullable;
        }
        break;
      }
      case Node::ALT:
        for (const auto& kid : node.kids) {
          Info k = walk(kid);
          info.nullable = info.nullable || k.nullable;
          append(info.first, k.first);
          append(info.last, k.last);
        }
        break;
      case Node::STAR:
      case Node::PLUS:
      case Node::OPT: {
        info = walk(node.kids[0]);
        if (node.kind != Node::OPT)
          for (int p : info.last) append(follow[p], info.first);
        if (node.kind != Node::PLUS) info.nullable = true;
        break;
      }
    }
    return info;
  }

  static void append(std::vector<int>& to, const std::vector<int>& from) {
    to.insert(to.end(), from.begin(), from.end());
  }
};

// A transition table in FieldAutomaton's layout; empty when unsupported.
struct Table {
  std::vector<uint16_t> transitions;
  std::vector<uint8_t> accepting;
};

Table tableOf(const Node& tree) {
  Table automaton;
  if (countLeaves(tree) > MAX_POSITIONS) return automaton;
  Glushkov g;
  const Glushkov::Info root = g.walk(tree);

  const size_t positions = g.sets.size();
  const int start = static_cast<int>(positions);  // pseudo-position before the field
  g.follow.push_back(root.first);
  std::vector<uint8_t> isLast(positions + 1, 0);
  for (int p : root.last) isLast[static_cast<size_t>(p)] = 1;
  if (root.nullable) isLast[static_cast<size_t>(start)] = 1;

  // Bytes that no position tells apart behave alike: one representative each.
  std::map<std::vector<bool>, int> classOf;
  std::vector<int> byteClass(256);
  std::vector<int> representative;
  for (int b = 0; b < 256; ++b) {
    std::vector<bool> signature(positions);
    for (size_t p = 0; p < positions; ++p) signature[p] = g.sets[p].test(static_cast<size_t>(b));
    auto it = classOf.find(signature);
    if (it == classOf.end()) {
      it = classOf.emplace(signature, static_cast<int>(representative.size())).first;
      representative.push_back(b);
    }
    byteClass[static_cast<size_t>(b)] = it->second;
  }

  // Subset construction over parse counts: a state is how many partial
  // parses end at each position. Unbounded counts mean the expression is
  // ambiguous enough for Boost to backtrack heavily, so it is left to Boost.
  using Counts = std::vector<uint8_t>;
  std::map<Counts, uint16_t> ids;
  std::vector<Counts> states;
  Counts dead(positions + 1, 0), initial(positions + 1, 0);
  initial[static_cast<size_t>(start)] = 1;
  states.push_back(dead);
  states.push_back(initial);
  ids.emplace(dead, 0);
  ids.emplace(initial, 1);

  std::vector<std::vector<uint16_t>> classNext;
  for (size_t s = 0; s < states.size(); ++s) {
    size_t fanout = 0;
    for (size_t p = 0; p <= positions; ++p) fanout += states[s][p] * g.follow[p].size();
    if (fanout > MAX_FANOUT) return automaton;
    std::vector<uint16_t> row(representative.size(), 0);
    for (size_t cls = 0; cls < representative.size() && s != 0; ++cls) {
      const size_t b = static_cast<size_t>(representative[cls]);
      Counts next(positions + 1, 0);
      unsigned total = 0;
      for (size_t p = 0; p <= positions; ++p) {
        const unsigned c = states[s][p];
        if (c == 0) continue;
        for (int q : g.follow[p]) {
          if (!g.sets[static_cast<size_t>(q)].test(b)) continue;
          total += c;
          if (total > MAX_AMBIGUITY) return automaton;
          next[static_cast<size_t>(q)] = static_cast<uint8_t>(next[static_cast<size_t>(q)] + c);
        }
      }
      auto it = ids.find(next);
      if (it == ids.end()) {
        if (states.size() >= MAX_STATES) return automaton;
        it = ids.emplace(next, static_cast<uint16_t>(states.size())).first;
        states.push_back(next);
      }
      row[cls] = it->second;
    }
    classNext.push_back(std::move(row));
  }

  automaton.transitions.assign(states.size() * 256, 0);
  automaton.accepting.assign(states.size(), 0);
  for (size_t s = 1; s < states.size(); ++s) {
    for (int b = 0; b < 256; ++b)
      automaton.transitions[(s << 8) | static_cast<size_t>(b)] =
          classNext[s][static_cast<size_t>(byteClass[static_cast<size_t>(b)])];
    for (size_t p = 0; p <= positions; ++p)
      if (states[s][p] != 0 && isLast[p]) automaton.accepting[s] = 1;
  }
  return automaton;
}

// Product of two tables: accepts what `kept` accepts and `removed` does not.
// Boost matches the lookahead and then the body, so each part's own table
// existing is what bounds Boost's work on the whole.
Table difference(const Table& kept, const Table& removed) {
  Table product;
  if (kept.accepting.empty() || removed.accepting.empty()) return product;
  using Pair = std::pair<uint16_t, uint16_t>;  // (kept state, removed state)
  std::map<Pair, uint16_t> ids{{{0, 0}, 0}, {{1, 1}, 1}};
  std::vector<Pair> states{{0, 0}, {1, 1}};
  product.transitions.assign(2 * 256, 0);
  for (size_t s = 1; s < states.size(); ++s) {
    const Pair state = states[s];
    for (size_t b = 0; b < 256; ++b) {
      const Pair next{kept.transitions[(size_t{state.first} << 8) | b],
                      removed.transitions[(size_t{state.second} << 8) | b]};
      if (next.first == 0) continue;  // the body can no longer match: dead
      auto it = ids.find(next);
      if (it == ids.end()) {
        if (states.size() >= MAX_STATES) return Table{};
        it = ids.emplace(next, static_cast<uint16_t>(states.size())).first;
        states.push_back(next);
        product.transitions.resize(states.size() * 256, 0);
      }
      product.transitions[(s << 8) | b] = it->second;
    }
  }
  product.accepting.assign(states.size(), 0);
  for (size_t s = 1; s < states.size(); ++s)
    product.accepting[s] = kept.accepting[states[s].first] && !removed.accepting[states[s].second];
  return product;
}

}  // namespace

FieldAutomaton FieldAutomaton::build(const std::string& source) {
  FieldAutomaton automaton;
  Table table;
  try {
    Parser parser(source);
    Node removed, kept;
    if (parser.parseDifference(removed, kept))
      table = difference(tableOf(kept), tableOf(removed));
    else
      table = tableOf(parser.parse());
  } catch (const Unsupported&) {
    return automaton;
  }
  automaton.transitions = std::move(table.transitions);
  automaton.accepting = std::move(table.accepting);
  return automaton;
}
