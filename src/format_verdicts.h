// Which formats of a type every field of that type in a column fits: a type
// may read the same texts several ways (its alternatives, such as day-first
// and month-first dates), and the counts cannot tell which way a column is
// written. Kept by type id during a pass, beside the extras.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats.h"

struct FormatVerdicts {
  // A mask bit per alternative.
  static constexpr size_t MAX_ALTERNATIVES = 64;
  // A ruled-out field's text is kept up to this many bytes: enough to show,
  // and a huge field does not make a huge result.
  static constexpr size_t MAX_TEXT = 200;
  static constexpr int NO_SLOT = -1;

  // The first field an alternative did not fit: its row's start offset and
  // its text, cut at MAX_TEXT.
  using RuledOut = std::optional<std::pair<uint64_t, std::string>>;

  // One type in one column. Unseen (no field of the type yet) while
  // ruledOut is empty.
  struct Verdict {
    uint64_t alive = 0;  // bit a: alternative a fitted every field so far
    std::vector<RuledOut> ruledOut;
    bool seen() const { return !ruledOut.empty(); }
    // Adds the verdict of a later part of the same column.
    void merge(const Verdict& later);
  };

  // The types checked, by slot, and the slot of each type id; shared by the
  // ranges of a pass, never changed once a pass starts.
  struct Checked {
    std::vector<std::string> names;
    std::vector<std::vector<formats::Format>> alternatives;
    std::vector<int> slotOf;  // by type id
  };

  // Null: no formats set, and nothing is noted.
  std::shared_ptr<const Checked> checked;
  // [position][slot]; a position's list stays empty until a field of a
  // checked type is seen there, so that wide files cost little.
  std::vector<std::vector<Verdict>> columns;
  // Where the row whose fields are being noted starts.
  uint64_t rowStart = 0;

  bool on() const { return checked != nullptr; }
  void start(size_t width) { columns.assign(width, {}); }
  // Tests the field, of type id `id` at position c, against the type's
  // alternatives still alive.
  void note(size_t c, int id, std::string_view text);
  // Adds a later range's verdicts to these; both must share `checked`.
  void merge(const FormatVerdicts& later);

 private:
  std::string scratch;  // the conversions' output, reused

  void noteChecked(std::vector<Verdict>& column, size_t slot, std::string_view text);
};

// Inline: called for every field of a pass with formats.
inline void FormatVerdicts::note(size_t c, int id, std::string_view text) {
  const int slot = checked->slotOf[static_cast<size_t>(id)];
  if (slot == NO_SLOT) return;
  noteChecked(columns[c], static_cast<size_t>(slot), text);
}
