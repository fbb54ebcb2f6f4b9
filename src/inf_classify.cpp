// How one field gets its type: the session's missing values, its table and a cache.
#include "inf_classify.h"

#include <string_view>
#include <vector>

#include "inf.h"

int Inf::searchType(std::string_view text, std::vector<int>& order) const {
  const int id = patterns->search(text, order);
  return id == PatternIndex::NO_MATCH ? OTHER_ID : id;
}

void Inf::probeExpressions(std::string_view text) const {
  for (const auto& entry : colTypePatterns) patterns->matches(typeIds.at(entry.first), text);
}
