#include "type_automaton.h"

#include <map>
#include <set>

TypeAutomaton TypeAutomaton::build(const std::vector<std::vector<const FieldAutomaton*>>& groups) {
  TypeAutomaton out;
  if (groups.size() > MAX_GROUPS) return out;
  std::vector<const FieldAutomaton*> parts;
  std::vector<uint64_t> bitOf;
  for (size_t g = 0; g < groups.size(); ++g)
    for (const FieldAutomaton* a : groups[g]) {
      parts.push_back(a);
      bitOf.push_back(uint64_t{1} << g);
    }

  // Bytes that no state of any part tells apart share one class.
  std::map<std::vector<uint32_t>, uint8_t> classOf;
  std::vector<unsigned char> representative;
  for (int b = 0; b < 256; ++b) {
    std::vector<uint32_t> signature;
    for (const FieldAutomaton* a : parts)
      for (uint32_t s = 0; s < a->stateCount(); ++s)
        signature.push_back(a->next(s, static_cast<unsigned char>(b)));
    auto found = classOf.find(signature);
    if (found == classOf.end()) {
      found = classOf.emplace(signature, static_cast<uint8_t>(representative.size())).first;
      representative.push_back(static_cast<unsigned char>(b));
    }
    out.byteClass[b] = found->second;
  }
  while ((size_t{1} << out.shift) < representative.size()) ++out.shift;

  using Tuple = std::vector<uint16_t>;
  std::map<Tuple, uint16_t> ids;
  std::vector<Tuple> states{Tuple(parts.size(), 0), Tuple(parts.size(), 1)};
  ids.emplace(states[0], 0);
  ids.emplace(states[1], 1);
  std::vector<uint16_t> transitions;
  std::vector<uint64_t> accepted;
  const size_t width = size_t{1} << out.shift;
  for (size_t s = 0; s < states.size(); ++s) {
    transitions.resize((s + 1) * width, 0);
    uint64_t mask = 0;
    for (size_t i = 0; i < parts.size(); ++i)
      if (parts[i]->accepts(states[s][i])) mask |= bitOf[i];
    accepted.push_back(mask);
    if (s == 0) continue;
    for (size_t cls = 0; cls < representative.size(); ++cls) {
      Tuple next(parts.size());
      for (size_t i = 0; i < parts.size(); ++i)
        next[i] = static_cast<uint16_t>(parts[i]->next(states[s][i], representative[cls]));
      auto found = ids.find(next);
      if (found == ids.end()) {
        if (states.size() >= MAX_STATES) return out;
        found = ids.emplace(next, static_cast<uint16_t>(states.size())).first;
        states.push_back(std::move(next));
      }
      transitions[s * width + cls] = found->second;
    }
  }
  out.transitions = std::move(transitions);
  out.accepted = std::move(accepted);
  return out;
}

std::vector<std::pair<size_t, size_t>> TypeAutomaton::overlappingGroups() const {
  std::set<std::pair<size_t, size_t>> pairs;
  // Every state is reachable from the start, so a state's groups all accept
  // the text that leads there.
  for (uint64_t mask : accepted) {
    if ((mask & (mask - 1)) == 0) continue;
    for (size_t g = 0; g < MAX_GROUPS; ++g)
      for (size_t h = g + 1; h < MAX_GROUPS && ((mask >> g) & 1); ++h)
        if ((mask >> h) & 1) pairs.emplace(g, h);
  }
  return {pairs.begin(), pairs.end()};
}

bool intersects(const FieldAutomaton& a, const FieldAutomaton& b) {
  const size_t nb = b.stateCount();
  std::vector<bool> seen(a.stateCount() * nb, false);
  std::vector<std::pair<uint32_t, uint32_t>> todo{{1, 1}};
  seen[nb + 1] = true;
  while (!todo.empty()) {
    const auto [sa, sb] = todo.back();
    todo.pop_back();
    if (a.accepts(sa) && b.accepts(sb)) return true;
    for (int byte = 0; byte < 256; ++byte) {
      const uint32_t ta = a.next(sa, static_cast<unsigned char>(byte));
      const uint32_t tb = b.next(sb, static_cast<unsigned char>(byte));
      if (ta == 0 || tb == 0 || seen[ta * nb + tb]) continue;
      seen[ta * nb + tb] = true;
      todo.emplace_back(ta, tb);
    }
  }
  return false;
}

