#include "format_verdicts.h"

#include <algorithm>

namespace {

// The bits of the first n alternatives.
uint64_t firstBits(size_t n) {
  return n >= FormatVerdicts::MAX_ALTERNATIVES ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

}  // namespace

void FormatVerdicts::noteChecked(std::vector<Verdict>& column, size_t slot, std::string_view text) {
  if (column.empty()) column.resize(checked->names.size());
  Verdict& verdict = column[slot];
  const std::vector<formats::Format>& alternatives = checked->alternatives[slot];
  if (!verdict.seen()) {
    verdict.ruledOut.resize(alternatives.size());
    verdict.alive = firstBits(alternatives.size());
  }
  // An alternative once ruled out is not tested again: its first misfit stays.
  for (uint64_t left = verdict.alive; left != 0; left &= left - 1) {
    const size_t a = static_cast<size_t>(__builtin_ctzll(left));
    if (formats::convert(alternatives[a], text, scratch)) continue;
    verdict.alive &= ~(uint64_t{1} << a);
    verdict.ruledOut[a].emplace(rowStart, std::string(text.substr(0, MAX_TEXT)));
  }
}

// Parts come in file order: the earlier part's misfit is the first one. A
// part that lists fewer alternatives says nothing of the others.
void FormatVerdicts::Verdict::merge(const Verdict& later) {
  if (!later.seen()) return;
  if (!seen()) {
    *this = later;
    return;
  }
  const size_t width = std::max(ruledOut.size(), later.ruledOut.size());
  const uint64_t laterAlive = later.alive | ~firstBits(later.ruledOut.size());
  alive = (alive | ~firstBits(ruledOut.size())) & laterAlive & firstBits(width);
  ruledOut.resize(width);
  for (size_t a = 0; a < later.ruledOut.size(); ++a)
    if (!ruledOut[a]) ruledOut[a] = later.ruledOut[a];
}

void FormatVerdicts::merge(const FormatVerdicts& later) {
  if (columns.size() < later.columns.size()) columns.resize(later.columns.size());
  for (size_t c = 0; c < later.columns.size(); ++c) {
    const std::vector<Verdict>& from = later.columns[c];
    std::vector<Verdict>& into = columns[c];
    if (into.size() < from.size()) into.resize(from.size());
    for (size_t slot = 0; slot < from.size(); ++slot) into[slot].merge(from[slot]);
  }
}
