#include "compiled_table.h"

#include <algorithm>

CompiledTable::CompiledTable() : names{"NA", "other"}, ids{{"NA", NA_ID}, {"other", OTHER_ID}} {
  index({});
}

int CompiledTable::intern(const std::string& name) {
  const auto found = ids.find(name);
  if (found != ids.end()) return found->second;
  const int id = static_cast<int>(names.size());
  names.push_back(name);
  ids.emplace(name, id);
  return id;
}

int CompiledTable::find(const std::string& name) const {
  const auto found = ids.find(name);
  return found == ids.end() ? NO_TYPE : found->second;
}

void CompiledTable::index(const Patterns& table) {
  PatternIndex::Table entries;
  stored.clear();
  for (const auto& entry : table) {
    stored.push_back(intern(entry.first));
    entries.emplace_back(stored.back(), &entry.second);
  }
  auto built = std::make_shared<PatternIndex>();
  built->build(entries, names.size());
  patterns = std::move(built);
}

int CompiledTable::search(std::string_view text, std::vector<int>& order) const {
  const int id = patterns->search(text, order);
  return id == PatternIndex::NO_MATCH ? OTHER_ID : id;
}

void CompiledTable::probeExpressions(std::string_view text) const {
  for (const int id : stored) patterns->matches(id, text);
}

std::optional<std::vector<std::pair<std::string, std::string>>> CompiledTable::overlaps() const {
  const auto pairs = patterns->overlaps();
  if (!pairs) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> named;
  for (const auto& [a, b] : *pairs) named.push_back(std::minmax(name(a), name(b)));
  std::sort(named.begin(), named.end());
  return named;
}

bool CompiledTable::splitExact() const {
  const auto pairs = patterns->overlaps();
  return pairs && pairs->empty();
}