void PatternIndex::build(const Table& table, size_t idCount) {
  byId.assign(idCount, Type{});
  idOfSlot.clear();
  allAutomata = true;
  std::vector<std::vector<const FieldAutomaton*>> groups;
  for (const auto& [id, regexes] : table) {
    Type& t = byId[static_cast<size_t>(id)];
    t.regexes = *regexes;
    // str() is the source exactly as compiled.
    for (const auto& re : *regexes) t.automata.push_back(FieldAutomaton::build(re.str()));
    t.complete = true;
    for (const auto& a : t.automata) t.complete = t.complete && a.usable();
    allAutomata = allAutomata && t.complete;
    t.slot = static_cast<int>(idOfSlot.size());
    idOfSlot.push_back(id);
  }
  for (const int id : idOfSlot) {
    groups.emplace_back();
    for (const auto& a : byId[static_cast<size_t>(id)].automata)
      if (a.usable()) groups.back().push_back(&a);
  }
  combined = TypeAutomaton::build(groups);
  textFunction = allAutomata && combined.usable() && combined.overlappingGroups().empty();
}

bool PatternIndex::matches(int id, std::string_view text) const {
  if (id < 0 || static_cast<size_t>(id) >= byId.size()) return false;
  const Type& t = byId[static_cast<size_t>(id)];
  // Reused match state: Boost allocates a fresh one per call otherwise.
  thread_local boost::cmatch match;
  for (size_t k = 0; k < t.regexes.size(); ++k) {
    const FieldAutomaton& automaton = t.automata[k];
    if (automaton.usable() && text.size() <= FieldAutomaton::MAX_FIELD) {
      if (automaton.match(text.data(), text.size())) return true;
    } else if (boost::regex_match(text.data(), text.data() + text.size(), match, t.regexes[k])) {
      return true;
    }
  }
  return false;
}

int PatternIndex::search(std::string_view text, std::vector<int>& order) const {
  const bool scanned = combined.usable() && text.size() <= FieldAutomaton::MAX_FIELD;
  const uint64_t mask = scanned ? combined.scan(text.data(), text.size()) : 0;
  for (size_t ti = 0; ti < order.size(); ++ti) {
    const int id = order[ti];
    if (id < 0 || static_cast<size_t>(id) >= byId.size()) continue;
    const Type& t = byId[static_cast<size_t>(id)];
    // The scan decides a type with no expression left to Boost; any other
    // type tries its expressions in order, so Boost's calls (and errors)
    // are the same as without the scan.
    const bool hit = scanned && t.complete ? ((mask >> t.slot) & 1) != 0 : matches(id, text);
    if (hit) {
      if (ti != 0) std::swap(order[0], order[ti]);
      return id;
    }
  }
  return NO_MATCH;
}

std::optional<std::vector<std::pair<int, int>>> PatternIndex::overlaps() const {
  if (!allAutomata) return std::nullopt;
  std::vector<std::pair<int, int>> out;
  if (combined.usable()) {
    for (const auto& [g, h] : combined.overlappingGroups())
      out.emplace_back(idOfSlot[g], idOfSlot[h]);
    return out;
  }
  for (size_t g = 0; g < idOfSlot.size(); ++g)
    for (size_t h = g + 1; h < idOfSlot.size(); ++h) {
      bool common = false;
      for (const auto& a : byId[static_cast<size_t>(idOfSlot[g])].automata)
        for (const auto& b : byId[static_cast<size_t>(idOfSlot[h])].automata)
          common = common || intersects(a, b);
      if (common) out.emplace_back(idOfSlot[g], idOfSlot[h]);
    }
  return out;
}
