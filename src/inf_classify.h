// The classification rule, as a template in a header: the sequential pass
// inlines it into its field loop.
#pragma once

#include <vector>

#include "inf.h"

// The one classification rule. Missing values come first; then, with
// byText (see inferTypes), the text alone where no cache could change the
// result; then the cache; then the search in the column's trial order, whose
// result the cache keeps. Guard is the lock policy: a parallel pass guards
// the shared cache and a shared column's order, a sequential one takes none.
static_assert(FieldAutomaton::MAX_FIELD <= TextLog::MAX_TEXT, "the log takes every short field");
// Entries a log may hold and still be searched for a text; a larger log
// becomes cache entries instead.
constexpr size_t LOG_SEARCH_LIMIT = 256;

template <class Guard>
int Inf::classify(FieldProbe& field, std::vector<int>& order, const Locks& locks, ByText* byText,
                  ValueCache& cache, bool probeLong) const {
  // A text logged lately in this pass is no missing value and keeps the
  // match it was logged with.
  int32_t sole = PatternIndex::NO_MATCH;
  const bool logged = byText && field.isShort && cache.log.recentTag(field.key, sole);
  if (!logged && naSet.contains(field.text, field.key, field.isShort)) return CompiledTable::NA_ID;
  if (byText && field.text.size() <= FieldAutomaton::MAX_FIELD) {
    if (!logged) sole = table.soleMatch(field.text);
    if (sole == PatternIndex::NO_MATCH || !byText->viaCache[static_cast<size_t>(sole)]) {
      // A match at the front stays there, whether the cache knew the text or not.
      if (sole == PatternIndex::NO_MATCH || order[0] == sole) {
        const int id = sole == PatternIndex::NO_MATCH ? CompiledTable::OTHER_ID : sole;
        if (!logged && !table.name(id).empty())
          cache.log.append(field.text, field.key, field.isShort, id, sole);
        return id;
      }
      // Whether this type moves to the front depends on whether the cache
      // knows the text. A short log is searched for it; past that, the
      // cache must know every text of this type from here on (a type never
      // cached has none).
      if (!table.name(sole).empty()) {
        if (cache.log.size() <= LOG_SEARCH_LIMIT) {
          const bool known = cache.log.contains(field.text) ||
                             cache.table.find(field.text, field.textHash()) != TextTable::EMPTY;
          if (!known) {
            table.search(field.text, order);
            cache.log.append(field.text, field.key, field.isShort, sole, sole);
          }
          return sole;
        }
        cache.materialise();
        byText->viaCache[static_cast<size_t>(sole)] = 1;
      }
    }
  }
  int32_t id = field.early;
  if (id == TextTable::EMPTY) {
    Guard guard(locks.cache);
    id = cache.table.findAndRemember(field.text, field.key, field.isShort, field.textHash());
  }
  if (id != TextTable::EMPTY) return id;
  if (probeLong && field.text.size() > FieldAutomaton::MAX_FIELD)
    table.probeExpressions(field.text);
  {
    Guard guard(locks.column);
    id = table.search(field.text, order);
  }
  // A type with an empty name leaves the entry empty: the text is searched again.
  if (!table.name(id).empty()) {
    Guard guard(locks.cache);
    cache.table.set(field.text, field.textHash(), id);
  }
  return id;
}
