#include "pass_extras.h"

#include <algorithm>
#include <cstring>

#include "field_checks.h"

void PassExtras::start(int headerWidth, size_t numTypes) {
  const size_t width = static_cast<size_t>(headerWidth);
  rowWidths.assign(width + 2, 0);
  maxLengths.assign(width, 0);
  examples.assign(width, std::vector<std::vector<std::string>>(numTypes));
  naSpellings.assign(width, {});
  invalidUtf8.assign(width, 0);
  fitsDouble.assign(width, 1);
  fitsInt64.assign(width, 1);
  intDigits.assign(width, 0);
  fracDigits.assign(width, 0);
  checks.resize(numTypes, 0);
}

void PassExtras::noteNa(size_t c, std::string_view text, uint64_t k) {
  for (auto& [spelling, count] : naSpellings[c]) {
    if (spelling == text) {
      count += k;
      return;
    }
  }
  naSpellings[c].emplace_back(text, k);
}

void PassExtras::merge(const PassExtras& later) {
  for (size_t w = 0; w < rowWidths.size() && w < later.rowWidths.size(); ++w)
    rowWidths[w] += later.rowWidths[w];
  for (size_t c = 0; c < maxLengths.size() && c < later.maxLengths.size(); ++c) {
    maxLengths[c] = std::max(maxLengths[c], later.maxLengths[c]);
    invalidUtf8[c] += later.invalidUtf8[c];
    fitsDouble[c] &= later.fitsDouble[c];
    fitsInt64[c] &= later.fitsInt64[c];
    intDigits[c] = std::max(intDigits[c], later.intDigits[c]);
    fracDigits[c] = std::max(fracDigits[c], later.fracDigits[c]);
    for (const auto& [spelling, count] : later.naSpellings[c]) noteNa(c, spelling, count);
  }
  for (size_t c = 0; c < examples.size() && c < later.examples.size(); ++c)
    for (size_t id = 0; id < examples[c].size() && id < later.examples[c].size(); ++id)
      for (const auto& text : later.examples[c][id]) {
        std::vector<std::string>& texts = examples[c][id];
        if (texts.size() < static_cast<size_t>(std::max(examplesPerType, 0)) &&
            std::find(texts.begin(), texts.end(), text) == texts.end())
          texts.push_back(text);
      }
  formats.merge(later.formats);
  PassTallies::add(later);
  if (untitledCells.empty()) untitledCells = later.untitledCells;
}
